#pragma once

// The program swd-flash: its command line and the debug run that erases, reads, writes
// or verifies the flash of the amplifier's microcontroller.

#include <cstdio>
#include <functional>

#include "SwdLines.h"

namespace swd {

inline constexpr const char* kSwdFlashVersion = "0.2.4";
// Longest wait for a flash controller or the chip erase; a target that stops answering
// reads as never ready.
inline constexpr double kPollTimeoutSeconds = 5.0;

// How flash blocks cross the wire: one word at a time (four transactions per word), or in
// bulk with address auto-increment and posted reads. Both give the same bytes.
enum class BlockPath { kBulk, kWordByWord };

struct ToolIo {
  std::FILE* out;
  std::FILE* err;
  // Seconds on a clock that never jumps (the status polls' time-outs).
  std::function<double()> monotonicSeconds;
};

// Runs one invocation; returns the exit status.
int swdFlashMain(int argc, const char* const* argv, SwdLines& lines, const ToolIo& io,
                 BlockPath path = BlockPath::kBulk);

}  // namespace swd
