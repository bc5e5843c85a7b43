#include "core/DeviceState.h"

namespace vantorellabs {

std::string DeviceState::serialNumber() const {
  std::lock_guard<std::mutex> lock(textMutex_);
  return serialNumber_;
}

bool DeviceState::setSerialNumber(const std::string& serial) {
  if (serial.size() != kSerialNumberLength) return false;
  std::lock_guard<std::mutex> lock(textMutex_);
  serialNumber_ = serial;
  return true;
}

bool DeviceState::setPoweredOnFlag(char flag) {
  if (flag != '0' && flag != '1') return false;
  isPoweredOn_ = (flag == '1');
  return true;
}

bool DeviceState::setSchedule(char value) {
  if (value < '0' || value > '7') return false;
  schedule_ = value;
  return true;
}

}  // namespace vantorellabs
