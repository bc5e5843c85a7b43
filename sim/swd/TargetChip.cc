#include "TargetChip.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

namespace swdmodel {

namespace {

constexpr uint32_t kSramBase = 0x20000000;
constexpr uint32_t kDhcsr = 0xE000EDF0;
constexpr uint32_t kDemcr = 0xE000EDFC;
constexpr uint32_t kAircr = 0xE000ED0C;
constexpr uint32_t kDhcsrKey = 0xA05F;
constexpr uint32_t kDhcsrDebugEnable = 1u << 0;
constexpr uint32_t kDhcsrHalt = 1u << 1;
constexpr uint32_t kDhcsrRegisterReady = 1u << 16;
constexpr uint32_t kDhcsrHalted = 1u << 17;
constexpr uint32_t kDemcrCatchReset = 1u << 0;
constexpr uint32_t kAircrKey = 0x05FA;
constexpr uint32_t kAircrReadKey = 0xFA050000;
constexpr uint32_t kAircrResetRequest = 1u << 2;
// The system reset keeps the bus busy for a while; the access port answers WAIT meanwhile.
constexpr uint64_t kResetCycles = 100;
// Both families lock their flash in regions of 8 KB.
constexpr uint32_t kLockRegionSize = 0x2000;

// ---------------------------------------------------------------------------------------
// M4 family: 512 KB of flash at 0x400000 in 512-byte pages, an enhanced embedded flash
// controller with a page latch that flash writes fill.

constexpr uint32_t kM4FlashBase = 0x00400000;
constexpr uint32_t kM4FlashSize = 0x80000;
constexpr uint32_t kM4PageSize = 512;
constexpr uint32_t kM4Pages = kM4FlashSize / kM4PageSize;
constexpr uint32_t kM4ChipId = 0xA3CC0CE0;
constexpr uint32_t kM4ChipExId = 0x00120209;
constexpr uint32_t kEefcBase = 0x400E0A00;  // plane 0; the part has one plane
constexpr uint32_t kEefcKey = 0x5A;
constexpr uint32_t kFsrReady = 1u << 0;
constexpr uint32_t kFsrCommandError = 1u << 1;
constexpr uint32_t kFsrLockError = 1u << 2;
constexpr uint64_t kWritePageCycles = 400;
constexpr uint64_t kErasePagesCycles = 2000;
constexpr uint64_t kEraseAllCycles = 20000;
constexpr uint64_t kGpnvmCycles = 100;

class M4Chip : public TargetChip {
 public:
  M4Chip() : TargetChip(kM4FlashSize) { latch_.fill(0xFF); }
  uint32_t idcode() const override { return 0x2BA01477; }

 protected:
  bool readChip(uint32_t address, uint64_t now, BusAccess* access) override {
    if (address >= kM4FlashBase && address < kM4FlashBase + kM4FlashSize) {
      // The flash cannot be read while it is being programmed: the bus waits.
      access->readyAt = std::max(now, busyUntil_);
      access->value = loadWord(&flash_[address - kM4FlashBase]);
      return true;
    }
    switch (address) {
      case 0x400E0740:
        access->value = kM4ChipId;
        return true;
      case 0x400E0744:
        access->value = kM4ChipExId;
        return true;
      case kEefcBase:  // FMR
        access->value = fmr_;
        return true;
      case kEefcBase + 4:  // FCR reads as 0
        access->value = 0;
        return true;
      case kEefcBase + 8:  // FSR: the error flags clear when read
        access->value = (ready(busyUntil_, now) ? kFsrReady : 0u) | errors_;
        errors_ = 0;
        return true;
      case kEefcBase + 12:  // FRR
        access->value = result_;
        return true;
      default:
        return false;
    }
  }

  bool writeChip(uint32_t address, uint32_t value, uint64_t now, BusAccess*) override {
    if (address >= kM4FlashBase && address < kM4FlashBase + kM4FlashSize) {
      storeWord(&latch_[(address - kM4FlashBase) % kM4PageSize], value);
      return true;
    }
    if (address == kEefcBase) {
      fmr_ = value;
      return true;
    }
    if (address == kEefcBase + 4) {
      command(value, now);
      return true;
    }
    return address == kEefcBase + 8 || address == kEefcBase + 12;
  }

