#pragma once

#include "feature_availability_service.grpc.pb.h"

namespace vantorellabs {

// The FeatureAvailabilityService of the API. RPCs that this class does not override answer
// UNIMPLEMENTED.
class FeatureAvailabilityServiceImpl final : public protobuf::FeatureAvailabilityService::Service {
};

}  // namespace vantorellabs
