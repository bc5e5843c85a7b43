#include "gpio.h"

#include <gpiod.h>

#include <cassert>
#include <cerrno>
#include <cstring>

namespace swd {

namespace {

void check(int result, const char* what, const char* name) {
  if (result < 0) {
    int e = errno;
    throw GpioFailure(std::string(what) + " " + name, e);
  }
}

std::string describe(const std::string& what, int errnoValue) {
  return "Error: " + what + ": " + std::strerror(errnoValue);
}

}  // namespace

int gpio_read(gpiod_line* line) {
  int value = gpiod_line_get_value(line);
  if (value < 0) {
    int e = errno;
    throw GpioFailure("", e);  // reported as perror("Error") would
  }
  assert(value == 0 || value == 1);
  return value;
}

GpiodLines::~GpiodLines() {
  if (chip_ != nullptr) gpiod_chip_close(chip_);
}

bool GpiodLines::swdOpenLines(std::string* error) {
  chip_ = gpiod_chip_open_by_number(kGpioChipNumber);
  if (chip_ == nullptr) {
    *error = describe("cannot open GPIO chip " + std::to_string(kGpioChipNumber), errno);
    return false;
  }
  // Both lines are found and requested before either is driven, so a missing or busy
  // line leaves the target untouched.
  for (auto [line, name] :
       {std::pair{&swclk_, kSwclkLineName}, std::pair{&swdio_, kSwdioLineName}}) {
    *line = gpiod_chip_find_line(chip_, name);
    if (*line == nullptr) {
      *error = describe(std::string("cannot find GPIO line ") + name, errno != 0 ? errno : ENOENT);
      swdCloseChip();
      return false;
    }
  }
  if (gpiod_line_request_input(swclk_, kGpioConsumer) < 0 ||
      gpiod_line_request_input_flags(swdio_, kGpioConsumer, kPullUpFlag) < 0) {
    *error = describe(
        "cannot request GPIO lines " + std::string(kSwclkLineName) + " and " + kSwdioLineName,
        errno);
    swdCloseChip();
    return false;
  }
  return true;
}

void GpiodLines::swdReleaseLines() {
  check(gpiod_line_set_direction_input(swdio_), "releasing line", kSwdioLineName);
  check(gpiod_line_set_direction_input(swclk_), "releasing line", kSwclkLineName);
}

void GpiodLines::swdIdleLines() {
  swdReleaseLines();
  check(gpiod_line_set_flags(swdio_, kPullUpFlag), "pull-up on line", kSwdioLineName);
}

void GpiodLines::swdDriveLines() {
  dataOutput();
  setData(1);
  check(gpiod_line_set_direction_output(swclk_, 0), "driving line", kSwclkLineName);
  setClock(1);
}

void GpiodLines::swdCloseChip() {
  if (chip_ != nullptr) gpiod_chip_close(chip_);
  chip_ = nullptr;
  swclk_ = nullptr;
  swdio_ = nullptr;
}

void GpiodLines::dataInput() {
  check(gpiod_line_set_direction_input(swdio_), "releasing line", kSwdioLineName);
}

void GpiodLines::dataOutput() {
  check(gpiod_line_set_direction_output(swdio_, 0), "driving line", kSwdioLineName);
}

void GpiodLines::setValue(gpiod_line* line, int level, const char* name) {
  check(gpiod_line_set_value(line, level), "setting line", name);
}

}  // namespace swd
