#pragma once

#include <cstdint>

namespace vantorellabs {

// Calendar time, for what the daemon reports as a date. Intervals use Clock instead: the
// board's wall clock starts at 1970 and jumps when it is set.
class WallClock {
 public:
  virtual ~WallClock() = default;
  // Seconds since the epoch, UTC.
  virtual std::int64_t utcSeconds() = 0;
};

class SystemWallClock : public WallClock {
 public:
  std::int64_t utcSeconds() override;
};

}  // namespace vantorellabs
