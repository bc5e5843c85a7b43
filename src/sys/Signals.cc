#include "sys/Signals.h"

#include <csignal>

namespace vantorellabs {

namespace {
void ignorePipeSignal(int /*signal*/) {}
}  // namespace

void survivePeerHangUps() {
  struct sigaction action {};
  action.sa_handler = ignorePipeSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace vantorellabs
