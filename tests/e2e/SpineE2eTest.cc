// The daemon boots on the simulated board against the simulated amplifier.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "AmpSimulator.h"
#include "E2eHarness.h"

namespace vantorellabs::e2e {
namespace {

const std::string kSentColour = "\033[31m";
const std::string kReceivedColour = "\033[35m";
const std::string kReset = "\033[0m\n";

class SpineE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options = {}) { BoardTest::boot(options, ""); }
};

TEST_F(SpineE2eTest, BootsHandshakesAndTracesFrames) {
  boot();
  ASSERT_TRUE(daemon.waitForOutput("Vantorel Acoustics, Inc.: Model = K40\n"));
  ASSERT_GE(sim->waitForCode(0x01), 0);
  ASSERT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x02" + kReset));
  EXPECT_TRUE(sim->handshakeDone());
  // Ready, then hello, as the first two frames on the wire.
  const auto frames = sim->receivedFrames();
  ASSERT_GE(frames.size(), 2U);
  EXPECT_EQ(frames[0], "\x02");
  EXPECT_EQ(frames[1], "\x01");
  EXPECT_TRUE(
      daemon.waitForOutput(kSentColour + ">>> 0x02" + kReset + kSentColour + ">>> 0x01" + kReset));
  // The amplifier's start-up reports reach the daemon and are traced.
  EXPECT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x03 31 32 33 34 35 36 37" + kReset));
  EXPECT_TRUE(daemon.waitForOutput("Setting Schedule to '1'\n"));
}

TEST_F(SpineE2eTest, StartUpRestartsWifiBeforeTheHandshake) {
  boot();
  ASSERT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x02" + kReset));
  const int down = boardCommandIndex("ifconfig wlan0 down");
  const int up = boardCommandIndex("ifconfig wlan0 up");
  ASSERT_GE(down, 0);
  // The BLE helper and hcidump, started just before, may log between the two.
  EXPECT_GT(up, down);
  EXPECT_EQ(boardCommandIndex("reboot"), -1);
}

TEST_F(SpineE2eTest, HelloFromTheControllerIsAnsweredWithReady) {
  boot();
  ASSERT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x02" + kReset));
  const std::size_t before = sim->receivedFrames().size();
  sim->sendFrame("\x01");
  EXPECT_GE(sim->waitForCode(0x02, before), 0);
  EXPECT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x01" + kReset));
}

TEST_F(SpineE2eTest, BrokenTrafficDoesNotStopTheLink) {
  boot();
  ASSERT_TRUE(daemon.waitForOutput(kReceivedColour + "<<< 0x02" + kReset));
  sim->sendRaw(std::string(3000, 'x'));
  sim->sendRaw(std::string(1, '\0'));
  sim->sendRaw(std::string("\x01", 1));
  sim->sendRaw(std::string(1, '\0'));
  const std::size_t before = sim->receivedFrames().size();
  EXPECT_GE(sim->waitForCode(0x02, before), 0);
}

TEST_F(SpineE2eTest, SilentControllerMakesTheBoardRebootIntoBootParamC) {
  ampsim::AmpSimOptions options;
  options.answerHandshake = false;
  options.chatterWhileSilent = true;
  boot(options);
  const auto status = daemon.waitExit(seconds(600));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  const int setenv = boardCommandIndex("fw_setenv bootparam C");
  ASSERT_GE(setenv, 0);
  EXPECT_EQ(boardCommandIndex("reboot"), setenv + 1);
  const auto frames = sim->receivedFrames();
  EXPECT_EQ(std::count(frames.begin(), frames.end(), std::string("\x01")), 11);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), std::string("\x02")), 1);
}

}  // namespace
}  // namespace vantorellabs::e2e
