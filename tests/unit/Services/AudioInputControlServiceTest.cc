#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/AudioInputControl/AudioInputControlServiceImpl.h"

namespace vantorellabs {
namespace {

using testing::ServiceBench;

using protobuf::AudioInputCommand;
using testing::bytes;
using testing::PtyPair;
using testing::RecordingConsole;

class AudioInputControlServiceTest : public ::testing::Test, protected ServiceBench {
 protected:
  grpc::Status send(AudioInputCommand command) {
    grpc::ServerContext context;
    protobuf::SendAudioInputCommandRequest request;
    request.set_command(command);
    protobuf::SendAudioInputCommandResponse response;
    return service.SendInputCommand(&context, &request, &response);
  }
  // A number outside the enumeration, as a client with another schema would put on the
  // wire: field 1 as a varint.
  grpc::Status sendRaw(int number) {
    grpc::ServerContext context;
    protobuf::SendAudioInputCommandRequest request;
    std::string wire = bytes({0x08});
    auto value = static_cast<std::uint64_t>(static_cast<std::int64_t>(number));
    do {
      const auto low = static_cast<char>(value & 0x7F);
      value >>= 7;
      wire.push_back(value != 0 ? static_cast<char>(low | 0x80) : low);
    } while (value != 0);
    EXPECT_TRUE(request.ParseFromString(wire));
    EXPECT_EQ(static_cast<int>(request.command()), number);
    protobuf::SendAudioInputCommandResponse response;
    return service.SendInputCommand(&context, &request, &response);
  }

  AudioInputControlServiceImpl service{link, state};
};

TEST_F(AudioInputControlServiceTest, StandbyRefusesEveryCommand) {
  ASSERT_FALSE(state.isPoweredOn());
  for (int command = 0; command <= 10; ++command) {
    const grpc::Status status = send(static_cast<AudioInputCommand>(command));
    EXPECT_EQ(status.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << command;
    EXPECT_EQ(status.error_message(), "Product in Standby") << command;
  }
  // Standby is checked before the command itself.
  EXPECT_EQ(sendRaw(11).error_message(), "Product in Standby");
  ASSERT_TRUE(state.setPoweredOnFlag('1'));
  ASSERT_TRUE(state.setPoweredOnFlag('0'));
  EXPECT_EQ(send(protobuf::AUDIO_INPUT_COMMAND_STOP).error_message(), "Product in Standby");
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(AudioInputControlServiceTest, CommandNumberIsThePayloadByte) {
  ASSERT_TRUE(state.setPoweredOnFlag('1'));
  EXPECT_TRUE(send(protobuf::AUDIO_INPUT_COMMAND_SKIP_NEXT).ok());
  EXPECT_EQ(pty.readMaster(3), bytes({0xC0, 0x05, 0x00}));
  for (int command = 1; command <= 10; ++command) {
    SCOPED_TRACE(command);
    EXPECT_TRUE(send(static_cast<AudioInputCommand>(command)).ok());
    EXPECT_EQ(pty.readMaster(3), bytes({0xC0, command, 0x00}));
  }
  EXPECT_EQ(protobuf::AUDIO_INPUT_COMMAND_BAND, 10);
}

TEST_F(AudioInputControlServiceTest, UnspecifiedEndsTheFrameAtItsCode) {
  ASSERT_TRUE(state.setPoweredOnFlag('1'));
  EXPECT_TRUE(send(protobuf::AUDIO_INPUT_COMMAND_UNSPECIFIED).ok());
  EXPECT_EQ(pty.readMaster(2), bytes({0xC0, 0x00}));
}

TEST_F(AudioInputControlServiceTest, NumberOutsideTheEnumerationIsRefused) {
  ASSERT_TRUE(state.setPoweredOnFlag('1'));
  // 256 would otherwise travel as UNSPECIFIED and 261 as SKIP_NEXT.
  for (int number : {11, 12, 255, 256, 261, -1, -251}) {
    SCOPED_TRACE(number);
    const grpc::Status status = sendRaw(number);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    EXPECT_EQ(status.error_message(), "Invalid Command");
  }
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(AudioInputControlServiceTest, ChangingProductStateDoesNotHoldCommandsBack) {
  ASSERT_TRUE(state.setPoweredOnFlag('1'));
  for (char schedule : {'2', '4', '7'}) {
    SCOPED_TRACE(schedule);
    ASSERT_TRUE(state.setSchedule(schedule));
    EXPECT_TRUE(send(protobuf::AUDIO_INPUT_COMMAND_PLAY_PAUSE).ok());
    EXPECT_EQ(pty.readMaster(3), bytes({0xC0, 0x02, 0x00}));
  }
}

}  // namespace
}  // namespace vantorellabs
