// The soak: the daemon (built with AddressSanitizer and UndefinedBehaviorSanitizer in CI)
// for a number of minutes, with the simulated controller reporting at the line's rate, 16
// clients that subscribe, cancel, call unary RPCs and reconnect at random, and port-84
// clients coming and going. At the end, after the simulator has been quiet for 2 s, every
// open stream's last message must equal the simulator's state; there must be no sanitizer
// report; the daemon's descriptors must be back to their count after the warm-up; and its
// resident memory and threads must grow slower than the stated rates.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AmpSimulator.h"
#include "BenchCommon.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "audio_inputs_activation_service.grpc.pb.h"
#include "audio_inputs_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::bench {
namespace {

namespace pb = vantorellabs::protobuf;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int kClients = 16;
constexpr int kStreamsPerClient = 3;
constexpr int kTcpClients = 2;
constexpr double kLineBytesPerSecond = 115200.0 / 10;
constexpr seconds kWarmUp{60};
// gRPC keeps its thread pool and the allocator keeps what was freed, so memory and threads
// are compared at two quiet points (every client gone) after the warm-up, as a rate.
constexpr double kMaxRssGrowthMbPerHour = 16.0;
constexpr double kMaxThreadGrowthPerHour = 8.0;
constexpr const char* kSanitizerLogs = "/board/sanitizer";
// An instrumented daemon's resident memory is mostly its sanitizer's (shadow memory, the
// quarantine of freed blocks, the stack traces of every allocation site), which grows for
// long after the warm-up: it is printed, and judged only in a build without sanitizers and
// in a soak of ten minutes or more (nine between its quiet points).
constexpr double kShortestRssWindowHours = 9.0 / 60;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// What the clients do: act at random, keep their streams and stop acting, or drop
// everything.
enum class Phase { Acting, Holding, Gone };

using VolumeStream = e2e::StreamReader<pb::ObserveVolumeResponse>;
using InputStream = e2e::StreamReader<pb::ObserveActiveAudioInputResponse>;

struct Counts {
  std::atomic<long> subscribed{0}, cancelled{0}, unary{0}, unaryFailed{0}, reconnected{0},
      tcpSessions{0};
};

// One phone app: a connection of its own and up to three open streams.
class SoakClient {
 public:
  SoakClient(unsigned seed, Counts& counts) : random_(seed), counts_(counts) { connect(); }

  void act() {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (random_() % 8) {
      case 0:
      case 1:
        if (volumes_.size() + inputs_.size() < kStreamsPerClient) {
          if (random_() % 2 == 0) {
            volumes_.push_back(std::make_unique<VolumeStream>(
                [this](grpc::ClientContext* c) { return volume_->ObserveVolume(c, {}); }, 1));
          } else {
            inputs_.push_back(std::make_unique<InputStream>(
                [this](grpc::ClientContext* c) { return activation_->ObserveActiveInput(c, {}); },
                1));
          }
          ++counts_.subscribed;
        }
        break;
      case 2:
        if (!volumes_.empty()) volumes_.pop_back(), ++counts_.cancelled;
        if (!inputs_.empty()) inputs_.pop_back(), ++counts_.cancelled;
        break;
      case 3:
        volumes_.clear();
        inputs_.clear();
        connect();
        ++counts_.reconnected;
        break;
      default: {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + seconds(10));
        grpc::Status status;
        if (random_() % 2 == 0) {
          pb::SetVolumeRequest request;
          request.set_volume(static_cast<int>(random_() % 101));
          pb::SetVolumeResponse response;
          status = volume_->SetVolume(&context, request, &response);
        } else {
          pb::GetAudioInputsResponse response;
          status = inputs_stub_->GetInputs(&context, {}, &response);
        }
        ++(status.ok() || status.error_code() == grpc::StatusCode::UNAVAILABLE
               ? counts_.unary
               : counts_.unaryFailed);
      }
    }
  }
  void drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    volumes_.clear();
    inputs_.clear();
  }
  // Open streams whose last message differs from the amplifier's state.
  int mismatches(int volume, const std::string& metadata, int& checked) {
    std::lock_guard<std::mutex> lock(mutex_);
    int wrong = 0;
    for (auto& s : volumes_) {
      if (!s->open()) continue;
      ++checked;
      const auto last = s->messages();
      wrong += !last.empty() && last.back().volume() == volume ? 0 : 1;
    }
    for (auto& s : inputs_) {
      if (!s->open()) continue;
      ++checked;
      const auto last = s->messages();
      wrong += !last.empty() && last.back().activeinput().inputmetadata() == metadata ? 0 : 1;
    }
    return wrong;
  }

 private:
  void connect() {
    auto channel = newConnection();
    volume_ = pb::VolumeService::NewStub(channel);
    activation_ = pb::AudioInputsActivationService::NewStub(channel);
    inputs_stub_ = pb::AudioInputsService::NewStub(channel);
  }

  std::mutex mutex_;
  std::mt19937 random_;
  Counts& counts_;
  std::unique_ptr<pb::VolumeService::Stub> volume_;
  std::unique_ptr<pb::AudioInputsActivationService::Stub> activation_;
  std::unique_ptr<pb::AudioInputsService::Stub> inputs_stub_;
  std::vector<std::unique_ptr<VolumeStream>> volumes_;
  std::vector<std::unique_ptr<InputStream>> inputs_;
};

