#include <gtest/gtest.h>

#include <string>

#include "sys/Utf8.h"

namespace vantorellabs {
namespace {

struct Utf8Case {
  const char* what;
  std::string bytes;
  std::string expected;
};

TEST(Utf8Test, InvalidBytesBecomeReplacementCharactersAndCutEndsAreDropped) {
  const std::string r = "\xEF\xBF\xBD";
  const Utf8Case cases[] = {
      {"ascii", "Phono 2", "Phono 2"},
      {"two, three and four byte characters", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5",
       "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
      // A Latin-1 byte at the very end reads as the start of a character that was cut.
      {"latin-1 e acute at the end", "Caf\xE9", "Caf"},
      {"latin-1 inside", "Caf\xE9 au lait", "Caf" + r + " au lait"},
      {"cut at the end after one of three bytes", "Track \xE2", "Track "},
      {"cut at the end after two of three bytes", "Track \xE2\x82", "Track "},
      {"cut at the end after three of four bytes", "x\xF0\x9F\x8E", "x"},
      {"cut in the middle", "a\xE2\x82z", "a" + r + r + "z"},
      {"stray continuation bytes", "\x80\xBF", r + r},
      {"overlong slash", "\xC0\xAF", r + r},
      {"overlong three-byte form", "\xE0\x80\xAF", r + r + r},
      {"UTF-16 surrogate", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"bytes that never start a character", "\xF5\xFF\xFE", r + r + r},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(toValidUtf8(c.bytes), c.expected) << c.what;
}

// Characters at the edges of what XML 1.0 allows (tab and line ends too, which a
// one-line record cannot hold).
TEST(Utf8Test, XmlTextKeepsOnlyWhatXmlAllowsOnALine) {
  const Utf8Case cases[] = {
      {"control bytes and DEL go, space and tilde stay",
       std::string("a\x01\t\n\rb\x1F\x7F\0 ~", 11), "ab ~"},
      {"U+D7FF, U+E000, U+10000 and U+10FFFF stay", "\uD7FF\uE000\U00010000\U0010FFFF",
       "\uD7FF\uE000\U00010000\U0010FFFF"},
      {"U+FFFD stays, U+FFFE and U+FFFF go", "\uFFFD\uFFFE\uFFFF", "\uFFFD"},
      {"invalid bytes become U+FFFD first", "Den \xFF\xEF\xBF", "Den \uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(toXmlText(c.bytes), c.expected) << c.what;
}

}  // namespace
}  // namespace vantorellabs
