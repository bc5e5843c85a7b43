#pragma once

#include "audio_input_control_service.grpc.pb.h"

namespace vantorellabs {

// The AudioInputControlService of the API. RPCs that this class does not override answer
// UNIMPLEMENTED.
class AudioInputControlServiceImpl final : public protobuf::AudioInputControlService::Service {};

}  // namespace vantorellabs
