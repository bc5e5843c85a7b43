#include "Services/AudioInputControl/AudioInputControlServiceImpl.h"

#include "Services/ServiceStatus.h"

namespace vantorellabs {

grpc::Status AudioInputControlServiceImpl::SendInputCommand(
    grpc::ServerContext* /*context*/, const protobuf::SendAudioInputCommandRequest* request,
    protobuf::SendAudioInputCommandResponse* /*response*/) {
  if (!state_.isPoweredOn()) return {grpc::StatusCode::FAILED_PRECONDITION, "Product in Standby"};
  // The command's number is its byte on the link; a number the schema does not know would
  // reach the source as some other key.
  if (!protobuf::AudioInputCommand_IsValid(request->command())) {
    return invalidArgument("Invalid Command");
  }
  // UNSPECIFIED is the byte 0, which ends the frame right after the code.
  link_.sendCodeByte(kCodeInputCommand, static_cast<std::uint8_t>(request->command()));
  return grpc::Status::OK;
}

}  // namespace vantorellabs
