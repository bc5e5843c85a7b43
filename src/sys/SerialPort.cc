#include "sys/SerialPort.h"

#include <fcntl.h>
#include <unistd.h>

namespace vantorellabs {

// Close-on-exec: programs the daemon starts (some stay in the background, some outlive a
// restart of the daemon) must not hold the amplifier's ports open.
int openSerialDevice(const char* path) { return ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC); }

void prepareRawSettings(termios& settings) {
  settings.c_iflag = IGNPAR;
  settings.c_oflag = 0;
  settings.c_cflag = CS8 | CREAD | CLOCAL;
  settings.c_lflag = 0;
  // With VMIN 0 a read never waits for a byte count; VTIME only matters for blocking reads.
  settings.c_cc[VTIME] = 10;
  settings.c_cc[VMIN] = 0;
}

int applySerialSettings(int fd, termios& settings) {
  int result = 0;
  if (cfsetispeed(&settings, B115200) != 0) result = -1;
  if (cfsetospeed(&settings, B115200) != 0) result = -1;
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) result = -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) result = -1;
  return result;
}

}  // namespace vantorellabs
