#include "AmplifierModel.h"

#include <algorithm>

namespace ampsim {

namespace {

// Reports and commands of the controller link.
constexpr std::uint8_t kSerialNumber = 0x03;
constexpr std::uint8_t kPower = '0';
constexpr std::uint8_t kAutoOff = '1';
constexpr std::uint8_t kAutoUpdate = 'r';
constexpr std::uint8_t kProductState = '3';
constexpr std::uint8_t kFactoryReset = '2';
constexpr std::uint8_t kModuleFactoryReset = 0x0E;
constexpr std::uint8_t kSddpRestart = 0x11;
constexpr std::uint8_t kVolume = 0x80;
constexpr std::uint8_t kVolumeSetpoint = 0x81;
constexpr std::uint8_t kMute = 0x82;
constexpr std::uint8_t kInputEnabled = 0x90;
constexpr std::uint8_t kInputName = 0x91;
constexpr std::uint8_t kBalance = 0x92;
constexpr std::uint8_t kTrim = 0x93;
constexpr std::uint8_t kToneEnabled = 0x94;
constexpr std::uint8_t kBass = 0x95;
constexpr std::uint8_t kTreble = 0x96;
constexpr std::uint8_t kEqualizer = 0x97;
constexpr std::uint8_t kPassthru = 0x98;
constexpr std::uint8_t kSelectInput = 0xA1;
constexpr std::uint8_t kActiveInput = 0xA2;
constexpr std::uint8_t kActiveTone = 0xA3;
constexpr std::uint8_t kActiveEqualizer = 0xA4;
constexpr std::uint8_t kActiveTrim = 0xA5;
constexpr std::uint8_t kActiveName = 0xA6;
constexpr std::uint8_t kActiveMetadata = 0xA7;
constexpr std::uint8_t kOutput1 = 0xB1;
constexpr std::uint8_t kOutput2 = 0xB2;
constexpr std::uint8_t kOutput1Switchable = 0xB3;
constexpr std::uint8_t kOutput2Switchable = 0xB4;
constexpr std::uint8_t kHeadphones = 0xB5;
constexpr std::uint8_t kTransport = 0xC0;

constexpr int kLevelOffset = 13;
constexpr int kBalanceOffset = 51;
constexpr int kSkipNext = 5;
constexpr int kSkipPrevious = 4;

std::string byte(int value) { return std::string(1, static_cast<char>(value)); }
std::string flag(bool value) { return value ? "1" : "0"; }

// Digital sources tell what they play; analogue ones do not.
bool hasMetadata(int input) { return input >= 10; }

}  // namespace

AmplifierModel::AmplifierModel(Settings settings, Send send)
    : settings_(std::move(settings)),
      send_(std::move(send)),
      volume_(settings_.volume),
      rampTarget_(settings_.volume),
      muted_(settings_.muted),
      activeInput_(settings_.activeInput),
      poweredOn_(settings_.poweredOn),
      productState_(settings_.poweredOn ? '1' : '0'),
      autoOff_(settings_.autoOffEnabled) {}

void AmplifierModel::report(std::uint8_t code, const std::string& payload) {
  send_(byte(code) + payload);
}

void AmplifierModel::reportVolume() { report(kVolume, byte(volume_ + 1)); }

void AmplifierModel::reportActiveSettings() {
  const Input& in = active();
  report(kActiveTone,
         flag(in.toneEnabled) + byte(in.bass + kLevelOffset) + byte(in.treble + kLevelOffset));
  report(kActiveEqualizer, flag(in.equalizerEnabled));
  report(kActiveTrim, byte(balance_ + kBalanceOffset) + byte(in.trimHalfSteps + kLevelOffset));
}

void AmplifierModel::reportActiveInput() {
  report(kActiveInput, byte(activeInput_) + "0");
  // The first byte of the name report is not part of the name.
  report(kActiveName, byte(activeInput_) + active().customName);
  reportActiveSettings();
  if (hasMetadata(activeInput_)) {
    metadata_ = "Track " + std::to_string(track_);
    report(kActiveMetadata, metadata_);
  }
}

void AmplifierModel::reportStartUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  report(kSerialNumber, settings_.serialNumber);
  report(kPower, flag(poweredOn_));
  report(kProductState, std::string(1, productState_));
  report(kAutoOff, flag(autoOff_));
  reportVolume();
  report(kMute, flag(muted_));
  report(kBalance, byte(balance_ + kBalanceOffset));
  for (int id = 1; id <= 16; ++id) report(kInputEnabled, byte(id) + flag(inputs_[id - 1].enabled));
  report(kPassthru, byte(0xFF));
  reportActiveInput();
  report(kOutput1Switchable, "1");
  report(kOutput2Switchable, "1");
  report(kOutput1, flag(outputs_[0]));
  report(kOutput2, flag(outputs_[1]));
  report(kHeadphones, flag(headphones_));
}

