#include "link/ControllerReadWatch.h"

namespace vantorellabs {

void ControllerReadWatch::step() {
  // The loop reads the port only when it is readable, and a port that failed may never be
  // readable again; it is read here on every turn, so that its recovery is seen too.
  if (link_.readFailing()) link_.controllerReceiveStep();
  if (!link_.readFailing()) {
    if (failing_) {
      failing_ = false;
      console_.print("Controller port reads again\n");
      report(true);
    }
    return;
  }
  const double now = clock_.monotonicSeconds();
  if (!failing_) {
    failing_ = true;
    failingSince_ = now;
    report(false);
  } else if (now - failingSince_ > kGiveUpSeconds) {
    fatalError(console_, "ERROR: controller port keeps failing\n");
  }
}

void ControllerReadWatch::report(bool serving) {
  if (setServing_) setServing_(serving);
}

}  // namespace vantorellabs
