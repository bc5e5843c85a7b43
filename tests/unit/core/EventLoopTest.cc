#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "Fakes.h"
#include "core/EventLoop.h"
#include "core/PeriodicReport.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::PtyPair;
using testing::RecordingConsole;

bool drain(int fd) {
  char buffer[256];
  return ::read(fd, buffer, sizeof buffer) > 0;
}

TEST(EventLoopTest, ReadyDescriptorsAreHandledInFixedOrder) {
  RecordingConsole console;
  FakeClock clock;
  EventLoop loop(console, clock);
  PtyPair da;
  PtyPair controller;
  std::vector<std::string> order;
  // Registered in the opposite order on purpose.
  loop.watch(LoopSource::ControllerPort, controller.slave, [&] {
    order.emplace_back("controller");
    return drain(controller.slave);
  });
  loop.watch(LoopSource::DaPort, da.slave, [&] {
    order.emplace_back("da");
    return drain(da.slave);
  });
  controller.writeMaster("x");
  da.writeMaster("y");
  controller.awaitSlaveReadable();
  da.awaitSlaveReadable();
  loop.pollStep();
  EXPECT_THAT(order, ElementsAre("da", "controller"));
}

TEST(EventLoopTest, ReadableDescriptorThatYieldsNothingDoesNotSpin) {
  RecordingConsole console;
  FakeClock clock;
  EventLoop loop(console, clock);
  PtyPair port;
  port.writeMaster("z");
  port.awaitSlaveReadable();
  int calls = 0;
  loop.watch(LoopSource::ControllerPort, port.slave, [&] {
    ++calls;
    return false;  // as a port at end of file does
  });
  loop.pollStep();
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(clock.sleeps.size(), 1U);
  EXPECT_DOUBLE_EQ(clock.sleeps[0], 0.05);
}

// A pipe opened again during a burst of connections gets a descriptor above select()'s
// 1024; its data and its writer's end must reach the handler like any other.
TEST(EventLoopTest, PipeAboveSelectsLimitIsServedToItsEnd) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 2048) GTEST_SKIP() << "hard descriptor limit below 2048";
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const int high = ::fcntl(ends[0], F_DUPFD_CLOEXEC, 2000);
  ASSERT_GE(high, 2000);
  ::close(ends[0]);
  RecordingConsole console;
  FakeClock clock;
  EventLoop loop(console, clock);
  std::vector<ssize_t> reads;
  loop.watch(LoopSource::BleEventPipe, high, [&] {
    char buffer[16];
    reads.push_back(::read(high, buffer, sizeof buffer));
    return reads.back() > 0;
  });
  ASSERT_EQ(::write(ends[1], "ok", 2), 2);
  loop.pollStep();
  ::close(ends[1]);
  loop.pollStep();
  EXPECT_THAT(reads, ElementsAre(2, 0));
  ::close(high);
}

TEST(PeriodicReportTest, ReportsAtFirstTurnThenAfterMoreThanFiveSeconds) {
  FakeClock clock;
  std::vector<double> reports;
  PeriodicReport report(clock, 5.0, [&] { reports.push_back(clock.now - 1000.0); });
  for (int turn = 0; turn < 300; ++turn) {
    report.step();
    clock.now += 0.05;
  }
  // 15 s of turns: at 0; the turn at 5.05 s notices that more than 5 s have passed, and
  // the turn after it reports.
  ASSERT_EQ(reports.size(), 3U);
  EXPECT_DOUBLE_EQ(reports[0], 0.0);
  EXPECT_NEAR(reports[1], 5.10, 1e-6);
  EXPECT_NEAR(reports[2], 10.20, 1e-6);
}

TEST(PeriodicReportTest, ExactlyFiveSecondsIsNotEnough) {
  FakeClock clock;
  int reports = 0;
  PeriodicReport report(clock, 5.0, [&] { ++reports; });
  report.step();
  clock.now += 5.0;
  report.step();
  report.step();
  EXPECT_EQ(reports, 1);
  clock.now += 0.001;
  report.step();
  report.step();
  EXPECT_EQ(reports, 2);
}

}  // namespace
}  // namespace vantorellabs
