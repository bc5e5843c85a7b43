#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"

#include "Services/ServiceStatus.h"

namespace vantorellabs {

namespace {

constexpr std::uint8_t kCodeSwitchOutput1 = 0xB1;
constexpr std::uint8_t kCodeSwitchOutput2 = 0xB2;
constexpr unsigned kMaxNameLength = 20;

const char* const kOutputNames[AudioOutputsServiceImpl::kOutputCount] = {
    "MAIN / HIGH PASS", "OUTPUT 1 / LOW PASS", "OUTPUT 2 (SUBWOOFER)", "HEADPHONES"};
constexpr protobuf::AudioOutputType kOutputTypes[AudioOutputsServiceImpl::kOutputCount] = {
    protobuf::AUDIO_OUTPUT_TYPE_MAIN, protobuf::AUDIO_OUTPUT_TYPE_LOW_PASS,
    protobuf::AUDIO_OUTPUT_TYPE_SUBWOOFER, protobuf::AUDIO_OUTPUT_TYPE_HEADPHONE};

void addSchema(protobuf::GetAudioOutputsServiceSchemaResponse* response, int id, bool activeDefault,
               bool switchable) {
  auto* s = response->add_outputs();
  s->set_id(id);
  s->mutable_customname()->mutable_lengthrange()->set_min(0);
  s->mutable_customname()->mutable_lengthrange()->set_max(kMaxNameLength);
  s->mutable_customname()->set_default_(kOutputNames[id - 1]);
  s->mutable_customname()->set_permission(protobuf::PERMISSION_READ);
  s->mutable_isactive()->set_default_(activeDefault);
  s->mutable_isactive()->set_permission(switchable ? protobuf::PERMISSION_READ_WRITE
                                                   : protobuf::PERMISSION_READ);
  if (switchable) {
    s->mutable_isswitched()->set_default_(true);
    s->mutable_isswitched()->set_permission(protobuf::PERMISSION_READ);
  }
}

}  // namespace

AudioOutputsServiceImpl::AudioOutputsServiceImpl(ControllerLink& link, DeviceState& state)
    : link_(link), state_(state) {
  for (int id = 1; id <= kOutputCount; ++id) {
    protobuf::AudioOutput& output = entry(id);
    output.set_id(id);
    output.set_type(kOutputTypes[id - 1]);
    if (id == kHeadphones) {
      output.add_porttypes(protobuf::AUDIO_PORT_TYPE_635_MM);
    } else {
      output.add_porttypes(protobuf::AUDIO_PORT_TYPE_BALANCED_STEREO);
      output.add_porttypes(protobuf::AUDIO_PORT_TYPE_UNBALANCED_STEREO);
    }
    output.set_name(kOutputNames[id - 1]);
    output.set_customname(kOutputNames[id - 1]);
    // The main output is always on.
    output.set_isactive(id == kMainOutput);
  }
}

grpc::Status AudioOutputsServiceImpl::GetServiceSchema(
    grpc::ServerContext* /*context*/,
    const protobuf::GetAudioOutputsServiceSchemaRequest* /*request*/,
    protobuf::GetAudioOutputsServiceSchemaResponse* response) {
  addSchema(response, kHeadphones, false, false);
  addSchema(response, kMainOutput, true, false);
  addSchema(response, kOutput1, true, true);
  addSchema(response, kOutput2, true, true);
  return grpc::Status::OK;
}

grpc::Status AudioOutputsServiceImpl::GetOutputs(
    grpc::ServerContext* /*context*/, const protobuf::GetAudioOutputsRequest* /*request*/,
    protobuf::GetAudioOutputsResponse* response) {
  std::lock_guard<std::mutex> lock(observersMutex);
  for (const auto& output : outputs) *response->add_outputs() = output;
  return grpc::Status::OK;
}

grpc::Status AudioOutputsServiceImpl::GetOutput(grpc::ServerContext* /*context*/,
                                                const protobuf::GetAudioOutputRequest* request,
                                                protobuf::GetAudioOutputResponse* response) {
  if (request->id() < 1 || request->id() > kOutputCount) return invalidId();
  std::lock_guard<std::mutex> lock(observersMutex);
  *response->mutable_output() = entry(static_cast<int>(request->id()));
  return grpc::Status::OK;
}

grpc::Status AudioOutputsServiceImpl::UpdateOutput(
    grpc::ServerContext* /*context*/, const protobuf::UpdateAudioOutputRequest* request,
    protobuf::UpdateAudioOutputResponse* /*response*/) {
  if (!state_.isSettled()) return productStateTransitioning();
  const unsigned id = request->id();
  if (id == kMainOutput || id == kHeadphones) return grpc::Status::OK;
  if (id != kOutput1 && id != kOutput2) return invalidId();
  if (!request->has_isactive()) return grpc::Status::OK;
  {
    std::lock_guard<std::mutex> lock(observersMutex);
    protobuf::AudioOutput& output = entry(static_cast<int>(id));
    // Only an output the controller reported as switchable may be switched.
    if (!output.isswitched()) {
      return {grpc::StatusCode::FAILED_PRECONDITION, "Output not Switched"};
    }
    output.set_isactive(request->isactive());
  }
  link_.sendCodeByte(id == kOutput1 ? kCodeSwitchOutput1 : kCodeSwitchOutput2,
                     request->isactive() ? '1' : '0');
  return grpc::Status::OK;
}

protobuf::ObserveActiveAudioOutputsResponse AudioOutputsServiceImpl::activeSet() const {
  protobuf::ObserveActiveAudioOutputsResponse message;
  for (const auto& output : outputs) {
    if (output.isactive()) message.add_ids(output.id());
  }
  return message;
}

grpc::Status AudioOutputsServiceImpl::ObserveActiveOutputs(
    grpc::ServerContext* context, const protobuf::ObserveActiveAudioOutputsRequest* /*request*/,
    grpc::ServerWriter<protobuf::ObserveActiveAudioOutputsResponse>* writer) {
  return observe<protobuf::ObserveActiveAudioOutputsResponse>(
      context, writer, observersMutex, observers, [this] { return activeSet(); });
}

void AudioOutputsServiceImpl::updateOutputActive(int id, bool active) {
  if (id != kOutput1 && id != kOutput2) return;
  std::lock_guard<std::mutex> lock(observersMutex);
  entry(id).set_isactive(active);
  observers.broadcast(activeSet());
}

void AudioOutputsServiceImpl::updateOutputSwitched(int id, bool switched) {
  if (id != kOutput1 && id != kOutput2) return;
  std::lock_guard<std::mutex> lock(observersMutex);
  entry(id).set_isswitched(switched);
}

void AudioOutputsServiceImpl::updateHeadphonesActive(bool active) {
  std::lock_guard<std::mutex> lock(observersMutex);
  entry(kHeadphones).set_isactive(active);
  observers.broadcast(activeSet());
}

}  // namespace vantorellabs
