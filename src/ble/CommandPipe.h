#pragma once

#include <cstdio>
#include <map>
#include <string>

namespace vantorellabs {

// A command started with its standard output on a pipe that the daemon reads by
// descriptor. Tests replace it with a pipe they write themselves.
class CommandPipe {
 public:
  virtual ~CommandPipe() = default;
  // Starts the command through the shell; the read descriptor, or -1 with errno set.
  virtual int start(const std::string& command) = 0;
  // Closes the descriptor and waits for the command to end.
  virtual void finish(int fd) = 0;
};

// popen() and pclose(). The descriptor is closed on exec, so that the programs the daemon
// starts later do not hold the pipe open: the command must see its reader go when the
// daemon closes it or ends.
class PopenCommandPipe : public CommandPipe {
 public:
  int start(const std::string& command) override;
  void finish(int fd) override;

 private:
  std::map<int, FILE*> streams_;
};

}  // namespace vantorellabs
