#pragma once

#include <optional>
#include <string>

namespace vantorellabs {

// Board actions are shell command lines. Everything that runs one goes through this
// interface so that tests can record the exact command lines instead of running them.
class Shell {
 public:
  virtual ~Shell() = default;
  // Runs the command through the system shell and waits for it; returns its exit status,
  // or -1 when the shell could not be started.
  virtual int run(const std::string& command) = 0;
  // Runs the command through a pipe and returns all it printed on standard output, or
  // nothing when the pipe could not be started.
  virtual std::optional<std::string> capture(const std::string& command) = 0;
};

// The real shell: system() and popen().
class SystemShell : public Shell {
 public:
  int run(const std::string& command) override;
  std::optional<std::string> capture(const std::string& command) override;
};

// Quotes a text for the POSIX shell so that it reaches the command as one literal word,
// whatever it holds.
std::string shellQuote(const std::string& text);

// The first line of a text, line end included, cut to at most maxBytes bytes: what one
// fgets() into a buffer of maxBytes + 1 bytes returns.
std::string firstLine(const std::string& text, std::size_t maxBytes);

}  // namespace vantorellabs
