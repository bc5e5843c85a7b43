#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace vantorellabs {

// The mirror of the amplifier that several parts of the daemon share. The main thread
// writes it as the controller reports; RPC threads and the TCP side server read it at any
// time. Single-byte fields are atomics; the text fields are read as copies taken under a
// lock, because the serial number report replaces a text that another thread may be
// reading.
class DeviceState {
 public:
  static constexpr const char* kUnknownSerialNumber = "#######";
  static constexpr std::size_t kSerialNumberLength = 7;
  static constexpr int kModelK40 = 0;
  static constexpr int kModelK7100 = 1;

  DeviceState(int model, std::string firmwareVersion)
      : model_(model), firmwareVersion_(std::move(firmwareVersion)) {}

  // Fixed at start-up.
  int model() const { return model_; }
  std::string firmwareVersion() const { return firmwareVersion_; }

  std::string serialNumber() const;
  // Accepts only a serial number of exactly seven characters; returns whether it did.
  bool setSerialNumber(const std::string& serial);

  bool isPoweredOn() const { return isPoweredOn_.load(); }
  // Accepts the flag characters '0' and '1' only; returns whether it did.
  bool setPoweredOnFlag(char flag);

  // The controller's product state: '0' and '1' are settled, '2'..'7' mean the amplifier is
  // changing state.
  char schedule() const { return schedule_.load(); }
  bool isSettled() const {
    const char s = schedule();
    return s == '0' || s == '1';
  }
  // Accepts the digits '0'..'7' only; returns whether it did.
  bool setSchedule(char value);

  // What the DA module told about itself. 255 in all three while a DA handshake runs.
  std::atomic<std::uint8_t> daVersionMajor{0};
  std::atomic<std::uint8_t> daVersionMinor{0};
  std::atomic<std::uint8_t> daModuleType{0};
  void clearDaInfo() {
    daVersionMajor = 0;
    daVersionMinor = 0;
    daModuleType = 0;
  }

 private:
  const int model_;
  const std::string firmwareVersion_;
  mutable std::mutex textMutex_;
  std::string serialNumber_{kUnknownSerialNumber};
  std::atomic<bool> isPoweredOn_{false};
  std::atomic<char> schedule_{'0'};
};

}  // namespace vantorellabs
