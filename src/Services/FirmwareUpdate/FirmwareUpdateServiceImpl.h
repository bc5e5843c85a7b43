#pragma once

#include "firmware_service.grpc.pb.h"

namespace vantorellabs {

// The FirmwareUpdateService of the API. RPCs that this class does not override answer
// UNIMPLEMENTED.
class FirmwareUpdateServiceImpl final : public protobuf::FirmwareUpdateService::Service {};

}  // namespace vantorellabs
