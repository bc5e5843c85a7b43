#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"

namespace vantorellabs {
namespace {

using testing::ServiceBench;

using protobuf::AudioOutput;
using protobuf::ObserveActiveAudioOutputsResponse;
using testing::bytes;
using ::testing::ElementsAre;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::StreamCollector;

std::vector<std::vector<unsigned>> idSets(
    const std::vector<ObserveActiveAudioOutputsResponse>& messages) {
  std::vector<std::vector<unsigned>> sets;
  for (const auto& m : messages) sets.emplace_back(m.ids().begin(), m.ids().end());
  return sets;
}

class AudioOutputsServiceTest : public ::testing::Test, protected ServiceBench {
 protected:
  grpc::Status updateOutput(unsigned id, std::optional<bool> active) {
    grpc::ServerContext context;
    protobuf::UpdateAudioOutputRequest request;
    request.set_id(id);
    if (active) request.set_isactive(*active);
    protobuf::UpdateAudioOutputResponse response;
    return service.UpdateOutput(&context, &request, &response);
  }
  grpc::Status getOutput(unsigned id, AudioOutput* output) {
    grpc::ServerContext context;
    protobuf::GetAudioOutputRequest request;
    request.set_id(id);
    protobuf::GetAudioOutputResponse response;
    const grpc::Status status = service.GetOutput(&context, &request, &response);
    *output = response.output();
    return status;
  }
  std::vector<AudioOutput> outputs() {
    grpc::ServerContext context;
    protobuf::GetAudioOutputsRequest request;
    protobuf::GetAudioOutputsResponse response;
    EXPECT_TRUE(service.GetOutputs(&context, &request, &response).ok());
    return {response.outputs().begin(), response.outputs().end()};
  }
  bool isActive(unsigned id) {
    AudioOutput output;
    EXPECT_TRUE(getOutput(id, &output).ok());
    return output.isactive();
  }

