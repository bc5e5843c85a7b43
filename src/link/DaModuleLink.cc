#include "link/DaModuleLink.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/Identity.h"
#include "sys/SerialPort.h"

namespace vantorellabs {

namespace {

// Handshake messages to the module: the greeting, then one after each version byte.
constexpr std::uint8_t kGreeting = 0xC4;
constexpr std::uint8_t kAfterFirstVersion = 0xC5;
constexpr std::uint8_t kAfterSecondVersion = 0xC7;
constexpr std::uint8_t kHandshakeFill = 0xFF;
constexpr std::uint8_t kNameCode = 0xD2;
constexpr std::size_t kNameField = 13;

// Codes from the module.
constexpr std::uint8_t kModuleRestart = 0xA1;
constexpr std::uint8_t kModuleFirstVersion = 0xA2;
constexpr std::uint8_t kModuleSecondVersion = 0xA3;
constexpr std::uint8_t kModuleType = 0xA7;
constexpr std::uint8_t kModuleUpdating = 0xB2;

// Frames to the controller.
constexpr std::uint8_t kReportFirstVersion = 'S';
constexpr std::uint8_t kReportSecondVersion = 'T';
constexpr std::uint8_t kReportHandshakeDone = 'V';
constexpr std::uint8_t kReportType = 'W';
constexpr std::uint8_t kReportRestarted = 'X';

constexpr std::uint8_t kNoModule = 255;
constexpr std::size_t kReadSize = 256;

}  // namespace

DaModuleLink::DaModuleLink(ControllerLink& controller, DeviceState& state, ReportOwners& owners,
                           Console& console)
    : controller_(controller), state_(state), owners_(owners), console_(console) {}

int DaModuleLink::openDaLink(const char* path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = openSerialDevice(path);
  if (fd_ < 0) {
    fatalError(console_, "ERROR: open " + std::string(path) + " ret=" + std::to_string(fd_) + "\n");
  }
  tcgetattr(fd_, &settings_);
  prepareRawSettings(settings_);
  return fd_;
}

void DaModuleLink::attach(int fd) {
  fd_ = fd;
  tcgetattr(fd_, &settings_);
  prepareRawSettings(settings_);
}

bool DaModuleLink::daReceiveStep() {
  std::uint8_t chunk[kReadSize];
  const ssize_t n = ::read(fd_, chunk, sizeof chunk);
  if (n < 0) {
    // Nothing to read is not a failure of the port.
    if (errno == EAGAIN || errno == EINTR) return false;
    fatalError(console_, "ERROR: DA read\n", errno);
  }
  for (ssize_t i = 0; i < n; ++i) {
    const std::uint8_t byte = chunk[i];
    if (parseState_ == 0) {
      if (byte != kStartByte) continue;
      partial_[0] = byte;
      parseState_ = 1;
    } else if (parseState_ == 1) {
      partial_[1] = byte;
      parseState_ = 2;
    } else {
      partial_[2] = byte;
      if (isDetected()) {
        controller_.sendDaMessage(partial_[0] | (partial_[1] << 8U) | (partial_[2] << 16U));
      } else if (count_ < kQueueSlots - 1) {
        writeIndex_ = (writeIndex_ + 1) % kQueueSlots;
        queue_[writeIndex_] = Message{partial_[1], partial_[2]};
        ++count_;
      }
      partial_.fill(0);
      parseState_ = 0;
    }
  }
  return n > 0;
}

void DaModuleLink::emptyQueue() {
  count_ = 0;
  writeIndex_ = 0;
  readIndex_ = 0;
}

void DaModuleLink::sendGreeting(std::uint8_t code) {
  sendDaBytes(kStartByte, code, kHandshakeFill);
}

void DaModuleLink::startHandshake() {
  handshakeFlags_ = 0;
  applySerialSettings(fd_, settings_);
  state_.daVersionMajor = kNoModule;
  state_.daVersionMinor = kNoModule;
  state_.daModuleType = kNoModule;
  emptyQueue();
  handshakeFlags_ = kGreetingSent;
  sendGreeting(kGreeting);
}

void DaModuleLink::restartHandshake() {
  controller_.sendCode(kReportRestarted);
  // The module starts its answers again from the first version byte, so the progress it
  // had made goes too: a restart that kept those bits would ignore the new first byte
  // and never complete.
  handshakeFlags_ &= static_cast<std::uint8_t>(
      ~(kUpdating | kFirstVersionByte | kSecondVersionByte | kTypeReceived));
  console_.print("Handshake: Ready\n");
  handshakeFlags_ |= kGreetingSent;
  emptyQueue();
  sendGreeting(kGreeting);
}

void DaModuleLink::actOn(const Message& message) {
  const std::uint8_t flags = handshakeFlags_;
  switch (message.code) {
    case kModuleRestart:
      restartHandshake();
      break;
    case kModuleFirstVersion:
      if ((flags & (kGreetingSent | kFirstVersionByte)) == kGreetingSent) {
        handshakeFlags_ |= kFirstVersionByte;
        controller_.sendCodeByte(kReportFirstVersion, message.value);
        state_.daVersionMajor = message.value;
        sendGreeting(kAfterFirstVersion);
      }
      break;
    case kModuleSecondVersion:
      if ((flags & (kGreetingSent | kFirstVersionByte | kSecondVersionByte)) ==
          (kGreetingSent | kFirstVersionByte)) {
        handshakeFlags_ |= kSecondVersionByte;
        controller_.sendCodeByte(kReportSecondVersion, message.value);
        state_.daVersionMinor = message.value;
        sendGreeting(kAfterSecondVersion);
      }
      break;
    case kModuleType:
      if ((flags & 0x0FU) == (kGreetingSent | kFirstVersionByte | kSecondVersionByte)) {
        handshakeFlags_ |= kTypeReceived;
        controller_.sendCodeByte(kReportType, message.value);
        handshakeFlags_ |= kDetected;
        state_.daModuleType = message.value;
      }
      break;
    case 0xA4:
    case 0xA5:
    case 0xA6:
    case 0xA8:
      // Before the greeting these mean the module started talking on its own.
      if ((flags & kGreetingSent) == 0) restartHandshake();
      break;
    case kModuleUpdating:
      handshakeFlags_ = static_cast<std::uint8_t>((flags & 0xC0U) | kUpdating);
      state_.daModuleType = 0;
      break;
    default:
      break;
  }
}

void DaModuleLink::runDaHandshake(Poller& poller) {
  if (handshakeRunning_) {
    handshakeRestartRequested_ = true;
    return;
  }
  handshakeRunning_ = true;
  startHandshake();
  int step = 0;
  for (;;) {
    poller.pollStep();
    if (handshakeRestartRequested_) {
      handshakeRestartRequested_ = false;
      startHandshake();
      step = 0;
      continue;
    }
    if (!isDetected() && count_ > 0) {
      readIndex_ = (readIndex_ + 1) % kQueueSlots;
      const Message message = queue_[readIndex_];
      --count_;
      actOn(message);
    }
    if ((handshakeFlags_ & kUpdating) != 0) {
      console_.print("DA2 Updating?\n");
      step = 0;
    }
    if (isDetected()) {
      owners_.sendDaVersionToHelper();
      console_.print("DA2 Detected\n");
      controller_.sendCode(kReportHandshakeDone);
      break;
    }
    if (++step == kHandshakeSteps) {
      console_.print("No DA Detected\n");
      controller_.sendCode(kReportHandshakeDone);
      break;
    }
  }
  handshakeRunning_ = false;
}

int DaModuleLink::sendDaBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  const std::uint8_t message[] = {b0, b1, b2};
  if (::write(fd_, message, sizeof message) != static_cast<ssize_t>(sizeof message)) {
    console_.printError("ERROR: write\n", errno);
    return -1;
  }
  return 0;
}

