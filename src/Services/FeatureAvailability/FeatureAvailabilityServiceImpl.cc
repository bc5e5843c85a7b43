#include "Services/FeatureAvailability/FeatureAvailabilityServiceImpl.h"

namespace vantorellabs {

grpc::Status FeatureAvailabilityServiceImpl::GetAvailableFeatures(
    grpc::ServerContext* /*context*/, const protobuf::GetAvailableFeaturesRequest* /*request*/,
    protobuf::GetAvailableFeaturesResponse* response) {
  for (const protobuf::ServiceType service : {
           protobuf::SERVICE_TYPE_FEATURE_AVAILABILITY,
           protobuf::SERVICE_TYPE_INFORMATION,
           protobuf::SERVICE_TYPE_SYSTEM,
           protobuf::SERVICE_TYPE_NAME,
           protobuf::SERVICE_TYPE_NETWORK_INFORMATION,
           protobuf::SERVICE_TYPE_FIRMWARE_UPDATE,
           protobuf::SERVICE_TYPE_VOLUME,
           protobuf::SERVICE_TYPE_AUDIO_INPUTS,
           protobuf::SERVICE_TYPE_AUDIO_INPUTS_ACTIVATION,
           protobuf::SERVICE_TYPE_AUDIO_OUTPUTS,
           protobuf::SERVICE_TYPE_AUDIO_INPUT_CONTROL,
       }) {
    response->add_services(service);
  }
  return grpc::Status::OK;
}

}  // namespace vantorellabs
