// The board brings the daemon back by itself: the init script starts the supervisor, the
// daemon is killed, and a phone app's ObserveVolume stream reconnects and gets the
// amplifier's current state again. The simulator plays on through the daemon's absence.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Clock = std::chrono::steady_clock;

constexpr const char* kSupervisor = "/usr/sbin/amp-bridge-supervise";
constexpr const char* kLog = "/var/log/amp-bridge.log";
constexpr const char* kPidFile = "/var/run/amp-bridge.pid";
// A phone app that lost its stream gets the state back this soon after the daemon died.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr seconds kBackWithin{30};  // the daemon starts several times slower instrumented
#else
constexpr seconds kBackWithin{10};
#endif

std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST(RespawnE2eTest, KilledDaemonComesBackAndStreamsReconnect) {
  ampsim::AmpSimulator sim;
  sim.start();
  // Every start restarts Wi-Fi; this board's ifconfig leaves a process behind each time, as
  // the BLE helper and hcidump stay behind a daemon that dies.
  writeBoardScript("/board/scenario/ifconfig", "#!/bin/sh\nsleep 600 &\nexit 0\n");
  startBoardService();
  ASSERT_TRUE(waitForFileText(kLog, "<<< 0xB5", seconds(60))) << readFile(kLog);
  const std::string firstPid = readFile(kPidFile);
  ASSERT_FALSE(firstPid.empty());
  EXPECT_EQ(processesRunning("sleep 600").size(), 2U);

  // An app with a short reconnect back-off, as phone apps configure.
  grpc::ChannelArguments arguments;
  arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 200);
  arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 500);
  auto channel =
      grpc::CreateCustomChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials(), arguments);
  auto volume = pb::VolumeService::NewStub(channel);
  const auto observe = [&](seconds within) {
    return std::make_unique<StreamReader<pb::ObserveVolumeResponse>>([&](grpc::ClientContext* c) {
      c->set_wait_for_ready(true);
      c->set_deadline(std::chrono::system_clock::now() + within + seconds(60));
      return volume->ObserveVolume(c, {});
    });
  };
  auto stream = observe(seconds(0));
  grpc::ClientContext setContext;
  pb::SetVolumeRequest request;
  request.set_volume(30);
  pb::SetVolumeResponse response;
  ASSERT_TRUE(volume->SetVolume(&setContext, request, &response).ok());
  ASSERT_GE(stream->waitFor([](const auto& m) { return m.volume() == 30; }), 0);

  ASSERT_EQ(kill(std::atoi(firstPid.c_str()), SIGKILL), 0);
  const auto killedAt = Clock::now();
  // The old stream ends with the connection. The app opens a new one, waiting for the
  // daemon to be back, and opens it again whenever it fails before that.
  stream.reset();
  std::unique_ptr<StreamReader<pb::ObserveVolumeResponse>> again;
  bool back = false;
  int attempts = 0;
  while (!back && Clock::now() - killedAt < kBackWithin) {
    if (attempts++ > 0) usleep(200 * 1000);
    again = observe(kBackWithin);
    const auto left =
        std::chrono::duration_cast<seconds>(kBackWithin - (Clock::now() - killedAt)) + seconds(1);
    back = again->waitFor([](const auto& m) { return m.volume() == 30; }, 0, left) >= 0;
  }
  EXPECT_TRUE(back) << readFile(kLog);

  // A new daemon, started once, with the restart logged; the simulator played on and told
  // the new daemon everything again.
  const std::string log = readFile(kLog);
  EXPECT_THAT(linesWith(log, "amp-bridge-supervise: "),
              ElementsAre(HasSubstr("started " AMP_BRIDGE_PATH " (pid " +
                                    firstPid.substr(0, firstPid.size() - 1) + ")"),
                          MatchesRegex("amp-bridge-supervise: amp-bridge ended \\(killed by "
                                       "signal 9\\) after [0-9]+ s; starting it again in 1 s"),
                          HasSubstr("started " AMP_BRIDGE_PATH)));
  EXPECT_NE(readFile(kPidFile), firstPid);
  EXPECT_EQ(linesWith(log, "Server listening on 0.0.0.0:50051").size(), 2U);
  // What the first run left behind was ended before the second started its own.
  EXPECT_EQ(processesRunning("sleep 600").size(), 2U);

  // Stopping the board's service ends the supervisor, the daemon and its helpers.
  again.reset();
  stopBoardService();
  EXPECT_TRUE(processesRunning(kSupervisor).empty());
  EXPECT_TRUE(processesRunning(AMP_BRIDGE_PATH).empty());
  EXPECT_TRUE(processesRunning("sleep 600").empty());
  EXPECT_THAT(readFile(kLog), HasSubstr("amp-bridge-supervise: stopped\n"));
}

