#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "Services/StreamObserver.h"
#include "audio_outputs_service.grpc.pb.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs {

// The four audio outputs: which are active, switching the two switchable ones, and a
// stream of the active set.
class AudioOutputsServiceImpl final : public protobuf::AudioOutputsService::Service {
 public:
  static constexpr int kOutputCount = 4;
  static constexpr int kMainOutput = 1;
  static constexpr int kOutput1 = 2;
  static constexpr int kOutput2 = 3;
  static constexpr int kHeadphones = 4;

  AudioOutputsServiceImpl(ControllerLink& link, DeviceState& state);

  grpc::Status GetServiceSchema(grpc::ServerContext* context,
                                const protobuf::GetAudioOutputsServiceSchemaRequest* request,
                                protobuf::GetAudioOutputsServiceSchemaResponse* response) override;
  grpc::Status GetOutputs(grpc::ServerContext* context,
                          const protobuf::GetAudioOutputsRequest* request,
                          protobuf::GetAudioOutputsResponse* response) override;
  grpc::Status GetOutput(grpc::ServerContext* context,
                         const protobuf::GetAudioOutputRequest* request,
                         protobuf::GetAudioOutputResponse* response) override;
  grpc::Status UpdateOutput(grpc::ServerContext* context,
                            const protobuf::UpdateAudioOutputRequest* request,
                            protobuf::UpdateAudioOutputResponse* response) override;
  grpc::Status ObserveActiveOutputs(
      grpc::ServerContext* context, const protobuf::ObserveActiveAudioOutputsRequest* request,
      grpc::ServerWriter<protobuf::ObserveActiveAudioOutputsResponse>* writer) override;

  // Controller reports, on the main loop's thread. id is 2 or 3.
  void updateOutputActive(int id, bool active);
  void updateOutputSwitched(int id, bool switched);
  void updateHeadphonesActive(bool active);

  std::size_t observerCount() {
    std::lock_guard<std::mutex> lock(observersMutex);
    return observers.size();
  }

 private:
  // Expect observersMutex to be held.
  protobuf::ObserveActiveAudioOutputsResponse activeSet() const;
  protobuf::AudioOutput& entry(int id) { return outputs[static_cast<std::size_t>(id - 1)]; }

  ControllerLink& link_;
  DeviceState& state_;
  std::mutex observersMutex;
  ObserverList<protobuf::ObserveActiveAudioOutputsResponse> observers;
  std::array<protobuf::AudioOutput, kOutputCount> outputs;
};

}  // namespace vantorellabs
