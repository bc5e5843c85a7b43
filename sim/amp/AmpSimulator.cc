#include "AmpSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "BoardSandbox.h"

namespace ampsim {

namespace {

constexpr std::uint8_t kHello = 0x01;
constexpr std::uint8_t kReady = 0x02;
constexpr std::uint8_t kDaHandshakeRequest = 'V';
// How often the amplifier's ramps and state changes move on.
constexpr int kTickMs = 2;

// The DA module's side of its handshake.
constexpr std::uint8_t kDaStart = 0x55;
constexpr std::uint8_t kDaGreeting = 0xC4;
constexpr std::uint8_t kDaAfterFirstVersion = 0xC5;
constexpr std::uint8_t kDaAfterSecondVersion = 0xC7;
constexpr std::uint8_t kDaFirstVersion = 0xA2;
constexpr std::uint8_t kDaSecondVersion = 0xA3;
constexpr std::uint8_t kDaType = 0xA7;
constexpr std::uint8_t kDaUpdating = 0xB2;
constexpr std::uint8_t kDaRestarted = 0xA1;

// Opens a pseudo-terminal, sets both sides raw and returns the master and slave
// descriptors and the slave's path.
void openRawPty(int& master, int& slave, std::string& slavePath) {
  // Close-on-exec: a program that the test starts (the board's supervisor, which outlives
  // the call) must not keep the amplifier's end open, or closing it would hang up nothing.
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    throw std::runtime_error("amp-sim: cannot create a pseudo-terminal");
  }
  slavePath = ptsname(master);
  // The simulator keeps the slave side open itself: with no slave open, the master reports
  // a hang-up and reads fail until the daemon opens the port.
  slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  tcgetattr(slave, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave, TCSANOW, &settings);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

void linkPath(const std::string& target, const std::string& path) {
  boardsandbox::requireBoardSandbox("amp-sim");
  ::unlink(path.c_str());
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("amp-sim: cannot link " + path + " to " + target);
  }
}

}  // namespace

std::string hexText(const std::string& frame) {
  std::string text;
  char item[4];
  for (char c : frame) {
    std::snprintf(item, sizeof item, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    if (!text.empty()) text += ' ';
    text += item;
  }
  return text;
}

AmpSimulator::AmpSimulator(AmpSimOptions options)
    : options_(std::move(options)),
      model_(options_.amplifier, [this](const std::string& frame) { sendFrame(frame); }),
      daModule_(options_.daModule) {}

AmpSimulator::~AmpSimulator() { stop(); }

void AmpSimulator::start(const std::string& controllerPath, const std::string& daPath) {
  std::string controllerSlavePath;
  std::string daSlavePath;
  openRawPty(controllerMaster_, controllerSlave_, controllerSlavePath);
  openRawPty(daMaster_, daSlave_, daSlavePath);
  linkPath(controllerSlavePath, controllerPath);
  linkPath(daSlavePath, daPath);
  controllerPath_ = controllerPath;
  running_ = true;
  thread_ = std::thread([this] { run(); });
}

void AmpSimulator::replaceControllerPort(std::chrono::milliseconds gone) {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    // Frames the amplifier sends meanwhile go nowhere, as on a line without a receiver.
    ::close(controllerMaster_);
    ::close(controllerSlave_);
    controllerMaster_ = controllerSlave_ = -1;
    ::unlink(controllerPath_.c_str());
  }
  std::this_thread::sleep_for(gone);
  std::string slavePath;
  {
    std::lock_guard<std::mutex> lock(writeMutex_);
    openRawPty(controllerMaster_, controllerSlave_, slavePath);
  }
  rxBuffer_.clear();
  linkPath(slavePath, controllerPath_);
  running_ = true;
  thread_ = std::thread([this] { run(); });
}

void AmpSimulator::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  for (int* fd : {&controllerMaster_, &controllerSlave_, &daMaster_, &daSlave_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void AmpSimulator::setFrameObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard<std::mutex> lock(framesMutex_);
  observer_ = std::move(observer);
}

void AmpSimulator::run() {
  while (running_) {
    pollfd p[2] = {{controllerMaster_, POLLIN, 0}, {daMaster_, POLLIN, 0}};
    const int silentChatterMs = 1;
    const bool chatter = options_.chatterWhileSilent && !options_.answerHandshake;
    const int ready = ::poll(p, 2, chatter ? silentChatterMs : kTickMs);
    if (ready > 0 && (p[0].revents & POLLIN) != 0) readController();
    if (ready > 0 && (p[1].revents & POLLIN) != 0) readDa();
    if (chatter) writeController(std::string(1, '\0'));
    if (daModule_ == AmpSimOptions::DaModule::Babbling) {
      std::string noise(8, '\0');
      // A fixed generator, so that a run can be repeated byte for byte.
      for (char& c : noise) {
        babbleSeed_ = babbleSeed_ * 1103515245U + 12345U;
        c = static_cast<char>(babbleSeed_ >> 16);
      }
      sendDa(noise);
    }
    model_.tick(
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
  }
}

void AmpSimulator::readController() {
  char buffer[1024];
  std::size_t want = sizeof buffer;
  if (options_.readAtLineRate) {
    constexpr double kLineBytesPerSecond = 115200.0 / 10;
    const auto now = std::chrono::steady_clock::now();
    if (lineCreditAt_.time_since_epoch().count() != 0) {
      lineCredit_ +=
          std::chrono::duration<double>(now - lineCreditAt_).count() * kLineBytesPerSecond;
    }
    lineCreditAt_ = now;
    want = std::min(sizeof buffer, static_cast<std::size_t>(lineCredit_));
    if (want == 0) {
      // The port stays readable: wait for the line instead of spinning on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return;
    }
  }
  const ssize_t n = ::read(controllerMaster_, buffer, want);
  if (n <= 0) {
    lineCredit_ = 0;
    return;
  }
  if (options_.readAtLineRate) {
    // Less than the line could have carried: it went idle, and an idle line saves nothing
    // up for later.
    lineCredit_ = static_cast<std::size_t>(n) < want ? 0 : lineCredit_ - static_cast<double>(n);
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\0') {
      rxBuffer_ += buffer[i];
      continue;
    }
    const std::string frame = rxBuffer_;
    rxBuffer_.clear();
    onControllerFrame(frame);
  }
}

void AmpSimulator::onControllerFrame(const std::string& frame) {
  const auto code = frame.empty() ? 0 : static_cast<std::uint8_t>(frame[0]);
  // The amplifier reacts before the frame is published, so a test that saw a frame also
  // sees the amplifier's answer on its way.
  // A daemon opens its handshake with a ready frame; one that does so after the first
  // handshake has been restarted (the board runs it again after it ended) and knows nothing
  // yet, so the amplifier tells it everything again, as it did at start.
  if (code == kReady) daemonRestarted_ = true;
  if (code == kHello && options_.answerHandshake) {
    if (!handshakeDone_.load()) model_.reportAutoUpdate();
    sendFrame(std::string(1, static_cast<char>(kReady)));
    const bool restarted = daemonRestarted_.exchange(false);
    if (!handshakeDone_.exchange(true) || restarted) {
      // At start the controller reports who it is and everything about its state.
      model_.reportStartUp();
      if (options_.requestDaHandshake) {
        sendFrame(std::string(1, static_cast<char>(kDaHandshakeRequest)));
      }
    }
  } else if (code != kReady && code != kHello) {
    model_.onCommand(frame);
  }
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard<std::mutex> lock(framesMutex_);
    frames_.push_back(frame);
    frameTimes_.push_back(std::chrono::steady_clock::now());
    observer = observer_;
  }
  framesChanged_.notify_all();
  if (observer) observer(frame);
}

