#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"

namespace vantorellabs {
namespace {

using testing::ServiceBench;

using protobuf::ActiveAudioInput;
using protobuf::ObserveActiveAudioInputResponse;
using testing::bytes;
using ::testing::ElementsAre;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::StreamCollector;

// One stream message as a line: every field, and whether the optional ones are present.
std::string text(const ObserveActiveAudioInputResponse& m) {
  const ActiveAudioInput& a = m.activeinput();
  std::string line = "id " + std::to_string(a.id());
  if (a.ispassthruactive()) line += " passthru";
  if (a.has_customname()) line += " name '" + a.customname() + "'";
  if (a.has_inputmetadata()) line += " metadata '" + a.inputmetadata() + "'";
  if (a.has_audiotone()) {
    line += " tone " + std::string(a.audiotone().isenabled() ? "on " : "off ") +
            std::to_string(a.audiotone().basslevel()) + "/" +
            std::to_string(a.audiotone().treblelevel());
  }
  if (a.has_audioeq()) line += std::string(" eq ") + (a.audioeq().isenabled() ? "on" : "off");
  if (a.has_audiotrim()) {
    line += " trim " + std::to_string(a.audiotrim().balance()) + "/" +
            ::testing::PrintToString(a.audiotrim().trimlevel());
  }
  return line;
}

std::vector<std::string> texts(const std::vector<ObserveActiveAudioInputResponse>& messages) {
  std::vector<std::string> lines;
  for (const auto& m : messages) lines.push_back(text(m));
  return lines;
}

class AudioInputsActivationServiceTest : public ::testing::Test, protected ServiceBench {
 protected:
  grpc::Status setActiveInput(unsigned id) {
    grpc::ServerContext context;
    protobuf::SetActiveAudioInputRequest request;
    request.set_id(id);
    protobuf::SetActiveAudioInputResponse response;
    return service.SetActiveInput(&context, &request, &response);
  }

  AudioInputsActivationServiceImpl service{link, state};
};

TEST_F(AudioInputsActivationServiceTest, SelectingAnInputSendsItsId) {
  EXPECT_TRUE(setActiveInput(16).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xA1, 0x10, 0x00}));
  EXPECT_TRUE(setActiveInput(1).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xA1, 0x01, 0x00}));
}

struct RefusalCase {
  const char* what;
  bool passthru;
  char schedule;
  unsigned id;
  grpc::StatusCode code;
  std::string message;
};

TEST_F(AudioInputsActivationServiceTest, ChecksRunInOrderAndSendNothing) {
  const std::vector<RefusalCase> cases = {
      {"passthru", true, '0', 3, grpc::StatusCode::FAILED_PRECONDITION, "PassThru is Active"},
      {"passthru, bad id", true, '0', 0, grpc::StatusCode::FAILED_PRECONDITION,
       "PassThru is Active"},
      {"passthru, changing, bad id", true, '5', 17, grpc::StatusCode::FAILED_PRECONDITION,
       "PassThru is Active"},
      {"changing", false, '5', 3, grpc::StatusCode::UNAVAILABLE, "Product State Transisioning"},
      {"changing, bad id", false, '2', 0, grpc::StatusCode::UNAVAILABLE,
       "Product State Transisioning"},
      {"id 0", false, '1', 0, grpc::StatusCode::NOT_FOUND, "Invalid ID"},
      {"id 17", false, '0', 17, grpc::StatusCode::NOT_FOUND, "Invalid ID"},
      {"id 2^32-1", false, '0', 0xFFFFFFFFU, grpc::StatusCode::NOT_FOUND, "Invalid ID"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service.updateActiveInput(2, c.passthru);
    ASSERT_TRUE(state.setSchedule(c.schedule));
    const grpc::Status status = setActiveInput(c.id);
    EXPECT_EQ(status.error_code(), c.code);
    EXPECT_EQ(status.error_message(), c.message);
    EXPECT_EQ(pty.readMaster(), "");
  }
}

TEST_F(AudioInputsActivationServiceTest, PassthruRefusesUntilTheControllerReportsItOff) {
  service.updateActiveInput(4, true);
  EXPECT_EQ(setActiveInput(5).error_message(), "PassThru is Active");
  EXPECT_EQ(setActiveInput(5).error_message(), "PassThru is Active");
  service.updateActiveInput(4, false);
  EXPECT_TRUE(setActiveInput(5).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xA1, 0x05, 0x00}));
}

class AudioInputsActivationStreamTest : public AudioInputsActivationServiceTest {
 protected:
  AudioInputsActivationStreamTest() { stream.waitForCount(1); }

  LoopbackServer server{&service};
  std::unique_ptr<protobuf::AudioInputsActivationService::Stub> stub =
      protobuf::AudioInputsActivationService::NewStub(server.channel());
  StreamCollector<ObserveActiveAudioInputResponse> stream{[this](grpc::ClientContext* context) {
    return stub->ObserveActiveInput(context, protobuf::ObserveActiveAudioInputRequest());
  }};
};

TEST_F(AudioInputsActivationStreamTest, SwitchingInputsDropsTheMetadataAndKeepsTheRest) {
  service.updateActiveName("Turntable");
  service.updateActiveTone(true, -3, 4);
  service.updateActiveEqualizer(true);
  service.updateActiveTrim(-10, -1.5F);
  service.updateActiveMetadata("Blue in Green");
  service.updateActiveInput(9, false);
  service.updateActiveMetadata("So What");

  ASSERT_TRUE(stream.waitForCount(8));
  const std::string kept = " name 'Turntable' tone on -3/4 eq on trim -10/-1.5";
  EXPECT_THAT(texts(stream.messages()),
              ElementsAre("id 0", "id 0 name 'Turntable'", "id 0 name 'Turntable' tone on -3/4",
                          "id 0 name 'Turntable' tone on -3/4 eq on", "id 0" + kept,
                          "id 0 name 'Turntable' metadata 'Blue in Green' tone on -3/4 eq on "
                          "trim -10/-1.5",
                          "id 9" + kept,
                          "id 9 name 'Turntable' metadata 'So What' tone on -3/4 eq on "
                          "trim -10/-1.5"));
}

TEST_F(AudioInputsActivationStreamTest, EveryReportIsStreamedEvenWhenItRepeats) {
  for (int round = 0; round < 2; ++round) {
    service.updateActiveInput(3, false);
    service.updateActiveTone(false, 0, 0);
    service.updateActiveEqualizer(false);
    service.updateActiveTrim(0, 0.0F);
    service.updateActiveName("Tape");
    service.updateActiveMetadata("Track");
  }
  ASSERT_TRUE(stream.waitForCount(13));
  const auto lines = texts(stream.messages());
  ASSERT_EQ(lines.size(), 13U);
  EXPECT_EQ(lines[0], "id 0");
  EXPECT_EQ(lines[6], "id 3 name 'Tape' metadata 'Track' tone off 0/0 eq off trim 0/0");
  EXPECT_EQ(lines[12], lines[6]);
}

TEST_F(AudioInputsActivationStreamTest, SelectingChangesNothingUntilTheControllerReports) {
  EXPECT_TRUE(setActiveInput(7).ok());
  pty.readMaster(3);
  // A message from the request itself would arrive before this one.
  service.updateActiveEqualizer(false);
  ASSERT_TRUE(stream.waitForCount(2));
  EXPECT_THAT(texts(stream.messages()), ElementsAre("id 0", "id 0 eq off"));
}

}  // namespace
}  // namespace vantorellabs