  void systemReset() override {
    latch_.fill(0xFF);
    errors_ = 0;
    busyUntil_ = 0;
  }

 private:
  void command(uint32_t value, uint64_t now) {
    const uint32_t key = value >> 24;
    const uint32_t code = value & 0xFF;
    const uint32_t argument = (value >> 8) & 0xFFFF;
    if (key != kEefcKey || !ready(busyUntil_, now) || refusedByFault()) return reject(value);
    switch (code) {
      case 0x01: {  // write page: programming only clears bits
        if (argument >= kM4Pages) return reject(value);
        if (lockedByFault(kM4FlashBase + argument * kM4PageSize, kM4PageSize)) {
          latch_.fill(0xFF);
          return lockError(value, now + kWritePageCycles);
        }
        programPage(argument * kM4PageSize, latch_.data(), kM4PageSize, now,
                    now + kWritePageCycles);
        latch_.fill(0xFF);
        busyUntil_ = now + kWritePageCycles;
        event("write page %u", argument);
        return;
      }
      case 0x05:
        if (lockedByFault(kM4FlashBase, kM4FlashSize)) {
          return lockError(value, now + kEraseAllCycles);
        }
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        busyUntil_ = now + kEraseAllCycles;
        event("erase all");
        return;
      case 0x07: {  // erase 4, 8, 16 or 32 pages, aligned to their count
        const uint32_t count = 4u << (argument & 3);
        const uint32_t first = argument & ~3u;
        if (first % count != 0 || first + count > kM4Pages) return reject(value);
        if (lockedByFault(kM4FlashBase + first * kM4PageSize, count * kM4PageSize)) {
          return lockError(value, now + kErasePagesCycles);
        }
        std::fill_n(flash_.begin() + first * kM4PageSize, count * kM4PageSize, 0xFF);
        busyUntil_ = now + kErasePagesCycles;
        event("erase pages %u-%u", first, first + count - 1);
        return;
      }
      case 0x0B:
      case 0x0C:
        if (argument > 2) return reject(value);
        if (code == 0x0B) {
          gpnvm_ |= 1u << argument;
        } else {
          gpnvm_ &= ~(1u << argument);
        }
        busyUntil_ = now + kGpnvmCycles;
        event("%s gpnvm bit %u", code == 0x0B ? "set" : "clear", argument);
        return;
      case 0x0D:
        result_ = gpnvm_;
        return;
      default:
        return reject(value);
    }
  }

  void reject(uint32_t value) {
    errors_ |= kFsrCommandError;
    event("command error 0x%08x", value);
  }

  // A locked region is left as it is, but the controller still takes its time: the flag
  // shows in the status reads before it is ready again.
  void lockError(uint32_t value, uint64_t busyUntil) {
    errors_ |= kFsrLockError;
    busyUntil_ = busyUntil;
    event("lock error 0x%08x", value);
  }

