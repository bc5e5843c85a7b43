#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/Volume/VolumeServiceImpl.h"

namespace vantorellabs {
namespace {

using testing::ServiceBench;

using protobuf::ObserveVolumeResponse;
using protobuf::SetVolumeRequest;
using testing::bytes;
using ::testing::ElementsAre;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::StreamCollector;

// One stream message as a line, so that a whole sequence compares in one expectation.
std::string text(const ObserveVolumeResponse& m) {
  std::string line = "volume " + std::to_string(m.volume());
  if (m.has_pendingvolume()) line += " pending " + std::to_string(m.pendingvolume());
  return line + (m.ismuted() ? " muted" : " unmuted");
}

std::vector<std::string> texts(const std::vector<ObserveVolumeResponse>& messages) {
  std::vector<std::string> lines;
  for (const auto& m : messages) lines.push_back(text(m));
  return lines;
}

SetVolumeRequest request(std::optional<int> volume, std::optional<bool> muted) {
  SetVolumeRequest r;
  if (volume) r.set_volume(*volume);
  if (muted) r.set_ismuted(*muted);
  return r;
}

class VolumeServiceTest : public ::testing::Test, protected ServiceBench {
 protected:
  grpc::Status setVolume(std::optional<int> volume, std::optional<bool> muted) {
    grpc::ServerContext context;
    const SetVolumeRequest r = request(volume, muted);
    protobuf::SetVolumeResponse response;
    return service.SetVolume(&context, &r, &response);
  }

  VolumeServiceImpl service{link, state};
};

TEST_F(VolumeServiceTest, SchemaIsConstantWhateverTheProductState) {
  for (char schedule : {'0', '4'}) {
    state.setSchedule(schedule);
    grpc::ServerContext context;
    protobuf::GetVolumeServiceSchemaRequest r;
    protobuf::GetVolumeServiceSchemaResponse schema;
    ASSERT_TRUE(service.GetServiceSchema(&context, &r, &schema).ok());
    EXPECT_EQ(schema.volume().range().min(), 0);
    EXPECT_EQ(schema.volume().range().max(), 100);
    EXPECT_EQ(schema.volume().increment(), 1);
    EXPECT_EQ(schema.volume().default_(), 0);
    EXPECT_EQ(schema.volume().units(), "%");
    EXPECT_EQ(schema.volume().permission(), protobuf::PERMISSION_READ_WRITE);
    EXPECT_FALSE(schema.ismuted().default_());
    EXPECT_EQ(schema.ismuted().permission(), protobuf::PERMISSION_READ_WRITE);
  }
  EXPECT_EQ(pty.readMaster(), "");
}

struct FrameCase {
  std::optional<int> volume;
  std::optional<bool> muted;
  std::string wire;
};

TEST_F(VolumeServiceTest, SetVolumeSendsExactFrames) {
  // A zero value cannot travel on the link: volume 0 and unmute end at the terminator.
  const std::vector<FrameCase> cases = {
      {0, std::nullopt, bytes({0x80, 0x00})},
      {1, std::nullopt, bytes({0x80, 0x01, 0x00})},
      {40, std::nullopt, bytes({0x80, 0x28, 0x00})},
      {99, std::nullopt, bytes({0x80, 0x63, 0x00})},
      {100, std::nullopt, bytes({0x80, 0x64, 0x00})},
      {std::nullopt, true, bytes({0x82, 0x01, 0x00})},
      {std::nullopt, false, bytes({0x82, 0x00})},
      {40, true, bytes({0x80, 0x28, 0x00, 0x82, 0x01, 0x00})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.wire));
    EXPECT_TRUE(setVolume(c.volume, c.muted).ok());
    EXPECT_EQ(pty.readMaster(c.wire.size()), c.wire);
  }
}

TEST_F(VolumeServiceTest, SetVolumeWithNeitherFieldSendsNothing) {
  EXPECT_TRUE(setVolume(std::nullopt, std::nullopt).ok());
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(VolumeServiceTest, SetVolumeIsRefusedWhileTheProductStateChanges) {
  for (char schedule : {'2', '3', '4', '5', '6', '7'}) {
    SCOPED_TRACE(schedule);
    ASSERT_TRUE(state.setSchedule(schedule));
    // The state check comes before the range check, and a mute-only request is no exception.
    for (const auto& r : {request(std::nullopt, true), request(30, std::nullopt),
                          request(300, false), request(std::nullopt, std::nullopt)}) {
      grpc::ServerContext context;
      protobuf::SetVolumeResponse response;
      const grpc::Status status = service.SetVolume(&context, &r, &response);
      EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
      EXPECT_EQ(status.error_message(), "Product State Transisioning");
    }
  }
  EXPECT_EQ(pty.readMaster(), "");
  ASSERT_TRUE(state.setSchedule('1'));
  EXPECT_TRUE(setVolume(std::nullopt, true).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0x82, 0x01, 0x00}));
}

