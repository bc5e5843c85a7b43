#pragma once

// The two SWD wires as the transport sees them. Production drives them through the GPIO
// character device (gpio.h); tests and the benchmark wire them to the target model.

#include <stdexcept>
#include <string>

namespace swd {

class SwdLines {
 public:
  virtual ~SwdLines() = default;

  // Opens the GPIO chip and requests both lines as inputs. False, with `error` set to a
  // sentence for the user, when the chip or a line cannot be had: nothing has been driven.
  virtual bool swdOpenLines(std::string* error) = 0;
  // Both lines back to input.
  virtual void swdReleaseLines() = 0;
  // Both lines input, with the pull-up on SWDIO re-applied.
  virtual void swdIdleLines() = 0;
  // SWDIO output then high; SWCLK output then high.
  virtual void swdDriveLines() = 0;
  virtual void swdCloseChip() = 0;

  virtual void setClock(int level) = 0;
  virtual void setData(int level) = 0;
  // The level on SWDIO, 0 or 1.
  virtual int readData() = 0;
  // SWDIO direction; an output is always switched on at 0.
  virtual void dataInput() = 0;
  virtual void dataOutput() = 0;
};

// A GPIO call failed in the middle of a run: the wire state is unknown, so the run ends.
class GpioFailure : public std::runtime_error {
 public:
  GpioFailure(const std::string& what, int errnoValue)
      : std::runtime_error(what), errnoValue_(errnoValue) {}
  int errnoValue() const { return errnoValue_; }

 private:
  int errnoValue_;
};

}  // namespace swd
