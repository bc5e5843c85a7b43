#include "update/FirmwareDescription.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace vantorellabs {

namespace {

// One number as "%d" reads it, refusing what does not fit an int (where sscanf's result
// would be undefined). Moves `at` past it.
bool readNumber(const char*& at, int& value) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(at, &end, 10);
  if (end == at || errno == ERANGE || n > INT_MAX || n < INT_MIN) return false;
  value = static_cast<int>(n);
  at = end;
  return true;
}

}  // namespace

std::optional<FirmwareVersion> FirmwareVersion::parse(const std::string& text) {
  FirmwareVersion v;
  const char* at = text.c_str();
  if (!readNumber(at, v.major) || *at++ != '.' || !readNumber(at, v.minor) || *at++ != '.' ||
      !readNumber(at, v.patch)) {
    return std::nullopt;
  }
  return v;
}

bool FirmwareVersion::operator<(const FirmwareVersion& other) const {
  return std::tie(major, minor, patch) < std::tie(other.major, other.minor, other.patch);
}

bool isNewerVersion(const std::string& candidate, const std::string& baseline) {
  const auto c = FirmwareVersion::parse(candidate);
  const auto b = FirmwareVersion::parse(baseline);
  return c && b && *b < *c;
}

std::optional<std::string> quotedValue(const std::string& fileText, const std::string& key) {
  std::size_t start = 0;
  while (start < fileText.size()) {
    std::size_t end = fileText.find('\n', start);
    if (end == std::string::npos) end = fileText.size();
    const std::string line = fileText.substr(start, end - start);
    if (line.find(key) != std::string::npos) {
      const std::size_t open = line.find('"');
      if (open == std::string::npos) return std::nullopt;
      const std::size_t close = line.find('"', open + 1);
      if (close == std::string::npos) return std::nullopt;
      return line.substr(open + 1, close - open - 1);
    }
    start = end + 1;
  }
  return std::nullopt;
}

namespace {

std::vector<std::string> splitAtColons(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

std::optional<std::int64_t> decimalSeconds(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

void applyDescriptionText(FirmwareDescription& update, const std::string& text) {
  const std::vector<std::string> parts = splitAtColons(text);
  if (parts.size() < 3) return;
  update.hasDetails = true;
  update.description = parts[0];
  update.releaseDate = decimalSeconds(parts[1]);
  update.releaseNotes = parts[2];
}

}  // namespace vantorellabs
