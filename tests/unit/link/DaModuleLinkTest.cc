#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "Fakes.h"
#include "RecordingOwners.h"
#include "link/DaModuleLink.h"

namespace vantorellabs {
namespace {

using testing::bytes;
using ::testing::ElementsAre;
using testing::FakePoller;
using ::testing::HasSubstr;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::RecordingOwners;

// The frames the controller received, split at their terminators.
std::vector<std::string> framesOf(const std::string& wire) {
  std::vector<std::string> frames;
  std::size_t start = 0;
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\0') {
      frames.push_back(wire.substr(start, i - start));
      start = i + 1;
    }
  }
  return frames;
}

class DaModuleLinkTest : public ::testing::Test {
 protected:
  DaModuleLinkTest() {
    controller.attach(controllerPty.slave);
    da.attach(daPty.slave);
    // Each poll step plays the module: it answers what the daemon sent, then the daemon's
    // receive step reads whatever the module said.
    // Each reply is given once.
    poller.onStep = [this](int step) {
      const std::string sent = daPty.readAvailable();
      toModule += sent;
      bool wrote = false;
      for (std::size_t i = 0; i + 1 < sent.size(); i += 3) {
        const auto code = static_cast<std::uint8_t>(sent[i + 1]);
        auto reply = replies.find(code);
        if (reply != replies.end()) {
          daPty.writeMaster(reply->second);
          replies.erase(reply);
          wrote = true;
        }
      }
      auto scripted = atStep.find(step);
      if (scripted != atStep.end()) {
        daPty.writeMaster(scripted->second);
        wrote = true;
      }
      if (wrote) daPty.awaitSlaveReadable();
      pollfd p{daPty.slave, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) da.daReceiveStep();
    };
  }

  // A module that answers the three handshake messages with version 1.3, type 2.
  void answeringModule() {
    replies[0xC4] = bytes({0x55, 0xA2, 0x01});
    replies[0xC5] = bytes({0x55, 0xA3, 0x03});
    replies[0xC7] = bytes({0x55, 0xA7, 0x02});
  }

  PtyPair controllerPty;
  PtyPair daPty;
  RecordingConsole console;
  RecordingOwners owners;
  FakePoller poller;
  ControllerLink controller{console};
  DeviceState state{DeviceState::kModelK40, "1.0.0"};
  DaModuleLink da{controller, state, owners, console};
  std::map<std::uint8_t, std::string> replies;
  std::map<int, std::string> atStep;
  std::string toModule;
};

TEST_F(DaModuleLinkTest, AnsweringModuleIsDetectedAndReported) {
  answeringModule();
  da.runDaHandshake(poller);
  EXPECT_THAT(framesOf(controllerPty.readMaster(9)),
              ElementsAre(bytes({'S', 0x01}), bytes({'T', 0x03}), bytes({'W', 0x02}), "V"));
  EXPECT_THAT(console.all(), HasSubstr("DA2 Detected\n"));
  EXPECT_THAT(owners.calls, ElementsAre("sendDaVersionToHelper"));
  EXPECT_TRUE(da.isDetected());
  EXPECT_EQ(daTypeAndVersionText(state), "21.3.0");
  EXPECT_EQ(daVersionText(state), "1.3.0");
  EXPECT_EQ(daModuleTypeForApi(state), 2);
}

TEST_F(DaModuleLinkTest, SecondVersionByteBeforeTheFirstIsIgnored) {
  answeringModule();
  replies[0xC4] = bytes({0x55, 0xA3, 0x09, 0x55, 0xA2, 0x01});
  da.runDaHandshake(poller);
  EXPECT_THAT(framesOf(controllerPty.readMaster(9)),
              ElementsAre(bytes({'S', 0x01}), bytes({'T', 0x03}), bytes({'W', 0x02}), "V"));
  EXPECT_EQ(state.daVersionMinor, 3);
}

TEST_F(DaModuleLinkTest, SilentModuleEndsAfterOneHundredSteps) {
  da.runDaHandshake(poller);
  EXPECT_EQ(poller.steps, 100);
  EXPECT_EQ(toModule, bytes({0x55, 0xC4, 0xFF}));
  EXPECT_THAT(framesOf(controllerPty.readMaster(2)), ElementsAre("V"));
  EXPECT_THAT(console.all(), HasSubstr("No DA Detected\n"));
  EXPECT_EQ(state.daModuleType, 255);
  EXPECT_EQ(state.daVersionMajor, 255);
  EXPECT_EQ(daModuleTypeForApi(state), 0);
  EXPECT_EQ(state.daVersionMajor, 0) << "a type of 255 clears all three bytes";
}

