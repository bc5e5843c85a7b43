#pragma once

#include <string>
#include <string_view>

namespace vantorellabs {

// Makes bytes from the board or the amplifier fit for a protobuf `string` field, which
// strict clients reject unless it is valid UTF-8. Valid UTF-8 passes unchanged; a
// character cut off at the very end (a text truncated to fit a frame) is dropped; every
// other byte that cannot start or continue a valid character becomes U+FFFD.
std::string toValidUtf8(std::string_view bytes);

// Outside text bound for one line of an XML file: valid UTF-8 as toValidUtf8 makes it,
// without the characters that XML 1.0 does not allow (control characters, U+FFFE, U+FFFF)
// and without the tab, line ends and DEL that it allows but that would break the line.
// One such character is enough for an XML parser to reject the whole file.
std::string toXmlText(std::string_view bytes);

}  // namespace vantorellabs
