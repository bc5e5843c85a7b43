#pragma once

#include "volume_service.grpc.pb.h"

namespace vantorellabs {

// The VolumeService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class VolumeServiceImpl final : public protobuf::VolumeService::Service {};

}  // namespace vantorellabs