  AudioOutputsServiceImpl service{link, state};
};

TEST_F(AudioOutputsServiceTest, OutputsAtStart) {
  struct Expected {
    const char* name;
    protobuf::AudioOutputType type;
    std::vector<protobuf::AudioPortType> ports;
    bool active;
  };
  const std::vector<protobuf::AudioPortType> lineOut = {
      protobuf::AUDIO_PORT_TYPE_BALANCED_STEREO, protobuf::AUDIO_PORT_TYPE_UNBALANCED_STEREO};
  const Expected expected[] = {
      {"MAIN / HIGH PASS", protobuf::AUDIO_OUTPUT_TYPE_MAIN, lineOut, true},
      {"OUTPUT 1 / LOW PASS", protobuf::AUDIO_OUTPUT_TYPE_LOW_PASS, lineOut, false},
      {"OUTPUT 2 (SUBWOOFER)", protobuf::AUDIO_OUTPUT_TYPE_SUBWOOFER, lineOut, false},
      {"HEADPHONES",
       protobuf::AUDIO_OUTPUT_TYPE_HEADPHONE,
       {protobuf::AUDIO_PORT_TYPE_635_MM},
       false},
  };
  const std::vector<AudioOutput> table = outputs();
  ASSERT_EQ(table.size(), 4U);
  for (unsigned id = 1; id <= 4; ++id) {
    SCOPED_TRACE(id);
    const AudioOutput& output = table[id - 1];
    EXPECT_EQ(output.id(), id);
    EXPECT_EQ(output.name(), expected[id - 1].name);
    EXPECT_EQ(output.customname(), expected[id - 1].name);
    EXPECT_EQ(output.type(), expected[id - 1].type);
    std::vector<protobuf::AudioPortType> ports;
    for (int p : output.porttypes()) ports.push_back(static_cast<protobuf::AudioPortType>(p));
    EXPECT_EQ(ports, expected[id - 1].ports);
    EXPECT_EQ(output.isactive(), expected[id - 1].active);
    EXPECT_FALSE(output.has_isswitched());

    AudioOutput single;
    EXPECT_TRUE(getOutput(id, &single).ok());
    EXPECT_EQ(single.SerializeAsString(), output.SerializeAsString());
  }
}

TEST_F(AudioOutputsServiceTest, GetOutputOutsideTheTableIsNotFound) {
  for (unsigned id : {0U, 5U, 0xFFFFFFFFU}) {
    SCOPED_TRACE(id);
    AudioOutput output;
    const grpc::Status status = getOutput(id, &output);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
    EXPECT_EQ(status.error_message(), "Invalid ID");
  }
}

TEST_F(AudioOutputsServiceTest, SchemaListsHeadphonesFirst) {
  grpc::ServerContext context;
  protobuf::GetAudioOutputsServiceSchemaRequest request;
  protobuf::GetAudioOutputsServiceSchemaResponse schema;
  ASSERT_TRUE(service.GetServiceSchema(&context, &request, &schema).ok());

  struct Expected {
    unsigned id;
    const char* name;
    bool activeDefault;
    protobuf::Permission activePermission;
    bool switchable;
  };
  const Expected expected[] = {
      {4, "HEADPHONES", false, protobuf::PERMISSION_READ, false},
      {1, "MAIN / HIGH PASS", true, protobuf::PERMISSION_READ, false},
      {2, "OUTPUT 1 / LOW PASS", true, protobuf::PERMISSION_READ_WRITE, true},
      {3, "OUTPUT 2 (SUBWOOFER)", true, protobuf::PERMISSION_READ_WRITE, true},
  };
  ASSERT_EQ(schema.outputs_size(), 4);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const auto& s = schema.outputs(i);
    const Expected& e = expected[i];
    EXPECT_EQ(s.id(), e.id);
    EXPECT_EQ(s.customname().lengthrange().min(), 0U);
    EXPECT_EQ(s.customname().lengthrange().max(), 20U);
    EXPECT_EQ(s.customname().default_(), e.name);
    EXPECT_EQ(s.customname().permission(), protobuf::PERMISSION_READ);
    EXPECT_EQ(s.isactive().default_(), e.activeDefault);
    EXPECT_EQ(s.isactive().permission(), e.activePermission);
    EXPECT_EQ(s.has_isswitched(), e.switchable);
    if (e.switchable) {
      EXPECT_TRUE(s.isswitched().default_());
      EXPECT_EQ(s.isswitched().permission(), protobuf::PERMISSION_READ);
    }
  }
}

TEST_F(AudioOutputsServiceTest, OutputIsSwitchableOnlyAfterTheControllerSaysSo) {
  for (unsigned id : {2U, 3U}) {
    for (bool active : {true, false}) {
      const grpc::Status status = updateOutput(id, active);
      EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
      EXPECT_EQ(status.error_message(), "Output not Switched");
    }
  }
  service.updateOutputSwitched(2, false);
  EXPECT_EQ(updateOutput(2, true).error_message(), "Output not Switched");
  EXPECT_EQ(pty.readMaster(), "");
  EXPECT_FALSE(isActive(2));

  service.updateOutputSwitched(2, true);
  EXPECT_TRUE(updateOutput(2, true).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xB1, '1', 0x00}));
  // The request is mirrored at once.
  EXPECT_TRUE(isActive(2));
  // The other output is still not switchable.
  EXPECT_EQ(updateOutput(3, true).error_message(), "Output not Switched");
  EXPECT_EQ(pty.readMaster(), "");

  service.updateOutputSwitched(3, true);
  EXPECT_TRUE(updateOutput(3, false).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xB2, '0', 0x00}));
  EXPECT_TRUE(updateOutput(2, false).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xB1, '0', 0x00}));
  EXPECT_FALSE(isActive(2));

  // Without isActive there is nothing to do.
  EXPECT_TRUE(updateOutput(2, std::nullopt).ok());
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(AudioOutputsServiceTest, MainAndHeadphonesAreNotSwitchedThroughTheApi) {
  for (unsigned id : {1U, 4U}) {
    for (std::optional<bool> active :
         {std::optional<bool>(false), std::optional<bool>(true), std::optional<bool>()}) {
      EXPECT_TRUE(updateOutput(id, active).ok());
    }
  }
  EXPECT_EQ(pty.readMaster(), "");
  EXPECT_TRUE(isActive(1));
  EXPECT_FALSE(isActive(4));
}

