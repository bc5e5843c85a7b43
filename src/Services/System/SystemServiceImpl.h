#pragma once

#include "system_service.grpc.pb.h"

namespace vantorellabs {

// The SystemService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class SystemServiceImpl final : public protobuf::SystemService::Service {};

}  // namespace vantorellabs
