#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"

#include "Services/ServiceStatus.h"

namespace vantorellabs {

namespace {
constexpr unsigned kMaxInputId = 16;
}

grpc::Status AudioInputsActivationServiceImpl::SetActiveInput(
    grpc::ServerContext* /*context*/, const protobuf::SetActiveAudioInputRequest* request,
    protobuf::SetActiveAudioInputResponse* /*response*/) {
  {
    std::lock_guard<std::mutex> lock(observersMutex);
    // While passthrough is on the amplifier does not switch inputs.
    if (activeInput.ispassthruactive()) {
      return {grpc::StatusCode::FAILED_PRECONDITION, "PassThru is Active"};
    }
  }
  if (!state_.isSettled()) return productStateTransitioning();
  if (request->id() < 1 || request->id() > kMaxInputId) return invalidId();
  link_.sendCodeByte(kCodeSelectInput, static_cast<std::uint8_t>(request->id()));
  return grpc::Status::OK;
}

grpc::Status AudioInputsActivationServiceImpl::ObserveActiveInput(
    grpc::ServerContext* context, const protobuf::ObserveActiveAudioInputRequest* /*request*/,
    grpc::ServerWriter<protobuf::ObserveActiveAudioInputResponse>* writer) {
  return observe<protobuf::ObserveActiveAudioInputResponse>(
      context, writer, observersMutex, observers, [this] {
        protobuf::ObserveActiveAudioInputResponse message;
        *message.mutable_activeinput() = activeInput;
        return message;
      });
}

void AudioInputsActivationServiceImpl::broadcastActiveInput() {
  protobuf::ObserveActiveAudioInputResponse message;
  *message.mutable_activeinput() = activeInput;
  observers.broadcast(message);
}

void AudioInputsActivationServiceImpl::updateActiveInput(int id, bool isPassthruActive) {
  std::lock_guard<std::mutex> lock(observersMutex);
  activeInput.set_id(static_cast<std::uint32_t>(id));
  activeInput.set_ispassthruactive(isPassthruActive);
  // The metadata belonged to the previous source; name and settings stay until reported.
  activeInput.clear_inputmetadata();
  broadcastActiveInput();
}

void AudioInputsActivationServiceImpl::updateActiveTone(bool enabled, int bass, int treble) {
  std::lock_guard<std::mutex> lock(observersMutex);
  auto* tone = activeInput.mutable_audiotone();
  tone->set_isenabled(enabled);
  tone->set_basslevel(bass);
  tone->set_treblelevel(treble);
  broadcastActiveInput();
}

void AudioInputsActivationServiceImpl::updateActiveEqualizer(bool enabled) {
  std::lock_guard<std::mutex> lock(observersMutex);
  activeInput.mutable_audioeq()->set_isenabled(enabled);
  broadcastActiveInput();
}

void AudioInputsActivationServiceImpl::updateActiveTrim(int balance, float trimLevel) {
  std::lock_guard<std::mutex> lock(observersMutex);
  activeInput.mutable_audiotrim()->set_balance(balance);
  activeInput.mutable_audiotrim()->set_trimlevel(trimLevel);
  broadcastActiveInput();
}

void AudioInputsActivationServiceImpl::updateActiveName(const std::string& name) {
  std::lock_guard<std::mutex> lock(observersMutex);
  activeInput.set_customname(name);
  broadcastActiveInput();
}

void AudioInputsActivationServiceImpl::updateActiveMetadata(const std::string& metadata) {
  std::lock_guard<std::mutex> lock(observersMutex);
  activeInput.set_inputmetadata(metadata);
  broadcastActiveInput();
}

}  // namespace vantorellabs
