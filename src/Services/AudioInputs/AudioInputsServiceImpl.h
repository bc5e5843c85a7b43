#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "audio_inputs_service.grpc.pb.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs {

// The amplifier's sixteen audio inputs: their fixed identity, the settings a client may
// change, and what the controller reports about each. The table changes only through the
// controller's reports.
class AudioInputsServiceImpl final : public protobuf::AudioInputsService::Service {
 public:
  static constexpr int kInputCount = 16;
  static constexpr std::size_t kMaxCustomName = 10;

  // Reads the model from the device state once, to choose the tone or equaliser schema.
  AudioInputsServiceImpl(ControllerLink& link, const DeviceState& state);

  grpc::Status GetServiceSchema(grpc::ServerContext* context,
                                const protobuf::GetAudioInputsServiceSchemaRequest* request,
                                protobuf::GetAudioInputsServiceSchemaResponse* response) override;
  grpc::Status GetInputs(grpc::ServerContext* context,
                         const protobuf::GetAudioInputsRequest* request,
                         protobuf::GetAudioInputsResponse* response) override;
  grpc::Status GetInput(grpc::ServerContext* context, const protobuf::GetAudioInputRequest* request,
                        protobuf::GetAudioInputResponse* response) override;
  grpc::Status UpdateInput(grpc::ServerContext* context,
                           const protobuf::UpdateAudioInputRequest* request,
                           protobuf::UpdateAudioInputResponse* response) override;

  // Controller reports, on the main loop's thread; ids are 1..16 (checked by the dispatcher
  // and again here).
  void updateInputEnabled(int id, bool enabled);
  void updateInputCustomName(int id, const std::string& name);
  void updateBalance(int balance);
  void updateTrimLevel(int id, float level);
  void updateToneEnabled(int id, bool enabled);
  void updateBassLevel(int id, int level);
  void updateTrebleLevel(int id, int level);
  void updateEqualizerEnabled(int id, bool enabled);
  void updatePassthruInput(int id);

 private:
  static bool isInputId(int id) { return id >= 1 && id <= kInputCount; }
  // The entry of an id known to be 1..16. Expects inputsMutex to be held.
  protobuf::AudioInput& entry(int id) { return inputs[static_cast<std::size_t>(id - 1)]; }

  ControllerLink& link_;
  protobuf::GetAudioInputsServiceSchemaResponse schema;
  std::array<protobuf::AudioInput, kInputCount> inputs;
  std::mutex inputsMutex;
};

}  // namespace vantorellabs
