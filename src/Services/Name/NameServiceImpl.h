#pragma once

#include "name_service.grpc.pb.h"

namespace vantorellabs {

// The NameService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class NameServiceImpl final : public protobuf::NameService::Service {};

}  // namespace vantorellabs
