#include "Services/AudioInputs/AudioInputsServiceImpl.h"

#include <cmath>

#include "Services/ServiceStatus.h"
#include "link/LevelEncoding.h"

namespace vantorellabs {

namespace {

using protobuf::AudioInputType;

struct InputIdentity {
  const char* name;
  AudioInputType type;
};

// The inputs in id order; the same on both models. The ids are also the input numbers on
// the controller link.
constexpr std::array<InputIdentity, AudioInputsServiceImpl::kInputCount> kInputTable = {{
    {"BAL 1", protobuf::AUDIO_INPUT_TYPE_BALANCED},
    {"BAL 2", protobuf::AUDIO_INPUT_TYPE_BALANCED},
    {"BAL 3", protobuf::AUDIO_INPUT_TYPE_BALANCED},
    {"UNBAL 1", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
    {"UNBAL 2", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
    {"UNBAL 3", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
    {"UNBAL 4", protobuf::AUDIO_INPUT_TYPE_UNBALANCED},
    {"PHONO 1", protobuf::AUDIO_INPUT_TYPE_PHONO_MM_MC},
    {"PHONO 2", protobuf::AUDIO_INPUT_TYPE_PHONO_MM_MC},
    {"COAX 1", protobuf::AUDIO_INPUT_TYPE_COAX},
    {"COAX 2", protobuf::AUDIO_INPUT_TYPE_COAX},
    {"OPT 1", protobuf::AUDIO_INPUT_TYPE_OPTICAL},
    {"OPT 2", protobuf::AUDIO_INPUT_TYPE_OPTICAL},
    {"USB", protobuf::AUDIO_INPUT_TYPE_USB},
    {"VTX", protobuf::AUDIO_INPUT_TYPE_VTX},
    {"HDMI(ARC)", protobuf::AUDIO_INPUT_TYPE_HDMI},
}};

// Commands; value commands carry one byte and no input id.
constexpr std::uint8_t kCodeCustomName = 0x91;
constexpr std::uint8_t kCodeBalance = 0x92;
constexpr std::uint8_t kCodeTrim = 0x93;
constexpr std::uint8_t kCodeToneEnabled = 0x94;
constexpr std::uint8_t kCodeBass = 0x95;
constexpr std::uint8_t kCodeTreble = 0x96;
constexpr std::uint8_t kCodeEqualizerEnabled = 0x97;

constexpr int kMaxBalance = 50;
constexpr int kMaxToneLevel = 12;
constexpr float kMaxTrimLevel = 6.0F;

void setInt32Schema(protobuf::Int32Schema* schema, int min, int max) {
  schema->mutable_range()->set_min(min);
  schema->mutable_range()->set_max(max);
  schema->set_increment(1);
  schema->set_default_(0);
  schema->set_units("dB");
  schema->set_permission(protobuf::PERMISSION_READ_WRITE);
}

void setBoolSchema(protobuf::BoolSchema* schema) {
  schema->set_default_(false);
  schema->set_permission(protobuf::PERMISSION_READ_WRITE);
}

protobuf::AudioInputSchema inputSchemaTemplate(int model) {
  protobuf::AudioInputSchema s;
  auto* name = s.mutable_customname();
  name->mutable_lengthrange()->set_min(0);
  name->mutable_lengthrange()->set_max(AudioInputsServiceImpl::kMaxCustomName);
  name->set_default_("");
  name->set_permission(protobuf::PERMISSION_READ);
  setInt32Schema(s.mutable_trim()->mutable_balance(), -kMaxBalance, kMaxBalance);
  auto* trimLevel = s.mutable_trim()->mutable_trimlevel();
  trimLevel->mutable_range()->set_min(-kMaxTrimLevel);
  trimLevel->mutable_range()->set_max(kMaxTrimLevel);
  trimLevel->set_increment(0.5F);
  trimLevel->set_default_(0.0F);
  trimLevel->set_units("dB");
  trimLevel->set_permission(protobuf::PERMISSION_READ_WRITE);
  // The K40 has an equaliser switch, the K7100 tone controls.
  if (model == DeviceState::kModelK40) {
    setBoolSchema(s.mutable_equalizer()->mutable_isenabled());
  } else {
    setBoolSchema(s.mutable_tone()->mutable_isenabled());
    setInt32Schema(s.mutable_tone()->mutable_basslevel(), -kMaxToneLevel, kMaxToneLevel);
    setInt32Schema(s.mutable_tone()->mutable_treblelevel(), -kMaxToneLevel, kMaxToneLevel);
  }
  return s;
}

std::uint8_t flagByte(bool value) { return value ? '1' : '0'; }

// The name must be 1..10 printable ASCII characters: the controller's display shows
// nothing else.
grpc::Status checkCustomName(const std::string& name) {
  if (name.empty() || name.size() > AudioInputsServiceImpl::kMaxCustomName) {
    return invalidArgument("Invalid Custom Name Length");
  }
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b > 0x7E) return invalidArgument("Invalid Custom Name");
  }
  return grpc::Status::OK;
}

// Values outside the schema would be mangled by the one-byte encodings (a balance of 60
// would arrive as a byte the controller rejects, a trim of 6.3 as 6.0): refuse them.
grpc::Status checkLevels(const protobuf::UpdateAudioInputRequest& request) {
  if (request.has_trim()) {
    const auto& trim = request.trim();
    if (trim.balance() < -kMaxBalance || trim.balance() > kMaxBalance) {
      return invalidArgument("Invalid Balance");
    }
    const float level = trim.trimlevel();
    if (!(level >= -kMaxTrimLevel && level <= kMaxTrimLevel) ||
        std::fmod(level * 2.0F, 1.0F) != 0.0F) {
      return invalidArgument("Invalid Trim Level");
    }
  }
  if (request.has_tone()) {
    const auto& tone = request.tone();
    if (tone.basslevel() < -kMaxToneLevel || tone.basslevel() > kMaxToneLevel) {
      return invalidArgument("Invalid Bass Level");
    }
    if (tone.treblelevel() < -kMaxToneLevel || tone.treblelevel() > kMaxToneLevel) {
      return invalidArgument("Invalid Treble Level");
    }
  }
  return grpc::Status::OK;
}

}  // namespace

AudioInputsServiceImpl::AudioInputsServiceImpl(ControllerLink& link, const DeviceState& state)
    : link_(link) {
  const protobuf::AudioInputSchema templateSchema = inputSchemaTemplate(state.model());
  for (int id = 1; id <= kInputCount; ++id) {
    auto* inputSchema = schema.add_inputs();
    *inputSchema = templateSchema;
    inputSchema->set_id(id);
    protobuf::AudioInput& input = entry(id);
    input.set_id(id);
    input.set_type(kInputTable[id - 1].type);
    input.set_name(kInputTable[id - 1].name);
    input.set_isenabled(true);
  }
}

grpc::Status AudioInputsServiceImpl::GetServiceSchema(
    grpc::ServerContext* /*context*/,
    const protobuf::GetAudioInputsServiceSchemaRequest* /*request*/,
    protobuf::GetAudioInputsServiceSchemaResponse* response) {
  *response = schema;
  return grpc::Status::OK;
}

grpc::Status AudioInputsServiceImpl::GetInputs(grpc::ServerContext* /*context*/,
                                               const protobuf::GetAudioInputsRequest* /*request*/,
                                               protobuf::GetAudioInputsResponse* response) {
  std::lock_guard<std::mutex> lock(inputsMutex);
  for (const auto& input : inputs) *response->add_inputs() = input;
  return grpc::Status::OK;
}

grpc::Status AudioInputsServiceImpl::GetInput(grpc::ServerContext* /*context*/,
                                              const protobuf::GetAudioInputRequest* request,
                                              protobuf::GetAudioInputResponse* response) {
  if (request->id() < 1 || request->id() > kInputCount) return invalidId();
  const auto id = static_cast<int>(request->id());
  std::lock_guard<std::mutex> lock(inputsMutex);
  *response->mutable_input() = entry(id);
  return grpc::Status::OK;
}

grpc::Status AudioInputsServiceImpl::UpdateInput(grpc::ServerContext* /*context*/,
                                                 const protobuf::UpdateAudioInputRequest* request,
                                                 protobuf::UpdateAudioInputResponse* /*response*/) {
  if (request->id() < 1 || request->id() > kInputCount) return invalidId();
  const auto id = static_cast<int>(request->id());
  if (request->has_customname()) {
    const grpc::Status nameStatus = checkCustomName(request->customname());
    if (!nameStatus.ok()) return nameStatus;
  }
  const grpc::Status levelStatus = checkLevels(*request);
  if (!levelStatus.ok()) return levelStatus;

  if (request->has_customname()) {
    link_.sendInputName(static_cast<std::uint8_t>(id), request->customname());
  }
  // Each setting goes out only when it differs from what the controller last reported; an
  // absent stored setting compares as zeros and false.
  protobuf::AudioInput stored;
  {
    std::lock_guard<std::mutex> lock(inputsMutex);
    stored = entry(id);
  }
  if (request->has_trim()) {
    const auto& trim = request->trim();
    if (trim.balance() != stored.trim().balance()) {
      link_.sendCodeByte(kCodeBalance, encodeBalance(trim.balance()));
    }
    if (trim.trimlevel() != stored.trim().trimlevel()) {
      link_.sendCodeByte(kCodeTrim, encodeHalfStepLevel(trim.trimlevel()));
    }
  }
  if (request->has_tone()) {
    const auto& tone = request->tone();
    if (tone.isenabled() != stored.tone().isenabled()) {
      link_.sendCodeByte(kCodeToneEnabled, flagByte(tone.isenabled()));
    }
    if (tone.basslevel() != stored.tone().basslevel()) {
      link_.sendCodeByte(kCodeBass, encodeLevel(tone.basslevel()));
    }
    if (tone.treblelevel() != stored.tone().treblelevel()) {
      link_.sendCodeByte(kCodeTreble, encodeLevel(tone.treblelevel()));
    }
  }
  if (request->has_equalizer() &&
      request->equalizer().isenabled() != stored.equalizer().isenabled()) {
    link_.sendCodeByte(kCodeEqualizerEnabled, flagByte(request->equalizer().isenabled()));
  }
  return grpc::Status::OK;
}

void AudioInputsServiceImpl::updateInputEnabled(int id, bool enabled) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).set_isenabled(enabled);
}

