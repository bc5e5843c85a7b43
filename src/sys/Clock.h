#pragma once

namespace vantorellabs {

// Time as the daemon sees it. Intervals are measured on the monotonic clock: the board
// boots with its wall clock at 1970 and sets it later, and a wall-clock jump must neither
// fire nor stall a periodic task.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never jumps.
  virtual double monotonicSeconds() = 0;
  // Blocks the calling thread for the given number of seconds.
  virtual void sleepSeconds(double seconds) = 0;
};

class SystemClock : public Clock {
 public:
  double monotonicSeconds() override;
  void sleepSeconds(double seconds) override;
};

}  // namespace vantorellabs
