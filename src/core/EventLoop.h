#pragma once

#include <array>
#include <functional>

#include "core/Poller.h"
#include "sys/Clock.h"
#include "sys/Console.h"

namespace vantorellabs {

// The descriptors of the main loop, in the order their handlers run when several are
// ready in one turn.
enum class LoopSource { DaPort = 0, ControllerPort, BleEventPipe, HelperSocket };

// One poll() over the watched descriptors with a 50 ms time-out, then the handler of each
// ready descriptor, always in LoopSource order.
class EventLoop : public Poller {
 public:
  static constexpr int kStepMilliseconds = 50;

  EventLoop(Console& console, Clock& clock) : console_(console), clock_(clock) {}

  // handler reads what is there without blocking and returns whether it got anything. A
  // descriptor that stays readable but yields nothing (a port at end of file) must not
  // turn the loop into a busy spin.
  void watch(LoopSource source, int fd, std::function<bool()> handler);
  // Changes a watched source's descriptor and keeps its handler; -1 leaves it out of the
  // set. A handler may call it for its own source.
  void setDescriptor(LoopSource source, int fd) {
    slots_[static_cast<std::size_t>(source)].fd = fd;
  }

  void pollStep() override;

 private:
  struct Slot {
    int fd = -1;
    std::function<bool()> handler;
  };
  static constexpr std::size_t kSlots = 4;

  Console& console_;
  Clock& clock_;
  std::array<Slot, kSlots> slots_{};
};

}  // namespace vantorellabs
