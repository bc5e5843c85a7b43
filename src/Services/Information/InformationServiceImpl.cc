#include "Services/Information/InformationServiceImpl.h"

#include "core/Identity.h"
#include "link/DaModuleLink.h"
#include "sys/Utf8.h"

namespace vantorellabs {

grpc::Status InformationServiceImpl::GetInformation(
    grpc::ServerContext* /*context*/, const protobuf::GetInformationRequest* /*request*/,
    protobuf::GetInformationResponse* response) {
  response->set_uuid(productUuid(state_));
  response->set_modelid(modelString(state_.model()));
  // The serial number is the controller's text; only its valid characters reach a client.
  response->set_serialnumber(toValidUtf8(state_.serialNumber()));
  response->set_firmwareversion(state_.firmwareVersion());
  const int daType = daModuleTypeForApi(state_);
  if (daType == protobuf::DA_MODULE_TYPE_V1 || daType == protobuf::DA_MODULE_TYPE_V2) {
    auto* da = response->mutable_damoduleinformation();
    da->set_type(static_cast<protobuf::DAModuleType>(daType));
    da->set_firmwareversion(daVersionText(state_));
  }
  return grpc::Status::OK;
}

grpc::Status InformationServiceImpl::NoOperation(grpc::ServerContext* /*context*/,
                                                 const protobuf::NoOperationRequest* /*request*/,
                                                 protobuf::NoOperationResponse* /*response*/) {
  return grpc::Status::OK;
}

}  // namespace vantorellabs
