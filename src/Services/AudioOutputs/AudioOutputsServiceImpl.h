#pragma once

#include "audio_outputs_service.grpc.pb.h"

namespace vantorellabs {

// The AudioOutputsService of the API. RPCs that this class does not override answer UNIMPLEMENTED.
class AudioOutputsServiceImpl final : public protobuf::AudioOutputsService::Service {};

}  // namespace vantorellabs
