#include "Services/Volume/VolumeServiceImpl.h"

#include "Services/ServiceStatus.h"

namespace vantorellabs {

grpc::Status VolumeServiceImpl::GetServiceSchema(
    grpc::ServerContext* /*context*/, const protobuf::GetVolumeServiceSchemaRequest* /*request*/,
    protobuf::GetVolumeServiceSchemaResponse* response) {
  auto* volumeSchema = response->mutable_volume();
  volumeSchema->mutable_range()->set_min(0);
  volumeSchema->mutable_range()->set_max(kMaxVolume);
  volumeSchema->set_increment(1);
  volumeSchema->set_default_(0);
  volumeSchema->set_units("%");
  volumeSchema->set_permission(protobuf::PERMISSION_READ_WRITE);
  auto* mutedSchema = response->mutable_ismuted();
  mutedSchema->set_default_(false);
  mutedSchema->set_permission(protobuf::PERMISSION_READ_WRITE);
  return grpc::Status::OK;
}

protobuf::ObserveVolumeResponse VolumeServiceImpl::currentState() const {
  protobuf::ObserveVolumeResponse message;
  message.set_volume(volume);
  if (hasPendingVolume) message.set_pendingvolume(pendingVolume);
  message.set_ismuted(isMuted);
  return message;
}

grpc::Status VolumeServiceImpl::ObserveVolume(
    grpc::ServerContext* context, const protobuf::ObserveVolumeRequest* /*request*/,
    grpc::ServerWriter<protobuf::ObserveVolumeResponse>* writer) {
  return observe<protobuf::ObserveVolumeResponse>(context, writer, observersMutex, observers,
                                                  [this] { return currentState(); });
}

grpc::Status VolumeServiceImpl::SetVolume(grpc::ServerContext* /*context*/,
                                          const protobuf::SetVolumeRequest* request,
                                          protobuf::SetVolumeResponse* /*response*/) {
  if (!state_.isSettled()) return productStateTransitioning();
  // Only the low byte travels: 300 would become 44. Refuse what the schema does not allow.
  if (request->has_volume() && (request->volume() < 0 || request->volume() > kMaxVolume)) {
    return invalidArgument("Invalid Volume");
  }
  if (request->has_volume()) {
    {
      std::lock_guard<std::mutex> lock(observersMutex);
      hasPendingVolume = true;
      pendingVolume = request->volume();
    }
    link_.sendCodeByte(kCodeSetVolume, static_cast<std::uint8_t>(request->volume()));
  }
  if (request->has_ismuted()) {
    // The byte 0x01 for muted; unmuted is a zero byte, which ends the frame.
    link_.sendCodeByte(kCodeSetMute, request->ismuted() ? 0x01 : 0x00);
  }
  return grpc::Status::OK;
}

void VolumeServiceImpl::updateVolume(int value) {
  std::lock_guard<std::mutex> lock(observersMutex);
  // While a requested volume is outstanding, the steps of the amplifier's ramp towards it
  // are not shown: a slider would jump back and forth under the user's finger.
  if (hasPendingVolume && value != pendingVolume) return;
  volume = value;
  observers.broadcast(currentState());
}

void VolumeServiceImpl::checkPendingVolume(int value) {
  std::lock_guard<std::mutex> lock(observersMutex);
  if (hasPendingVolume && value != pendingVolume) hasPendingVolume = false;
}

void VolumeServiceImpl::updateMute(bool value) {
  std::lock_guard<std::mutex> lock(observersMutex);
  if (value == isMuted) return;
  isMuted = value;
  observers.broadcast(currentState());
}

}  // namespace vantorellabs
