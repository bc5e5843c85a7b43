#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "Fakes.h"
#include "RecordingOwners.h"
#include "core/App.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::RecordingConsole;
using testing::RecordingOwners;

// A pseudo-terminal whose slave side the code under test opens by path, as it opens
// /dev/ttyS3; the test plays the far end on the master.
struct PortUnderTest {
  PortUnderTest() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    grantpt(master);
    unlockpt(master);
    // A new pseudo-terminal is canonical with echo, like an unconfigured serial port.
    path = ptsname(master);
  }
  ~PortUnderTest() { ::close(master); }
  std::string drain() const {
    std::string out;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(master, buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }
  int master = -1;
  std::string path;
};

// The settings of an open port, read back from the device itself.
void expectRawPort(int fd, const char* what) {
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0) << what;
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200)) << what;
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200)) << what;
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR)) << what;
  EXPECT_EQ(t.c_oflag & OPOST, 0U) << what;
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0U) << what;
  EXPECT_EQ(t.c_cflag & CLOCAL, static_cast<tcflag_t>(CLOCAL)) << what;
  EXPECT_EQ(t.c_cc[VMIN], 0) << what;
  EXPECT_EQ(t.c_cc[VTIME], 10) << what;
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << what;
}

class AppTest : public ::testing::Test {
 protected:
  AppContext context(std::function<void()> startApi) {
    return AppContext{console,
                      shell,
                      clock,
                      state,
                      link,
                      owners,
                      controller.path.c_str(),
                      da.path.c_str(),
                      std::move(startApi),
                      nullptr,
                      {},
                      {}};
  }

  PortUnderTest controller;
  PortUnderTest da;
  RecordingConsole console;
  FakeShell shell;
  FakeClock clock;
  RecordingOwners owners;
  DeviceState state{DeviceState::kModelK40, "1.4.2"};
  ControllerLink link{console};
};

TEST_F(AppTest, SilentControllerEndsStartUpInBootParameterCAndReboot) {
  // Empty frames end each poll step at once, so 5000 steps take moments, not minutes.
  std::atomic<bool> done{false};
  std::thread chatter([&] {
    while (!done) {
      (void)::write(controller.master, "", 1);
      controller.drain();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  bool apiStarted = false;
  App app(context([&] { apiStarted = true; }));
  const int result = app.run();
  done = true;
  chatter.join();

  EXPECT_EQ(result, -1);
  EXPECT_FALSE(apiStarted);
  EXPECT_EQ(console.prints().front(), "Vantorel Acoustics, Inc.: Model = K40\n");
  EXPECT_THAT(shell.commands, ElementsAre("ifconfig wlan0 down", "ifconfig wlan0 up",
                                          "fw_setenv bootparam C", "reboot"));
  expectRawPort(link.fd(), "controller port after start-up");
}

struct ApiStarted {};

TEST_F(AppTest, AnsweringControllerStartsTheApiAfterThePortsAndTheHandshake) {
  std::thread controllerSide([&] {
    // Answer the first hello with ready.
    std::string seen;
    for (int i = 0; i < 500 && seen.find(std::string("\x01", 1) + '\0') == std::string::npos; ++i) {
      pollfd p{controller.master, POLLIN, 0};
      ::poll(&p, 1, 10);
      seen += controller.drain();
    }
    (void)::write(controller.master, "\x02", 2);
  });
  App app(context([&] {
    EXPECT_TRUE(link.isReady());
    throw ApiStarted{};
  }));
  EXPECT_THROW(app.run(), ApiStarted);
  controllerSide.join();
  EXPECT_THAT(shell.commands, ElementsAre("ifconfig wlan0 down", "ifconfig wlan0 up"));
  EXPECT_THAT(console.all(), HasSubstr("<<< 0x02"));
  // The DA port is open but untouched: its settings wait for the module's handshake.
  termios daSettings{};
  const int daFd = ::open(da.path.c_str(), O_RDWR | O_NOCTTY);
  tcgetattr(daFd, &daSettings);
  EXPECT_NE(daSettings.c_lflag & ICANON, 0U);
  ::close(daFd);
}

TEST_F(AppTest, DaPortTakesItsSettingsWhenTheHandshakeStarts) {
  DaModuleLink daLink(link, state, owners, console);
  const int fd = daLink.openDaLink(da.path.c_str());
  termios before{};
  tcgetattr(fd, &before);
  EXPECT_NE(before.c_lflag & ICANON, 0U) << "not applied at opening";
  testing::FakePoller poller;
  bool checked = false;
  poller.onStep = [&](int step) {
    if (step == 0) {
      expectRawPort(fd, "DA port during its handshake");
      checked = true;
    }
  };
  link.attach(controller.master);  // the handshake's controller frames go nowhere useful
  daLink.runDaHandshake(poller);
  EXPECT_TRUE(checked);
}

}  // namespace
}  // namespace vantorellabs
