#include "sys/Shell.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace vantorellabs {

int SystemShell::run(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::optional<std::string> SystemShell::capture(const std::string& command) {
  // "e": the read end is close-on-exec, so a program that another thread starts meanwhile
  // does not hold this pipe open.
  FILE* pipe = popen(command.c_str(), "re");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[512];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string firstLine(const std::string& text, std::size_t maxBytes) {
  std::size_t end = text.find('\n');
  end = (end == std::string::npos) ? text.size() : end + 1;
  if (end > maxBytes) end = maxBytes;
  return text.substr(0, end);
}

}  // namespace vantorellabs
