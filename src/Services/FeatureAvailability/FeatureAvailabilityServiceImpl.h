#pragma once

#include "feature_availability_service.grpc.pb.h"

namespace vantorellabs {

// The list of services this product serves; clients use no service that is not listed.
// It names exactly the services that the API host registers: network configuration is in
// the schema but not served.
class FeatureAvailabilityServiceImpl final : public protobuf::FeatureAvailabilityService::Service {
 public:
  grpc::Status GetAvailableFeatures(grpc::ServerContext* context,
                                    const protobuf::GetAvailableFeaturesRequest* request,
                                    protobuf::GetAvailableFeaturesResponse* response) override;
};

}  // namespace vantorellabs