void DaModuleLink::writeDaName() {
  const std::string message = daNameMessage(state_.model());
  if (::write(fd_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
    console_.printError("ERROR: DA Write Name\n", errno);
  }
}

std::string daNameMessage(int model) {
  std::string field = modelString(model);
  field.resize(kNameField, ' ');
  return std::string{static_cast<char>(DaModuleLink::kStartByte), static_cast<char>(kNameCode)} +
         field;
}

namespace {
std::string formatUnsigned(const char* format, unsigned a, unsigned b, unsigned c = 0) {
  char text[32];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}
}  // namespace

std::string daTypeAndVersionText(DeviceState& state) {
  const std::uint8_t type = state.daModuleType;
  if (type == 0 || type == kNoModule) state.clearDaInfo();
  return formatUnsigned("%1u%u.%u.0", state.daModuleType, state.daVersionMajor,
                        state.daVersionMinor);
}

std::string daVersionText(DeviceState& state) {
  if (state.daModuleType == kNoModule) state.clearDaInfo();
  return formatUnsigned("%u.%u.0", state.daVersionMajor, state.daVersionMinor);
}

int daModuleTypeForApi(DeviceState& state) {
  const std::uint8_t type = state.daModuleType;
  if (type >= kNoModule) state.clearDaInfo();
  return (type == 1 || type == 2) ? type : 0;
}

}  // namespace vantorellabs
