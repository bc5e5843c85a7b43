#pragma once

#include "network_information_service.grpc.pb.h"

namespace vantorellabs {

// The NetworkInformationService of the API. RPCs that this class does not override answer
// UNIMPLEMENTED.
class NetworkInformationServiceImpl final : public protobuf::NetworkInformationService::Service {};

}  // namespace vantorellabs
