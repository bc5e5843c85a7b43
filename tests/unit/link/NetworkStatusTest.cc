#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "link/NetworkStatus.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::FakeShell;
using testing::PtyPair;
using testing::RecordingConsole;

std::string frame(const std::string& text) { return text + '\0'; }

class NetworkStatusTest : public ::testing::Test {
 protected:
  NetworkStatusTest() {
    link.attach(pty.slave);
    shell.statuses["vtl-net GetStatus eth0 connected"] = 1;
    shell.statuses["vtl-net GetStatus wlan0 connected"] = 1;
    shell.statuses["vtl-net GetWifi"] = 1;
  }

  std::string report() {
    shell.commands.clear();
    reporter.sendNetworkStatus();
    return pty.readMaster(3);
  }

  PtyPair pty;
  RecordingConsole console;
  FakeShell shell;
  FakeClock clock;
  bool central = false;
  ControllerLink link{console};
  NetworkStatusReporter reporter{link, shell, clock, [this] { return central; }};
};

TEST_F(NetworkStatusTest, EthernetSendsFourFramesInOrder) {
  shell.statuses["vtl-net GetStatus eth0 connected"] = 0;
  shell.outputs["vtl-net GetStatus eth0 address"] = "192.168.1.20\nsecond line\n";
  shell.outputs["ifconfig | grep eth0"] =
      "eth0      Link encap:Ethernet  HWaddr 02:00:00:12:34:56  \nmore\n";
  EXPECT_EQ(report(), frame("\x09"
                            "1") +
                          frame("\x09"
                                "E") +
                          frame("\x09I192.168.1.20\n") +
                          frame("\x09"
                                "e02:00:00:12:34:56  \n"));
  EXPECT_THAT(shell.commands,
              ElementsAre("vtl-net GetStatus eth0 connected", "vtl-net GetStatus eth0 address",
                          "ifconfig | grep eth0"));
  EXPECT_TRUE(console.prints().empty()) << "status frames are not traced";
}

TEST_F(NetworkStatusTest, WifiSendsItsOwnKinds) {
  shell.statuses["vtl-net GetStatus wlan0 connected"] = 0;
  shell.outputs["vtl-net GetStatus wlan0 address"] = "10.0.0.9\n";
  shell.outputs["ifconfig | grep wlan0"] =
      "wlan0     Link encap:Ethernet  HWaddr AA:BB:CC:DD:EE:FF\n";
  EXPECT_EQ(report(), frame("\x09"
                            "1") +
                          frame("\x09"
                                "W") +
                          frame("\x09I10.0.0.9\n") + frame("\x09wAA:BB:CC:DD:EE:FF\n"));
}

TEST_F(NetworkStatusTest, InterfaceLineWithoutHardwareAddressSendsNothing) {
  shell.statuses["vtl-net GetStatus eth0 connected"] = 0;
  shell.outputs["vtl-net GetStatus eth0 address"] = "192.168.1.20\n";
  shell.outputs["ifconfig | grep eth0"] = "eth0: flags=4163<UP>\n";
  EXPECT_EQ(report(), "");
  shell.outputs["ifconfig | grep eth0"] = "eth0 HWaddr";
  EXPECT_EQ(report(), frame("\x09"
                            "1") +
                          frame("\x09"
                                "E") +
                          frame("\x09I192.168.1.20\n") +
                          frame("\x09"
                                "e"));
}

TEST_F(NetworkStatusTest, AddressAndInterfaceLinesAreReadUpTo127Bytes) {
  shell.statuses["vtl-net GetStatus eth0 connected"] = 0;
  const std::string head = "eth0 HWaddr ";
  for (const std::size_t length : {126U, 127U}) {
    SCOPED_TRACE(length);
    // A line of 126 characters keeps its line end; one of 127 fills the limit without it.
    const std::string line(length, '1');
    const std::string hardware(length - head.size(), 'A');
    shell.outputs["vtl-net GetStatus eth0 address"] = line + "\n";
    shell.outputs["ifconfig | grep eth0"] = head + hardware + "\nB\n";
    const std::string kept = length == 126 ? "\n" : "";
    const std::string expected = frame(
                                     "\x09"
                                     "1") +
                                 frame(
                                     "\x09"
                                     "E") +
                                 frame(
                                     "\x09"
                                     "I" +
                                     line + kept) +
                                 frame(
                                     "\x09"
                                     "e" +
                                     hardware + kept);
    reporter.sendNetworkStatus();
    EXPECT_EQ(pty.readMaster(expected.size()), expected);
  }
}

TEST_F(NetworkStatusTest, AddressPipeThatCannotStartSendsNothing) {
  shell.statuses["vtl-net GetStatus eth0 connected"] = 0;
  shell.failingPipes["vtl-net GetStatus eth0 address"] = true;
  EXPECT_EQ(report(), "");
}

TEST_F(NetworkStatusTest, ConfiguredButUnjoinedWifiIsRestartedAtMostEvery30Seconds) {
  shell.statuses["vtl-net GetWifi"] = 0;
  const std::vector<std::string> restart = {"vtl-net GetStatus eth0 connected",
                                            "vtl-net GetStatus wlan0 connected", "vtl-net GetWifi",
                                            "ifconfig wlan0 down", "ifconfig wlan0 up"};
  const std::vector<std::string> noRestart(restart.begin(), restart.begin() + 3);
  EXPECT_EQ(report(), frame("\x09"
                            "0"));
  EXPECT_EQ(shell.commands, restart);
  for (double at : {5.0, 15.0, 30.0}) {
    clock.now = 1000.0 + at;
    EXPECT_EQ(report(), frame("\x09"
                              "0"));
    EXPECT_EQ(shell.commands, noRestart) << "at " << at << " s";
  }
  clock.now = 1030.5;
  report();
  EXPECT_EQ(shell.commands, restart);
}

TEST_F(NetworkStatusTest, JoiningWifiClearsTheRestartMark) {
  shell.statuses["vtl-net GetWifi"] = 0;
  report();
  shell.statuses["vtl-net GetStatus wlan0 connected"] = 0;
  report();
  shell.statuses["vtl-net GetStatus wlan0 connected"] = 1;
  clock.now += 10;
  report();
  EXPECT_EQ(shell.commands.back(), "ifconfig wlan0 up") << "a new loss restarts at once";
}

TEST_F(NetworkStatusTest, NoRestartWhileAPhoneIsConnectedOrNoWifiIsConfigured) {
  shell.statuses["vtl-net GetWifi"] = 0;
  central = true;
  EXPECT_EQ(report(), frame("\x09"
                            "0"));
  EXPECT_THAT(shell.commands,
              ElementsAre("vtl-net GetStatus eth0 connected", "vtl-net GetStatus wlan0 connected"));
  central = false;
  shell.statuses["vtl-net GetWifi"] = 1;
  EXPECT_EQ(report(), frame("\x09"
                            "0"));
  EXPECT_EQ(shell.commands.size(), 3U);
}

}  // namespace
}  // namespace vantorellabs
