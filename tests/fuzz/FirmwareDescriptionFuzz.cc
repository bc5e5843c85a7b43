// A sw-description or server template as it comes from a downloaded image: the version,
// the description's three parts and the version comparison must take any bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "sys/Utf8.h"
#include "update/FirmwareDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorellabs;
  const std::string text(reinterpret_cast<const char*>(data), size);
  FirmwareDescription update;
  if (const auto version = quotedValue(text, "version")) {
    update.version = toValidUtf8(*version);
    isNewerVersion(*version, "1.1.0");
    isNewerVersion("1.4.2", *version);
  }
  if (const auto description = quotedValue(text, "description")) {
    applyDescriptionText(update, *description);
    toValidUtf8(update.description);
    toValidUtf8(update.releaseNotes);
  }
  return 0;
}
