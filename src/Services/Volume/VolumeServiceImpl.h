#pragma once

#include <cstdint>
#include <mutex>

#include "Services/StreamObserver.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs {

// Master volume and mute. What it reports is what the controller last reported; a request
// becomes a command and the mirror follows the controller's answer.
class VolumeServiceImpl final : public protobuf::VolumeService::Service {
 public:
  static constexpr std::uint8_t kCodeSetVolume = 0x80;
  static constexpr std::uint8_t kCodeSetMute = 0x82;
  static constexpr int kMaxVolume = 100;

  VolumeServiceImpl(ControllerLink& link, DeviceState& state) : link_(link), state_(state) {}

  grpc::Status GetServiceSchema(grpc::ServerContext* context,
                                const protobuf::GetVolumeServiceSchemaRequest* request,
                                protobuf::GetVolumeServiceSchemaResponse* response) override;
  grpc::Status ObserveVolume(grpc::ServerContext* context,
                             const protobuf::ObserveVolumeRequest* request,
                             grpc::ServerWriter<protobuf::ObserveVolumeResponse>* writer) override;
  grpc::Status SetVolume(grpc::ServerContext* context, const protobuf::SetVolumeRequest* request,
                         protobuf::SetVolumeResponse* response) override;

  // Controller reports, on the main loop's thread.
  void updateVolume(int value);
  void checkPendingVolume(int value);
  void updateMute(bool value);

  std::size_t observerCount() {
    std::lock_guard<std::mutex> lock(observersMutex);
    return observers.size();
  }

 private:
  // Expects observersMutex to be held.
  protobuf::ObserveVolumeResponse currentState() const;

  ControllerLink& link_;
  DeviceState& state_;

  std::mutex observersMutex;
  ObserverList<protobuf::ObserveVolumeResponse> observers;
  std::int32_t volume = 0;
  std::int32_t pendingVolume = 0;
  bool hasPendingVolume = false;
  bool isMuted = false;
};

}  // namespace vantorellabs