void AudioInputsServiceImpl::updateInputCustomName(int id, const std::string& name) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).set_customname(name);
}

void AudioInputsServiceImpl::updateBalance(int balance) {
  std::lock_guard<std::mutex> lock(inputsMutex);
  for (auto& input : inputs) input.mutable_trim()->set_balance(balance);
}

void AudioInputsServiceImpl::updateTrimLevel(int id, float level) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).mutable_trim()->set_trimlevel(level);
}

void AudioInputsServiceImpl::updateToneEnabled(int id, bool enabled) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).mutable_tone()->set_isenabled(enabled);
}

void AudioInputsServiceImpl::updateBassLevel(int id, int level) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).mutable_tone()->set_basslevel(level);
}

void AudioInputsServiceImpl::updateTrebleLevel(int id, int level) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).mutable_tone()->set_treblelevel(level);
}

void AudioInputsServiceImpl::updateEqualizerEnabled(int id, bool enabled) {
  if (!isInputId(id)) return;
  std::lock_guard<std::mutex> lock(inputsMutex);
  entry(id).mutable_equalizer()->set_isenabled(enabled);
}

void AudioInputsServiceImpl::updatePassthruInput(int id) {
  std::lock_guard<std::mutex> lock(inputsMutex);
  for (auto& input : inputs) input.set_ispassthruenabled(static_cast<int>(input.id()) == id);
}

}  // namespace vantorellabs
