#include "link/ControllerLink.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "sys/SerialPort.h"

namespace vantorellabs {

namespace {

constexpr int kColourSent = 31;
constexpr int kColourReceived = 35;
constexpr std::size_t kTraceBufferSize = 256;
// How long a sender waits for room in the port's output buffer before it gives the frame
// up; at 115200 baud the kernel's buffer drains in well under this.
constexpr int kWriteCompletionMs = 200;
// The wait for room between the bytes of a frame that is already partly written.
constexpr int kFinishPollMs = 100;

std::int64_t steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool isUntracedCode(std::uint8_t code) {
  // Network status reports go out every few seconds and DA tunnel frames can be many;
  // tracing them would drown the log.
  return code == ControllerLink::kCodeNetworkStatus || code == ControllerLink::kCodeDaTunnel;
}

}  // namespace

std::string frameTraceText(std::string_view prefix, std::string_view bytes) {
  std::string text(prefix);
  char item[8];
  std::snprintf(item, sizeof item, "0x%02X",
                bytes.empty() ? 0U : static_cast<unsigned>(static_cast<std::uint8_t>(bytes[0])));
  text += item;
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    std::snprintf(item, sizeof item, " %02X",
                  static_cast<unsigned>(static_cast<std::uint8_t>(bytes[i])));
    if (text.size() + std::strlen(item) >= kTraceBufferSize) break;
    text += item;
  }
  return text;
}

std::string colouredLine(int colour, const std::string& text) {
  return "\033[" + std::to_string(colour) + "m" + text + "\033[0m\n";
}

ControllerLink::ControllerLink(Console& console, PortIo io)
    : console_(console), io_(std::move(io)), loopThread_(std::this_thread::get_id()) {}

int ControllerLink::openPort(const char* path) {
  fd_ = openSerialDevice(path);
  if (fd_ < 0) {
    fatalError(console_, "ERROR: open " + std::string(path) + " ret=" + std::to_string(fd_) + "\n");
  }
  tcgetattr(fd_, &settings_);
  prepareRawSettings(settings_);
  applySerialSettings(fd_, settings_);
  return fd_;
}

int ControllerLink::runHandshake(Poller& poller) {
  sendCode(kCodeReady);
  sendCode(kCodeHello);
  for (int step = 0; step < kHandshakeSteps; ++step) {
    poller.pollStep();
    if (isReady()) return 0;
    if (step % kHelloEverySteps == 0) sendCode(kCodeHello);
  }
  return 1;
}

int ControllerLink::sendFrame(std::string_view text) {
  // The frame is a C string: a zero byte ends it wherever it stands.
  const std::size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  if (text.size() > kMaxFrameText) text = text.substr(0, kMaxFrameText);

  std::string wire(text);
  wire.push_back('\0');

  if (std::this_thread::get_id() != loopThread_) return sendPaced(text, wire);
  std::lock_guard<std::mutex> lock(sendMutex_);
  traceSent(text);
  return transmit(wire);
}

void ControllerLink::traceSent(std::string_view text) {
  if (!text.empty() && !isUntracedCode(static_cast<std::uint8_t>(text[0]))) {
    console_.print(colouredLine(kColourSent, frameTraceText(">>> ", text)));
  }
}

std::chrono::nanoseconds ControllerLink::pacedWait() {
  const auto now = steadyNanos();
  auto backlog = std::chrono::nanoseconds(std::max<std::int64_t>(0, lineIdleAt_.load() - now));
  // A real UART also says how much its driver still holds; a pseudo-terminal says 0.
  backlog = std::max(backlog, kByteTime * io_.outputQueued(fd_));
  return backlog - std::chrono::duration_cast<std::chrono::nanoseconds>(kPacedBacklog);
}

int ControllerLink::sendPaced(std::string_view text, const std::string& wire) {
  const auto deadline = std::chrono::steady_clock::now() + kPacedWaitLimit;
  std::unique_lock<std::mutex> turn(paceMutex_);
  const std::uint64_t ticket = nextPaceTicket_++;
  paceQueue_.push_back(ticket);
  bool lineFree = false;
  for (;;) {
    if (paceQueue_.front() == ticket) {
      const auto wait = pacedWait();
      if (wait.count() <= 0) {
        lineFree = true;
        break;
      }
      if (std::chrono::steady_clock::now() + wait > deadline) break;
      paceChanged_.wait_for(turn, wait);
    } else if (paceChanged_.wait_until(turn, deadline) == std::cv_status::timeout &&
               paceQueue_.front() != ticket) {
      break;
    }
  }
  if (!lineFree) {
    // No room on the line within the limit: the frame is dropped and its place given up.
    paceQueue_.erase(std::find(paceQueue_.begin(), paceQueue_.end(), ticket));
    paceChanged_.notify_all();
    turn.unlock();
    std::lock_guard<std::mutex> lock(sendMutex_);
    traceSent(text);
    console_.printError(">>> ERROR: write\n", EAGAIN);
    return -1;
  }
  // This sender stays first in line until its frame is written, so the next one measures
  // the line with this frame on it.
  turn.unlock();
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    traceSent(text);
    result = transmit(wire);
  }
  turn.lock();
  paceQueue_.pop_front();
  paceChanged_.notify_all();
  return result;
}

int ControllerLink::transmit(const std::string& wire) {
  const int result = writeWhole(wire.data(), wire.size());
  if (result == 0) {
    const auto now = steadyNanos();
    const auto from = std::max(now, lineIdleAt_.load());
    lineIdleAt_ = from + (kByteTime * static_cast<std::int64_t>(wire.size())).count();
  }
  return result;
}

