#pragma once

#include <string>
#include <string_view>

namespace vantorellabs {

// The daemon's log is plain text on standard output. Each print() is written whole, so a
// line printed from one thread is never split by a line from another.
class Console {
 public:
  virtual ~Console() = default;
  virtual void print(std::string_view text) = 0;
  // Like perror(): the message, ": ", the text of errnoValue and a line end, on standard
  // error.
  virtual void printError(std::string_view message, int errnoValue) = 0;
};

class StdoutConsole : public Console {
 public:
  void print(std::string_view text) override;
  void printError(std::string_view message, int errnoValue) override;
};

// The console that production code prints to.
Console& systemConsole();

// Prints one line (perror-style when errnoValue is not 0) and ends the process with
// status 1: the reaction to a device the daemon cannot work without.
[[noreturn]] void fatalError(Console& console, std::string_view message, int errnoValue = 0);

}  // namespace vantorellabs
