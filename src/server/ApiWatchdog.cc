#include "server/ApiWatchdog.h"

namespace vantorellabs {

bool ApiWatchdog::checkStep() {
  if (!nextCheckAt_) nextCheckAt_ = clock_.monotonicSeconds() + kCheckIntervalSeconds;
  const double wait = *nextCheckAt_ - clock_.monotonicSeconds();
  if (wait > 0) clock_.sleepSeconds(wait);
  // Measured from the start of a check, so a check that runs into its deadline is followed
  // by the next at once, and a late one does not bring on a catch-up burst.
  nextCheckAt_ = clock_.monotonicSeconds() + kCheckIntervalSeconds;
  const std::optional<std::string> failure = check_();
  if (!failure) {
    if (failures_ > 0) console_.print("API health check answered again\n");
    failures_ = 0;
    return true;
  }
  ++failures_;
  console_.print("API health check failed (" + std::to_string(failures_) + " of " +
                 std::to_string(kFailuresInARow) + "): " + *failure + "\n");
  return failures_ < kFailuresInARow;
}

void ApiWatchdog::run() {
  while (checkStep()) {
  }
  fatalError(console_, "ERROR: API not accepting connections\n");
}

}  // namespace vantorellabs
