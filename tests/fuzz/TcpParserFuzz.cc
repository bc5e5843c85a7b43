// The port-84 parser takes bytes from any client on the network: whatever they are, it
// must only ever complete well-formed commands that fit the controller's 0x10 frame.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "server/TcpCommandParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorellabs::TcpCommandParser parser;
  for (std::size_t i = 0; i < size; ++i) {
    const auto command = parser.feed(static_cast<char>(data[i]));
    if (!command) continue;
    const std::string& text = command->text;
    const bool wellFormed = text.size() >= 5 && text.size() <= 20 && text.front() == '(' &&
                            text.back() == ')' && command->argumentCount >= 0 &&
                            command->argumentCount <= 3;
    if (!wellFormed) std::abort();
  }
  return 0;
}
