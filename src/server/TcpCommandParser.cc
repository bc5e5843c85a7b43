#include "server/TcpCommandParser.h"

namespace vantorellabs {

void TcpCommandParser::clear() {
  argumentCount_ = 0;
  command_.fill('\0');
  for (std::string& argument : arguments_) argument.clear();
  parseState_ = kOutside;
  charIndex_ = 0;
}

TcpCommand TcpCommandParser::complete() {
  TcpCommand done;
  done.text = "(" + std::string(command_.data(), command_.size());
  // An argument only ends at a space after its first character, so the non-empty
  // arguments come first.
  for (const std::string& argument : arguments_) {
    if (argument.empty()) break;
    done.text += " " + argument;
    ++done.argumentCount;
  }
  done.text += ")";
  clear();
  return done;
}

std::optional<TcpCommand> TcpCommandParser::feed(char b) {
  if (charIndex_ >= kFieldSize) {
    clear();
    return std::nullopt;
  }
  if (parseState_ == kOutside) {
    if (b == '(') {
      parseState_ = kWord;
      charIndex_ = 0;
    }
    return std::nullopt;
  }
  if (parseState_ == kWord) {
    if (b == '(') {
      charIndex_ = 0;
    } else if (charIndex_ == kWordLength) {
      if (b == ' ') {
        parseState_ = kFirstArgument;
        charIndex_ = 0;
      } else if (b == ')') {
        return complete();
      } else {
        clear();
      }
    } else {
      command_[charIndex_++] = b;
    }
    return std::nullopt;
  }
  // In an argument.
  std::string& argument = arguments_[parseState_ - kFirstArgument];
  if (b == ')') return complete();
  if (b == ' ') {
    if (!argument.empty() && parseState_ < kLastArgument) {
      ++parseState_;
      argumentCount_ = static_cast<std::uint8_t>(parseState_ - kFirstArgument);
      charIndex_ = 0;
    }
    return std::nullopt;
  }
  argument.push_back(b);
  ++charIndex_;
  return std::nullopt;
}

}  // namespace vantorellabs
