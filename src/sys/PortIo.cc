#include "sys/PortIo.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vantorellabs {

PortIo PortIo::system() {
  PortIo io;
  io.write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); };
  io.read = [](int fd, void* data, std::size_t size) { return ::read(fd, data, size); };
  io.poll = [](pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); };
  io.outputQueued = [](int fd) {
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
  };
  return io;
}

}  // namespace vantorellabs
