#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "ble/CommandPipe.h"
#include "sys/Backoff.h"
#include "sys/Clock.h"
#include "sys/Console.h"

namespace vantorellabs {

// The text output of hcidump, read through a pipe whose descriptor joins the main loop.
// Lines are cut here from what each read() returns: a stdio stream would keep later lines
// in its own buffer where poll() cannot see them. When hcidump ends, its pipe leaves the
// loop (a pipe at end of file would wake every poll at once) and hcidump is started
// again after a pause. On a board whose Bluetooth does not work hcidump ends at once, for
// ever: the pause doubles with each end in a row (5 s up to 5 min) and the log says so
// once per step; a run of a minute counts as working again.
class BleEventPipe {
 public:
  static constexpr const char* kCommand = "hcidump";
  // The longest line handed on at once, as a 256-byte line buffer holds it.
  static constexpr std::size_t kMaxLine = 255;
  static constexpr std::size_t kReadSize = 1024;
  static constexpr double kRestartPauseSeconds = 5.0;
  static constexpr double kMaxRestartPauseSeconds = 300.0;
  static constexpr double kWorkingRunSeconds = 60.0;

  using LineHandler = std::function<void(std::string_view line)>;
  // Told the pipe's new descriptor whenever it changes; -1 while hcidump is not running.
  using DescriptorHandler = std::function<void(int fd)>;

  BleEventPipe(CommandPipe& pipe, Console& console, Clock& clock)
      : pipe_(pipe), console_(console), clock_(clock) {}

  void setDescriptorHandler(DescriptorHandler handler) { onDescriptor_ = std::move(handler); }

  // Starts hcidump (closing a pipe that is still open first). A pipe that cannot be made
  // ends the process. Returns the descriptor.
  int startBleEventPipe();

  // Reads what the pipe holds and hands each complete line, line end included, to onLine.
  // Returns whether anything arrived.
  bool readStep(const LineHandler& onLine);

  // Once per loop turn: starts hcidump again once the pause after its end has passed.
  void restartStep();

  int fd() const { return fd_; }

 private:
  void setFd(int fd);
  // Takes the pipe of a new hcidump.
  void started(int fd);
  void handleLines(const LineHandler& onLine, bool atEnd);

  CommandPipe& pipe_;
  Console& console_;
  Clock& clock_;
  DescriptorHandler onDescriptor_;
  int fd_ = -1;
  bool ended_ = false;
  double startedAt_ = 0.0;
  double restartAt_ = 0.0;
  Backoff restartBackoff_{kRestartPauseSeconds, kMaxRestartPauseSeconds};
  std::string pending_;
};

}  // namespace vantorellabs
