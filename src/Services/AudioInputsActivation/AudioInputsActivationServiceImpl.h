#pragma once

#include "audio_inputs_activation_service.grpc.pb.h"

namespace vantorellabs {

// The AudioInputsActivationService of the API. RPCs that this class does not override answer
// UNIMPLEMENTED.
class AudioInputsActivationServiceImpl final
    : public protobuf::AudioInputsActivationService::Service {};

}  // namespace vantorellabs