// A peer opens more connections than the daemon has descriptors, then closes them all. The
// listener may never accept again; the daemon's own health checks then find that new
// clients go unanswered and end it, and the supervisor starts it again. Either way a new
// client is answered in the end. The board's limits are small here so that a few hundred
// connections exhaust them.
TEST(RespawnE2eTest, ConnectionBurstLeavesTheApiAnsweringNewClients) {
  ampsim::AmpSimulator sim;
  sim.start();
  // This test's own descriptors must hold the burst.
  rlimit own{};
  getrlimit(RLIMIT_NOFILE, &own);
  own.rlim_cur = own.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &own), 0);
  startBoardService("prlimit --nofile=64:128");
  ASSERT_TRUE(waitForFileText(kLog, "Server listening on", seconds(60))) << readFile(kLog);
  EXPECT_THAT(readFile(kLog), HasSubstr("Descriptor limit: soft 64, hard 128; raising the soft "
                                        "limit to the hard limit\n"));
  ASSERT_TRUE(waitForNewClientAnswer(seconds(30)));
  const int pid = std::atoi(readFile(kPidFile).c_str());

  std::vector<int> burst;
  for (int i = 0; i < 300; ++i) burst.push_back(connectTcp(50051));
  // Wait until the daemon holds every descriptor it may have.
  const auto until = Clock::now() + seconds(60);
  while (openDescriptors(pid).size() < 128U && Clock::now() < until) usleep(50 * 1000);
  EXPECT_GE(openDescriptors(pid).size(), 128U);
  for (const int fd : burst) close(fd);

  EXPECT_TRUE(waitForNewClientAnswer(seconds(120))) << readFile(kLog);
  const std::string log = readFile(kLog);
  EXPECT_THAT(log, HasSubstr("ERROR: API not accepting connections\n"));
  stopBoardService();
}

