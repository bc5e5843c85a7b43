#pragma once

#include <termios.h>

#include <array>
#include <cstdint>
#include <string>

#include "core/DeviceState.h"
#include "core/Poller.h"
#include "link/ControllerLink.h"
#include "link/ReportOwners.h"
#include "sys/Console.h"

namespace vantorellabs {

// The serial link to the amplifier's digital-audio module. Every message is three bytes:
// 0x55, a code and a value. The daemon only greets the module when the controller asks,
// learns its version and type, and from then on passes messages through both ways.
class DaModuleLink {
 public:
  static constexpr std::uint8_t kStartByte = 0x55;
  static constexpr int kHandshakeSteps = 100;
  static constexpr std::size_t kQueueSlots = 20;
  static constexpr std::size_t kNameMessageSize = 15;

  // Bits of the handshake flags.
  static constexpr std::uint8_t kGreetingSent = 1U << 0;
  static constexpr std::uint8_t kFirstVersionByte = 1U << 1;
  static constexpr std::uint8_t kSecondVersionByte = 1U << 2;
  static constexpr std::uint8_t kTypeReceived = 1U << 3;
  static constexpr std::uint8_t kDetected = 1U << 4;
  static constexpr std::uint8_t kUpdating = 1U << 5;

  DaModuleLink(ControllerLink& controller, DeviceState& state, ReportOwners& owners,
               Console& console);

  // Opens the port with its settings prepared but not applied: the module stays untouched
  // until the controller asks for the handshake. A port that cannot be opened ends the
  // process. Returns the descriptor.
  int openDaLink(const char* path);
  // Uses an already open descriptor (a pseudo-terminal in tests) as the port.
  void attach(int fd);

  // Read handler for the event loop; returns whether any byte arrived. A failing read
  // ends the process.
  bool daReceiveStep();

  // Greets the module and polls the event loop until it has told its version and type,
  // it stays silent for 100 steps, or the handshake restarts. A request that arrives while
  // a handshake runs restarts that handshake instead of nesting a second one.
  void runDaHandshake(Poller& poller);

  // Writes the 15-byte model name message.
  void writeDaName();

  int sendDaBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2);

  std::uint8_t handshakeFlags() const { return handshakeFlags_; }
  bool isDetected() const { return (handshakeFlags_ & kDetected) != 0; }

 private:
  struct Message {
    std::uint8_t code = 0;
    std::uint8_t value = 0;
  };

  void startHandshake();
  void restartHandshake();
  void actOn(const Message& message);
  void emptyQueue();
  void sendGreeting(std::uint8_t code);

  ControllerLink& controller_;
  DeviceState& state_;
  ReportOwners& owners_;
  Console& console_;
  int fd_ = -1;
  termios settings_{};

  std::uint8_t parseState_ = 0;
  std::array<std::uint8_t, 3> partial_{};
  std::uint8_t handshakeFlags_ = 0;
  std::array<Message, kQueueSlots> queue_{};
  std::size_t writeIndex_ = 0;
  std::size_t readIndex_ = 0;
  std::size_t count_ = 0;

  bool handshakeRunning_ = false;
  bool handshakeRestartRequested_ = false;
};

// The 15-byte name message for a model: 0x55 0xD2 and the model name left-aligned in 13
// spaces.
std::string daNameMessage(int model);

// "%1u%u.%u.0" of type, major, minor, for the BLE helper. A type of 0 or 255 (no module)
// first clears all three bytes.
std::string daTypeAndVersionText(DeviceState& state);
// "%u.%u.0" of major and minor, for the information service. A type of 255 (a handshake
// that never finished) first clears all three bytes.
std::string daVersionText(DeviceState& state);
// The module type for the API: 1 or 2, else 0. A type of 255 clears all three bytes.
int daModuleTypeForApi(DeviceState& state);

}  // namespace vantorellabs
