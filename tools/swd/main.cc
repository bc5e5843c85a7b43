// swd-flash: programs the flash of the amplifier's microcontroller through its Serial Wire
// Debug port, bit-banged on two GPIO lines.

#include <time.h>

#include <cstdio>

#include "FlashTool.h"
#include "gpio.h"

int main(int argc, char** argv) {
  swd::GpiodLines lines;
  swd::ToolIo io{stdout, stderr, [] {
                   timespec now{};
                   clock_gettime(CLOCK_MONOTONIC, &now);
                   return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
                 }};
  return swd::swdFlashMain(argc, argv, lines, io);
}
