// The controller's reports and the DA module link, end to end on the simulated board.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "AmpSimulator.h"
#include "E2eHarness.h"

namespace vantorellabs::e2e {
namespace {

using ampsim::AmpSimOptions;
using ::testing::HasSubstr;

class LinkE2eTest : public BoardTest {
 protected:
  void boot(AmpSimOptions options = {}) {
    BoardTest::boot(options, "");
    ASSERT_GE(sim->waitForCode(0x01), 0);
    ASSERT_TRUE(daemon.waitForOutput("\033[35m<<< 0x02"));
  }
  static std::string text(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
  }
};

TEST_F(LinkE2eTest, K7100BoardSaysSoFirst) {
  writeBoardFile("/sys/bus/iio/devices/iio:device0/in_voltage6_raw", "1241\n");
  boot();
  EXPECT_EQ(daemon.output().rfind("Vantorel Acoustics, Inc.: Model = K7100\n", 0), 0U);
}

TEST_F(LinkE2eTest, BoardWithoutAModelVoltageRefusesToStart) {
  writeBoardFile("/sys/bus/iio/devices/iio:device0/in_voltage6_raw", "");
  daemon.start();
  EXPECT_EQ(daemon.waitExit(seconds(30)), 1);
  EXPECT_THAT(daemon.output(), HasSubstr("ERROR: no model voltage on the IIO input"));
}

TEST_F(LinkE2eTest, DaModuleIsGreetedReportedAndTunnelled) {
  AmpSimOptions options;
  options.daVersionMajor = 1;
  options.daVersionMinor = 3;
  options.daModuleType = 2;
  boot(options);
  const int done = sim->waitForCode('V');
  ASSERT_GE(done, 0);
  const auto frames = sim->receivedFrames();
  EXPECT_NE(std::find(frames.begin(), frames.end(), text({'S', 1})), frames.end());
  EXPECT_NE(std::find(frames.begin(), frames.end(), text({'T', 3})), frames.end());
  EXPECT_NE(std::find(frames.begin(), frames.end(), text({'W', 2})), frames.end());
  EXPECT_TRUE(daemon.waitForOutput("DA2 Detected\n"));

  // Module to controller, untraced.
  const std::size_t before = sim->receivedFrames().size();
  sim->sendDa(text({0x55, 0x10, 0x20}));
  EXPECT_GE(sim->waitForFrame([](const std::string& f) { return f == "\x55\x10\x20"; }, before), 0);
  // Controller to module.
  sim->sendFrame(text({'U', 0x30, 0x40}));
  EXPECT_TRUE(sim->waitForDaBytes(text({0x55, 0x30, 0x40})));
  // The model name on request.
  sim->sendFrame("R");
  EXPECT_TRUE(sim->waitForDaBytes("\x55\xD2K40          "));
  EXPECT_EQ(daemon.output().find(">>> 0x55"), std::string::npos);
}

TEST_F(LinkE2eTest, SilentDaModuleIsReportedMissing) {
  AmpSimOptions options;
  options.daModule = AmpSimOptions::DaModule::Silent;
  boot(options);
  EXPECT_GE(sim->waitForCode('V'), 0);
  EXPECT_TRUE(daemon.waitForOutput("No DA Detected\n"));
  EXPECT_TRUE(sim->waitForDaBytes(text({0x55, 0xC4, 0xFF})));
}

TEST_F(LinkE2eTest, UpdatingDaModuleKeepsTheHandshakeWaiting) {
  AmpSimOptions options;
  options.daModule = AmpSimOptions::DaModule::Updating;
  boot(options);
  EXPECT_TRUE(daemon.waitForOutput("DA2 Updating?\n"));
  // The controller is still served while the handshake waits.
  const std::size_t before = sim->receivedFrames().size();
  sim->sendFrame("\x01");
  EXPECT_GE(sim->waitForCode(0x02, before), 0);
}

TEST_F(LinkE2eTest, FactoryResetWipesSettingsThenReboots) {
  writeBoardFile("/config/dhcpcd.conf", "interface eth0\n");
  writeBoardFile("/data/vtl_name.txt", "Living Room");
  // Else the next network report's vtl-net could put the default dhcpcd.conf back.
  boardScenario("reboot-kills amp-bridge");
  boot();
  sim->sendFrame("\x0E");
  ASSERT_TRUE(waitForBoardCommand("reboot"));
  EXPECT_FALSE(std::ifstream("/config/dhcpcd.conf").good());
  EXPECT_FALSE(std::ifstream("/data/vtl_name.txt").good());
}

TEST_F(LinkE2eTest, BootParamRequestSetsCThenReboots) {
  boot();
  sim->sendFrame("\x0F");
  ASSERT_TRUE(waitForBoardCommand("reboot"));
  const int setenv = boardCommandIndex("fw_setenv bootparam C");
  ASSERT_GE(setenv, 0);
  EXPECT_EQ(boardCommandIndex("reboot"), setenv + 1);
}

TEST_F(LinkE2eTest, NetworkStatusReportsEthernet) {
  boardScenario("eth0 192.168.1.20");
  boot();
  const int first = sim->waitForFrame([](const std::string& f) {
    return f ==
           "\x09"
           "1";
  });
  ASSERT_GE(first, 0);
  ASSERT_GE(sim->waitForFrame(
                [](const std::string& f) {
                  return f.rfind(
                             "\x09"
                             "e",
                             0) == 0;
                },
                first),
            0);
  const auto frames = sim->receivedFrames();
  ASSERT_GE(frames.size(), static_cast<std::size_t>(first) + 4);
  EXPECT_EQ(frames[first + 1],
            "\x09"
            "E");
  EXPECT_EQ(frames[first + 2], "\x09I192.168.1.20");
  EXPECT_EQ(frames[first + 3].substr(0, 19),
            "\x09"
            "e02:00:00:12:34:56");
  EXPECT_EQ(daemon.output().find(">>> 0x09"), std::string::npos) << "status is not traced";
}

TEST_F(LinkE2eTest, NetworkStatusWithoutNetworkSaysSo) {
  boot();
  EXPECT_GE(sim->waitForFrame([](const std::string& f) {
    return f ==
           "\x09"
           "0";
  }),
            0);
}

}  // namespace
}  // namespace vantorellabs::e2e
