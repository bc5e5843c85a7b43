#include "sys/TextEscape.h"

#include "sys/Shell.h"

namespace vantorellabs {

std::string xmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
        break;
    }
  }
  return escaped;
}

std::string sedReplacementEscape(std::string_view text, char delimiter) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '&' || c == '\n' || c == delimiter) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string shellWord(const std::string& text) {
  static constexpr std::string_view kLiteralPunctuation = "-_./:=+,@%";
  bool literal = !text.empty();
  for (char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       kLiteralPunctuation.find(c) != std::string_view::npos;
    if (!plain) literal = false;
  }
  return literal ? text : shellQuote(text);
}

}  // namespace vantorellabs