int ControllerLink::writeWhole(const char* data, std::size_t size) {
  std::size_t done = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteCompletionMs);
  while (done < size) {
    const ssize_t n = io_.write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int error = errno;
    if (n < 0 && error == EINTR) continue;
    if (n < 0 && error == EAGAIN) {
      // A full output buffer drains at the line's speed. Before the first byte the frame
      // may still be given up whole; once part of it is on the wire it is always finished,
      // or the next frame would be read as the rest of this one.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (done == 0 && left <= 0) {
        console_.printError(">>> ERROR: write\n", error);
        return -1;
      }
      pollfd p{fd_, POLLOUT, 0};
      const int ready = io_.poll(&p, 1, done == 0 ? static_cast<int>(left) : kFinishPollMs);
      // A port that reports an error or hang-up will never take the rest.
      if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        console_.printError(">>> ERROR: write\n", EIO);
        return -1;
      }
      continue;
    }
    console_.printError(">>> ERROR: write\n", n < 0 ? error : EIO);
    return -1;
  }
  return 0;
}

int ControllerLink::sendCode(std::uint8_t code) {
  const char text[] = {static_cast<char>(code)};
  return sendFrame(std::string_view(text, 1));
}

int ControllerLink::sendCodeByte(std::uint8_t code, std::uint8_t value) {
  const char text[] = {static_cast<char>(code), static_cast<char>(value)};
  return sendFrame(std::string_view(text, 2));
}

int ControllerLink::sendNetworkAddress(const std::string& text) {
  return sendFrame(std::string(1, static_cast<char>(kCodeNetworkStatus)) + "I" + text);
}

int ControllerLink::sendNetworkHardwareAddress(char kind, const std::string& text) {
  if (kind != 'e' && kind != 'w') return 0;
  return sendFrame(std::string(1, static_cast<char>(kCodeNetworkStatus)) + kind + text);
}

int ControllerLink::sendDaMessage(std::uint32_t packed) {
  const char text[] = {static_cast<char>(packed & 0xFFU), static_cast<char>((packed >> 8) & 0xFFU),
                       static_cast<char>((packed >> 16) & 0xFFU)};
  return sendFrame(std::string_view(text, 3));
}

int ControllerLink::sendInputName(std::uint8_t id, const std::string& name) {
  return sendFrame(std::string(1, static_cast<char>(kCodeInputName)) + static_cast<char>(id) +
                   name);
}

int ControllerLink::sendTcpCommand(const std::string& text) {
  constexpr std::size_t kMaxTcpFrameText = 21;
  std::string frame = std::string(1, static_cast<char>(kCodeTcpCommand)) + text;
  if (frame.size() > kMaxTcpFrameText) frame.resize(kMaxTcpFrameText);
  return sendFrame(frame);
}

bool ControllerLink::controllerReceiveStep() {
  char chunk[kRxSize];
  const ssize_t n = io_.read(fd_, chunk, sizeof chunk);
  if (n < 0) {
    // An interrupted read says nothing about the port. A port that keeps failing is
    // reported once, not on every turn of the loop.
    if (errno == EINTR) return false;
    if (errno == EAGAIN) {
      readFailing_ = false;
      return false;
    }
    if (!readFailing_) console_.print("<<< ERROR: read\n");
    readFailing_ = true;
    return false;
  }
  if (n == 0) {
    // With VMIN 0 an empty read is normal, unless the port has hung up (a USB adapter
    // unplugged, the far end of a pseudo-terminal closed): such a descriptor never
    // delivers again, and only a new start opens the port afresh.
    pollfd p{fd_, POLLIN, 0};
    if (io_.poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0) {
      fatalError(console_, "ERROR: controller port hung up\n");
    }
    readFailing_ = false;
    return false;
  }
  readFailing_ = false;
  pending_.append(chunk, static_cast<std::size_t>(n));
  processPending();
  return true;
}

void ControllerLink::processPending() {
  while (pendingPos_ < pending_.size()) {
    const auto byte = static_cast<std::uint8_t>(pending_[pendingPos_++]);
    if (discardingOversized_) {
      // Bytes of a frame that outgrew the buffer are dropped up to its terminator.
      if (byte == 0) discardingOversized_ = false;
      continue;
    }
    if (rxLength_ == kRxSize) {
      console_.print("<<< ERROR: frame longer than 1024 bytes dropped\n");
      rxFrame_.fill(0);
      rxLength_ = 0;
      discardingOversized_ = (byte != 0);
      continue;
    }
    rxFrame_[rxLength_++] = byte;
    if (byte != 0) continue;
    // The frame is copied out and the buffer cleared before it is handled, so a handler
    // that polls again starts the next frame in a clean buffer.
    const std::string frame(reinterpret_cast<const char*>(rxFrame_.data()), rxLength_ - 1);
    rxFrame_.fill(0);
    rxLength_ = 0;
    handleFrame(frame);
  }
  // Every byte is handled now, at whatever depth: a handler that polls again (the DA
  // handshake, which may wait without limit while the module updates) handles what arrives
  // meanwhile, and the frame in the outer handler's hands is already a copy. Clearing here
  // keeps the queue from growing for as long as the nesting lasts.
  pending_.clear();
  pendingPos_ = 0;
}

void ControllerLink::handleFrame(std::string_view frame) {
  // A lone terminator is an empty frame with code 0x00.
  const std::string traced = frame.empty() ? std::string(1, '\0') : std::string(frame);
  console_.print(colouredLine(kColourReceived, frameTraceText("<<< ", traced)));
  if (frameHandler_) frameHandler_(frame);
}

}  // namespace vantorellabs