TEST_F(VolumeServiceTest, VolumeOutsideTheSchemaIsRefusedAndNothingIsSent) {
  // 300 would otherwise travel as its low byte, 44.
  for (int volume : {-1, 101, 300, 256, -256}) {
    SCOPED_TRACE(volume);
    const grpc::Status status = setVolume(volume, true);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(status.error_message(), "Invalid Volume");
  }
  EXPECT_EQ(pty.readMaster(), "");
}

// The stream shows what the controller reports, filtered by the pending volume.
class VolumeStreamTest : public VolumeServiceTest {
 protected:
  VolumeStreamTest() {
    stream.waitForCount(1);  // registered, with the state at subscription
  }

  LoopbackServer server{&service};
  std::unique_ptr<protobuf::VolumeService::Stub> stub =
      protobuf::VolumeService::NewStub(server.channel());
  StreamCollector<ObserveVolumeResponse> stream{[this](grpc::ClientContext* context) {
    return stub->ObserveVolume(context, protobuf::ObserveVolumeRequest());
  }};
};

TEST_F(VolumeStreamTest, PendingVolumeHidesTheRampUntilTheControllerMovesOn) {
  ASSERT_TRUE(setVolume(30, std::nullopt).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0x80, 0x1E, 0x00}));

  // The ramp towards 30 is not shown.
  service.updateVolume(25);
  service.updateVolume(27);
  service.updateVolume(29);
  service.updateVolume(30);
  // Reaching the pending value does not end the pending state: 31 is still dropped, also
  // after a report 0x81 that repeats the pending value.
  service.updateVolume(31);
  service.checkPendingVolume(30);
  service.updateVolume(31);
  // A report 0x81 with another value ends it, silently.
  service.checkPendingVolume(33);
  service.updateVolume(31);
  service.updateVolume(25);
  // A mute report equal to the current mute is not streamed; an equal volume report is.
  service.updateMute(false);
  service.updateVolume(25);
  service.updateMute(true);
  service.updateMute(true);
  // Whatever was dropped above would have arrived before this last message.
  service.updateVolume(50);

  ASSERT_TRUE(stream.waitForCount(7));
  EXPECT_THAT(
      texts(stream.messages()),
      ElementsAre("volume 0 unmuted", "volume 30 pending 30 unmuted", "volume 31 unmuted",
                  "volume 25 unmuted", "volume 25 unmuted", "volume 25 muted", "volume 50 muted"));
}

TEST_F(VolumeStreamTest, ANewRequestReplacesThePendingVolume) {
  ASSERT_TRUE(setVolume(30, std::nullopt).ok());
  ASSERT_TRUE(setVolume(20, std::nullopt).ok());
  service.updateVolume(30);
  service.updateVolume(20);
  ASSERT_TRUE(stream.waitForCount(2));
  EXPECT_THAT(texts(stream.messages()),
              ElementsAre("volume 0 unmuted", "volume 20 pending 20 unmuted"));
}

TEST_F(VolumeStreamTest, RequestsChangeNothingUntilTheControllerReports) {
  ASSERT_TRUE(setVolume(std::nullopt, true).ok());
  // A refused volume leaves no pending value behind: 44 is the low byte of 300.
  ASSERT_FALSE(setVolume(300, std::nullopt).ok());
  service.updateVolume(44);
  ASSERT_TRUE(stream.waitForCount(2));
  EXPECT_THAT(texts(stream.messages()), ElementsAre("volume 0 unmuted", "volume 44 unmuted"));
}

}  // namespace
}  // namespace vantorellabs
