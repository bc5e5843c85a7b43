// Figures for the daemon's hot paths, measured end to end on a disposable board: the real
// daemon on the simulator's serial ports and real gRPC clients over loopback. It prints
// figures only; a slow run is still a successful run, because timings on a shared machine
// say nothing about correctness. It fails only when something is broken (the daemon does not
// start or dies, no stream opens, nothing arrives).

#include <grpcpp/grpcpp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AmpSimulator.h"
#include "BenchCommon.h"
#include "BoardSandbox.h"
#include "E2eHarness.h"
#include "audio_inputs_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::bench {
namespace {

using protobuf::ObserveVolumeResponse;
using protobuf::VolumeService;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint8_t kCodeVolume = 0x80;

// Report → streams.
constexpr int kStreamCounts[] = {1, 10, 100};
constexpr int kMostStreams = kStreamCounts[std::size(kStreamCounts) - 1];
constexpr int kReportsPerCount = 200;
constexpr int kWarmUpReports = 5;
constexpr milliseconds kReportTimeout{2000};
// A phone app opens its four streams on one connection; grouping the streams the same way
// makes the connections and the daemon's per-connection work look like sixteen such phones.
constexpr int kStreamsPerConnection = 4;
// The daemon notices a cancelled stream within about a second (its stream loop wakes that
// often), and frees its place under the stream cap only then.
constexpr milliseconds kStreamReleaseWait{2000};
// Report values cycle through this range. Consecutive reports differ, and a value comes back
// only after sixty others, so a message can be matched to its report by value alone. The
// simulated amplifier starts at 20, outside the range, so its start-up state never matches.
constexpr int kFirstValue = 30;
constexpr int kValueCount = 60;

// SetVolume → frame.
constexpr int kSetVolumeCalls = 500;
constexpr int kWarmUpCalls = 10;

// Unary calls per second.
constexpr seconds kUnaryRun{3};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  std::size_t samples = 0;
  std::size_t lost = 0;
  double median = NAN;
  double p99 = NAN;
  double max = NAN;
};

// Nearest-rank percentiles: every figure printed is a time that was really measured.
Summary summarize(std::vector<double> values, std::size_t lost) {
  Summary s;
  s.samples = values.size();
  s.lost = lost;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const auto rank = [&](double p) {
    const auto n = static_cast<double>(values.size());
    const auto index = static_cast<std::size_t>(std::max(1.0, std::ceil(p * n))) - 1;
    return values[std::min(index, values.size() - 1)];
  };
  s.median = rank(0.50);
  s.p99 = rank(0.99);
  s.max = values.back();
  return s;
}

std::string volumeReport(int volume) {
  return std::string{static_cast<char>(kCodeVolume), static_cast<char>(volume + 1)};
}

// N open ObserveVolume streams read with the callback API: the reads complete on gRPC's own
// threads, so the client does not need one thread per stream fighting the daemon for the
// two cores.
class VolumeStreams {
 public:
  explicit VolumeStreams(int requested) : states_(static_cast<std::size_t>(requested)) {
    for (int i = 0; i < requested; ++i) {
      if (i % kStreamsPerConnection == 0) {
        stubs_.push_back(VolumeService::NewStub(newConnection()));
      }
      streams_.push_back(
          std::make_unique<Stream>(*this, static_cast<std::size_t>(i), *stubs_.back()));
    }
  }
  ~VolumeStreams() { close(); }
  VolumeStreams(const VolumeStreams&) = delete;
  VolumeStreams& operator=(const VolumeStreams&) = delete;

