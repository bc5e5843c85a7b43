#pragma once

namespace vantorellabs {

// One turn of the event loop. The handshakes wait for their answers by calling it, so
// every descriptor is still serviced while they wait.
class Poller {
 public:
  virtual ~Poller() = default;
  virtual void pollStep() = 0;
};

}  // namespace vantorellabs
