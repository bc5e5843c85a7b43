#include "ble/CommandPipe.h"

#include <cstdio>

namespace vantorellabs {

int PopenCommandPipe::start(const std::string& command) {
  FILE* stream = popen(command.c_str(), "re");
  if (stream == nullptr) return -1;
  const int fd = fileno(stream);
  streams_[fd] = stream;
  return fd;
}

void PopenCommandPipe::finish(int fd) {
  auto it = streams_.find(fd);
  if (it == streams_.end()) return;
  pclose(it->second);
  streams_.erase(it);
}

}  // namespace vantorellabs
