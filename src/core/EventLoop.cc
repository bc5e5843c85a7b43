#include "core/EventLoop.h"

#include <poll.h>

#include <cerrno>

namespace vantorellabs {

namespace {
// The wait used to be a select(), and the board's logs know its failure by this line.
constexpr const char* kWaitFailed = "ERROR: select() < 0\n";
}  // namespace

void EventLoop::watch(LoopSource source, int fd, std::function<bool()> handler) {
  slots_[static_cast<std::size_t>(source)] = Slot{fd, std::move(handler)};
}

void EventLoop::pollStep() {
  const double start = clock_.monotonicSeconds();
  // poll() rather than select(): select's set holds descriptors below 1024 only, and under a
  // burst of connections a pipe opened again at run time (hcidump's) can get a higher one.
  // poll() skips the entries of unused slots (-1).
  std::array<pollfd, kSlots> polled{};
  for (std::size_t i = 0; i < kSlots; ++i) polled[i] = pollfd{slots_[i].fd, POLLIN, 0};
  const int ready = ::poll(polled.data(), polled.size(), kStepMilliseconds);
  if (ready < 0) {
    // A signal is not a failure of the descriptors: the turn just ends early.
    if (errno == EINTR) return;
    fatalError(console_, kWaitFailed);
  }
  if (ready == 0) return;

  bool progress = false;
  for (std::size_t i = 0; i < kSlots; ++i) {
    const Slot& slot = slots_[i];
    // A descriptor that is not open is the failure select() reports as EBADF.
    if ((polled[i].revents & POLLNVAL) != 0) fatalError(console_, kWaitFailed);
    // A hang-up or an error is what select() reports as readable: the handler's read sees
    // the end or the failure. A handler earlier in this turn may have replaced the slot's
    // descriptor; the new one was not polled.
    const bool readable = (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    if (readable && slot.fd == polled[i].fd && slot.handler) progress = slot.handler() || progress;
  }
  if (!progress) {
    // Readable but nothing to read: wait out the rest of the turn as if it had timed out.
    const double left = kStepMilliseconds / 1e3 - (clock_.monotonicSeconds() - start);
    if (left > 0) clock_.sleepSeconds(left);
  }
}

}  // namespace vantorellabs