  std::array<uint8_t, kM4PageSize> latch_{};
  uint64_t busyUntil_ = 0;
  uint32_t errors_ = 0;
  uint32_t fmr_ = 0;
  uint32_t result_ = 0;
};

// ---------------------------------------------------------------------------------------
// M0+ family: 128 KB of flash at 0 in 64-byte pages, 256-byte rows and 8 KB lock regions;
// an NVM controller with a page buffer, and the device service unit's chip erase.

constexpr uint32_t kM0FlashSize = 0x20000;
constexpr uint32_t kM0PageSize = 64;
constexpr uint32_t kM0RowSize = 256;
constexpr uint32_t kM0RegionSize = 0x2000;
constexpr uint32_t kDsuCtrlStatus = 0x41002100;
constexpr uint32_t kDsuDid = 0x41002118;
constexpr uint32_t kDsuDidValue = 0x10010305;
constexpr uint32_t kDsuChipErase = 1u << 4;
constexpr uint32_t kDsuDone = 1u << 0;             // in STATUSA
constexpr uint32_t kDsuFail = 1u << 3;             // in STATUSA
constexpr uint32_t kDsuDebuggerPresent = 1u << 1;  // in STATUSB
constexpr uint32_t kNvmBase = 0x41004000;
constexpr uint32_t kNvmKey = 0xA5;
constexpr uint32_t kNvmManualWrite = 1u << 7;
constexpr uint32_t kNvmParam = 0x00030800;  // 64-byte pages, 2048 of them
constexpr uint32_t kNvmReady = 1u << 0;
constexpr uint32_t kNvmError = 1u << 1;
constexpr uint32_t kNvmProgrammingError = 1u << 2;
constexpr uint32_t kNvmLockError = 1u << 3;
constexpr uint32_t kNvmNvmError = 1u << 4;
// The lock bits that the user row gives at every reset: every region locked, as the
// firmware leaves them; a programmer must unlock before it writes.
constexpr uint32_t kLockAtReset = 0x0000;
constexpr uint64_t kNvmWritePageCycles = 1000;
constexpr uint64_t kNvmEraseRowCycles = 1200;
constexpr uint64_t kNvmLockCycles = 100;
constexpr uint64_t kChipEraseCycles = 30000;

class M0PlusChip : public TargetChip {
 public:
  M0PlusChip() : TargetChip(kM0FlashSize) { systemReset(); }
  uint32_t idcode() const override { return 0x0BC11477; }

 protected:
  bool readChip(uint32_t address, uint64_t now, BusAccess* access) override {
    if (address < kM0FlashSize) {
      access->readyAt = std::max(now, busyUntil_);
      access->value = loadWord(&flash_[address]);
      return true;
    }
    if (address == kDsuCtrlStatus) {
      if (chipEraseRunning_ && ready(chipEraseDoneAt_, now)) {
        chipEraseRunning_ = false;
        dsuStatusA_ |= kDsuDone;
      }
      access->value = dsuStatusA_ << 8 | kDsuDebuggerPresent << 16;
      return true;
    }
    if (address == kDsuDid || address == kDsuDid + 4) {
      access->value = address == kDsuDid ? kDsuDidValue : 0;
      return true;
    }
    switch (address - kNvmBase) {
      case 0x00:  // CTRLA
        access->value = 0;
        return true;
      case 0x04:
        access->value = ctrlB_;
        return true;
      case 0x08:
        access->value = kNvmParam;
        return true;
      case 0x14:  // INTFLAG
        access->value = (ready(busyUntil_, now) ? kNvmReady : 0u) | intFlagError_;
        return true;
      case 0x18:
        access->value = status_;
        return true;
      case 0x1C:
        access->value = addr_;
        return true;
      case 0x20:
        access->value = lock_;
        return true;
      default:
        return false;
    }
  }

  bool writeChip(uint32_t address, uint32_t value, uint64_t now, BusAccess* access) override {
    if (address < kM0FlashSize) {
      // Page buffer writes wait while the controller is busy; with automatic page write
      // the page's last word starts its programming.
      const uint64_t at = std::max(now, busyUntil_);
      access->readyAt = at;
      storeWord(&pageBuffer_[address % kM0PageSize], value);
      addr_ = address / 2;
      if ((ctrlB_ & kNvmManualWrite) == 0 && address % kM0PageSize == kM0PageSize - 4) {
        const uint32_t page = address - address % kM0PageSize;
        if (refusedByFault()) {
          pageBuffer_.fill(0xFF);
          fail(kNvmProgrammingError, "page write refused", page);
        } else {
          writePage(page, at);
        }
      }
      return true;
    }
    if (address == kDsuCtrlStatus) {
      dsuStatusA_ &= ~((value >> 8) & 0xFF);  // write one to clear
      if ((value & kDsuChipErase) != 0 && refusedByFault()) {
        dsuStatusA_ |= kDsuDone | kDsuFail;
        event("chip erase failed");
      } else if ((value & kDsuChipErase) != 0) {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        chipEraseRunning_ = true;
        chipEraseDoneAt_ = now + kChipEraseCycles;
        dsuStatusA_ &= ~kDsuDone;
        event("chip erase");
      }
      return true;
    }
    switch (address - kNvmBase) {
      case 0x00: {
        // A command written while the controller is busy waits for it (the bus stalls).
        const uint64_t at = std::max(now, busyUntil_);
        access->readyAt = at;
        command(value & 0xFFFF, at);
        return true;
      }
      case 0x04:
        ctrlB_ = value;
        return true;
      case 0x14:
        intFlagError_ &= ~(value & kNvmError);
        return true;
      case 0x18:
        status_ &= ~(value & (kNvmProgrammingError | kNvmLockError | kNvmNvmError));
        return true;
      case 0x1C:
        addr_ = value & 0x3FFFFF;
        return true;
      case 0x08:
      case 0x20:
        return true;
      default:
        return false;
    }
  }

