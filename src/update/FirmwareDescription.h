#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// A firmware version, three numbers compared most significant first: 1.10.0 is newer than
// 1.9.0.
struct FirmwareVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;

  // "major.minor.patch" as the C library's "%d.%d.%d" reads it; nothing unless all three
  // numbers are there.
  static std::optional<FirmwareVersion> parse(const std::string& text);
  bool operator<(const FirmwareVersion& other) const;
};

// Whether candidate names a version above baseline; false when either cannot be read.
bool isNewerVersion(const std::string& candidate, const std::string& baseline);

// What an image (or the server's template) says about itself. `id` and `version` are the
// version text; the other fields are there only when the description has all three parts.
struct FirmwareDescription {
  std::string id;
  std::string version;
  bool hasDetails = false;
  std::string description;
  std::optional<std::int64_t> releaseDate;
  std::string releaseNotes;
  std::optional<std::uint64_t> size;
};

// The text between the first and the second double quote of the first line that contains
// key ("version = \"1.2.0\";" gives 1.2.0); nothing without such a line or quotes.
std::optional<std::string> quotedValue(const std::string& fileText, const std::string& key);

// Fills description, release date and release notes from a description text
// "description:seconds:notes"; leaves them unset when it has fewer than three parts. A date
// that is not a decimal number stays unset.
void applyDescriptionText(FirmwareDescription& update, const std::string& text);

}  // namespace vantorellabs