void AmpSimulator::readDa() {
  char buffer[256];
  const ssize_t n = ::read(daMaster_, buffer, sizeof buffer);
  if (n <= 0) return;
  {
    std::lock_guard<std::mutex> lock(framesMutex_);
    daReceived_.append(buffer, static_cast<std::size_t>(n));
  }
  framesChanged_.notify_all();
  for (ssize_t i = 0; i < n; ++i) {
    const auto byte = static_cast<std::uint8_t>(buffer[i]);
    if (daPartial_.empty() && byte != kDaStart) continue;
    daPartial_ += static_cast<char>(byte);
    if (daPartial_.size() == 3) {
      onDaMessage(static_cast<std::uint8_t>(daPartial_[1]));
      daPartial_.clear();
    }
  }
}

void AmpSimulator::onDaMessage(std::uint8_t code) {
  using DaModule = AmpSimOptions::DaModule;
  const auto reply = [this](std::uint8_t replyCode, std::uint8_t value) {
    sendDa(std::string{static_cast<char>(kDaStart), static_cast<char>(replyCode),
                       static_cast<char>(value)});
  };
  const DaModule module = daModule_;
  if (module == DaModule::Silent || module == DaModule::Babbling) return;
  if (module == DaModule::Updating) {
    if (code == kDaGreeting) reply(kDaUpdating, 0x01);
    return;
  }
  if (module == DaModule::RestartsMidHandshake && code == kDaGreeting) {
    reply(kDaFirstVersion, options_.daVersionMajor);
    reply(kDaRestarted, 0x01);
    daModule_ = DaModule::Answering;
    return;
  }
  if (code == kDaGreeting) reply(kDaFirstVersion, options_.daVersionMajor);
  if (code == kDaAfterFirstVersion) reply(kDaSecondVersion, options_.daVersionMinor);
  if (code == kDaAfterSecondVersion) reply(kDaType, options_.daModuleType);
}

void AmpSimulator::sendDa(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  writeAll(daMaster_, bytes);
}

std::string AmpSimulator::daBytesReceived() const {
  std::lock_guard<std::mutex> lock(framesMutex_);
  return daReceived_;
}

bool AmpSimulator::waitForDaBytes(const std::string& bytes,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(framesMutex_);
  return framesChanged_.wait_for(lock, timeout,
                                 [&] { return daReceived_.find(bytes) != std::string::npos; });
}

void AmpSimulator::sendFrame(const std::string& text) { writeController(text + '\0'); }

void AmpSimulator::sendRaw(const std::string& bytes) { writeController(bytes); }

void AmpSimulator::writeController(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  writeAll(controllerMaster_, bytes);
  controllerBytesSent_ += bytes.size();
}

void AmpSimulator::writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return;  // nobody reads the port: drop the rest
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

std::vector<std::string> AmpSimulator::receivedFrames() const {
  std::lock_guard<std::mutex> lock(framesMutex_);
  return frames_;
}

int AmpSimulator::waitForFrame(const std::function<bool(const std::string&)>& matches,
                               std::size_t from, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(framesMutex_);
  int found = -1;
  framesChanged_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < frames_.size(); ++i) {
      if (matches(frames_[i])) {
        found = static_cast<int>(i);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::chrono::steady_clock::time_point AmpSimulator::frameTime(std::size_t index) const {
  std::lock_guard<std::mutex> lock(framesMutex_);
  return index < frameTimes_.size() ? frameTimes_[index] : std::chrono::steady_clock::time_point{};
}

int AmpSimulator::waitForCode(std::uint8_t code, std::size_t from,
                              std::chrono::milliseconds timeout) const {
  return waitForFrame(
      [code](const std::string& f) {
        return !f.empty() && static_cast<std::uint8_t>(f[0]) == code;
      },
      from, timeout);
}

}  // namespace ampsim
