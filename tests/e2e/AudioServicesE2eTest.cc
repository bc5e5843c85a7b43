// The audio services end to end: a gRPC client on the board's loopback, the real daemon,
// and the simulated amplifier ramping, switching and confirming on the serial port.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "audio_input_control_service.grpc.pb.h"
#include "audio_inputs_activation_service.grpc.pb.h"
#include "audio_inputs_service.grpc.pb.h"
#include "audio_outputs_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;
using ::testing::ElementsAre;

class AudioServicesE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options = {}) {
    BoardTest::boot(options);
    channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    volume = pb::VolumeService::NewStub(channel);
    inputs = pb::AudioInputsService::NewStub(channel);
    activation = pb::AudioInputsActivationService::NewStub(channel);
    outputs = pb::AudioOutputsService::NewStub(channel);
    control = pb::AudioInputControlService::NewStub(channel);
    // The amplifier's start-up reports have all arrived once the last one is traced.
    ASSERT_TRUE(daemon.waitForOutput("<<< 0xB5"));
  }

  std::unique_ptr<StreamReader<pb::ObserveVolumeResponse>> observeVolume() {
    return std::make_unique<StreamReader<pb::ObserveVolumeResponse>>(
        [this](grpc::ClientContext* c) { return volume->ObserveVolume(c, {}); });
  }
  std::unique_ptr<StreamReader<pb::ObserveActiveAudioInputResponse>> observeActiveInput() {
    return std::make_unique<StreamReader<pb::ObserveActiveAudioInputResponse>>(
        [this](grpc::ClientContext* c) { return activation->ObserveActiveInput(c, {}); });
  }
  std::unique_ptr<StreamReader<pb::ObserveActiveAudioOutputsResponse>> observeOutputs() {
    return std::make_unique<StreamReader<pb::ObserveActiveAudioOutputsResponse>>(
        [this](grpc::ClientContext* c) { return outputs->ObserveActiveOutputs(c, {}); });
  }

  grpc::Status setVolume(std::optional<int> v, std::optional<bool> muted = std::nullopt) {
    grpc::ClientContext context;
    pb::SetVolumeRequest request;
    if (v) request.set_volume(*v);
    if (muted) request.set_ismuted(*muted);
    pb::SetVolumeResponse response;
    return volume->SetVolume(&context, request, &response);
  }
  grpc::Status updateInput(const pb::UpdateAudioInputRequest& request) {
    grpc::ClientContext context;
    pb::UpdateAudioInputResponse response;
    return inputs->UpdateInput(&context, request, &response);
  }
  pb::AudioInput getInput(unsigned id) {
    grpc::ClientContext context;
    pb::GetAudioInputRequest request;
    request.set_id(id);
    pb::GetAudioInputResponse response;
    EXPECT_TRUE(inputs->GetInput(&context, request, &response).ok());
    return response.input();
  }
  grpc::Status setActiveInput(unsigned id) {
    grpc::ClientContext context;
    pb::SetActiveAudioInputRequest request;
    request.set_id(id);
    pb::SetActiveAudioInputResponse response;
    return activation->SetActiveInput(&context, request, &response);
  }
  grpc::Status sendCommand(pb::AudioInputCommand command) {
    grpc::ClientContext context;
    pb::SendAudioInputCommandRequest request;
    request.set_command(command);
    pb::SendAudioInputCommandResponse response;
    return control->SendInputCommand(&context, request, &response);
  }
  // Waits until the daemon's view of an input satisfies the predicate.
  bool waitForInput(unsigned id, const std::function<bool(const pb::AudioInput&)>& matches) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (matches(getInput(id))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<pb::VolumeService::Stub> volume;
  std::unique_ptr<pb::AudioInputsService::Stub> inputs;
  std::unique_ptr<pb::AudioInputsActivationService::Stub> activation;
  std::unique_ptr<pb::AudioOutputsService::Stub> outputs;
  std::unique_ptr<pb::AudioInputControlService::Stub> control;
};

TEST_F(AudioServicesE2eTest, VolumeStreamHidesTheRampTowardsTheRequestedVolume) {
  boot();
  auto stream = observeVolume();
  ASSERT_EQ(stream->waitFor([](const auto& m) { return m.volume() == 20; }), 0);
  const std::size_t before = sim->receivedFrames().size();
  ASSERT_TRUE(setVolume(35).ok());
  EXPECT_GE(sim->waitForFrame([](const std::string& f) { return f == "\x80\x23"; }, before), 0);
  const int reached = stream->waitFor([](const auto& m) { return m.volume() == 35; });
  ASSERT_GT(reached, 0);
  const auto messages = stream->messages();
  EXPECT_TRUE(messages[reached].has_pendingvolume());
  EXPECT_EQ(messages[reached].pendingvolume(), 35);
  for (int i = 1; i < reached; ++i) {
    EXPECT_TRUE(messages[i].volume() == 20 || messages[i].volume() == 35)
        << "ramp step " << messages[i].volume() << " was streamed";
  }
  EXPECT_EQ(sim->amplifier().volume(), 35);
}

TEST_F(AudioServicesE2eTest, KnobTurnOnTheAmplifierIsFollowedStepByStep) {
  boot();
  ASSERT_TRUE(setVolume(22).ok());
  auto stream = observeVolume();
  ASSERT_GE(stream->waitFor([](const auto& m) { return m.volume() == 22; }), 0);
  const std::size_t from = stream->count();
  sim->amplifier().turnVolumeKnob(18);
  const int last = stream->waitFor([](const auto& m) { return m.volume() == 18; }, from);
  ASSERT_GE(last, 0);
  std::vector<int> steps;
  const auto messages = stream->messages();
  for (std::size_t i = from; i <= static_cast<std::size_t>(last); ++i) {
    steps.push_back(messages[i].volume());
    EXPECT_FALSE(messages[i].has_pendingvolume());
  }
  EXPECT_THAT(steps, ElementsAre(21, 20, 19, 18));
}