  void systemReset() override {
    ctrlB_ = kNvmManualWrite;
    lock_ = kLockAtReset;
    pageBuffer_.fill(0xFF);
    status_ = 0;
    intFlagError_ = 0;
    busyUntil_ = 0;
  }

 private:
  bool locked(uint32_t byteAddress) const {
    return (lock_ & (1u << (byteAddress / kM0RegionSize))) == 0;
  }

  void fail(uint32_t statusBit, const char* what, uint32_t value) {
    status_ |= statusBit;
    intFlagError_ = kNvmError;
    event("%s 0x%05x", what, value);
  }

  void writePage(uint32_t pageAddress, uint64_t at) {
    if (pageAddress >= kM0FlashSize)
      return fail(kNvmProgrammingError, "page out of range", pageAddress);
    if (locked(pageAddress)) {
      pageBuffer_.fill(0xFF);
      return fail(kNvmLockError, "write to locked page", pageAddress);
    }
    programPage(pageAddress, pageBuffer_.data(), kM0PageSize, at, at + kNvmWritePageCycles);
    pageBuffer_.fill(0xFF);
    busyUntil_ = at + kNvmWritePageCycles;
    event("write page %u", pageAddress / kM0PageSize);
  }

  void command(uint32_t value, uint64_t at) {
    const uint32_t byteAddress = addr_ * 2;
    if ((value >> 8) != kNvmKey) return fail(kNvmProgrammingError, "command without key", value);
    if (refusedByFault()) return fail(kNvmProgrammingError, "command refused", value);
    switch (value & 0x7F) {
      case 0x02: {  // erase row
        const uint32_t row = byteAddress - byteAddress % kM0RowSize;
        if (row >= kM0FlashSize) return fail(kNvmProgrammingError, "row out of range", row);
        if (locked(row)) return fail(kNvmLockError, "erase of locked row", row);
        std::fill_n(flash_.begin() + row, kM0RowSize, 0xFF);
        busyUntil_ = at + kNvmEraseRowCycles;
        event("erase row %u", row / kM0RowSize);
        return;
      }
      case 0x04:
        return writePage(byteAddress - byteAddress % kM0PageSize, at);
      case 0x44:
        pageBuffer_.fill(0xFF);
        return;
      case 0x40:
      case 0x41: {
        const uint32_t region = byteAddress / kM0RegionSize;
        if (region >= 16) return fail(kNvmProgrammingError, "region out of range", byteAddress);
        if ((value & 0x7F) == 0x41 && lockedByFault(byteAddress, 1)) {
          return fail(kNvmLockError, "unlock of locked region at", byteAddress);
        }
        if ((value & 0x7F) == 0x41) {
          lock_ |= 1u << region;
        } else {
          lock_ &= ~(1u << region);
        }
        busyUntil_ = at + kNvmLockCycles;
        event("%s region %u", (value & 0x7F) == 0x41 ? "unlock" : "lock", region);
        return;
      }
      default:
        return fail(kNvmProgrammingError, "unknown command", value);
    }
  }

