#include "core/Identity.h"

#include <cstdio>
#include <regex>

#include "sys/BoardPaths.h"
#include "sys/ReadFile.h"

namespace vantorellabs {

namespace {

constexpr float kK40MinimumMillivolts = 1000.0F;
constexpr std::size_t kReadingLineBytes = 127;

// The value of the last line of the output that parses as a number.
bool lastNumber(const std::string& output, float& value) {
  bool found = false;
  std::size_t pos = 0;
  while (pos < output.size()) {
    std::string line = firstLine(output.substr(pos), kReadingLineBytes);
    pos += line.size();
    float parsed = 0.0F;
    if (std::sscanf(line.c_str(), "%f", &parsed) == 1) {
      value = parsed;
      found = true;
    }
  }
  return found;
}

}  // namespace

ModelReading detectModel(Shell& shell) {
  const auto raw = shell.capture(std::string("cat ") + kIioRawPath);
  const auto scale = shell.capture(std::string("cat ") + kIioScalePath);
  ModelReading reading;
  if (!raw || !scale) {
    reading.status = ModelReading::Status::PipeFailed;
    return reading;
  }
  float rawValue = 0.0F;
  float scaleValue = 0.0F;
  if (!lastNumber(*raw, rawValue) || !lastNumber(*scale, scaleValue)) return reading;
  reading.status = ModelReading::Status::Ok;
  const float millivolts = rawValue * scaleValue;
  reading.model =
      millivolts < kK40MinimumMillivolts ? DeviceState::kModelK7100 : DeviceState::kModelK40;
  return reading;
}

std::string readFirmwareVersion(const char* issuePath) {
  const std::optional<std::string> file = readWholeFile(issuePath);
  if (!file) return "0.0.0";
  const std::string& text = *file;
  static const std::regex kVersion(R"(\d+\.\d+\.\d+)", std::regex::ECMAScript);
  std::smatch match;
  if (std::regex_search(text, match, kVersion)) return match.str();
  return "0.0.0";
}

std::string modelString(int model) {
  if (model == DeviceState::kModelK40) return "K40";
  if (model == DeviceState::kModelK7100) return "K7100";
  return "";
}

int apiModelNumber(int model) {
  if (model == DeviceState::kModelK40) return 1;
  if (model == DeviceState::kModelK7100) return 2;
  return 0;
}

std::string defaultProductName(const DeviceState& state) {
  return modelString(state.model()) + "-" + state.serialNumber();
}

std::string productUuid(const DeviceState& state) {
  std::string uuid = "FFFF";
  if (state.model() == DeviceState::kModelK40) uuid += "0001";
  if (state.model() == DeviceState::kModelK7100) uuid += "0002";
  uuid += "-0100-0000-00";
  std::string hex;
  char digits[3];
  for (char c : state.serialNumber()) {
    std::snprintf(digits, sizeof digits, "%02X",
                  static_cast<unsigned>(static_cast<unsigned char>(c)));
    hex += digits;
  }
  // The serial number's first byte closes the fourth group; the rest is the fifth.
  if (hex.size() >= 2) hex.insert(2, "-");
  return uuid + hex;
}

}  // namespace vantorellabs