TEST_F(AudioServicesE2eTest, MuteAndRefusals) {
  boot();
  auto stream = observeVolume();
  ASSERT_TRUE(setVolume(std::nullopt, true).ok());
  EXPECT_GE(stream->waitFor([](const auto& m) { return m.ismuted(); }), 0);
  EXPECT_TRUE(sim->amplifier().muted());
  EXPECT_EQ(setVolume(101).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  // The amplifier starts changing state: requests are refused until it settles.
  sim->sendFrame("35");
  ASSERT_TRUE(daemon.waitForOutput("Setting Schedule to '5'"));
  const grpc::Status status = setVolume(10);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
  EXPECT_EQ(status.error_message(), "Product State Transisioning");
}

TEST_F(AudioServicesE2eTest, InputSettingsGoToTheAmplifierAndComeBackFromIt) {
  boot();
  grpc::ClientContext context;
  pb::GetAudioInputsResponse all;
  ASSERT_TRUE(inputs->GetInputs(&context, {}, &all).ok());
  ASSERT_EQ(all.inputs_size(), 16);
  EXPECT_EQ(all.inputs(15).name(), "HDMI(ARC)");

  pb::UpdateAudioInputRequest rename;
  rename.set_id(8);
  rename.set_customname("Turntable");
  ASSERT_TRUE(updateInput(rename).ok());
  EXPECT_TRUE(waitForInput(8, [](const auto& in) { return in.customname() == "Turntable"; }));
  EXPECT_EQ(sim->amplifier().input(8).customName, "Turntable");

  pb::UpdateAudioInputRequest trim;
  trim.set_id(1);
  trim.mutable_trim()->set_balance(-10);
  trim.mutable_trim()->set_trimlevel(-1.5F);
  ASSERT_TRUE(updateInput(trim).ok());
  EXPECT_TRUE(waitForInput(1, [](const auto& in) {
    return in.trim().balance() == -10 && in.trim().trimlevel() == -1.5F;
  }));
  EXPECT_EQ(getInput(16).trim().balance(), -10) << "balance is one value for all inputs";

  rename.set_customname("Tab\there");
  const grpc::Status refused = updateInput(rename);
  EXPECT_EQ(refused.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(refused.error_message(), "Invalid Custom Name");
}

TEST_F(AudioServicesE2eTest, SelectingAnInputStreamsItAndItsMetadata) {
  boot();
  auto stream = observeActiveInput();
  ASSERT_EQ(stream->waitFor([](const auto& m) { return m.activeinput().id() == 1; }), 0);
  ASSERT_TRUE(setActiveInput(12).ok());
  const int selected = stream->waitFor([](const auto& m) { return m.activeinput().id() == 12; });
  ASSERT_GE(selected, 0);
  EXPECT_GE(
      stream->waitFor([](const auto& m) { return m.activeinput().inputmetadata() == "Track 1"; },
                      selected),
      0);
  // A transport key reaches the source, which moves on to the next track.
  const std::size_t before = stream->count();
  ASSERT_TRUE(sendCommand(pb::AUDIO_INPUT_COMMAND_SKIP_NEXT).ok());
  EXPECT_GE(stream->waitFor(
                [](const auto& m) { return m.activeinput().inputmetadata() == "Track 2"; }, before),
            0);
  EXPECT_EQ(sim->amplifier().lastTransportCommand(), 5);
  EXPECT_EQ(setActiveInput(17).error_message(), "Invalid ID");
}

TEST_F(AudioServicesE2eTest, SwitchableOutputIsSwitchedAndStreamed) {
  boot();
  auto stream = observeOutputs();
  ASSERT_EQ(stream->waitFor([](const auto& m) { return m.ids_size() == 1 && m.ids(0) == 1; }), 0);
  grpc::ClientContext context;
  pb::UpdateAudioOutputRequest request;
  request.set_id(2);
  request.set_isactive(true);
  pb::UpdateAudioOutputResponse response;
  ASSERT_TRUE(outputs->UpdateOutput(&context, request, &response).ok());
  EXPECT_GE(stream->waitFor([](const auto& m) { return m.ids_size() == 2 && m.ids(1) == 2; }), 0);
  EXPECT_TRUE(sim->amplifier().outputOn(2));
  sim->sendFrame(
      "\xB5"
      "1");
  EXPECT_GE(stream->waitFor([](const auto& m) { return m.ids_size() == 3 && m.ids(2) == 4; }), 0);
}

TEST_F(AudioServicesE2eTest, TransportKeysNeedTheAmplifierOn) {
  ampsim::AmpSimOptions options;
  options.amplifier.poweredOn = false;
  boot(options);
  const grpc::Status status = sendCommand(pb::AUDIO_INPUT_COMMAND_PLAY_PAUSE);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(status.error_message(), "Product in Standby");
}

TEST_F(AudioServicesE2eTest, K7100SchemaHasToneControls) {
  writeBoardFile("/sys/bus/iio/devices/iio:device0/in_voltage6_raw", "1241\n");
  boot();
  grpc::ClientContext context;
  pb::GetAudioInputsServiceSchemaResponse schema;
  ASSERT_TRUE(inputs->GetServiceSchema(&context, {}, &schema).ok());
  ASSERT_EQ(schema.inputs_size(), 16);
  EXPECT_TRUE(schema.inputs(0).has_tone());
  EXPECT_FALSE(schema.inputs(0).has_equalizer());
}

}  // namespace
}  // namespace vantorellabs::e2e
