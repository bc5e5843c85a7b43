#pragma once

#include "information_service.grpc.pb.h"

namespace vantorellabs {

// The InformationService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class InformationServiceImpl final : public protobuf::InformationService::Service {};

}  // namespace vantorellabs
