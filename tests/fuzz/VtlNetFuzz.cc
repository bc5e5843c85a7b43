// vtl-net's argument and file parsing. The input is up to five sections separated by
// 0xFF bytes: the arguments (separated by NUL bytes), dhcpcd.conf, what every command
// prints, /tmp/resolv.conf, and the exit statuses of the commands run (one byte each, in
// turn). Commands are only recorded and waits only counted.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "NetToolBench.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static vantorellabs::testing::NetToolBench bench;
  auto sections = split(std::string(reinterpret_cast<const char*>(data), size), '\xFF');
  sections.resize(5);
  auto args = split(sections[0], '\0');
  if (args.size() > 5) args.resize(5);
  if (args.size() == 1 && args[0].empty()) args.clear();

  bench.write(bench.dhcp_, sections[1]);
  bench.write(bench.resolv_, sections[3]);
  const std::string& statuses = sections[4];
  std::size_t next = 0;
  bench.answers.clear();
  bench.onCommand = [&](const std::string& command) {
    const int status =
        statuses.empty() ? 0 : static_cast<unsigned char>(statuses[next++ % statuses.size()]) % 3;
    bench.answers[command] = {status, sections[2]};
  };
  bench.run(args);
  return 0;
}
