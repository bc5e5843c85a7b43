#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>

namespace vantorellabs {

// The system calls a serial link makes on its descriptor. Production uses the C library's;
// unit tests script short writes, a full output buffer or a failing read.
struct PortIo {
  std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
  std::function<ssize_t(int fd, void* data, std::size_t size)> read;
  std::function<int(pollfd* fds, nfds_t count, int timeoutMs)> poll;
  // Bytes written but not yet sent on the line; 0 where the device cannot tell (a
  // pseudo-terminal always says 0).
  std::function<int(int fd)> outputQueued;

  static PortIo system();
};

}  // namespace vantorellabs