TEST_F(DaModuleLinkTest, UpdatingModuleWaitsUntilItRestarts) {
  replies[0xC4] = bytes({0x55, 0xB2, 0x01});
  atStep[300] = bytes({0x55, 0xA1, 0x00});
  poller.onStep = [this, play = poller.onStep](int step) {
    if (step == 250) {
      EXPECT_EQ(state.daModuleType, 0);
    }
    if (step == 299) answeringModule();
    play(step);
  };
  da.runDaHandshake(poller);
  EXPECT_GT(poller.steps, 300);
  const auto frames = framesOf(controllerPty.readMaster(11));
  EXPECT_THAT(frames,
              ElementsAre("X", bytes({'S', 0x01}), bytes({'T', 0x03}), bytes({'W', 0x02}), "V"));
  const std::string log = console.all();
  EXPECT_GE(std::count(log.begin(), log.end(), '?'), 290);
  EXPECT_THAT(log, HasSubstr("Handshake: Ready\n"));
  EXPECT_TRUE(da.isDetected());
}

// Runs one handshake against a module that sends `toGreeting` after the first greeting
// and then answers normally (a restart greets again), and returns the controller's frames.
std::vector<std::string> handshakeFrames(const std::string& toGreeting) {
  PtyPair controllerPty;
  PtyPair daPty;
  RecordingConsole console;
  RecordingOwners owners;
  ControllerLink controller{console};
  controller.attach(controllerPty.slave);
  DeviceState state{DeviceState::kModelK40, "1.0.0"};
  DaModuleLink da{controller, state, owners, console};
  da.attach(daPty.slave);
  std::map<std::uint8_t, std::string> replies = {{0xC5, bytes({0x55, 0xA3, 0x03})},
                                                 {0xC7, bytes({0x55, 0xA7, 0x02})}};
  int greetings = 0;
  FakePoller poller;
  poller.onStep = [&](int) {
    const std::string sent = daPty.readAvailable();
    for (std::size_t i = 0; i + 1 < sent.size(); i += 3) {
      const auto code = static_cast<std::uint8_t>(sent[i + 1]);
      if (code == 0xC4) {
        daPty.writeMaster(greetings++ == 0 ? toGreeting : bytes({0x55, 0xA2, 0x01}));
      } else if (replies.count(code) != 0) {
        daPty.writeMaster(replies[code]);
      }
    }
    pollfd p{daPty.slave, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) da.daReceiveStep();
  };
  da.runDaHandshake(poller);
  return framesOf(controllerPty.readMaster());
}

TEST(DaHandshakeRestartTest, RestartCodesActOnlyWhenTheGreetingBitIsClear) {
  const std::vector<std::string> detected = {bytes({'S', 0x01}), bytes({'T', 0x03}),
                                             bytes({'W', 0x02}), "V"};
  std::vector<std::string> restarted = detected;
  restarted.insert(restarted.begin(), "X");
  for (const int code : {0xA4, 0xA5, 0xA6, 0xA8}) {
    const std::string message = bytes({0x55, code, 0x01});
    // With the greeting bit set the code is ignored and the handshake goes on.
    EXPECT_EQ(handshakeFrames(message + bytes({0x55, 0xA2, 0x01})), detected) << code;
    // An update notice keeps only bits 6 and 7: the same code now restarts, and the
    // restarted handshake completes.
    EXPECT_EQ(handshakeFrames(bytes({0x55, 0xB2, 0x01}) + message), restarted) << code;
  }
  // 0xA1 restarts a handshake under way, whatever its bits.
  EXPECT_EQ(handshakeFrames(bytes({0x55, 0xA2, 0x07, 0x55, 0xA1, 0x01})),
            (std::vector<std::string>{bytes({'S', 0x07}), "X", bytes({'S', 0x01}),
                                      bytes({'T', 0x03}), bytes({'W', 0x02}), "V"}));
}

TEST_F(DaModuleLinkTest, FullQueueDropsFurtherMessages) {
  // Nineteen unknown messages fill the queue; the version byte after them is lost.
  std::string burst;
  for (int i = 0; i < 19; ++i) burst += bytes({0x55, 0x10, 0x01});
  burst += bytes({0x55, 0xA2, 0x01});
  replies[0xC4] = burst;
  da.runDaHandshake(poller);
  EXPECT_THAT(framesOf(controllerPty.readMaster(2)), ElementsAre("V"));
  EXPECT_FALSE(da.isDetected());
}

