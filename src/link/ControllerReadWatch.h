#pragma once

#include <functional>

#include "link/ControllerLink.h"
#include "sys/Clock.h"
#include "sys/Console.h"

namespace vantorellabs {

// A controller port whose reads keep failing leaves the mirror as it was while clients are
// still answered from it. The watch makes that visible: the health service says NOT_SERVING
// while the port fails, and a failure that lasts a minute ends the process with status 1,
// so that the supervisor starts the daemon, and with it the port, afresh.
class ControllerReadWatch {
 public:
  static constexpr double kGiveUpSeconds = 60.0;

  ControllerReadWatch(ControllerLink& link, Clock& clock, Console& console,
                      std::function<void(bool serving)> setServing)
      : link_(link), clock_(clock), console_(console), setServing_(std::move(setServing)) {}

  // Every turn of the main loop.
  void step();

 private:
  void report(bool serving);

  ControllerLink& link_;
  Clock& clock_;
  Console& console_;
  std::function<void(bool serving)> setServing_;
  bool failing_ = false;
  double failingSince_ = 0.0;
};

}  // namespace vantorellabs