// A daemon that fails at once, again and again: the pauses between starts grow to 30 s and
// stay there. The board's sleep is replaced so that the test need not wait them out (the
// supervisor's one-second looks at the log pass at once too); the second 30 s pause lasts,
// and a stop during it ends the supervisor at once.
TEST(RespawnE2eTest, CrashLoopBacksOffToThirtySecondsAndStopsDuringAPause) {
  writeBoardScript("/board/failing-daemon",
                   "#!/bin/sh\necho 'ERROR: open /dev/ttyS3 ret=-1'\nexit 1\n");
  mkdir("/board/fakebin", 0755);
  writeBoardScript("/board/fakebin/sleep",
                   "#!/bin/sh\n[ \"$1\" = 30 ] || exit 0\necho 30 >>/board/sleeps\n"
                   "[ \"$(grep -c . /board/sleeps)\" = 2 ] && exec /bin/sleep 600\nexit 0\n");
  const std::string command = std::string("AMP_BRIDGE=/board/failing-daemon PATH=/board/fakebin:") +
                              std::getenv("PATH") + " " + kSupervisor + " & echo $! >/board/sup";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(waitForFileText("/board/sleeps", "30\n30\n", seconds(30)));
  // The fake notes the pause before it becomes the long sleep.
  const auto pausing = Clock::now() + seconds(30);
  while (processesRunning("sleep 600").empty() && Clock::now() < pausing) usleep(100 * 1000);
  const std::set<int> supervisor = processesRunning(kSupervisor);
  ASSERT_EQ(supervisor.size(), 1U);
  ASSERT_EQ(processesRunning("sleep 600").size(), 1U);
  kill(*supervisor.begin(), SIGTERM);
  ASSERT_TRUE(waitForFileText(kLog, "amp-bridge-supervise: stopped\n", seconds(30)));

  const std::string log = readFile(kLog);
  const auto ends = linesWith(log, "ended");
  ASSERT_EQ(ends.size(), 7U);
  const char* const delays[] = {"1", "2", "4", "8", "16", "30", "30"};
  for (std::size_t i = 0; i < 7; ++i) {
    // Seconds of uptime: a run of a few milliseconds may cross a second's boundary.
    EXPECT_THAT(ends[i],
                MatchesRegex(std::string("amp-bridge-supervise: amp-bridge ended \\(exit "
                                         "status 1\\) after [01] s; starting it again in ") +
                             delays[i] + " s"));
  }
  EXPECT_EQ(linesWith(log, "ERROR: open /dev/ttyS3 ret=-1").size(), 7U);
  const auto until = Clock::now() + seconds(30);
  while (!processesRunning(kSupervisor).empty() && Clock::now() < until) usleep(100 * 1000);
  EXPECT_TRUE(processesRunning(kSupervisor).empty());
  EXPECT_TRUE(processesRunning("sleep 600").empty());
}

// A daemon that prints fast (a client sending port-84 commands in a loop makes it print
// two lines each): while it runs, its log stays near the bound, the older copy beside it,
// and the daemon goes on writing to the log through the descriptor it was started with.
TEST(RespawnE2eTest, LogOfABusyDaemonStaysBoundedWhileItRuns) {
  // 64 KB every tenth of a second, in lines of 128 bytes: a megabyte in under two seconds.
  writeBoardScript("/board/busy-daemon",
                   "#!/bin/sh\nline=$(printf '%0127d' 0)\nwhile :; do\n  i=0\n"
                   "  while [ $i -lt 512 ]; do echo \"$line\"; i=$((i + 1)); done\n"
                   "  sleep 0.1\ndone\n");
  const std::string command =
      std::string("AMP_BRIDGE=/board/busy-daemon ") + kSupervisor + " & echo $! >/board/sup";
  ASSERT_EQ(std::system(command.c_str()), 0);
  off_t largest = 0;
  off_t previous = 0;
  int emptied = 0;
  for (int i = 0; i < 120; ++i) {
    struct stat file {};
    if (stat(kLog, &file) == 0) {
      largest = std::max(largest, file.st_size);
      if (file.st_size < previous) ++emptied;
      previous = file.st_size;
    }
    usleep(50 * 1000);
  }
  const std::string pid = readFile(kPidFile);
  char target[256] = {};
  const std::string output = "/proc/" + pid.substr(0, pid.size() - 1) + "/fd/1";
  EXPECT_GT(readlink(output.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, kLog);
  kill(std::atoi(readFile("/board/sup").c_str()), SIGTERM);
  ASSERT_TRUE(waitForFileText(kLog, "amp-bridge-supervise: stopped\n", seconds(30)));

  // The bound is 256 KB and what a second (here: a few, for a busy machine) adds.
  EXPECT_GE(emptied, 2);
  EXPECT_LT(largest, 262144 + 3 * 655360);
  const std::string older = readFile(std::string(kLog) + ".1");
  EXPECT_GT(older.size(), 262144U);
  EXPECT_LT(older.size(), 262144U + 3 * 655360);
  // Written at the end of the emptied file, not at the old offset past a hole of zeros.
  const std::string log = readFile(kLog);
  EXPECT_EQ(log.find('\0'), std::string::npos);
  EXPECT_EQ(older.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace vantorellabs::e2e