TEST_F(DaModuleLinkTest, EighteenQueuedMessagesLeaveRoomForTheVersion) {
  std::string burst;
  for (int i = 0; i < 18; ++i) burst += bytes({0x55, 0x10, 0x01});
  burst += bytes({0x55, 0xA2, 0x01});
  replies[0xC4] = burst;
  replies[0xC5] = bytes({0x55, 0xA3, 0x03});
  replies[0xC7] = bytes({0x55, 0xA7, 0x01});
  da.runDaHandshake(poller);
  EXPECT_TRUE(da.isDetected());
}

TEST_F(DaModuleLinkTest, DetectedModulePassesMessagesThroughBothWays) {
  answeringModule();
  da.runDaHandshake(poller);
  controllerPty.readMaster(9);
  daPty.writeMaster(bytes({0x20, 0x55, 0x10, 0x20, 0x55}));  // noise, a message, a start
  daPty.awaitSlaveReadable();
  da.daReceiveStep();
  EXPECT_EQ(controllerPty.readMaster(4), bytes({0x55, 0x10, 0x20, 0x00}));
  EXPECT_EQ(console.all().find("0x55"), std::string::npos) << "tunnel frames are not traced";
  EXPECT_EQ(da.sendDaBytes(0x55, 0x33, 0x44), 0);
  EXPECT_EQ(daPty.readMaster(3), bytes({0x55, 0x33, 0x44}));
}

TEST_F(DaModuleLinkTest, RequestDuringAHandshakeRestartsItInsteadOfNesting) {
  answeringModule();
  replies.erase(0xC4);
  poller.onStep = [this, play = poller.onStep](int step) {
    if (step == 5) {
      da.runDaHandshake(poller);  // returns at once
      answeringModule();
    }
    play(step);
  };
  da.runDaHandshake(poller);
  EXPECT_TRUE(da.isDetected());
  // The greeting went out twice: once at the start, once at the restart.
  EXPECT_EQ(toModule.substr(0, 6), bytes({0x55, 0xC4, 0xFF, 0x55, 0xC4, 0xFF}));
}

TEST_F(DaModuleLinkTest, NameMessageForEachModel) {
  EXPECT_EQ(daNameMessage(0), "\x55\xD2K40          ");
  EXPECT_EQ(daNameMessage(1), "\x55\xD2K7100        ");
  EXPECT_EQ(daNameMessage(7), "\x55\xD2             ");
  da.writeDaName();
  EXPECT_EQ(daPty.readMaster(15), "\x55\xD2K40          ");
}

TEST(DaModuleTextTest, VersionTextsClearAnUnknownModule) {
  // Each text from a module that reported version 4.5 and the type in the first column.
  struct Case {
    std::uint8_t type;
    std::string typeAndVersion;
    std::string version;
    int apiType;
  };
  const Case cases[] = {
      {0, "00.0.0", "4.5.0", 0}, {1, "14.5.0", "4.5.0", 1},     {2, "24.5.0", "4.5.0", 2},
      {3, "34.5.0", "4.5.0", 0}, {254, "2544.5.0", "4.5.0", 0}, {255, "00.0.0", "0.0.0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    const auto text = [&c](const std::function<std::string(DeviceState&)>& of) {
      DeviceState state{DeviceState::kModelK40, "1.0.0"};
      state.daModuleType = c.type;
      state.daVersionMajor = 4;
      state.daVersionMinor = 5;
      return of(state);
    };
    EXPECT_EQ(text(daTypeAndVersionText), c.typeAndVersion);
    EXPECT_EQ(text(daVersionText), c.version);
    // The API's type, and what it left of the version.
    EXPECT_EQ(text([](DeviceState& s) {
                const int type = daModuleTypeForApi(s);
                return std::to_string(type) + " " + daVersionText(s);
              }),
              std::to_string(c.apiType) + " " + c.version);
  }
}

TEST(DaModuleEndOfFileTest, PortAtEndOfFileReportsNoData) {
  RecordingConsole console;
  RecordingOwners owners;
  ControllerLink controller{console};
  DeviceState state{0, "1.0.0"};
  DaModuleLink da{controller, state, owners, console};
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[1]);
  da.attach(fds[0]);
  EXPECT_FALSE(da.daReceiveStep());
  ::close(fds[0]);
}

}  // namespace
}  // namespace vantorellabs