  // Starts every call and waits until each has either been registered by the daemon (which
  // answers a new stream with the current state at once) or been refused. Returns how many
  // are open.
  int open() {
    for (auto& stream : streams_) stream->start();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, seconds(15), [this] {
      return std::all_of(states_.begin(), states_.end(),
                         [](const State& s) { return s.opened || s.done; });
    });
    return liveLocked();
  }

  // Sends one volume report from the simulator and returns the time from just before the
  // write until the last open stream has received that value, or nothing on time-out.
  std::optional<double> deliver(ampsim::AmpSimulator& sim, int volume) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++round_;
      target_ = volume;
      received_ = 0;
    }
    const auto sent = Clock::now();
    sim.sendFrame(volumeReport(volume));
    std::unique_lock<std::mutex> lock(mutex_);
    const bool all = changed_.wait_for(lock, kReportTimeout, [this] {
      const int live = liveLocked();
      return live > 0 && received_ >= live;
    });
    if (!all) return std::nullopt;
    return micros(lastArrival_ - sent);
  }

  int refused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(states_.begin(), states_.end(),
                                          [](const State& s) { return !s.opened && s.done; }));
  }
  std::string refusal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusal_;
  }

  // Cancels every call and waits for gRPC to finish with each one: a reactor must outlive
  // its call.
  void close() {
    if (closed_) return;
    closed_ = true;
    for (auto& stream : streams_) stream->cancel();
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ended = changed_.wait_for(lock, seconds(30), [this] {
      return std::all_of(states_.begin(), states_.end(),
                         [](const State& s) { return s.done || !s.started; });
    });
    if (!ended) {
      // Freeing a reactor whose call is still running would crash later; this program is
      // about to end anyway, so the unfinished ones are left behind.
      std::fprintf(stderr, "amp-bench: some streams did not end; leaving them\n");
      for (auto& stream : streams_) stream.release();
    }
  }

 private:
  struct State {
    bool started = false;
    bool opened = false;
    bool done = false;
    long seenRound = 0;
  };

  class Stream final : public grpc::ClientReadReactor<ObserveVolumeResponse> {
   public:
    Stream(VolumeStreams& owner, std::size_t index, VolumeService::Stub& stub)
        : owner_(owner), index_(index), stub_(stub) {}

    void start() {
      {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        owner_.states_[index_].started = true;
      }
      stub_.async()->ObserveVolume(&context_, &request_, this);
      StartRead(&message_);
      StartCall();
    }
    void cancel() { context_.TryCancel(); }

    void OnReadDone(bool ok) override {
      // A failed read means the call is over; OnDone follows with its status.
      if (!ok) return;
      owner_.onMessage(index_, message_.volume(), Clock::now());
      StartRead(&message_);
    }
    void OnDone(const grpc::Status& status) override { owner_.onDone(index_, status); }

   private:
    VolumeStreams& owner_;
    const std::size_t index_;
    VolumeService::Stub& stub_;
    grpc::ClientContext context_;
    protobuf::ObserveVolumeRequest request_;
    ObserveVolumeResponse message_;
  };

  // Both notify with the lock held: once close() sees the last call done it may destroy
  // this object, condition variable included, so nothing may touch it after the unlock.
  void onMessage(std::size_t index, int volume, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[index];
    state.opened = true;
    if (volume == target_ && state.seenRound != round_) {
      state.seenRound = round_;
      ++received_;
      if (received_ == 1 || at > lastArrival_) lastArrival_ = at;
    }
    changed_.notify_all();
  }

  void onDone(std::size_t index, const grpc::Status& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[index];
    state.done = true;
    if (!state.opened && refusal_.empty()) refusal_ = statusText(status);
    changed_.notify_all();
  }

  int liveLocked() const {
    return static_cast<int>(std::count_if(states_.begin(), states_.end(),
                                          [](const State& s) { return s.opened && !s.done; }));
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<State> states_;
  long round_ = 0;
  int target_ = -1;
  int received_ = 0;
  Clock::time_point lastArrival_;
  std::string refusal_;
  bool closed_ = false;
  std::vector<std::unique_ptr<VolumeService::Stub>> stubs_;
  std::vector<std::unique_ptr<Stream>> streams_;
};

struct StreamRun {
  int requested = 0;
  int opened = 0;
  int refused = 0;
  std::string refusal;
  Summary latency;
};

struct Memory {
  std::string when;
  ProcStatus status;
};

struct UnaryRun {
  std::string method;
  int threads = 0;
  long calls = 0;
  long failures = 0;
  double perSecond = 0;
};

class Bench {
 public:
  Bench() : daemon_(AMP_BRIDGE_PATH) {}

  std::string daemonOutput() const { return daemon_.output(); }

