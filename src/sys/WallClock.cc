#include "sys/WallClock.h"

#include <chrono>

namespace vantorellabs {

std::int64_t SystemWallClock::utcSeconds() {
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return std::chrono::duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace vantorellabs
