// The controller's reports, as frames through the real dispatcher, reach the service that
// mirrors them with their values intact.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Fakes.h"
#include "FirmwareTestSupport.h"
#include "ServiceTestSupport.h"
#include "Services/ApiReportOwners.h"
#include "link/ControllerDispatcher.h"

namespace vantorellabs {
namespace {

using testing::bytes;
using ::testing::ElementsAre;
using testing::FakePoller;
using testing::FakeShell;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::StreamCollector;

class ApiReportOwnersTest : public ::testing::Test {
 protected:
  ApiReportOwnersTest() {
    link.attach(controllerPty.slave);
    da.attach(daPty.slave);
  }

  void dispatch(const std::string& frame) { dispatcher.dispatchControllerFrame(frame); }

  protobuf::AudioInput input(unsigned id) {
    grpc::ServerContext context;
    protobuf::GetAudioInputRequest request;
    request.set_id(id);
    protobuf::GetAudioInputResponse response;
    EXPECT_TRUE(inputs.GetInput(&context, &request, &response).ok());
    return response.input();
  }
  std::vector<protobuf::AudioInput> allInputs() {
    grpc::ServerContext context;
    protobuf::GetAudioInputsRequest request;
    protobuf::GetAudioInputsResponse response;
    EXPECT_TRUE(inputs.GetInputs(&context, &request, &response).ok());
    return {response.inputs().begin(), response.inputs().end()};
  }

