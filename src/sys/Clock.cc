#include "sys/Clock.h"

#include <chrono>
#include <thread>

namespace vantorellabs {

double SystemClock::monotonicSeconds() {
  using std::chrono::duration;
  using std::chrono::steady_clock;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SystemClock::sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace vantorellabs