  int run() {
    sim_.start();
    daemon_.start();
    if (!daemon_.waitForOutput("Server listening on 0.0.0.0:50051\n", seconds(60))) {
      return broken("the daemon did not start serving");
    }
    std::printf("amp-bench: daemon %s (pid %d) is serving\n", AMP_BRIDGE_PATH, daemon_.pid());
    // The start-up reports and the DA module greeting follow the handshake; memory is
    // measured once they are over.
    std::this_thread::sleep_for(seconds(1));
    remember("idle after start");

    for (const int count : kStreamCounts) {
      if (!measureStreams(count)) return broken("no report reached the streams");
      std::this_thread::sleep_for(kStreamReleaseWait);
    }
    remember("streams closed again");
    if (!measureSetVolume()) return broken("SetVolume never reached the wire");
    for (const int threads : {1, 4}) {
      measureUnary("VolumeService.GetServiceSchema", threads, [](const auto& channel) {
        return std::function<bool()>([stub = std::shared_ptr(VolumeService::NewStub(channel))] {
          grpc::ClientContext context;
          context.set_deadline(std::chrono::system_clock::now() + seconds(5));
          protobuf::GetVolumeServiceSchemaRequest request;
          protobuf::GetVolumeServiceSchemaResponse response;
          return stub->GetServiceSchema(&context, request, &response).ok();
        });
      });
      measureUnary("AudioInputsService.GetInputs", threads, [](const auto& channel) {
        using protobuf::AudioInputsService;
        return std::function<bool()>(
            [stub = std::shared_ptr(AudioInputsService::NewStub(channel))] {
              grpc::ClientContext context;
              context.set_deadline(std::chrono::system_clock::now() + seconds(5));
              protobuf::GetAudioInputsRequest request;
              protobuf::GetAudioInputsResponse response;
              return stub->GetInputs(&context, request, &response).ok();
            });
      });
    }
    // A second round of the largest stream count shows whether memory climbs with each
    // round of streams opened and closed, or settles.
    if (!holdStreams(kMostStreams)) {
      return broken("no stream opened the second time");
    }
    std::this_thread::sleep_for(kStreamReleaseWait);
    remember("end of run, streams closed");
    if (!alive(daemon_.pid())) return broken("the daemon died during the run");
    printTable();
    return 0;
  }

 private:
  int broken(const std::string& what) {
    std::fprintf(stderr, "amp-bench: %s\n", what.c_str());
    const std::string out = daemon_.output();
    const std::size_t tail = out.size() > 4000 ? out.size() - 4000 : 0;
    std::fprintf(stderr, "--- the daemon's last output ---\n%s\n", out.substr(tail).c_str());
    return 1;
  }

  void remember(const std::string& when) {
    memory_.push_back({when, readProcStatus(daemon_.pid())});
  }

  int nextValue() { return kFirstValue + static_cast<int>(reports_++ % kValueCount); }

  bool measureStreams(int requested) {
    StreamRun run;
    run.requested = requested;
    VolumeStreams streams(requested);
    run.opened = streams.open();
    run.refused = streams.refused();
    run.refusal = streams.refusal();
    std::printf("report -> streams: %d requested, %d open\n", requested, run.opened);
    std::fflush(stdout);
    if (run.opened == 0) return false;
    // The first reports after the streams opened also pay for connections warming up.
    for (int i = 0; i < kWarmUpReports; ++i) streams.deliver(sim_, nextValue());
    std::vector<double> latencies;
    std::size_t lost = 0;
    for (int i = 0; i < kReportsPerCount; ++i) {
      if (const auto us = streams.deliver(sim_, nextValue())) {
        latencies.push_back(*us);
      } else {
        ++lost;
      }
    }
    if (requested == kMostStreams) {
      remember(std::to_string(run.opened) + " streams open (" + std::to_string(requested) +
               " requested)");
    }
    streams.close();
    run.latency = summarize(std::move(latencies), lost);
    streamRuns_.push_back(run);
    return run.latency.samples > 0;
  }

  bool holdStreams(int requested) {
    VolumeStreams streams(requested);
    const int opened = streams.open();
    remember(std::to_string(opened) + " streams open again");
    return opened > 0;
  }

