#pragma once

#include <string>

#include "core/DeviceState.h"
#include "sys/Shell.h"

namespace vantorellabs {

// The model from the board's IIO voltage: below 1000 mV the board sits in a K7100,
// otherwise in a K40. A reading that yields no number at all is reported as such, so that
// the caller refuses to start rather than guess a model.
struct ModelReading {
  enum class Status { Ok, PipeFailed, NoNumber };
  Status status = Status::NoNumber;
  int model = DeviceState::kModelK40;
};
ModelReading detectModel(Shell& shell);

// The first "major.minor.patch" in the issue file, or "0.0.0".
std::string readFirmwareVersion(const char* issuePath);

std::string modelString(int model);
int apiModelNumber(int model);
std::string defaultProductName(const DeviceState& state);
std::string productUuid(const DeviceState& state);

}  // namespace vantorellabs
