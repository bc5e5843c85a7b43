#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "RecordingOwners.h"
#include "link/ControllerDispatcher.h"

namespace vantorellabs {
namespace {

using testing::bytes;
using ::testing::ElementsAre;
using testing::FakePoller;
using testing::FakeShell;
using ::testing::IsEmpty;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::RecordingOwners;

class ControllerDispatcherTest : public ::testing::Test {
 protected:
  ControllerDispatcherTest() {
    link.attach(controllerPty.slave);
    da.attach(daPty.slave);
  }
  void dispatch(const std::string& frame) { dispatcher.dispatchControllerFrame(frame); }

  PtyPair controllerPty;
  PtyPair daPty;
  RecordingConsole console;
  FakeShell shell;
  FakePoller poller;
  RecordingOwners owners;
  ControllerLink link{console};
  DeviceState state{DeviceState::kModelK7100, "1.2.3"};
  DaModuleLink da{link, state, owners, console};
  ControllerDispatcher dispatcher{DispatchTargets{link, state, da, owners, shell, poller, console}};
};

// Each report with the owner calls it must cause; no calls means the report is dropped.
struct ReportCase {
  std::string frame;
  std::vector<std::string> calls;
};

TEST_F(ControllerDispatcherTest, ReportsAreCheckedAndDecodedForTheirOwners) {
  const std::vector<ReportCase> cases = {
      {bytes({0x08, '1'}), {"refreshBleAdvertising true"}},
      {bytes({0x08, 'x'}), {"refreshBleAdvertising false"}},
      {bytes({0x0A}), {"manualUpdate"}},
      {"\x10[PWR1]", {"broadcastToTcpClients [PWR1]"}},
      {bytes({0x11}), {"restartSddpDaemon"}},
      {"11", {"updateAutoOffEnabled true"}},
      {"1x", {"updateAutoOffEnabled false"}},
      {"r1", {"updateAutoUpdateEnabled true"}},
      {"r2", {}},
      {bytes({0x80, 0x01}), {"updateVolume 0"}},
      {bytes({0x80, 0x65}), {"updateVolume 100"}},
      {bytes({0x80}), {}},
      {bytes({0x81, 0x1F}), {"checkPendingVolume 30"}},
      {bytes({0x82, '1'}), {"updateMute true"}},
      {bytes({0x82, '2'}), {}},
      {bytes({0x82, '/'}), {}},
      {bytes({0x90, 0x03, '1'}), {"updateInputEnabled 3 true"}},
      {bytes({0x90, 0x11, '1'}), {}},
      {bytes({0x90, 0x03, 'x'}), {}},
      {bytes({0x90, 0x03}), {}},
      {"\x91\x05Phono", {"updateInputCustomName 5 Phono"}},
      {bytes({0x91, 0x10}), {"updateInputCustomName 16 "}},
      {"\x91\x11Phono", {}},
      {bytes({0x92, 51}), {"updateBalance 0"}},
      {bytes({0x92, 1}), {"updateBalance -50"}},
      {bytes({0x92, 101}), {"updateBalance 50"}},
      {bytes({0x92, 102}), {}},
      {bytes({0x92, 100}), {"updateBalance 49"}},
      {bytes({0x92, 2}), {"updateBalance -49"}},
      {bytes({0x92}), {}},
      {bytes({0x93, 0x03, 25}), {"updateTrimLevel 3 6"}},
      {bytes({0x93, 0x03, 1}), {"updateTrimLevel 3 -6"}},
      {bytes({0x93, 0x03, 10}), {"updateTrimLevel 3 -1.5"}},
      {bytes({0x93, 0x03, 26}), {}},
      {bytes({0x93, 0x00, 13}), {}},
      {bytes({0x94, 0x10, '0'}), {"updateToneEnabled 16 false"}},
      {bytes({0x95, 0x01, 1}), {"updateBassLevel 1 -12"}},
      {bytes({0x95, 0x01, 26}), {}},
      {bytes({0x95, 0x10, 24}), {"updateBassLevel 16 11"}},
      {bytes({0x95, 0x11, 13}), {}},
      {bytes({0x95, 0x01, 2}), {"updateBassLevel 1 -11"}},
      {bytes({0x96, 0x02, 25}), {"updateTrebleLevel 2 12"}},
      {bytes({0x96, 0x02}), {}},
      {bytes({0x97, 0x04, '1'}), {"updateEqualizerEnabled 4 true"}},
      {bytes({0x98, 0x03}), {"updatePassthruInput 3"}},
      {bytes({0x98}), {"updatePassthruInput 0"}},
      {bytes({0xA2, 0x04, '1'}), {"updateActiveInput 4 true"}},
      {bytes({0xA2, 0x04, 'x'}), {}},
      {bytes({0xA2, 0x04}), {}},
      {bytes({0xA3, '1', 13, 25}), {"updateActiveTone true 0 12"}},
      {bytes({0xA3, '1', 13}), {}},
      {bytes({0xA3, '2', 13, 13}), {}},
      {bytes({0xA4, '0'}), {"updateActiveEqualizer false"}},
      {bytes({0xA4, 'x'}), {}},
      {bytes({0xA5, 51, 25}), {"updateActiveTrim 0 6"}},
      {bytes({0xA5, 102, 13}), {}},
      {bytes({0xA5, 51, 26}), {}},
      {bytes({0xA5, 1, 1}), {"updateActiveTrim -50 -6"}},
      {bytes({0xA5, 101, 13}), {"updateActiveTrim 50 0"}},
      {bytes({0xA5, 51}), {}},
      {"\xA6xName", {"updateActiveName Name"}},
      {"\xA6x", {"updateActiveName "}},
      {"\xA7Track 1", {"updateActiveMetadata Track 1"}},
      {"\xB1"
       "1",
       {"updateOutputActive 2 true"}},
      {"\xB2"
       "0",
       {"updateOutputActive 3 false"}},
      {"\xB3"
       "1",
       {"updateOutputSwitched 2 true"}},
      {"\xB4"
       "1",
       {"updateOutputSwitched 3 true"}},
      {"\xB5"
       "1",
       {"updateHeadphonesActive true"}},
      {"\xB6"
       "1",
       {}},
      {bytes({0xFF, 0x01}), {}},
      {bytes({0x7E, '1'}), {}},
  };
  for (const auto& c : cases) {
    owners.calls.clear();
    dispatch(c.frame);
    EXPECT_EQ(owners.calls, c.calls) << "frame " << ::testing::PrintToString(c.frame);
  }
  EXPECT_THAT(shell.commands, IsEmpty());
}

TEST_F(ControllerDispatcherTest, ActiveInputTextsAreAnnounced) {
  dispatch("\xA6xName");
  dispatch("\xA7Track 1");
  EXPECT_EQ(console.all(),
            "Writing new Active Input Name: Name\nWriting new Active Input Metadata: Track 1\n");
}

TEST_F(ControllerDispatcherTest, HelloIsAnsweredWithReady) {
  dispatch(bytes({0x01}));
  EXPECT_EQ(controllerPty.readMaster(2), bytes({0x02, 0x00}));
  EXPECT_FALSE(link.isReady());
}

TEST_F(ControllerDispatcherTest, ReadyMarksTheLinkReady) {
  dispatch(bytes({0x02}));
  EXPECT_TRUE(link.isReady());
  EXPECT_EQ(controllerPty.readMaster(), "");
}

TEST_F(ControllerDispatcherTest, SerialNumberNeedsExactlySevenCharacters) {
  dispatch(
      "\x03"
      "123456");
  dispatch(
      "\x03"
      "12345678");
  EXPECT_EQ(state.serialNumber(), "#######");
  EXPECT_THAT(owners.calls, IsEmpty());
  dispatch(
      "\x03"
      "1234567");
  EXPECT_EQ(state.serialNumber(), "1234567");
  EXPECT_THAT(owners.calls, ElementsAre("sendSerialToHelper", "refreshDiscoveryRecord"));
}

TEST_F(ControllerDispatcherTest, PowerAcceptsOnlyFlagCharacters) {
  dispatch("01");
  EXPECT_TRUE(state.isPoweredOn());
  dispatch("0x");
  dispatch("0");
  EXPECT_TRUE(state.isPoweredOn());
  dispatch("00");
  EXPECT_FALSE(state.isPoweredOn());
  EXPECT_THAT(owners.calls, ElementsAre("broadcastPower true", "broadcastPower false"));
}

TEST_F(ControllerDispatcherTest, ProductStateAcceptsDigitsZeroToSeven) {
  dispatch("35");
  EXPECT_EQ(state.schedule(), '5');
  EXPECT_THAT(owners.calls, IsEmpty());
  dispatch("38");
  dispatch("3x");
  dispatch("3/");
  EXPECT_EQ(state.schedule(), '5');
  dispatch("37");
  EXPECT_EQ(state.schedule(), '7');
  dispatch("30");
  EXPECT_TRUE(state.isSettled());
  dispatch("31");
  EXPECT_TRUE(state.isSettled());
  EXPECT_THAT(owners.calls,
              ElementsAre("refreshBleAdvertising false", "refreshBleAdvertising false"));
  EXPECT_EQ(console.all(),
            "Setting Schedule to '5'\nSetting Schedule to '7'\nSetting Schedule to '0'\n"
            "Setting Schedule to '1'\n");
}

TEST_F(ControllerDispatcherTest, FactoryResetSlowsAdvertisingThenWipesAndReboots) {
  struct OrderedOwners : RecordingOwners {
    explicit OrderedOwners(FakeShell& s) : shell(s) {}
    void refreshBleAdvertising(bool fast) override {
      shell.commands.push_back(fast ? "<fast>" : "<slow>");
    }
    FakeShell& shell;
  } ordered(shell);
  ControllerDispatcher d{DispatchTargets{link, state, da, ordered, shell, poller, console}};
  d.dispatchControllerFrame(bytes({0x0E}));
  EXPECT_THAT(shell.commands, ElementsAre("<slow>", "rm -r /config/*", "rm -r /data/*", "reboot"));
}

TEST_F(ControllerDispatcherTest, BootParamRequestRebootsIntoC) {
  dispatch(bytes({0x0F}));
  EXPECT_THAT(shell.commands, ElementsAre("fw_setenv bootparam C", "reboot"));
}

TEST_F(ControllerDispatcherTest, DaRequestsReachTheModule) {
  dispatch("R");
  EXPECT_EQ(daPty.readMaster(15), "\x55\xD2K7100        ");
  dispatch(bytes({'U', 0x10, 0x20}));
  EXPECT_EQ(daPty.readMaster(3), bytes({0x55, 0x10, 0x20}));
  dispatch(bytes({'U'}));
  EXPECT_EQ(daPty.readMaster(3), bytes({0x55, 0x00, 0x00}));
}

TEST_F(ControllerDispatcherTest, DaHandshakeRequestRunsTheHandshake) {
  dispatch("V");
  EXPECT_EQ(poller.steps, 100);
  EXPECT_EQ(daPty.readMaster(3), bytes({0x55, 0xC4, 0xFF}));
  EXPECT_EQ(controllerPty.readMaster(2), bytes({'V', 0x00}));
}

TEST(ReportPayloadTest, MissingBytesReadAsZero) {
  const ReportPayload r(std::string_view("\x93\x05", 2));
  EXPECT_EQ(r.code(), 0x93);
  EXPECT_EQ(r.p(1), 0x05);
  EXPECT_EQ(r.p(2), 0x00);
  EXPECT_EQ(r.text(2), "");
  EXPECT_EQ(r.text(1), "\x05");
}

}  // namespace
}  // namespace vantorellabs
