#include "sys/Console.h"

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
  std::fflush(nullptr);
  std::exit(1);
}

}  // namespace vantorellabs