void AmplifierModel::reportAutoUpdate() {
  std::lock_guard<std::mutex> lock(mutex_);
  report(kAutoUpdate, flag(settings_.autoUpdate));
}

void AmplifierModel::startRamp(int target) {
  rampTarget_ = std::clamp(target, 0, 100);
  // The controller tells its new set point. After a local change (knob, remote) it differs
  // from what an app asked for, which lets the app drop its pending value.
  report(kVolumeSetpoint, byte(rampTarget_ + 1));
  if (rampTarget_ == volume_) reportVolume();
}

void AmplifierModel::setPower(bool on) {
  if (on == poweredOn_ && stateWalk_.empty()) {
    report(kPower, flag(poweredOn_));
    return;
  }
  // Switching walks through the changing product states before it settles.
  stateWalk_ = on ? "231" : "540";
  poweredOn_ = on;
}

void AmplifierModel::factoryReset() {
  ++factoryResets_;
  // Back to the settings the unit left the factory with; power stays as it is.
  inputs_ = {};
  balance_ = 0;
  muted_ = settings_.muted;
  rampTarget_ = volume_ = settings_.volume;
  activeInput_ = settings_.activeInput;
  outputs_[0] = outputs_[1] = false;
  headphones_ = false;
  autoOff_ = settings_.autoOffEnabled;
  report(kAutoOff, flag(autoOff_));
  reportVolume();
  report(kMute, flag(muted_));
  report(kBalance, byte(balance_ + kBalanceOffset));
  reportActiveInput();
  report(kOutput1, flag(outputs_[0]));
  report(kOutput2, flag(outputs_[1]));
  if (settings_.factoryResetIncludesModule) report(kModuleFactoryReset);
}

