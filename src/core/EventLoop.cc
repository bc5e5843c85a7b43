#include "core/EventLoop.h"

#include <sys/select.h>

#include <cerrno>

namespace vantorellabs {

void EventLoop::watch(LoopSource source, int fd, std::function<bool()> handler) {
  slots_[static_cast<std::size_t>(source)] = Slot{fd, std::move(handler)};
}

void EventLoop::pollStep() {
  const double start = clock_.monotonicSeconds();
  fd_set readSet;
  FD_ZERO(&readSet);
  int highest = -1;
  for (const Slot& slot : slots_) {
    if (slot.fd < 0) continue;
    FD_SET(slot.fd, &readSet);
    if (slot.fd > highest) highest = slot.fd;
  }
  timeval timeout{0, kStepMicroseconds};
  const int ready = ::select(highest + 1, &readSet, nullptr, nullptr, &timeout);
  if (ready < 0) {
    // A signal is not a failure of the descriptors: the turn just ends early.
    if (errno == EINTR) return;
    fatalError(console_, "ERROR: select() < 0\n");
  }
  if (ready == 0) return;

  bool progress = false;
  for (const Slot& slot : slots_) {
    if (slot.fd >= 0 && FD_ISSET(slot.fd, &readSet) && slot.handler) {
      progress = slot.handler() || progress;
    }
  }
  if (!progress) {
    // Readable but nothing to read: wait out the rest of the turn as if it had timed out.
    const double left =
        static_cast<double>(kStepMicroseconds) / 1e6 - (clock_.monotonicSeconds() - start);
    if (left > 0) clock_.sleepSeconds(left);
  }
}

}  // namespace vantorellabs
