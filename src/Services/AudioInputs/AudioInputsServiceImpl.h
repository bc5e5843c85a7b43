#pragma once

#include "audio_inputs_service.grpc.pb.h"

namespace vantorellabs {

// The AudioInputsService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class AudioInputsServiceImpl final : public protobuf::AudioInputsService::Service {};

}  // namespace vantorellabs