// A port-84 client: connects, sends a command, listens a little, and goes.
void tcpSession(std::mt19937& random) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(84);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string command = "(VOL " + std::to_string(random() % 101) + ")";
    (void)::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(milliseconds(50 + random() % 500));
  }
  ::close(fd);
}

std::size_t sanitizerReports() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/board")) {
    while (const dirent* entry = ::readdir(dir)) {
      count += std::string(entry->d_name).rfind("sanitizer.", 0) == 0 ? 1 : 0;
    }
    ::closedir(dir);
  }
  return count;
}

struct QuietPoint {
  Clock::time_point at;
  std::size_t descriptors = 0;
  ProcStatus status;
};

}  // namespace

int runSoak(double minutes) {
  // A sanitizer's report goes to a file of its own, so that no output is needed to find it.
  // AddressSanitizer keeps freed memory in a quarantine of 256 MB, which would fill for
  // hours and look like growth: a small one is full before the warm-up ends.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* was = std::getenv(name);
    std::string options = std::string(was != nullptr ? was : "") + ":log_path=" + kSanitizerLogs;
    if (name[0] == 'A') options += ":quarantine_size_mb=8:thread_local_quarantine_size_kb=64";
    ::setenv(name, options.c_str(), 1);
  }
  ampsim::AmpSimOptions options;
  options.amplifier.stepMs = 1;
  ampsim::AmpSimulator sim(options);
  e2e::DaemonProcess daemon(AMP_BRIDGE_PATH);
  daemon.limitOutput(1 << 20);
  sim.start();
  daemon.start();
  if (!daemon.waitForOutput("Server listening on 0.0.0.0:50051\n", seconds(120)) ||
      !daemon.waitForOutput("<<< 0xB5", seconds(60))) {
    std::fprintf(stderr, "amp-bench --soak: the daemon did not start serving\n%s\n",
                 daemon.output().c_str());
    return 1;
  }
  const auto length = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::ratio<60>>(minutes));
  const auto warmUp = std::min<Clock::duration>(kWarmUp, length / 2);
  std::printf(
      "soak: %.1f min (%lld s warm-up), %d clients, %d port-84 clients, reports at %.0f "
      "bytes/s\n",
      minutes, static_cast<long long>(std::chrono::duration_cast<seconds>(warmUp).count()),
      kClients, kTcpClients, kLineBytesPerSecond);
  std::fflush(stdout);

  std::atomic<Phase> phase{Phase::Acting};
  std::atomic<bool> reporting{true};
  std::atomic<bool> running{true};
  Counts counts;
  std::mutex titleMutex;
  std::string lastTitle;

  // The controller fills the line: a front-panel volume change now and then, track titles
  // for the rest.
  std::thread reporter([&] {
    std::mt19937 random(7);
    const auto start = Clock::now();
    const std::size_t startBytes = sim.controllerBytesSent();
    for (long n = 0; reporting; ++n) {
      const double budget =
          std::chrono::duration<double>(Clock::now() - start).count() * kLineBytesPerSecond;
      if (static_cast<double>(sim.controllerBytesSent() - startBytes) >= budget) {
        std::this_thread::sleep_for(milliseconds(2));
        continue;
      }
      if (n % 64 == 0) {
        sim.amplifier().turnVolumeKnob(static_cast<int>(random() % 101));
      } else {
        std::lock_guard<std::mutex> lock(titleMutex);
        lastTitle = "Soak track " + std::to_string(n) + " - a title as long as radio sends";
        sim.amplifier().playTrack(lastTitle);
      }
    }
  });
  std::vector<std::unique_ptr<SoakClient>> clients;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<SoakClient>(static_cast<unsigned>(100 + i), counts));
    threads.emplace_back([&, i] {
      std::mt19937 random(static_cast<unsigned>(i));
      while (running) {
        const Phase now = phase;
        if (now == Phase::Acting) clients[i]->act();
        if (now == Phase::Gone) clients[i]->drop();
        std::this_thread::sleep_for(milliseconds(20 + random() % 200));
      }
    });
  }
  for (int i = 0; i < kTcpClients; ++i) {
    threads.emplace_back([&, i] {
      std::mt19937 random(static_cast<unsigned>(1000 + i));
      while (running) {
        if (phase == Phase::Acting) {
          tcpSession(random);
          ++counts.tcpSessions;
        }
        std::this_thread::sleep_for(milliseconds(100 + random() % 400));
      }
    });
  }

  // Every client gone: the daemon notices a cancelled stream within a second and a closed
  // connection at once.
  const auto quietPoint = [&] {
    phase = Phase::Gone;
    std::this_thread::sleep_for(seconds(4));
    QuietPoint point{Clock::now(), e2e::openDescriptors(daemon.pid()).size(),
                     readProcStatus(daemon.pid())};
    // The daemon's own API health check runs every 5 s on a thread of gRPC's: the fewest
    // threads seen over two seconds are the ones that stay.
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(milliseconds(100));
      point.status.threads = std::min(point.status.threads, readProcStatus(daemon.pid()).threads);
    }
    phase = Phase::Acting;
    return point;
  };
  std::this_thread::sleep_for(warmUp);
  const QuietPoint first = quietPoint();
  std::this_thread::sleep_for(length - warmUp);

  // The end: clients keep their streams and stop acting, the controller falls quiet.
  phase = Phase::Holding;
  std::this_thread::sleep_for(milliseconds(300));
  reporting = false;
  reporter.join();
  for (std::size_t sent = 0; sent != sim.controllerBytesSent();) {
    sent = sim.controllerBytesSent();
    std::this_thread::sleep_for(seconds(2));
  }
  int checked = 0;
  int wrong = 0;
  for (auto& client : clients) {
    std::lock_guard<std::mutex> lock(titleMutex);
    wrong += client->mismatches(sim.amplifier().volume(), lastTitle, checked);
  }
  const QuietPoint last = quietPoint();
  running = false;
  for (auto& thread : threads) thread.join();
  const bool alive = bench::alive(daemon.pid());
  clients.clear();

  const double hours = std::chrono::duration<double>(last.at - first.at).count() / 3600;
  // Over a few minutes the allocator's settling outweighs any growth per hour.
  const bool judgeRss = !kSanitized && hours >= kShortestRssWindowHours;
  const double rssPerHour = (last.status.rssKb - first.status.rssKb) / 1024.0 / hours;
  const double threadsPerHour = (last.status.threads - first.status.threads) / hours;
  // gRPC's pool starts threads when every one is busy and keeps them: over a few minutes
  // those are all a rate would see, so threads, like memory, are judged over nine minutes
  // or more.
  const bool threadsOk =
      hours < kShortestRssWindowHours || threadsPerHour < kMaxThreadGrowthPerHour;
  const std::size_t reports = sanitizerReports();
  std::printf(
      "soak: %ld subscriptions, %ld cancels, %ld unary calls (%ld failed), %ld reconnects, %ld "
      "port-84 sessions, %zu bytes reported\n",
      counts.subscribed.load(), counts.cancelled.load(), counts.unary.load(),
      counts.unaryFailed.load(), counts.reconnected.load(), counts.tcpSessions.load(),
      sim.controllerBytesSent());
  std::printf("soak: %d open streams checked after 2 s quiet, %d differ from the amplifier\n",
              checked, wrong);
  std::printf("soak: descriptors %zu after warm-up, %zu at the end\n", first.descriptors,
              last.descriptors);
  std::printf(
      "soak: VmRSS %ld -> %ld kB (%+.1f MB/h, bound %.0f%s), threads %d -> %d (%+.1f/h, "
      "bound %.0f), %zu sanitizer reports, daemon %s\n",
      first.status.rssKb, last.status.rssKb, rssPerHour, kMaxRssGrowthMbPerHour,
      judgeRss     ? ""
      : kSanitized ? ", not judged: sanitizer build"
                   : ", not judged: under 10 min",
      first.status.threads, last.status.threads, threadsPerHour, kMaxThreadGrowthPerHour, reports,
      alive ? "alive" : "DEAD");
  const bool passed = alive && wrong == 0 && checked > 0 && reports == 0 &&
                      first.descriptors == last.descriptors &&
                      (!judgeRss || rssPerHour < kMaxRssGrowthMbPerHour) && threadsOk;
  if (!passed) {
    const std::string out = daemon.output();
    std::fprintf(stderr, "soak: FAILED\n--- the daemon's last output ---\n%s\n",
                 out.substr(out.size() > 4000 ? out.size() - 4000 : 0).c_str());
  }
  std::printf("soak: %s\n", passed ? "passed" : "FAILED");
  return passed ? 0 : 1;
}

}  // namespace vantorellabs::bench
