#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "Services/StreamObserver.h"
#include "audio_inputs_activation_service.grpc.pb.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs {

// Selects the active input and streams what the controller reports about it: id, custom
// name, the source's metadata, passthrough, and the tone, equaliser and trim in force.
class AudioInputsActivationServiceImpl final
    : public protobuf::AudioInputsActivationService::Service {
 public:
  static constexpr std::uint8_t kCodeSelectInput = 0xA1;

  AudioInputsActivationServiceImpl(ControllerLink& link, DeviceState& state)
      : link_(link), state_(state) {}

  grpc::Status SetActiveInput(grpc::ServerContext* context,
                              const protobuf::SetActiveAudioInputRequest* request,
                              protobuf::SetActiveAudioInputResponse* response) override;
  grpc::Status ObserveActiveInput(
      grpc::ServerContext* context, const protobuf::ObserveActiveAudioInputRequest* request,
      grpc::ServerWriter<protobuf::ObserveActiveAudioInputResponse>* writer) override;

  // Controller reports, on the main loop's thread. Each one is streamed, even when it
  // repeats the current values.
  void updateActiveInput(int id, bool isPassthruActive);
  void updateActiveTone(bool enabled, int bass, int treble);
  void updateActiveEqualizer(bool enabled);
  void updateActiveTrim(int balance, float trimLevel);
  void updateActiveName(const std::string& name);
  void updateActiveMetadata(const std::string& metadata);

  std::size_t observerCount() {
    std::lock_guard<std::mutex> lock(observersMutex);
    return observers.size();
  }

 private:
  // Expects observersMutex to be held.
  void broadcastActiveInput();

  ControllerLink& link_;
  DeviceState& state_;
  std::mutex observersMutex;
  ObserverList<protobuf::ObserveActiveAudioInputResponse> observers;
  protobuf::ActiveAudioInput activeInput;
};

}  // namespace vantorellabs