  bool measureSetVolume() {
    auto stub = VolumeService::NewStub(newConnection());
    // The daemon refuses SetVolume while the amplifier's product state is still changing;
    // wait until it takes one.
    const auto settleBy = Clock::now() + seconds(15);
    for (;;) {
      grpc::ClientContext context;
      protobuf::SetVolumeRequest request;
      protobuf::SetVolumeResponse response;
      request.set_volume(25);
      if (stub->SetVolume(&context, request, &response).ok()) break;
      if (Clock::now() > settleBy) return false;
      std::this_thread::sleep_for(milliseconds(100));
    }
    std::printf("SetVolume -> frame: %d calls\n", kSetVolumeCalls);
    std::fflush(stdout);

    std::vector<double> toFrame;
    std::vector<double> toAnswer;
    std::size_t lost = 0;
    for (int i = 0; i < kWarmUpCalls + kSetVolumeCalls; ++i) {
      // Alternate values, so that each call's frame differs from the one before.
      const int volume = 40 + i % 2;
      const std::string frame{static_cast<char>(kCodeVolume), static_cast<char>(volume)};
      const std::size_t from = sim_.receivedFrames().size();

      grpc::ClientContext context;
      context.set_deadline(std::chrono::system_clock::now() + seconds(5));
      protobuf::SetVolumeRequest request;
      protobuf::SetVolumeResponse response;
      request.set_volume(volume);
      std::mutex mutex;
      std::condition_variable answered;
      std::optional<grpc::Status> status;
      Clock::time_point answeredAt;

      // The call runs on gRPC's threads while this thread waits for the frame: the daemon
      // writes the frame before it answers, so waiting for the answer first would hide when
      // the frame really arrived.
      const auto start = Clock::now();
      stub->async()->SetVolume(&context, &request, &response, [&](grpc::Status s) {
        std::lock_guard<std::mutex> lock(mutex);
        answeredAt = Clock::now();
        status = std::move(s);
        answered.notify_all();
      });
      const int index =
          sim_.waitForFrame([&](const std::string& f) { return f == frame; }, from, seconds(2));
      const auto frameAt = Clock::now();
      std::unique_lock<std::mutex> lock(mutex);
      answered.wait(lock, [&] { return status.has_value(); });
      if (i < kWarmUpCalls) continue;
      if (index < 0 || !status->ok()) {
        ++lost;
        continue;
      }
      toFrame.push_back(micros(frameAt - start));
      toAnswer.push_back(micros(answeredAt - start));
    }
    setVolumeFrame_ = summarize(std::move(toFrame), lost);
    setVolumeAnswer_ = summarize(std::move(toAnswer), lost);
    return setVolumeFrame_.samples > 0;
  }

  // Each client thread has a connection of its own, like separate clients.
  using CallMaker =
      std::function<std::function<bool()>(const std::shared_ptr<grpc::Channel>& channel)>;
  void measureUnary(const std::string& method, int threads, const CallMaker& makeCall) {
    std::printf("unary: %s, %d thread(s)\n", method.c_str(), threads);
    std::fflush(stdout);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};
    Clock::time_point end;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        const auto channel = newConnection();
        const auto call = makeCall(channel);
        call();  // connects and warms up before the clock runs
        ++ready;
        while (!go.load()) std::this_thread::yield();
        long ok = 0;
        long failed = 0;
        while (Clock::now() < end) (call() ? ok : failed)++;
        calls += ok;
        failures += failed;
      });
    }
    while (ready.load() < threads) std::this_thread::sleep_for(milliseconds(5));
    const auto start = Clock::now();
    end = start + kUnaryRun;
    go = true;
    for (auto& worker : workers) worker.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    unaryRuns_.push_back({method, threads, calls.load(), failures.load(), calls.load() / elapsed});
  }

  void printTable() const {
    std::printf(
        "\n== Volume report -> every ObserveVolume stream "
        "(simulator write until the last stream has the value), microseconds\n");
    std::printf("%9s %6s %8s %8s %5s %9s %9s %9s\n", "requested", "open", "refused", "reports",
                "lost", "median", "p99", "max");
    for (const auto& r : streamRuns_) {
      std::printf("%9d %6d %8d %8zu %5zu %9.0f %9.0f %9.0f\n", r.requested, r.opened, r.refused,
                  r.latency.samples, r.latency.lost, r.latency.median, r.latency.p99,
                  r.latency.max);
    }
    for (const auto& r : streamRuns_) {
      if (r.refused > 0) {
        std::printf("  %d requested: %d refused with status %s (the daemon's stream cap)\n",
                    r.requested, r.refused, r.refusal.c_str());
      }
    }

    std::printf("\n== SetVolume (%d calls), microseconds from the call's start\n", kSetVolumeCalls);
    std::printf("%-26s %8s %5s %9s %9s %9s\n", "", "calls", "lost", "median", "p99", "max");
    const auto row = [](const char* name, const Summary& s) {
      std::printf("%-26s %8zu %5zu %9.0f %9.0f %9.0f\n", name, s.samples, s.lost, s.median, s.p99,
                  s.max);
    };
    row("frame 0x80 at the amplifier", setVolumeFrame_);
    row("answer OK at the client", setVolumeAnswer_);

    std::printf("\n== Unary calls per second (%lld s each, one connection per thread)\n",
                static_cast<long long>(kUnaryRun.count()));
    std::printf("%-34s %7s %9s %8s %9s\n", "method", "threads", "calls", "failed", "calls/s");
    for (const auto& r : unaryRuns_) {
      std::printf("%-34s %7d %9ld %8ld %9.0f\n", r.method.c_str(), r.threads, r.calls, r.failures,
                  r.perSecond);
    }

    std::printf("\n== Daemon memory (/proc/<pid>/status)\n");
    std::printf("%-36s %10s %10s %8s\n", "when", "VmRSS kB", "VmHWM kB", "threads");
    for (const auto& m : memory_) {
      std::printf("%-36s %10ld %10ld %8d\n", m.when.c_str(), m.status.rssKb, m.status.hwmKb,
                  m.status.threads);
    }
  }

  // Declared before the daemon, so that the daemon is stopped first and never sees its
  // serial ports vanish.
  ampsim::AmpSimulator sim_;
  e2e::DaemonProcess daemon_;
  long reports_ = 0;
  std::vector<StreamRun> streamRuns_;
  Summary setVolumeFrame_;
  Summary setVolumeAnswer_;
  std::vector<UnaryRun> unaryRuns_;
  std::vector<Memory> memory_;
};

