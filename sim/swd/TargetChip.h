#pragma once

// The microcontroller behind the debug port's memory access port: its memory map, the core
// debug registers and the flash controllers of the two families, with real flash
// semantics (erase sets bytes to 0xFF, programming only clears bits, controllers are busy
// for a while after each command). Time is counted in SWD clock cycles, so a run of the
// model is the same on any machine.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace swdmodel {

enum class Family { kM4, kM0Plus };

// What one 32-bit bus access did. The bus stays stalled (the access port answers WAIT)
// until cycle `readyAt`.
struct BusAccess {
  bool ok = true;
  uint32_t value = 0;
  uint64_t readyAt = 0;
};

// Faults the tests ask for.
struct ChipFaults {
  std::optional<uint32_t> busErrorAddress;  // every access to this word fails on the bus
  bool flashNeverReady = false;             // the controllers never report ready again
};

class TargetChip {
 public:
  static std::unique_ptr<TargetChip> create(Family family);
  virtual ~TargetChip() = default;

  BusAccess read(uint32_t address, uint64_t now);
  BusAccess write(uint32_t address, uint32_t value, uint64_t now);

  virtual uint32_t idcode() const = 0;
  std::vector<uint8_t>& flash() { return flash_; }
  // General-purpose NVM bits (M4 family: bit 1 boots from flash).
  uint32_t& gpnvm() { return gpnvm_; }
  bool coreHalted() const { return coreHalted_; }
  // What the flash controllers and the core did, one line each, in order.
  const std::vector<std::string>& events() const { return events_; }
  ChipFaults& faults() { return faults_; }

 protected:
  explicit TargetChip(uint32_t flashSize) : flash_(flashSize, 0xFF) {}
  // Peripheral and flash accesses of the family; false when nothing is mapped there.
  virtual bool readChip(uint32_t address, uint64_t now, BusAccess* access) = 0;
  virtual bool writeChip(uint32_t address, uint32_t value, uint64_t now, BusAccess* access) = 0;
  // A system reset request: peripherals back to their reset state.
  virtual void systemReset() = 0;
  void event(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool ready(uint64_t busyUntil, uint64_t now) const {
    return !faults_.flashNeverReady && now >= busyUntil;
  }
  static uint32_t loadWord(const uint8_t* bytes);
  static void storeWord(uint8_t* bytes, uint32_t value);

  std::vector<uint8_t> flash_;
  uint32_t gpnvm_ = 0;

 private:
  std::vector<uint8_t> sram_ = std::vector<uint8_t>(0x8000, 0);
  uint32_t dhcsrControl_ = 0;
  uint32_t demcr_ = 0;
  bool coreHalted_ = false;
  uint64_t resetUntil_ = 0;
  std::vector<std::string> events_;
  ChipFaults faults_;
};

}  // namespace swdmodel
