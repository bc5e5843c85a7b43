#include "ble/BleEventPipe.h"

#include <unistd.h>

#include <cerrno>

namespace vantorellabs {

void BleEventPipe::setFd(int fd) {
  fd_ = fd;
  if (onDescriptor_) onDescriptor_(fd);
}

int BleEventPipe::startBleEventPipe() {
  if (fd_ >= 0) pipe_.finish(fd_);
  const int fd = pipe_.start(kCommand);
  if (fd < 0) fatalError(console_, "popen", errno != 0 ? errno : EIO);
  started(fd);
  return fd;
}

void BleEventPipe::started(int fd) {
  ended_ = false;
  startedAt_ = clock_.monotonicSeconds();
  pending_.clear();
  setFd(fd);
}

bool BleEventPipe::readStep(const LineHandler& onLine) {
  if (fd_ < 0) return false;
  char buffer[kReadSize];
  const ssize_t n = ::read(fd_, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
  if (n > 0) {
    pending_.append(buffer, static_cast<std::size_t>(n));
    handleLines(onLine, false);
    return true;
  }
  // End of file (or a broken pipe): hcidump has gone. What it printed last still counts.
  handleLines(onLine, true);
  pipe_.finish(fd_);
  ended_ = true;
  setFd(-1);
  const double now = clock_.monotonicSeconds();
  if (now - startedAt_ >= kWorkingRunSeconds) restartBackoff_.succeeded();
  const double pause = restartBackoff_.failed();
  restartAt_ = now + pause;
  if (restartBackoff_.stepped()) {
    console_.print("hcidump ended; restarting it in " + Backoff::secondsText(pause) + " s\n");
  }
  return false;
}

void BleEventPipe::handleLines(const LineHandler& onLine, bool atEnd) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t left = pending_.size() - start;
    if (left == 0) break;
    const std::size_t newline = pending_.find('\n', start);
    std::size_t length = 0;
    if (newline != std::string::npos && newline - start < kMaxLine) {
      length = newline - start + 1;
    } else if (left >= kMaxLine) {
      // An over-long line is handed on in pieces, as a line buffer would read it.
      length = kMaxLine;
    } else if (atEnd) {
      length = left;
    } else {
      break;
    }
    onLine(std::string_view(pending_).substr(start, length));
    start += length;
  }
  pending_.erase(0, start);
}

void BleEventPipe::restartStep() {
  if (!ended_ || clock_.monotonicSeconds() < restartAt_) return;
  const int fd = pipe_.start(kCommand);
  if (fd < 0) {
    // Bluetooth events are lost until hcidump runs again, but the amplifier is still
    // served: try again after a longer pause.
    const int error = errno != 0 ? errno : EIO;
    restartAt_ = clock_.monotonicSeconds() + restartBackoff_.failed();
    if (restartBackoff_.stepped()) console_.printError("hcidump could not be restarted", error);
    return;
  }
  // Said with the step that announced the pause, so both go quiet at the ceiling.
  if (restartBackoff_.stepped()) console_.print("hcidump restarted\n");
  started(fd);
}

}  // namespace vantorellabs
