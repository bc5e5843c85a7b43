#include "E2eHarness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <grpcpp/grpcpp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "BoardSandbox.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::e2e {

namespace {
constexpr const char* kBoardLog = "/board/commands.log";
constexpr const char* kInitScript = "/etc/init.d/S95amp-bridge";
constexpr int kReaderPollMs = 50;

// Every program linked with the harness starts the real daemon: refuse before main.
const bool gOnBoard = [] {
  boardsandbox::requireBoardSandbox("end-to-end test");
  return true;
}();
}  // namespace

DaemonProcess::DaemonProcess(std::string path) : path_(std::move(path)) {}

DaemonProcess::~DaemonProcess() { stop(); }

void DaemonProcess::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Programs the daemon started in the background (the BLE helper) keep its output pipe
  // open after it has gone, so the reader stops on this flag rather than at end of file.
  daemonGone_ = true;
  if (reader_.joinable()) reader_.join();
}

void DaemonProcess::start() {
  boardsandbox::requireBoardSandbox("end-to-end test");
  stop();
  daemonGone_ = false;
  output_.clear();
  closed_ = false;
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    // As on the board, the daemon starts with its standard streams only: not the
    // simulator's ports or this test's files, which its children would show too.
    ::closefrom(STDERR_FILENO + 1);
    ::execl(path_.c_str(), path_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(pipeFds[1]);
  reader_ = std::thread([this, fd = pipeFds[0]] { readOutput(fd); });
}

void DaemonProcess::readOutput(int fd) {
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReaderPollMs) == 0) {
      if (daemonGone_) break;
      continue;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
      if (outputLimit_ > 0 && output_.size() > 2 * outputLimit_) {
        output_.erase(0, output_.size() - outputLimit_);
      }
    }
    changed_.notify_all();
  }
  ::close(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool DaemonProcess::waitForOutput(const std::string& text, seconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return output_.find(text) != std::string::npos || closed_;
  }) && output_.find(text) != std::string::npos;
}

std::size_t DaemonProcess::countInOutput(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (std::size_t at = output_.find(text); at != std::string::npos;
       at = output_.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

std::string DaemonProcess::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

std::optional<int> DaemonProcess::waitExit(seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      // What the daemon printed last may still be in the pipe: the reader takes it and
      // stops once the pipe stays quiet (children such as the BLE helper keep it open).
      daemonGone_ = true;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(2), [this] { return closed_; });
      }
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

void BoardTest::boot(ampsim::AmpSimOptions options, const std::string& ready) {
  sim = std::make_unique<ampsim::AmpSimulator>(options);
  sim->start();
  daemon.start();
  if (!ready.empty()) {
    ASSERT_TRUE(daemon.waitForOutput(ready));
  }
}

void startBoardService(const std::string& wrapper) {
  const std::string command =
      "AMP_BRIDGE=" AMP_BRIDGE_PATH " " + wrapper + " " + kInitScript + " start >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void stopBoardService() {
  const std::string command = std::string(kInitScript) + " stop >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

int connectTcp(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

bool waitForNewClientAnswer(seconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    // gRPC would share one connection between channels with equal arguments.
    grpc::ChannelArguments arguments;
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    auto stub = protobuf::VolumeService::NewStub(grpc::CreateCustomChannel(
        "127.0.0.1:50051", grpc::InsecureChannelCredentials(), arguments));
    grpc::ClientContext context;
    context.set_wait_for_ready(true);
    context.set_deadline(std::chrono::system_clock::now() + seconds(5));
    protobuf::GetVolumeServiceSchemaResponse response;
    if (stub->GetServiceSchema(&context, {}, &response).ok()) return true;
  }
  return false;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool waitForFileText(const std::string& path, const std::string& text, seconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (readFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void writeBoardFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

void writeBoardScript(const std::string& path, const std::string& text) {
  writeBoardFile(path, text);
  ::chmod(path.c_str(), 0755);
}

std::map<int, std::string> openDescriptors(int pid) {
  std::map<int, std::string> open;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(directory.c_str());
  if (fds == nullptr) return open;
  while (const dirent* entry = ::readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const std::string link = directory + "/" + entry->d_name;
    if (::readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    open[std::atoi(entry->d_name)] = target;
  }
  ::closedir(fds);
  return open;
}

std::set<int> processesRunning(const std::string& text) {
  std::set<int> pids;
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = ::readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || pid == ::getpid()) continue;
    std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmdline) c = c == '\0' ? ' ' : c;
    if (cmdline.find(text) != std::string::npos) pids.insert(pid);
  }
  ::closedir(proc);
  return pids;
}

void boardScenario(const std::string& arguments) {
  const std::string command = "/board/bin/scenario " + arguments;
  if (std::system(command.c_str()) != 0) throw std::runtime_error("scenario failed: " + command);
}

std::vector<std::string> boardCommands() {
  std::vector<std::string> lines;
  std::ifstream log(kBoardLog);
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

int boardCommandIndex(const std::string& line) {
  const auto lines = boardCommands();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<int>(i);
  }
  return -1;
}

bool waitForBoardCommand(const std::string& line, seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (boardCommandIndex(line) >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace vantorellabs::e2e
