#include "core/PeriodicReport.h"

namespace vantorellabs {

void PeriodicReport::step() {
  if (!made_) {
    report_();
    reportTime_ = clock_.monotonicSeconds();
    made_ = true;
  }
  if (clock_.monotonicSeconds() - reportTime_ > interval_) made_ = false;
}

}  // namespace vantorellabs
