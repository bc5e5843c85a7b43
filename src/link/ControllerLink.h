#pragma once

#include <termios.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "core/Poller.h"
#include "sys/Console.h"

namespace vantorellabs {

// The serial link to the amplifier's main controller. A frame is a code byte, a payload
// without zero bytes and a zero terminator: no length, checksum or escaping, so a zero
// value cannot travel and ends the frame where it stands.
class ControllerLink {
 public:
  // Receives each complete frame (code and payload, without the terminator).
  using FrameHandler = std::function<void(std::string_view frame)>;

  static constexpr std::size_t kMaxFrameText = 255;
  static constexpr std::size_t kRxSize = 1024;
  static constexpr int kHandshakeSteps = 5000;
  static constexpr int kHelloEverySteps = 500;

  static constexpr std::uint8_t kCodeHello = 0x01;
  static constexpr std::uint8_t kCodeReady = 0x02;
  static constexpr std::uint8_t kCodeNetworkStatus = 0x09;
  static constexpr std::uint8_t kCodeTcpCommand = 0x10;
  static constexpr std::uint8_t kCodeDaTunnel = 0x55;
  static constexpr std::uint8_t kCodeInputName = 0x91;

  explicit ControllerLink(Console& console);

  // Opens the port and applies its settings; a port that cannot be opened ends the
  // process. Returns the descriptor.
  int openPort(const char* path);
  // Uses an already open descriptor (a pseudo-terminal in tests) as the port.
  void attach(int fd) { fd_ = fd; }
  // Sends ready and hello, then polls until the controller answers. Returns 0 when the
  // controller answered, 1 when it stayed silent for the whole handshake.
  int runHandshake(Poller& poller);

  void setFrameHandler(FrameHandler handler) { frameHandler_ = std::move(handler); }

  // Sends text (cut at its first zero byte, at most 255 bytes) and the terminator in one
  // write. Safe to call from any thread. Returns 0 when the whole frame went out.
  int sendFrame(std::string_view text);

  int sendCode(std::uint8_t code);
  int sendCodeByte(std::uint8_t code, std::uint8_t value);
  int sendNetworkAddress(const std::string& text);
  // Sends nothing unless kind is 'e' (Ethernet) or 'w' (Wi-Fi).
  int sendNetworkHardwareAddress(char kind, const std::string& text);
  // The three bytes of a DA module message, lowest byte first.
  int sendDaMessage(std::uint32_t packed);
  int sendInputName(std::uint8_t id, const std::string& name);
  // A TCP client's command; the frame text is cut to 21 bytes.
  int sendTcpCommand(const std::string& text);

  // Read handler for the event loop: reads what is there and handles every complete frame.
  // Returns whether any byte arrived.
  bool controllerReceiveStep();

  bool isReady() const { return isReady_.load(); }
  void markReady() { isReady_ = true; }
  int fd() const { return fd_; }

 private:
  void processPending();
  void handleFrame(std::string_view frame);
  int writeWhole(const char* data, std::size_t size);

  Console& console_;
  int fd_ = -1;
  termios settings_{};
  FrameHandler frameHandler_;
  std::atomic<bool> isReady_{false};

  // Serialises senders: each frame is one write and its trace line stays whole.
  std::mutex sendMutex_;

  // Bytes read but not yet cut into frames. A handler may poll the event loop again (the
  // DA handshake does), which reads more bytes; they join the end of this queue, so frames
  // are always handled whole and in the order they arrived, however deep the nesting.
  std::string pending_;
  std::size_t pendingPos_ = 0;
  int receiveDepth_ = 0;
  std::array<std::uint8_t, kRxSize> rxFrame_{};
  std::size_t rxLength_ = 0;
  bool discardingOversized_ = false;
  bool readFailing_ = false;
};

// The text of a trace line: prefix, the first byte as "0x%02X", then " %02X" for each
// further byte while the line stays within 255 characters.
std::string frameTraceText(std::string_view prefix, std::string_view bytes);

// The trace line as printed: colour escape, text, colour reset and line end.
std::string colouredLine(int colour, const std::string& text);

}  // namespace vantorellabs