  PtyPair controllerPty;
  PtyPair daPty;
  RecordingConsole console;
  FakeShell shell;
  FakePoller poller;
  ControllerLink link{console};
  DeviceState state{DeviceState::kModelK7100, "1.2.3"};
  VolumeServiceImpl volume{link, state};
  AudioInputsServiceImpl inputs{link, state};
  AudioInputsActivationServiceImpl activation{link, state};
  AudioOutputsServiceImpl outputs{link, state};
  testing::FirmwareParts parts{link, state, console};
  FirmwareInstaller& installer = parts.installer;
  FirmwareUpdateServiceImpl& firmware = parts.service;
  UpdateScheduler updates{installer, parts.clock, console,
                          [this] { return firmware.autoUpdateEnabled(); }};
  ApiReportOwners owners{volume, inputs, activation, outputs, firmware, updates};
  DaModuleLink da{link, state, owners, console};
  ControllerDispatcher dispatcher{DispatchTargets{link, state, da, owners, shell, poller, console}};
  LoopbackServer server{&volume, &activation, &outputs};
};

TEST_F(ApiReportOwnersTest, VolumeReports) {
  auto stub = protobuf::VolumeService::NewStub(server.channel());
  StreamCollector<protobuf::ObserveVolumeResponse> stream([&](grpc::ClientContext* context) {
    return stub->ObserveVolume(context, protobuf::ObserveVolumeRequest());
  });
  ASSERT_TRUE(stream.waitForCount(1));

  grpc::ServerContext context;
  protobuf::SetVolumeRequest request;
  request.set_volume(40);
  protobuf::SetVolumeResponse response;
  ASSERT_TRUE(volume.SetVolume(&context, &request, &response).ok());
  dispatch(bytes({0x80, 0x1F}));  // 30, dropped while 40 is pending
  dispatch(bytes({0x81, 0x29}));  // 40: still pending
  dispatch(bytes({0x80, 0x1F}));
  dispatch(bytes({0x81, 0x1F}));  // 30: the controller went elsewhere
  dispatch(bytes({0x80, 0x1F}));
  dispatch(bytes({0x82, '1'}));
  ASSERT_TRUE(stream.waitForCount(3));
  const auto messages = stream.messages();
  ASSERT_EQ(messages.size(), 3U);
  EXPECT_EQ(messages[1].volume(), 30);
  EXPECT_FALSE(messages[1].has_pendingvolume());
  EXPECT_FALSE(messages[1].ismuted());
  EXPECT_EQ(messages[2].volume(), 30);
  EXPECT_TRUE(messages[2].ismuted());
}

TEST_F(ApiReportOwnersTest, InputReports) {
  dispatch(bytes({0x92, 61}));
  for (const auto& entry : allInputs()) EXPECT_EQ(entry.trim().balance(), 10) << entry.id();

  dispatch(bytes({0x98, 0x03}));
  for (const auto& entry : allInputs()) {
    EXPECT_EQ(entry.ispassthruenabled(), entry.id() == 3U) << entry.id();
  }
  for (const std::string& frame : {bytes({0x98}), bytes({0x98, 0x11})}) {
    dispatch(bytes({0x98, 0x03}));
    dispatch(frame);
    for (const auto& entry : allInputs()) {
      EXPECT_TRUE(entry.has_ispassthruenabled()) << entry.id();
      EXPECT_FALSE(entry.ispassthruenabled()) << entry.id();
    }
  }

  dispatch(bytes({0x90, 0x04, '0'}));
  dispatch("\x91\x04Tape");
  dispatch(bytes({0x93, 0x04, 10}));
  dispatch(bytes({0x94, 0x04, '1'}));
  dispatch(bytes({0x95, 0x04, 1}));
  dispatch(bytes({0x96, 0x04, 25}));
  dispatch(bytes({0x97, 0x04, '1'}));
  const auto entry = input(4);
  EXPECT_FALSE(entry.isenabled());
  EXPECT_EQ(entry.customname(), "Tape");
  EXPECT_EQ(entry.trim().trimlevel(), -1.5F);
  EXPECT_TRUE(entry.tone().isenabled());
  EXPECT_EQ(entry.tone().basslevel(), -12);
  EXPECT_EQ(entry.tone().treblelevel(), 12);
  EXPECT_TRUE(entry.equalizer().isenabled());
  EXPECT_TRUE(input(5).isenabled());
}

TEST_F(ApiReportOwnersTest, ActiveInputReports) {
  auto stub = protobuf::AudioInputsActivationService::NewStub(server.channel());
  StreamCollector<protobuf::ObserveActiveAudioInputResponse> stream(
      [&](grpc::ClientContext* context) {
        return stub->ObserveActiveInput(context, protobuf::ObserveActiveAudioInputRequest());
      });
  ASSERT_TRUE(stream.waitForCount(1));

  dispatch(
      "\xA6"
      "5Turntable");
  dispatch(bytes({0xA3, '1', 10, 17}));
  dispatch(bytes({0xA3, '1', 0x1A, 17}));  // bass out of range: dropped
  dispatch(bytes({0xA4, '1'}));
  dispatch(bytes({0xA5, 41, 10}));
  dispatch(
      "\xA7"
      "Blue in Green");
  dispatch(bytes({0xA2, 0x09, '1'}));
  ASSERT_TRUE(stream.waitForCount(7));
  const auto messages = stream.messages();
  ASSERT_EQ(messages.size(), 7U);
  EXPECT_EQ(messages[5].activeinput().inputmetadata(), "Blue in Green");
  const auto& last = messages[6].activeinput();
  EXPECT_EQ(last.id(), 9U);
  EXPECT_TRUE(last.ispassthruactive());
  EXPECT_FALSE(last.has_inputmetadata());
  EXPECT_EQ(last.customname(), "Turntable");
  EXPECT_TRUE(last.audiotone().isenabled());
  EXPECT_EQ(last.audiotone().basslevel(), -3);
  EXPECT_EQ(last.audiotone().treblelevel(), 4);
  EXPECT_TRUE(last.audioeq().isenabled());
  EXPECT_EQ(last.audiotrim().balance(), -10);
  EXPECT_EQ(last.audiotrim().trimlevel(), -1.5F);
}

TEST_F(ApiReportOwnersTest, OutputReports) {
  auto stub = protobuf::AudioOutputsService::NewStub(server.channel());
  StreamCollector<protobuf::ObserveActiveAudioOutputsResponse> stream(
      [&](grpc::ClientContext* context) {
        return stub->ObserveActiveOutputs(context, protobuf::ObserveActiveAudioOutputsRequest());
      });
  ASSERT_TRUE(stream.waitForCount(1));

  dispatch(bytes({0xB3, '1'}));
  dispatch(bytes({0xB1, '1'}));
  dispatch(bytes({0xB5, '1'}));
  dispatch(bytes({0xB2, '1'}));
  dispatch(bytes({0xB2, 'x'}));
  ASSERT_TRUE(stream.waitForCount(5));
  std::vector<std::vector<unsigned>> sets;
  for (const auto& m : stream.messages()) sets.emplace_back(m.ids().begin(), m.ids().end());
  using Ids = std::vector<unsigned>;
  EXPECT_THAT(sets, ElementsAre(Ids{1}, Ids{1, 2}, Ids{1, 2, 4}, Ids{1, 2, 3, 4}, Ids{1, 2, 4}));

  // 0xB3 made output 2 switchable; output 3 has had no 0xB4.
  grpc::ServerContext context;
  protobuf::UpdateAudioOutputRequest request;
  protobuf::UpdateAudioOutputResponse response;
  request.set_id(2);
  request.set_isactive(false);
  EXPECT_TRUE(outputs.UpdateOutput(&context, &request, &response).ok());
  request.set_id(3);
  EXPECT_EQ(outputs.UpdateOutput(&context, &request, &response).error_message(),
            "Output not Switched");
}

TEST_F(ApiReportOwnersTest, FirmwareReports) {
  dispatch("r1");
  EXPECT_TRUE(firmware.autoUpdateEnabled());
  dispatch("rx");
  EXPECT_TRUE(firmware.autoUpdateEnabled());
  dispatch("r0");
  EXPECT_FALSE(firmware.autoUpdateEnabled());

  // A reboot request during an installation waits for its end.
  ASSERT_TRUE(installer.beginUpdate());
  dispatch(bytes({0x0F}));
  dispatch(bytes({0x0A}));
  owners.autoUpdateTick();
  EXPECT_TRUE(shell.commands.empty());
  installer.endUpdate();
  owners.autoUpdateTick();
  EXPECT_THAT(shell.commands, ElementsAre("fw_setenv bootparam C", "reboot"));
  EXPECT_THAT(console.all(), ::testing::HasSubstr("Update Already In Progress\n"));
  EXPECT_THAT(console.all(), ::testing::HasSubstr("Auto Update Not Enabled\n"));

  // The manual request runs on the worker and reports through the link.
  controllerPty.readAvailable();
  dispatch(bytes({0x0A}));
  updates.waitForWorker();
  EXPECT_EQ(testing::controllerFrames(controllerPty), "0A 0B01 0B03 0B09 0B0A 0B0F");
}

}  // namespace
}  // namespace vantorellabs