// The controller's hellos while four clients flood SetVolume and the amplifier reads its
// port at the line's rate (115200 baud): how long the daemon's answer takes to reach the
// amplifier, and whether any of the loop's own frames is lost.
int runFlood() {
  constexpr int kClients = 4;
  constexpr int kHellos = 50;
  ampsim::AmpSimOptions options;
  options.readAtLineRate = true;
  ampsim::AmpSimulator sim(options);
  e2e::DaemonProcess daemon(AMP_BRIDGE_PATH);
  sim.start();
  daemon.start();
  if (!daemon.waitForOutput("Server listening on 0.0.0.0:50051\n", seconds(60)) ||
      !daemon.waitForOutput("<<< 0xB5", seconds(30))) {
    std::fprintf(stderr, "amp-bench: the daemon did not start serving\n");
    return 1;
  }
  std::printf("flood: %d clients calling SetVolume, amplifier reading at 11,520 bytes/s\n",
              kClients);
  std::fflush(stdout);
  std::atomic<bool> flooding{true};
  std::atomic<long> calls{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto stub = VolumeService::NewStub(newConnection());
      for (int i = 0; flooding; ++i) {
        grpc::ClientContext context;
        protobuf::SetVolumeRequest request;
        protobuf::SetVolumeResponse response;
        request.set_volume(20 + (i + c) % 2);
        stub->SetVolume(&context, request, &response);
        ++calls;
      }
    });
  }
  std::this_thread::sleep_for(seconds(1));
  const std::size_t floodStart = sim.receivedFrames().size();
  const auto floodStartedAt = Clock::now();
  const long callsBefore = calls.load();
  std::vector<double> latencies;
  std::size_t lost = 0;
  for (int h = 0; h < kHellos; ++h) {
    const std::size_t from = sim.receivedFrames().size();
    const auto sent = Clock::now();
    sim.sendFrame("\x01");
    const int answer = sim.waitForCode(0x02, from, seconds(5));
    if (answer < 0) {
      ++lost;
    } else {
      latencies.push_back(micros(sim.frameTime(static_cast<std::size_t>(answer)) - sent));
    }
    std::this_thread::sleep_for(milliseconds(150));
  }
  flooding = false;
  for (auto& t : clients) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - floodStartedAt).count();
  const auto frames = sim.receivedFrames();
  const auto count = [&](char code) {
    return std::count_if(frames.begin() + static_cast<long>(floodStart), frames.end(),
                         [code](const std::string& f) { return !f.empty() && f[0] == code; });
  };
  const Summary s = summarize(std::move(latencies), lost);
  std::printf("\n== Hello -> 0x02 answer at the amplifier under the flood, microseconds\n");
  std::printf("%8s %5s %9s %9s %9s\n", "hellos", "lost", "median", "p99", "max");
  std::printf("%8zu %5zu %9.0f %9.0f %9.0f\n", s.samples, s.lost, s.median, s.p99, s.max);
  std::printf(
      "over %.1f s: %ld SetVolume calls answered, %ld volume frames and %ld status "
      "reports (0x09) reached the amplifier, %zu write errors in the daemon's log\n",
      elapsed, calls.load() - callsBefore, static_cast<long>(count('\x80')),
      static_cast<long>(count('\x09')), daemon.countInOutput(">>> ERROR: write"));
  return 0;
}

