#pragma once

#include <cstdint>

#include "audio_input_control_service.grpc.pb.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs {

// Transport and tuner keys for the source behind the active input.
class AudioInputControlServiceImpl final : public protobuf::AudioInputControlService::Service {
 public:
  static constexpr std::uint8_t kCodeInputCommand = 0xC0;

  AudioInputControlServiceImpl(ControllerLink& link, DeviceState& state)
      : link_(link), state_(state) {}

  grpc::Status SendInputCommand(grpc::ServerContext* context,
                                const protobuf::SendAudioInputCommandRequest* request,
                                protobuf::SendAudioInputCommandResponse* response) override;

 private:
  ControllerLink& link_;
  DeviceState& state_;
};

}  // namespace vantorellabs