  std::array<uint8_t, kM0PageSize> pageBuffer_{};
  uint32_t ctrlB_ = 0;
  uint32_t lock_ = 0;
  uint32_t addr_ = 0;
  uint32_t status_ = 0;
  uint32_t intFlagError_ = 0;
  uint64_t busyUntil_ = 0;
  uint32_t dsuStatusA_ = 0;
  bool chipEraseRunning_ = false;
  uint64_t chipEraseDoneAt_ = 0;
};

}  // namespace

std::unique_ptr<TargetChip> TargetChip::create(Family family) {
  if (family == Family::kM4) return std::make_unique<M4Chip>();
  return std::make_unique<M0PlusChip>();
}

void TargetChip::programPage(uint32_t offset, const uint8_t* data, uint32_t size, uint64_t start,
                             uint64_t end) {
  programmingOffset_ = offset;
  programmingBefore_.assign(flash_.begin() + offset, flash_.begin() + offset + size);
  programmingStart_ = start;
  programmingEnd_ = end;
  for (uint32_t i = 0; i < size; ++i) flash_[offset + i] &= data[i];
}

bool TargetChip::lockedByFault(uint32_t address, uint32_t size) const {
  if (!faults_.lockedAddress) return false;
  const uint32_t region = *faults_.lockedAddress - *faults_.lockedAddress % kLockRegionSize;
  return address < region + kLockRegionSize && region < address + size;
}

uint32_t TargetChip::loadWord(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void TargetChip::storeWord(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

void TargetChip::event(const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  events_.emplace_back(text);
}

BusAccess TargetChip::read(uint32_t address, uint64_t now) {
  BusAccess access;
  access.readyAt = std::max(now, resetUntil_);
  if ((address & 3) != 0 || (faults_.busErrorAddress && *faults_.busErrorAddress == address)) {
    access.ok = false;
  } else if (address >= kSramBase && address - kSramBase < sram_.size()) {
    access.value = loadWord(&sram_[address - kSramBase]);
  } else if (address == kDhcsr) {
    access.value = dhcsrControl_ | kDhcsrRegisterReady | (coreHalted_ ? kDhcsrHalted : 0u);
  } else if (address == kDemcr) {
    access.value = demcr_;
  } else if (address == kAircr) {
    access.value = kAircrReadKey;
  } else {
    BusAccess chip;
    access.ok = readChip(address, now, &chip);
    access.value = chip.value;
    access.readyAt = std::max(access.readyAt, chip.readyAt);
  }
  return access;
}

BusAccess TargetChip::write(uint32_t address, uint32_t value, uint64_t now) {
  BusAccess access;
  access.readyAt = std::max(now, resetUntil_);
  if ((address & 3) != 0 || (faults_.busErrorAddress && *faults_.busErrorAddress == address)) {
    access.ok = false;
  } else if (address >= kSramBase && address - kSramBase < sram_.size()) {
    storeWord(&sram_[address - kSramBase], value);
  } else if (address == kDhcsr) {
    if ((value >> 16) == kDhcsrKey) {
      dhcsrControl_ = value & 0xF;
      if ((value & (kDhcsrDebugEnable | kDhcsrHalt)) == (kDhcsrDebugEnable | kDhcsrHalt)) {
        coreHalted_ = true;
      } else if ((value & kDhcsrHalt) == 0) {
        coreHalted_ = false;
      }
    }
  } else if (address == kDemcr) {
    demcr_ = value;
  } else if (address == kAircr) {
    if ((value >> 16) == kAircrKey && (value & kAircrResetRequest) != 0) {
      if (now < programmingEnd_) {
        // Cut off part-way: the bytes it had not reached keep their old contents.
        const uint64_t size = programmingBefore_.size();
        const uint64_t elapsed = now > programmingStart_ ? now - programmingStart_ : 0;
        const auto reached =
            static_cast<std::ptrdiff_t>(size * elapsed / (programmingEnd_ - programmingStart_));
        std::copy(programmingBefore_.begin() + reached, programmingBefore_.end(),
                  flash_.begin() + programmingOffset_ + reached);
        event("page %u corrupt: reset during its programming",
              static_cast<unsigned>(programmingOffset_ / size));
        programmingEnd_ = 0;
      }
      systemReset();
      coreHalted_ = (demcr_ & kDemcrCatchReset) != 0;
      resetUntil_ = now + kResetCycles;
      access.readyAt = resetUntil_;
      event("reset, core %s", coreHalted_ ? "halted" : "running");
    }
  } else {
    BusAccess chip;
    access.ok = writeChip(address, value, now, &chip);
    access.readyAt = std::max(access.readyAt, chip.readyAt);
  }
  return access;
}

}  // namespace swdmodel
