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
  // The 8 KB lock region holding this flash address stays locked: erasing or programming
  // it raises a lock error, and so does unlocking it.
  std::optional<uint32_t> lockedAddress;
  // The n-th flash operation of the run (counted from 1: controller commands, automatic
  // page writes, the chip erase) is refused with a command error (0: none).
  uint64_t commandErrorAt = 0;
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
  // Programs `size` bytes of flash from `offset` (only clearing bits) during cycles
  // [start, end). A system reset before the end leaves the bytes not yet reached as they
  // were, as a real part leaves a page it was cut off from.
  void programPage(uint32_t offset, const uint8_t* data, uint32_t size, uint64_t start,
                   uint64_t end);
  // Whether [address, address + size) overlaps the lock region that the faults keep locked.
  bool lockedByFault(uint32_t address, uint32_t size) const;
  // Counts one flash operation; true when the faults refuse it.
  bool refusedByFault() { return ++operations_ == faults_.commandErrorAt; }

  std::vector<uint8_t> flash_;
  uint32_t gpnvm_ = 0;

 private:
  std::vector<uint8_t> sram_ = std::vector<uint8_t>(0x8000, 0);
  uint32_t dhcsrControl_ = 0;
  uint32_t demcr_ = 0;
  bool coreHalted_ = false;
  uint64_t resetUntil_ = 0;
  std::vector<std::string> events_;
  uint64_t operations_ = 0;
  // The page being programmed: where, its bytes before, and its programming time.
  uint32_t programmingOffset_ = 0;
  std::vector<uint8_t> programmingBefore_;
  uint64_t programmingStart_ = 0;
  uint64_t programmingEnd_ = 0;
  ChipFaults faults_;
};

}  // namespace swdmodel
