#pragma once

// Programs that start the daemon or replace device nodes (the end-to-end tests, the
// amplifier simulator, the benchmarks) would reconfigure or reboot the machine they run
// on: outside the board sandbox they refuse to start. run-in-board leaves the marker
// below on every board it makes; no real machine has it.

#include <unistd.h>

#include <cstdio>

namespace boardsandbox {

inline constexpr const char* kMarkerPath = "/board/.run-in-board";

inline bool insideBoardSandbox() { return ::access(kMarkerPath, F_OK) == 0; }

// Ends the process with status 2 and a message unless it runs on a board sandbox.
inline void requireBoardSandbox(const char* program) {
  if (insideBoardSandbox()) return;
  std::fprintf(stderr,
               "%s: refusing to run outside the board sandbox: it drives the daemon, which "
               "reboots and reconfigures the machine; run it with sim/board/run-in-board\n",
               program);
  std::fflush(stderr);
  _exit(2);
}

}  // namespace boardsandbox
