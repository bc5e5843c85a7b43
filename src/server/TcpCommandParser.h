#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// A command of the port-84 text protocol: "(" a three-character word, up to three
// arguments of 1 to 4 characters each preceded by spaces, ")". Bytes outside a command
// are ignored; a field that grows past its size discards the command.
struct TcpCommand {
  int argumentCount = 0;
  // "(" word, " " argument for each argument, ")": at most 20 characters.
  std::string text;
};

// The parse state of one client. Partial commands survive between reads.
class TcpCommandParser {
 public:
  static constexpr std::size_t kWordLength = 3;
  static constexpr std::size_t kMaxArguments = 3;
  static constexpr std::size_t kFieldSize = 5;  // four characters and a terminator

  // Feeds one byte; returns the command that it completed, if any.
  std::optional<TcpCommand> feed(char b);

 private:
  enum State : std::uint32_t { kOutside = 0, kWord = 1, kFirstArgument = 2, kLastArgument = 4 };

  void clear();
  TcpCommand complete();

  std::uint8_t argumentCount_ = 0;
  std::array<char, kWordLength> command_{};
  std::array<std::string, kMaxArguments> arguments_{};
  std::uint32_t parseState_ = kOutside;
  std::uint32_t charIndex_ = 0;
};

}  // namespace vantorellabs
