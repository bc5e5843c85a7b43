#include "Services/System/SystemServiceImpl.h"

#include "Services/ServiceStatus.h"

namespace vantorellabs {

namespace {
char flag(bool value) { return value ? '1' : '0'; }
}  // namespace

grpc::Status SystemServiceImpl::GetServiceSchema(
    grpc::ServerContext* /*context*/, const protobuf::GetSystemServiceSchemaRequest* /*request*/,
    protobuf::GetSystemServiceSchemaResponse* response) {
  auto* power = response->mutable_powerschema();
  power->mutable_isautooffenabled()->set_default_(true);
  power->mutable_isautooffenabled()->set_permission(protobuf::PERMISSION_READ_WRITE);
  auto* delay = power->mutable_autooffdelay();
  delay->mutable_range()->set_min(kAutoOffDelayMinutes);
  delay->mutable_range()->set_max(kAutoOffDelayMinutes);
  delay->set_increment(0);
  delay->set_default_(kAutoOffDelayMinutes);
  delay->set_units("minutes");
  delay->set_permission(protobuf::PERMISSION_READ);
  return grpc::Status::OK;
}

grpc::Status SystemServiceImpl::GetPower(grpc::ServerContext* /*context*/,
                                         const protobuf::GetPowerRequest* /*request*/,
                                         protobuf::GetPowerResponse* response) {
  response->set_ispoweredon(state_.isPoweredOn());
  response->set_isautooffenabled(isAutoOffEnabled);
  response->set_autooffdelay(autoOffDelay);
  return grpc::Status::OK;
}

protobuf::ObservePowerResponse SystemServiceImpl::powerMessage(bool isOn) {
  protobuf::ObservePowerResponse message;
  message.set_ispoweredon(isOn);
  return message;
}

grpc::Status SystemServiceImpl::ObservePower(
    grpc::ServerContext* context, const protobuf::ObservePowerRequest* /*request*/,
    grpc::ServerWriter<protobuf::ObservePowerResponse>* writer) {
  return observe<protobuf::ObservePowerResponse>(
      context, writer, observersMutex, observers,
      [this] { return powerMessage(state_.isPoweredOn()); });
}

grpc::Status SystemServiceImpl::SetPower(grpc::ServerContext* /*context*/,
                                         const protobuf::SetPowerRequest* request,
                                         protobuf::SetPowerResponse* /*response*/) {
  const char schedule = state_.schedule();
  console_.print(std::string("Current Schedule: '") + schedule + "'\n");
  // Switching while the amplifier is already on its way on or off is refused as a whole,
  // so a request never half happens.
  if (request->has_ispoweredon()) {
    if (schedule != '0' && schedule != '1') return productStateTransitioning();
    link_.sendCodeByte(kCodePower, flag(request->ispoweredon()));
  }
  if (request->has_isautooffenabled()) {
    link_.sendCodeByte(kCodeAutoOff, flag(request->isautooffenabled()));
  }
  // The delay is fixed on this amplifier: a requested one is ignored.
  return grpc::Status::OK;
}

grpc::Status SystemServiceImpl::FactoryReset(grpc::ServerContext* /*context*/,
                                             const protobuf::FactoryResetRequest* /*request*/,
                                             protobuf::FactoryResetResponse* /*response*/) {
  if (!state_.isSettled()) return productStateTransitioning();
  link_.sendCode(kCodeFactoryReset);
  return grpc::Status::OK;
}

void SystemServiceImpl::broadcastPower(bool isOn) {
  std::lock_guard<std::mutex> lock(observersMutex);
  observers.broadcast(powerMessage(isOn));
}

}  // namespace vantorellabs
