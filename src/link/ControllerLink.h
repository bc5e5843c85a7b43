#pragma once

#include <termios.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/Poller.h"
#include "sys/Console.h"
#include "sys/PortIo.h"

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

  // 115200 baud, 8N1: ten bits on the line for every byte.
  static constexpr std::chrono::nanoseconds kByteTime{1'000'000'000LL * 10 / 115200};
  // Frames from other threads than the event loop's wait until at most this much is
  // queued ahead on the line, so that the loop's own frames (the answer to a hello, DA
  // tunnel frames, the status report) never queue behind a client's flood.
  static constexpr std::chrono::milliseconds kPacedBacklog{20};
  // How long such a frame waits for the line before it is dropped.
  static constexpr std::chrono::milliseconds kPacedWaitLimit{1000};

  // The link is built on the thread that runs the event loop; that thread's frames go out
  // at once, every other thread's are paced to the line's rate.
  explicit ControllerLink(Console& console, PortIo io = PortIo::system());

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
  // Returns whether any byte arrived. A port that has hung up ends the process.
  bool controllerReceiveStep();

  // Makes the calling thread the one whose frames are not paced (the event loop's).
  void markLoopThread() { loopThread_ = std::this_thread::get_id(); }

  // Whether the last read of the port failed. A port that failed is read again on every
  // turn of the loop (see ControllerReadWatch), so this clears once it works again.
  bool readFailing() const { return readFailing_; }

  bool isReady() const { return isReady_.load(); }
  void markReady() { isReady_ = true; }
  int fd() const { return fd_; }
  // Bytes the receive queue holds, handled or not.
  std::size_t receiveQueueSize() const { return pending_.size(); }

 private:
  void processPending();
  void handleFrame(std::string_view frame);
  void traceSent(std::string_view text);
  // Writes the frame and books its time on the line; sendMutex_ is held.
  int transmit(const std::string& wire);
  int writeWhole(const char* data, std::size_t size);
  int sendPaced(std::string_view text, const std::string& wire);
  // How long a paced frame must still wait for the line to drain to kPacedBacklog.
  std::chrono::nanoseconds pacedWait();

  Console& console_;
  PortIo io_;
  std::thread::id loopThread_;
  int fd_ = -1;
  termios settings_{};
  FrameHandler frameHandler_;
  std::atomic<bool> isReady_{false};

  // Serialises senders: each frame is one write and its trace line stays whole.
  std::mutex sendMutex_;
  // When the line will have sent everything written so far (steady clock, nanoseconds).
  std::atomic<std::int64_t> lineIdleAt_{0};
  // Paced senders take turns in the order they came, so none waits out its limit while
  // later ones pass it.
  std::mutex paceMutex_;
  std::condition_variable paceChanged_;
  std::deque<std::uint64_t> paceQueue_;
  std::uint64_t nextPaceTicket_ = 0;

  // Bytes read but not yet cut into frames. A handler may poll the event loop again (the
  // DA handshake does), which reads more bytes; they join the end of this queue, so frames
  // are always handled whole and in the order they arrived, however deep the nesting.
  std::string pending_;
  std::size_t pendingPos_ = 0;
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
