#pragma once

#include <string>
#include <string_view>

namespace vantorellabs {

// Escapes for text that outside data (a product name, a serial number) carries into a
// file or a command line. Each handles one layer; a text bound for an XML file edited by
// sed through the shell goes through all three, innermost first:
//   shellQuote("s|...|" + sedReplacementEscape(xmlEscape(value), '|') + "|")

// The five XML special characters as entities, so the text is character data that
// neither ends nor opens an element.
std::string xmlEscape(std::string_view text);

// The text as the literal replacement of a sed "s" command delimited by `delimiter`:
// backslash, '&' (the whole match), the delimiter and line ends are escaped.
std::string sedReplacementEscape(std::string_view text, char delimiter);

// The text as one shell word: unchanged when it holds only characters that the shell
// takes literally, quoted otherwise (see shellQuote).
std::string shellWord(const std::string& text);

}  // namespace vantorellabs