TEST_F(AudioOutputsServiceTest, UnknownIdIsNotFoundUnlessTheProductStateChanges) {
  for (unsigned id : {0U, 5U, 0xFFFFFFFFU}) {
    const grpc::Status status = updateOutput(id, true);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
    EXPECT_EQ(status.error_message(), "Invalid ID");
  }
  service.updateOutputSwitched(2, true);
  ASSERT_TRUE(state.setSchedule('3'));
  for (unsigned id : {5U, 1U, 2U}) {
    const grpc::Status status = updateOutput(id, true);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(status.error_message(), "Product State Transisioning");
  }
  EXPECT_EQ(pty.readMaster(), "");
  EXPECT_FALSE(isActive(2));
}

class AudioOutputsStreamTest : public AudioOutputsServiceTest {
 protected:
  AudioOutputsStreamTest() { stream.waitForCount(1); }

  LoopbackServer server{&service};
  std::unique_ptr<protobuf::AudioOutputsService::Stub> stub =
      protobuf::AudioOutputsService::NewStub(server.channel());
  StreamCollector<ObserveActiveAudioOutputsResponse> stream{[this](grpc::ClientContext* context) {
    return stub->ObserveActiveOutputs(context, protobuf::ObserveActiveAudioOutputsRequest());
  }};
};

TEST_F(AudioOutputsStreamTest, StreamFollowsTheControllersReports) {
  service.updateHeadphonesActive(true);
  service.updateOutputSwitched(3, true);  // not streamed
  service.updateOutputActive(3, true);
  service.updateOutputActive(3, true);  // streamed again, unchanged
  service.updateOutputActive(2, true);
  service.updateHeadphonesActive(false);
  ASSERT_TRUE(stream.waitForCount(6));
  using Ids = std::vector<unsigned>;
  EXPECT_THAT(idSets(stream.messages()), ElementsAre(Ids{1}, Ids{1, 4}, Ids{1, 3, 4}, Ids{1, 3, 4},
                                                     Ids{1, 2, 3, 4}, Ids{1, 2, 3}));
}

TEST_F(AudioOutputsStreamTest, SwitchingShowsInTheStreamOnlyWhenConfirmed) {
  service.updateOutputSwitched(2, true);
  ASSERT_TRUE(updateOutput(2, true).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xB1, '1', 0x00}));
  EXPECT_TRUE(isActive(2));
  // A message from the request itself would arrive before the confirmation's.
  service.updateOutputActive(2, true);
  ASSERT_TRUE(stream.waitForCount(2));
  using Ids = std::vector<unsigned>;
  EXPECT_THAT(idSets(stream.messages()), ElementsAre(Ids{1}, Ids{1, 2}));
}

TEST_F(AudioOutputsStreamTest, ReportsForOtherOutputsAreIgnored) {
  for (int id : {1, 4, 0, 5}) {
    service.updateOutputActive(id, id != 1);
    service.updateOutputSwitched(id, true);
  }
  service.updateHeadphonesActive(false);
  ASSERT_TRUE(stream.waitForCount(2));
  using Ids = std::vector<unsigned>;
  EXPECT_THAT(idSets(stream.messages()), ElementsAre(Ids{1}, Ids{1}));
  EXPECT_EQ(updateOutput(2, true).error_message(), "Output not Switched");
}

}  // namespace
}  // namespace vantorellabs
