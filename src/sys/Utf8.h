#pragma once

#include <string>
#include <string_view>

namespace vantorellabs {

// Makes bytes from the board or the amplifier fit for a protobuf `string` field, which
// strict clients reject unless it is valid UTF-8. Valid UTF-8 passes unchanged; a
// character cut off at the very end (a text truncated to fit a frame) is dropped; every
// other byte that cannot start or continue a valid character becomes U+FFFD.
std::string toValidUtf8(std::string_view bytes);

}  // namespace vantorellabs
