#pragma once

#include "core/DeviceState.h"
#include "information_service.grpc.pb.h"

namespace vantorellabs {

// What product a client talks to: UUID, model, serial number, the module's firmware
// version and, when the amplifier has one, the DA module's type and version. Holds no
// state of its own; everything comes from DeviceState.
class InformationServiceImpl final : public protobuf::InformationService::Service {
 public:
  explicit InformationServiceImpl(DeviceState& state) : state_(state) {}

  grpc::Status GetInformation(grpc::ServerContext* context,
                              const protobuf::GetInformationRequest* request,
                              protobuf::GetInformationResponse* response) override;
  // Clients call it to check that the API answers.
  grpc::Status NoOperation(grpc::ServerContext* context,
                           const protobuf::NoOperationRequest* request,
                           protobuf::NoOperationResponse* response) override;

 private:
  DeviceState& state_;
};

}  // namespace vantorellabs
