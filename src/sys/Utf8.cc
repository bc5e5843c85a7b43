#include "sys/Utf8.h"

#include <cstddef>
#include <cstdint>

namespace vantorellabs {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The length of the character that `lead` starts, with the range its second byte must
// fall in: that range is what rules out overlong forms, UTF-16 surrogates and code
// points above U+10FFFF. Zero for a byte that cannot start a character.
struct LeadRule {
  std::size_t length;
  std::uint8_t secondMin;
  std::uint8_t secondMax;
};

LeadRule leadRule(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// How many bytes of a valid character start at `at`: its whole length, or the number of
// bytes that are a correct beginning of one when the text ends first (as a negative
// count), or 0 when the byte at `at` cannot begin a character here.
long validPrefix(std::string_view bytes, std::size_t at) {
  const LeadRule rule = leadRule(static_cast<std::uint8_t>(bytes[at]));
  if (rule.length == 0) return 0;
  for (std::size_t i = 1; i < rule.length; ++i) {
    if (at + i >= bytes.size()) return -static_cast<long>(i);
    const auto byte = static_cast<std::uint8_t>(bytes[at + i]);
    const bool fits =
        i == 1 ? byte >= rule.secondMin && byte <= rule.secondMax : isContinuation(byte);
    if (!fits) return 0;
  }
  return static_cast<long>(rule.length);
}

// Whether a whole character of valid UTF-8 may stand in a one-line XML text. Valid UTF-8
// holds no surrogates and nothing above U+10FFFF, so only the control bytes and the two
// noncharacters at the end of the Basic Multilingual Plane are left to rule out.
bool isXmlTextCharacter(std::string_view character) {
  if (character.size() == 1) {
    const auto byte = static_cast<std::uint8_t>(character[0]);
    return byte >= 0x20 && byte != 0x7F;
  }
  return character != "\xEF\xBF\xBE" && character != "\xEF\xBF\xBF";  // U+FFFE, U+FFFF
}

}  // namespace

std::string toValidUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const long length = validPrefix(bytes, at);
    if (length < 0) break;  // a character cut off by the end of the text
    if (length == 0) {
      text += kReplacement;
      ++at;
      continue;
    }
    text.append(bytes.substr(at, static_cast<std::size_t>(length)));
    at += static_cast<std::size_t>(length);
  }
  return text;
}

std::string toXmlText(std::string_view bytes) {
  const std::string valid = toValidUtf8(bytes);
  const std::string_view view(valid);
  std::string text;
  text.reserve(valid.size());
  for (std::size_t at = 0; at < view.size();) {
    const std::size_t length = leadRule(static_cast<std::uint8_t>(view[at])).length;
    const std::string_view character = view.substr(at, length);
    if (isXmlTextCharacter(character)) text.append(character);
    at += length;
  }
  return text;
}

}  // namespace vantorellabs