void AmplifierModel::onCommand(const std::string& frame) {
  if (frame.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto code = static_cast<std::uint8_t>(frame[0]);
  const int p1 = frame.size() > 1 ? static_cast<std::uint8_t>(frame[1]) : 0;
  switch (code) {
    case kPower:
      setPower(p1 == '1');
      break;
    case kAutoOff:
      autoOff_ = (p1 == '1');
      report(kAutoOff, flag(autoOff_));
      break;
    case kFactoryReset:
      factoryReset();
      break;
    case kAutoUpdate:
      settings_.autoUpdate = (p1 == '1');
      report(kAutoUpdate, flag(settings_.autoUpdate));
      break;
    case kVolume:
      // The frame ends where a zero byte stood: a volume of 0 arrives as the code alone.
      startRamp(p1);
      break;
    case kMute:
      muted_ = (p1 == 0x01);
      report(kMute, flag(muted_));
      break;
    case kInputName:
      if (p1 >= 1 && p1 <= 16) {
        inputs_[p1 - 1].customName = frame.substr(2);
        report(kInputName, frame.substr(1));
        if (p1 == activeInput_) report(kActiveName, byte(p1) + frame.substr(2));
      }
      break;
    case kBalance:
      if (p1 >= 1 && p1 <= 101) {
        balance_ = p1 - kBalanceOffset;
        report(kBalance, byte(p1));
        reportActiveSettings();
      }
      break;
    // Level commands act on the active input.
    case kTrim:
      if (p1 >= 1 && p1 <= 25) {
        active().trimHalfSteps = p1 - kLevelOffset;
        report(kTrim, byte(activeInput_) + byte(p1));
        reportActiveSettings();
      }
      break;
    case kToneEnabled:
      active().toneEnabled = (p1 == '1');
      report(kToneEnabled, byte(activeInput_) + flag(active().toneEnabled));
      reportActiveSettings();
      break;
    case kBass:
    case kTreble:
      if (p1 >= 1 && p1 <= 25) {
        (code == kBass ? active().bass : active().treble) = p1 - kLevelOffset;
        report(code, byte(activeInput_) + byte(p1));
        reportActiveSettings();
      }
      break;
    case kEqualizer:
      active().equalizerEnabled = (p1 == '1');
      report(kEqualizer, byte(activeInput_) + flag(active().equalizerEnabled));
      reportActiveSettings();
      break;
    case kSelectInput:
      if (p1 >= 1 && p1 <= 16) {
        activeInput_ = p1;
        track_ = 1;
        reportActiveInput();
      }
      break;
    case kOutput1:
    case kOutput2:
      outputs_[code - kOutput1] = (p1 == '1');
      report(code, flag(p1 == '1'));
      break;
    case kTransport:
      lastTransport_ = static_cast<std::uint8_t>(p1);
      if (hasMetadata(activeInput_) && (p1 == kSkipNext || p1 == kSkipPrevious)) {
        track_ = std::max(1, track_ + (p1 == kSkipNext ? 1 : -1));
        metadata_ = "Track " + std::to_string(track_);
        report(kActiveMetadata, metadata_);
      }
      break;
    default:
      break;
  }
}

void AmplifierModel::tick(double nowSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (nowSeconds - lastStep_ < settings_.stepMs / 1000.0) return;
  lastStep_ = nowSeconds;
  if (!stateWalk_.empty()) {
    productState_ = stateWalk_[0];
    stateWalk_.erase(0, 1);
    report(kProductState, std::string(1, productState_));
    if (stateWalk_.empty()) report(kPower, flag(poweredOn_));
    return;
  }
  if (volume_ != rampTarget_) {
    volume_ += (rampTarget_ > volume_) ? 1 : -1;
    reportVolume();
  }
}

void AmplifierModel::turnVolumeKnob(int volume) {
  std::lock_guard<std::mutex> lock(mutex_);
  startRamp(volume);
}

void AmplifierModel::playTrack(const std::string& title) {
  std::lock_guard<std::mutex> lock(mutex_);
  metadata_ = title;
  report(kActiveMetadata, title);
}

void AmplifierModel::setAutoOffOnPanel(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  autoOff_ = enabled;
  report(kAutoOff, flag(autoOff_));
}

bool AmplifierModel::autoOffTimerExpired() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!autoOff_ || !poweredOn_ || !stateWalk_.empty()) return false;
  setPower(false);
  return true;
}

void AmplifierModel::requestSddpRestart() {
  std::lock_guard<std::mutex> lock(mutex_);
  report(kSddpRestart);
}

int AmplifierModel::volume() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return volume_;
}
bool AmplifierModel::muted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return muted_;
}
int AmplifierModel::activeInput() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return activeInput_;
}
bool AmplifierModel::poweredOn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return poweredOn_;
}
char AmplifierModel::productState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return productState_;
}
AmplifierModel::Input AmplifierModel::input(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputs_.at(static_cast<std::size_t>(id - 1));
}
int AmplifierModel::balance() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return balance_;
}
bool AmplifierModel::outputOn(int output) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_[output == 3 ? 1 : 0];
}
std::uint8_t AmplifierModel::lastTransportCommand() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastTransport_;
}

bool AmplifierModel::autoOffEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return autoOff_;
}
int AmplifierModel::factoryResets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factoryResets_;
}

}  // namespace ampsim
