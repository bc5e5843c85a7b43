// The board boots with its wall clock at 1970 and sets it later, and NTP may set it back a
// little: the loop's periodic tasks keep their pace on the monotonic clock through such
// jumps, and the automatic update window follows the new wall time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "Fakes.h"
#include "UpdateFakes.h"
#include "ble/BleBridge.h"
#include "ble/BlePayloads.h"
#include "core/PeriodicReport.h"
#include "update/UpdateScheduler.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::int64_t kWallSetTo = 1767262200;  // 2026-01-01 10:10 UTC

// Both of the board's clocks: the monotonic one runs on, the wall clock runs with it
// until the test sets it. Shared with the installer's worker thread.
class BoardTime : public Clock, public WallClock {
 public:
  double monotonicSeconds() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return monotonic_;
  }
  void sleepSeconds(double seconds) override { advance(seconds); }
  std::int64_t utcSeconds() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::int64_t>(wall_);
  }
  void advance(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    monotonic_ += seconds;
    wall_ += seconds;
  }
  void setWall(double utc) {
    std::lock_guard<std::mutex> lock(mutex_);
    wall_ = utc;
  }
  // What "date '+%H'" prints now.
  std::string hour() {
    char text[8];
    std::snprintf(text, sizeof text, "%02d\n", static_cast<int>(utcSeconds() % 86400 / 3600));
    return text;
  }

 private:
  std::mutex mutex_;
  double monotonic_ = 50.0;
  double wall_ = 0.0;
};

// The status report and the end of fast BLE advertising, over 2600 turns of 1/16 s (exact in
// binary, so that "more than 5 s" falls on a known turn), with the wall clock set forward by
// 56 years at turn 400 and back by an hour at turn 800.
TEST(ClockJumpTest, PeriodicTasksKeepTheirPaceWhenTheWallClockIsSet) {
  BoardTime time;
  int turn = 0;
  std::vector<int> reports;
  PeriodicReport report(time, 5.0, [&] { reports.push_back(turn); });

  testing::PtyPair pty;
  testing::RecordingConsole console;
  testing::FakeShell shell;
  DeviceState state{DeviceState::kModelK40, "1.4.2"};
  state.setSerialNumber("1234567");
  state.setPoweredOnFlag('1');
  ControllerLink link(console);
  link.attach(pty.slave);
  struct NoPipe : CommandPipe {
    int start(const std::string&) override { return -1; }
    void finish(int) override {}
  } pipe;
  BleBridge ble(BleContext{console, shell, time, state, link, pipe, "/nonexistent/socket"});
  ble.refreshBleAdvertising(true);
  int slowAt = -1;

  for (; turn < 2600; ++turn) {
    if (turn == 400) time.setWall(kWallSetTo);
    if (turn == 800) time.setWall(kWallSetTo - 3600);
    report.step();
    const std::size_t before = shell.commands.size();
    ble.bleAdvertisingTimeoutStep();
    if (slowAt < 0 && shell.commands.size() > before &&
        shell.commands[before + 3] == kHcitoolSlowParameters) {
      slowAt = turn;
    }
    time.advance(1.0 / 16);
  }
  // A report at the first turn; the turn that finds more than 5 s (81 turns) passed clears
  // the mark, and the next one reports.
  std::vector<int> expected;
  for (int at = 0; at < 2600; at += 82) expected.push_back(at);
  EXPECT_EQ(reports, expected);
  // Fast advertising ends on the first turn more than 60 s after it began.
  EXPECT_EQ(slowAt, 961);
}

// The update check runs at start and every 1800 s of monotonic time, and deploys in the hour
// 10 of the wall clock as it stands at that check: not at 1970's midnight, not at once when
// the clock is set forward past 10:00, and once (the board then reboots) at the first check
// after NTP has set it back into the window.
TEST(ClockJumpTest, UpdateWindowFollowsTheWallClockAndChecksKeepTheirSpacing) {
  BoardTime time;
  testing::InstantClock pauses;
  testing::FakeBoard board;
  board.serve("sw-description-user.template", testing::swDescription("1.5.0"));
  board.serve("vantorelos.swu", testing::swDescription("1.5.0"));
  testing::PtyPair pty;
  testing::RecordingConsole console;
  DeviceState state{DeviceState::kModelK40, "1.4.2"};
  state.setSchedule('0');
  ControllerLink link(console);
  link.attach(pty.slave);
  FirmwareInstaller installer(InstallerContext{board, pauses, board, link, state, console});
  UpdateScheduler scheduler(installer, time, console, [] { return true; });

  std::vector<std::string> checks;
  for (int minute = 0; minute < 120 && board.installCommands().empty(); ++minute) {
    if (minute == 10) time.setWall(kWallSetTo + 2100);  // 10:45
    if (minute == 20) time.setWall(kWallSetTo - 900);   // corrected to 09:55
    board.outputs["date '+%H'"] = time.hour();
    console.clear();
    scheduler.autoUpdateTick();
    scheduler.waitForWorker();
    const std::string log = console.all();
    if (log.find("Time: ") != std::string::npos) {
      checks.push_back(std::to_string(minute) +
                       (log.find("Deploying") != std::string::npos ? " deploys" : " waits"));
    }
    time.advance(60);
  }
  // "More than 1800 s": the second check is at minute 31, at 10:06 on the corrected clock.
  EXPECT_THAT(checks, ElementsAre("0 waits", "31 deploys"));
  const auto installed = board.installCommands();
  ASSERT_FALSE(installed.empty());
  EXPECT_THAT(installed.front(), HasSubstr("stable,copy-B"));
  EXPECT_EQ(installed.back(), "reboot");
}

}  // namespace
}  // namespace vantorellabs
