#pragma once

#include <termios.h>

namespace vantorellabs {

// Both amplifier ports are 115200 baud, 8 data bits, no parity, raw and non-blocking.

// Opens a serial device read-write without making it the controlling terminal. Returns
// the descriptor, or the negative result of open().
int openSerialDevice(const char* path);

// Fills in the raw 8N1 settings on top of what tcgetattr() read from the port.
void prepareRawSettings(termios& settings);

// Sets 115200 baud both ways, drops pending input, applies the settings at once and makes
// the descriptor non-blocking. Returns 0, or -1 when the port refused a step.
int applySerialSettings(int fd, termios& settings);

}  // namespace vantorellabs
