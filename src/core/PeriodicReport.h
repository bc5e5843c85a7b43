#pragma once

#include <functional>

#include "sys/Clock.h"

namespace vantorellabs {

// Runs a report at the first turn of the loop and again on the first turn after more than
// the interval has passed since the previous one.
class PeriodicReport {
 public:
  PeriodicReport(Clock& clock, double intervalSeconds, std::function<void()> report)
      : clock_(clock), interval_(intervalSeconds), report_(std::move(report)) {}

  // Called on every turn of the loop.
  void step();

 private:
  Clock& clock_;
  const double interval_;
  std::function<void()> report_;
  bool made_ = false;
  double reportTime_ = 0.0;
};

}  // namespace vantorellabs