// A peer opens 700 connections against a daemon whose descriptor limits are those of a
// board with a soft limit of 256 and a hard limit of 512, then closes them all: how long
// until a new client is answered, and whether that took a restart (the watchdog ends a
// daemon whose listener no longer accepts, and the supervisor starts it again).
int runBurst() {
  constexpr int kConnections = 700;
  constexpr const char* kLog = "/var/log/amp-bridge.log";
  constexpr const char* kPidFile = "/var/run/amp-bridge.pid";
  ampsim::AmpSimulator sim;
  sim.start();
  rlimit own{};
  getrlimit(RLIMIT_NOFILE, &own);
  own.rlim_cur = own.rlim_max;
  setrlimit(RLIMIT_NOFILE, &own);
  e2e::startBoardService("prlimit --nofile=256:512");
  if (!e2e::waitForFileText(kLog, "Server listening on", seconds(60)) ||
      !e2e::waitForNewClientAnswer(seconds(30))) {
    std::fprintf(stderr, "amp-bench: the daemon did not start serving\n%s",
                 e2e::readFile(kLog).c_str());
    return 1;
  }
  const int pid = std::atoi(e2e::readFile(kPidFile).c_str());
  std::vector<int> burst;
  for (int i = 0; i < kConnections; ++i) burst.push_back(e2e::connectTcp(50051));
  const auto opened = std::count_if(burst.begin(), burst.end(), [](int fd) { return fd >= 0; });
  // The daemon takes what its limit allows; wait until it holds no more.
  std::size_t held = 0;
  for (int quiet = 0; quiet < 10; std::this_thread::sleep_for(milliseconds(100))) {
    const std::size_t now = e2e::openDescriptors(pid).size();
    quiet = now == held ? quiet + 1 : 0;
    held = now;
  }
  for (const int fd : burst) {
    if (fd >= 0) close(fd);
  }
  const auto closedAt = Clock::now();
  const bool answered = e2e::waitForNewClientAnswer(seconds(120));
  const double after = std::chrono::duration<double>(Clock::now() - closedAt).count();
  const bool restarted = std::atoi(e2e::readFile(kPidFile).c_str()) != pid;
  e2e::stopBoardService();
  std::printf(
      "\n== Connection burst: %d opened (%ld accepted by the kernel), soft limit 256, "
      "hard 512\n",
      kConnections, static_cast<long>(opened));
  std::printf("descriptors held by the daemon at the peak: %zu\n", held);
  if (!answered) {
    std::printf("no new client answered within 120 s of closing them\n");
    return 1;
  }
  std::printf("new client answered %.1f s after they were closed (%s)\n", after,
              restarted ? "the watchdog ended the daemon and the supervisor started it again"
                        : "the daemon kept accepting");
  return 0;
}

}  // namespace
}  // namespace vantorellabs::bench

int main(int argc, char** argv) {
  boardsandbox::requireBoardSandbox("amp-bench");
  // --daemon-output: print what the daemon wrote, after the figures, to look into a run.
  // --flood: only the client flood against a line-rate amplifier.
  // --burst: only the connection burst against small descriptor limits.
  // --faults [NAME-PART]: the fault suite; --soak MINUTES: the soak.
  const std::string option = argc > 1 ? argv[1] : "";
  if (option == "--flood") return vantorellabs::bench::runFlood();
  if (option == "--burst") return vantorellabs::bench::runBurst();
  if (option == "--faults") {
    return vantorellabs::bench::runFaults(AMP_SOURCE_DIR, argc > 2 ? argv[2] : "");
  }
  if (option == "--soak") {
    const double minutes = argc > 2 ? std::atof(argv[2]) : 0;
    if (minutes <= 0) {
      std::fprintf(stderr, "usage: amp-bench --soak MINUTES\n");
      return 2;
    }
    return vantorellabs::bench::runSoak(minutes);
  }
  const bool showDaemonOutput = option == "--daemon-output";
  vantorellabs::bench::Bench bench;
  const int status = bench.run();
  if (showDaemonOutput) std::fprintf(stderr, "%s", bench.daemonOutput().c_str());
  return status;
}
