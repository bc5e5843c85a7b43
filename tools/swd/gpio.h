#pragma once

// The `gpio` layer: the SWD wires on two lines of GPIO chip 0, through libgpiod's
// version 1 interface.

#include <string>

#include "SwdLines.h"

struct gpiod_chip;
struct gpiod_line;

namespace swd {

inline constexpr unsigned kGpioChipNumber = 0;
inline constexpr const char* kSwclkLineName = "PC28";
inline constexpr const char* kSwdioLineName = "PC27";
inline constexpr const char* kGpioConsumer = "swd-flash";
// GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP: SWDIO must read 1 when nobody drives it.
inline constexpr int kPullUpFlag = 32;

// Reads a line: 0 or 1. Throws GpioFailure when the read fails.
int gpio_read(gpiod_line* line);

class GpiodLines : public SwdLines {
 public:
  GpiodLines() = default;
  ~GpiodLines() override;
  GpiodLines(const GpiodLines&) = delete;
  GpiodLines& operator=(const GpiodLines&) = delete;

  bool swdOpenLines(std::string* error) override;
  void swdReleaseLines() override;
  void swdIdleLines() override;
  void swdDriveLines() override;
  void swdCloseChip() override;

  void setClock(int level) override { setValue(swclk_, level, kSwclkLineName); }
  void setData(int level) override { setValue(swdio_, level, kSwdioLineName); }
  int readData() override { return gpio_read(swdio_); }
  void dataInput() override;
  void dataOutput() override;

 private:
  static void setValue(gpiod_line* line, int level, const char* name);

  gpiod_chip* chip_ = nullptr;
  gpiod_line* swclk_ = nullptr;
  gpiod_line* swdio_ = nullptr;
};

}  // namespace swd
