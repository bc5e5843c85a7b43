#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>

#include "Fakes.h"
#include "ble/BleBridge.h"
#include "ble/BlePayloads.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::PtyPair;
using testing::RecordingConsole;

// Frames as the controller receives them: code, payload and the terminator.
const std::string kSlowFrame{'\x08', '0', '\0'};
const std::string kFastFrame{'\x08', '1', '\0'};
const std::string kConnectedFrames{'\x08', '2', '\0', '\x09', '1', '\0'};

// A pipe the test writes, standing in for hcidump's output.
class FakeCommandPipe : public CommandPipe {
 public:
  ~FakeCommandPipe() override { end(); }
  int start(const std::string& command) override {
    started.push_back(command);
    if (failStarts) {
      errno = EMFILE;
      return -1;
    }
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    end();
    writeFd = fds[1];
    return fds[0];
  }
  void finish(int fd) override {
    finished.push_back(fd);
    ::close(fd);
  }
  void write(const std::string& text) const {
    ASSERT_EQ(::write(writeFd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void end() {
    if (writeFd >= 0) ::close(writeFd);
    writeFd = -1;
  }

  int writeFd = -1;
  bool failStarts = false;
  std::vector<std::string> started;
  std::vector<int> finished;
};

const std::string kSlowRefresh[] = {
    "hcitool -i hci0 cmd 0x08 0x0008 18 02 01 05 02 0A 14 11 FF FF FF 00 01 01 00 00 00 00 31 32 "
    "33 34 35 36 37 00 00 00 00 00 00 00",
    "hcitool -i hci0 cmd 0x08 0x0009 0D 0C 09 4B 34 30 2D 31 32 33 34 35 36 37 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00",
    "hcitool -i hci0 cmd 0x08 0x000a 00",
    "hcitool -i hci0 cmd 0x08 0x0006 F4 00 F4 00 02 00 00 00 00 00 00 00 00 07 00",
    "hcitool -i hci0 cmd 0x08 0x000a 01"};

class BleBridgeTest : public ::testing::Test {
 protected:
  BleBridgeTest() {
    link.attach(pty.slave);
    state.setSerialNumber("1234567");
    state.setPoweredOnFlag('1');
    ble.setNetworkStatusReport([this] { ++networkReports; });
    ble.setEventPipeWatcher([this](int fd) { watchedFds.push_back(fd); });
  }
  ~BleBridgeTest() override { ::unlink(socketPath.c_str()); }

  std::string frames() { return pty.readAvailable(); }
  void feed(const std::string& text) {
    pipe.write(text);
    while (ble.bleEventStep()) {
      pollfd p{ble.eventPipeFd(), POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
    }
  }

  PtyPair pty;
  RecordingConsole console;
  FakeShell shell;
  FakeClock clock;
  FakeCommandPipe pipe;
  DeviceState state{DeviceState::kModelK40, "1.4.2"};
  ControllerLink link{console};
  std::string socketPath = "/tmp/ble-bridge-test-" + std::to_string(::getpid());
  BleBridge ble{BleContext{console, shell, clock, state, link, pipe, socketPath.c_str()}};
  int networkReports = 0;
  std::vector<int> watchedFds;
};

TEST(BlePayloadsTest, CommandsCarryModelAndSerialNumber) {
  struct Case {
    int model;
    std::string data;
    std::string scan;
  };
  const Case cases[] = {
      {DeviceState::kModelK40, kSlowRefresh[0], kSlowRefresh[1]},
      {DeviceState::kModelK7100,
       "hcitool -i hci0 cmd 0x08 0x0008 18 02 01 05 02 0A 14 11 FF FF FF 00 02 01 00 00 00 00 "
       "31 32 33 34 35 36 37 00 00 00 00 00 00 00",
       "hcitool -i hci0 cmd 0x08 0x0009 0F 0E 09 4B 37 31 30 30 2D 31 32 33 34 35 36 37 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
      {7,
       "hcitool -i hci0 cmd 0x08 0x0008 18 02 01 05 02 0A 14 11 FF FF FF 00 00 01 00 00 00 00 "
       "31 32 33 34 35 36 37 00 00 00 00 00 00 00",
       "hcitool -i hci0 cmd 0x08 0x0009 02 01 09 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(advertisingDataCommand(c.model, "1234567"), c.data) << c.model;
    const std::string scan = scanResponseCommand(c.model, "1234567");
    EXPECT_EQ(scan, c.scan) << c.model;
    // One length byte and 31 data bytes after the command's 5 words, always.
    EXPECT_EQ(scan.size() - std::string(kHcitoolScanResponse).size() - 1, 95U);
  }
  // The serial number always takes seven bytes: a shorter one is padded with zero bytes, a
  // longer one cut, and every byte is written as the unsigned value it holds.
  const std::pair<std::string, std::string> serials[] = {
      {"123456", "31 32 33 34 35 36 00"},
      {"12345678", "31 32 33 34 35 36 37"},
      {"", "00 00 00 00 00 00 00"},
      {"\x01\x7F\x80\xFF #\xC3", "01 7F 80 FF 20 23 C3"},
  };
  for (const auto& [serial, hex] : serials) {
    EXPECT_EQ(advertisingDataCommand(DeviceState::kModelK40, serial),
              "hcitool -i hci0 cmd 0x08 0x0008 18 02 01 05 02 0A 14 11 FF FF FF 00 01 01 00 00 00 "
              "00 " +
                  hex + " 00 00 00 00 00 00 00")
        << hex;
    std::string zeros;
    for (int i = 0; i < 18; ++i) zeros += " 00";
    EXPECT_EQ(scanResponseCommand(DeviceState::kModelK40, serial),
              "hcitool -i hci0 cmd 0x08 0x0009 0D 0C 09 4B 34 30 2D " + hex + zeros)
        << hex;
  }
}

TEST_F(BleBridgeTest, RefreshDrivesHcitoolAndTellsTheController) {
  struct Case {
    bool poweredOn;
    bool fast;
    std::vector<std::string> commands;
    std::string frame;
    bool fastAfter;
  };
  std::vector<std::string> fastRefresh(std::begin(kSlowRefresh), std::end(kSlowRefresh));
  fastRefresh[3] = "hcitool -i hci0 cmd 0x08 0x0006 20 00 20 00 00 00 00 00 00 00 00 00 00 07 00";
  const std::vector<std::string> slowRefresh(std::begin(kSlowRefresh), std::end(kSlowRefresh));
  const Case cases[] = {{true, true, fastRefresh, kFastFrame, true},
                        {true, false, slowRefresh, kSlowFrame, false},
                        {false, true, {"hcitool -i hci0 cmd 0x08 0x000a 00"}, kSlowFrame, false}};
  for (const Case& c : cases) {
    state.setPoweredOnFlag(c.poweredOn ? '1' : '0');
    shell.commands.clear();
    ble.refreshBleAdvertising(c.fast);
    EXPECT_EQ(shell.commands, c.commands);
    EXPECT_EQ(frames(), c.frame);
    EXPECT_EQ(ble.isFastAdvertising(), c.fastAfter);
  }
}

TEST_F(BleBridgeTest, FastAdvertisingFallsBackToSlowAfterSixtySeconds) {
  ble.refreshBleAdvertising(true);
  frames();
  clock.now += 60.0;
  shell.commands.clear();
  ble.bleAdvertisingTimeoutStep();
  EXPECT_TRUE(shell.commands.empty());
  clock.now += 1.0;
  ble.bleAdvertisingTimeoutStep();
  EXPECT_THAT(shell.commands, ElementsAre(kSlowRefresh[0], kSlowRefresh[1], kSlowRefresh[2],
                                          kSlowRefresh[3], kSlowRefresh[4]));
  EXPECT_EQ(frames(), kSlowFrame);
  EXPECT_FALSE(ble.isFastAdvertising());

  // While a central is connected, fast advertising does not time out.
  ble.startBleEventPipe();
  ble.refreshBleAdvertising(true);
  feed("> HCI Event: LE Meta Event (0x3e) plen 19\n    LE Connection Complete\n");
  clock.now += 120.0;
  shell.commands.clear();
  ble.bleAdvertisingTimeoutStep();
  EXPECT_TRUE(shell.commands.empty());
}

TEST_F(BleBridgeTest, HcidumpLinesConnectAndDisconnect) {
  ble.startBleEventPipe();
  EXPECT_THAT(pipe.started, ElementsAre("hcidump"));
  ASSERT_EQ(watchedFds.size(), 1U);
  // A line may arrive in pieces, and several in one read.
  feed("> HCI Event: LE Meta Event (0x3e) plen 19\n    LE Conn");
  EXPECT_FALSE(ble.bleCentralConnected());
  feed("ection Complete\n      status 0x00 handle 64\n");
  EXPECT_TRUE(ble.bleCentralConnected());
  EXPECT_EQ(frames(), kConnectedFrames);
  shell.commands.clear();
  feed("> HCI Event: Disconn Complete (0x05) plen 4\n");
  EXPECT_FALSE(ble.bleCentralConnected()) << "Wi-Fi recovery must not stay suppressed";
  EXPECT_EQ(shell.commands.size(), 5U);
  EXPECT_EQ(shell.commands[3], kSlowRefresh[3]);
  EXPECT_EQ(frames(), kSlowFrame);
  EXPECT_EQ(networkReports, 1);
  // An over-long line is read in 255-character pieces, as a line buffer would.
  feed(std::string(250, 'x') + "LE Connection Complete\n");
  EXPECT_FALSE(ble.bleCentralConnected());
  EXPECT_EQ(frames(), "");
}

TEST_F(BleBridgeTest, EndedHcidumpIsRestartedAfterGrowingPauses) {
  ble.startBleEventPipe();
  const int first = watchedFds.back();
  feed("> HCI Event: Disconn Complete (0x05) plen 4");
  pipe.end();
  EXPECT_FALSE(ble.bleEventStep());
  // The last partial line still counts; the pipe leaves the loop.
  EXPECT_EQ(networkReports, 1);
  EXPECT_THAT(pipe.finished, ElementsAre(first));
  EXPECT_EQ(watchedFds.back(), -1);

  // Seconds until the next start is tried, in steps of one.
  const auto restartAfter = [&] {
    const std::size_t starts = pipe.started.size();
    int waited = 0;
    while (pipe.started.size() == starts && waited < 1000) {
      clock.now += 1.0;
      ++waited;
      ble.bleEventPipeRestartStep();
    }
    return waited;
  };
  const auto endNow = [&] {
    pipe.end();
    EXPECT_FALSE(ble.bleEventStep());
  };
  // A start that fails counts as one more end; then hcidump ends as soon as it runs, as
  // on a board without working Bluetooth; then it runs for a minute before it ends.
  std::vector<int> pauses;
  pipe.failStarts = true;
  pauses.push_back(restartAfter());
  pipe.failStarts = false;
  pauses.push_back(restartAfter());
  EXPECT_GE(watchedFds.back(), 0);
  for (int i = 0; i < 6; ++i) {
    endNow();
    pauses.push_back(restartAfter());
  }
  clock.now += BleEventPipe::kWorkingRunSeconds;
  endNow();
  pauses.push_back(restartAfter());
  EXPECT_THAT(pauses, ElementsAre(5, 10, 20, 40, 80, 160, 300, 300, 5));
  EXPECT_THAT(console.errors(),
              ElementsAre("hcidump could not be restarted|" + std::to_string(EMFILE)));
  std::vector<std::string> said;
  for (const auto& line : console.prints()) {
    if (line.rfind("hcidump", 0) == 0) said.push_back(line);
  }
  const auto ended = [](const char* pause) {
    return std::string("hcidump ended; restarting it in ") + pause + " s\n";
  };
  const std::string restarted = "hcidump restarted\n";
  EXPECT_THAT(said, ElementsAre(ended("5"), restarted, ended("20"), restarted, ended("40"),
                                restarted, ended("80"), restarted, ended("160"), restarted,
                                ended("300"), restarted, ended("5"), restarted));
  feed("LE Connection Complete\n");
  EXPECT_TRUE(ble.bleCentralConnected());
}

// The helper's side of the socket: bound, as the daemon needs to answer it.
class HelperEnd {
 public:
  explicit HelperEnd(const std::string& daemonPath) : path_(daemonPath + "-helper") {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    ::unlink(path_.c_str());
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::snprintf(daemon_.sun_path, sizeof daemon_.sun_path, "%s", daemonPath.c_str());
    daemon_.sun_family = AF_UNIX;
  }
  ~HelperEnd() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  void send(const std::string& text) {
    ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&daemon_),
             sizeof daemon_);
  }
  std::string receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) return "(nothing)";
    char buffer[2048];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  }

 private:
  std::string path_;
  int fd_ = -1;
  sockaddr_un daemon_{};
};

TEST_F(BleBridgeTest, HelperMessagesGoToTheLastSender) {
  ble.startBleHelper();
  EXPECT_THAT(shell.commands, ElementsAre("python3 /opt/vtl/ble/main.py 1 &"));
  ble.openHelperSocket();
  // Not heard from yet: nowhere to send.
  ble.sendSerialToHelper();
  EXPECT_THAT(console.errors(), ElementsAre("Failed: socket_tx|" + std::to_string(ENOTCONN)));

  HelperEnd helper(socketPath);
  helper.send("hello");
  ASSERT_TRUE(ble.helperReceiveStep());
  EXPECT_EQ(console.prints().back(), "hello");
  EXPECT_EQ(helper.receive(), "\x01");

  ble.sendSerialToHelper();
  EXPECT_EQ(helper.receive(), std::string(1, '\x02') + "1234567");
  struct DaCase {
    std::uint8_t type, major, minor;
    std::string text;
    std::uint8_t typeAfter;
  };
  const DaCase daCases[] = {
      {2, 1, 4, "21.4.0", 2}, {255, 255, 255, "00.0.0", 0}, {0, 3, 1, "00.0.0", 0}};
  for (const DaCase& c : daCases) {
    state.daModuleType = c.type;
    state.daVersionMajor = c.major;
    state.daVersionMinor = c.minor;
    ble.sendDaVersionToHelper();
    EXPECT_EQ(helper.receive(), "\x03" + c.text);
    EXPECT_EQ(state.daModuleType, c.typeAfter);
  }
  // A disconnect acknowledges to the helper too.
  ble.startBleEventPipe();
  feed("> HCI Event: Disconn Complete (0x05) plen 4\n");
  EXPECT_EQ(helper.receive(), "\x01");
}

}  // namespace
}  // namespace vantorellabs
