#include "link/ControllerDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"

namespace vantorellabs {
namespace {

using testing::bytes;
using testing::PtyPair;
using testing::RecordingConsole;

class ControllerDispatcherTest : public ::testing::Test {
 protected:
  ControllerDispatcherTest() { link.attach(pty.slave); }
  void dispatch(const std::string& frame) { dispatcher.dispatchControllerFrame(frame); }

  PtyPair pty;
  RecordingConsole console;
  ControllerLink link{console};
  DeviceState state{DeviceState::kModelK40, "1.2.3"};
  ControllerDispatcher dispatcher{link, state, console};
};

TEST_F(ControllerDispatcherTest, HelloIsAnsweredWithReady) {
  dispatch(bytes({0x01}));
  EXPECT_EQ(pty.readMaster(2), bytes({0x02, 0x00}));
  EXPECT_FALSE(link.isReady());
}

TEST_F(ControllerDispatcherTest, ReadyMarksTheLinkReady) {
  dispatch(bytes({0x02}));
  EXPECT_TRUE(link.isReady());
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(ControllerDispatcherTest, SerialNumberNeedsExactlySevenCharacters) {
  dispatch("\x03" "123456");
  EXPECT_EQ(state.serialNumber(), "#######");
  dispatch("\x03" "12345678");
  EXPECT_EQ(state.serialNumber(), "#######");
  dispatch("\x03" "1234567");
  EXPECT_EQ(state.serialNumber(), "1234567");
}

TEST_F(ControllerDispatcherTest, PowerAcceptsOnlyFlagCharacters) {
  dispatch("01");
  EXPECT_TRUE(state.isPoweredOn());
  dispatch("0x");
  EXPECT_TRUE(state.isPoweredOn());
  dispatch("0");
  EXPECT_TRUE(state.isPoweredOn());
  dispatch("00");
  EXPECT_FALSE(state.isPoweredOn());
}

TEST_F(ControllerDispatcherTest, ProductStateAcceptsDigitsZeroToSevenAndSaysSo) {
  dispatch("35");
  EXPECT_EQ(state.schedule(), '5');
  EXPECT_FALSE(state.isSettled());
  dispatch("38");
  dispatch("3x");
  EXPECT_EQ(state.schedule(), '5');
  dispatch("31");
  EXPECT_TRUE(state.isSettled());
  EXPECT_EQ(console.all(), "Setting Schedule to '5'\nSetting Schedule to '1'\n");
}

TEST_F(ControllerDispatcherTest, IgnoredCodesDoNothing) {
  dispatch("");
  dispatch(bytes({0xB6, 0x01}));
  dispatch(bytes({0xFF}));
  dispatch(bytes({0x7E, '1'}));
  EXPECT_EQ(pty.readMaster(), "");
  EXPECT_TRUE(console.prints().empty());
}

TEST_F(ControllerDispatcherTest, OwnerTakesOverAReport) {
  std::string seen;
  dispatcher.setEffect('3', [&](const ReportPayload& r) { seen = r.text(); });
  dispatch("34");
  EXPECT_EQ(seen, "4");
  dispatch("39");
  EXPECT_EQ(seen, "4") << "the check still applies";
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
