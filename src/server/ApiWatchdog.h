#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sys/Clock.h"
#include "sys/Console.h"

namespace vantorellabs {

// Ends the daemon when the API no longer answers new clients. A listener can stop
// accepting while the process lives on (gRPC does not take up accepting again after it ran
// out of descriptors): nothing crashes, so only a check made the way a new client connects
// notices, and only a restart by the supervisor brings the API back. A restart takes Wi-Fi
// down and up and runs the controller handshake again, so one slow answer is not enough:
// it takes three failed checks in a row.
class ApiWatchdog {
 public:
  static constexpr double kCheckIntervalSeconds = 5.0;
  static constexpr int kFailuresInARow = 3;

  // One health check on a new connection: the reason it failed, or nothing when the API
  // answered that it is serving.
  using HealthCheck = std::function<std::optional<std::string>()>;

  ApiWatchdog(Clock& clock, Console& console, HealthCheck check)
      : clock_(clock), console_(console), check_(std::move(check)) {}

  // Waits until the next check is due (checks start 5 s apart, the first 5 s after the
  // watchdog's own start), runs it and tells whether the API still counts as alive.
  bool checkStep();

  // Checks for ever; prints "ERROR: API not accepting connections" and ends the process
  // with status 1 once the API counts as dead.
  [[noreturn]] void run();

 private:
  Clock& clock_;
  Console& console_;
  HealthCheck check_;
  std::optional<double> nextCheckAt_;
  int failures_ = 0;
};

}  // namespace vantorellabs
