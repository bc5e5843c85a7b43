#include "sys/Console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantorellabs {

void StdoutConsole::print(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void StdoutConsole::printError(std::string_view message, int errnoValue) {
  std::string line(message);
  line += ": ";
  line += std::strerror(errnoValue);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

Console& systemConsole() {
  static StdoutConsole console;
  return console;
}

void fatalError(Console& console, std::string_view message, int errnoValue) {
  if (errnoValue != 0) {
    console.printError(message, errnoValue);
  } else {
    console.print(message);
  }
  // _exit, not exit: gRPC threads may still be serving calls through the static service
  // objects, and exit would destroy those under them (a crash, and a status other than 1).
  std::fflush(nullptr);
  _exit(1);
}

}  // namespace vantorellabs
