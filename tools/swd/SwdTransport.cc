#include "SwdTransport.h"

#include <algorithm>
#include <cstdio>

namespace swd {

namespace {

// The only pacing: a busy loop after every clock edge. The clock rate is whatever the GPIO
// calls and this loop allow.
constexpr int kEdgeDelaySteps = 25;

void edgeDelay() {
  for (volatile int i = kEdgeDelaySteps; i > 0; i = i - 1) {
  }
}

// 56 ones (line reset), the JTAG-to-SWD select sequence 0xE79E, 56 ones (line reset),
// 8 zeros (idle), each byte least significant bit first.
constexpr uint8_t kResetAndSelect[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x9E, 0xE7,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int kNoAnswerCycles = 34;

// ABORT: DAPABORT, then the clear bits of the compare, sticky error, write data error and
// overrun flags.
constexpr uint32_t kAbortDapAbort = 1u << 0;
constexpr uint32_t kAbortPowerUp = 0x16;
constexpr uint32_t kAbortClearSticky = 0x1E;
// CTRL/STAT: STICKYORUN, STICKYCMP, STICKYERR, WDATAERR.
constexpr uint32_t kStickyFlags = 1u << 1 | 1u << 4 | 1u << 5 | 1u << 7;
constexpr uint32_t kSelectApZeroBankZero = 0;
// System and debug power-up requests, all byte lanes.
constexpr uint32_t kCtrlStatPowerUp = 0x50000F00;
// CSYSPWRUPACK and CDBGPWRUPACK.
constexpr uint32_t kPowerUpAcks = 1u << 31 | 1u << 29;
// 32-bit transfers, single address increment.
constexpr uint32_t kCswWordIncrement = 0x23000052;
// The access port increments TAR within 1 KB only; past that its address is undefined.
constexpr uint32_t kAutoIncrementSpan = 0x400;

constexpr bool isRead(unsigned code) { return (code & 2u) != 0; }
constexpr bool isAp(unsigned code) { return (code & 1u) != 0; }

}  // namespace

std::string describeResult(int result) {
  switch (result) {
    case kAckOk:
      return "OK";
    case kAckWait:
      return "WAIT";
    case kAckFault:
      return "FAULT";
    case kParityError:
      return "parity error";
    default:
      return "no answer (acknowledgement " + std::to_string(result) + ")";
  }
}

void SwdTransport::clockCycle() {
  lines_.setClock(0);
  edgeDelay();
  lines_.setClock(1);
  edgeDelay();
  ++cycles_;
}

void SwdTransport::swdClock(int count) {
  for (int i = 0; i < count; ++i) clockCycle();
}

void SwdTransport::swdWriteBits(uint32_t value, int count) {
  for (int i = 0; i < count; ++i) {
    lines_.setData(static_cast<int>((value >> i) & 1u));
    clockCycle();
  }
}

uint32_t SwdTransport::swdReadBits(int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    lines_.setClock(0);
    edgeDelay();
    value |= static_cast<uint32_t>(lines_.readData()) << i;
    lines_.setClock(1);
    edgeDelay();
    ++cycles_;
  }
  return value;
}

int SwdTransport::swdTransfer(unsigned code, uint32_t* data) {
  const uint8_t request = swdRequestByte(code);
  for (int attempt = 1;; ++attempt) {
    swdWriteBits(request, 8);
    lines_.dataInput();
    swdClock(1);  // turnaround
    int result = static_cast<int>(swdReadBits(3));
    if (result == kAckOk) {
      if (isRead(code)) {
        uint32_t value = swdReadBits(32);
        if (swdParity(value) != swdReadBits(1)) result = kParityError;
        if (data != nullptr) *data = value;
        swdClock(1);  // turnaround
        lines_.dataOutput();
      } else {
        swdClock(1);  // turnaround
        lines_.dataOutput();
        uint32_t value = data != nullptr ? *data : 0;
        swdWriteBits(value, 32);
        swdWriteBits(swdParity(value), 1);
      }
      lines_.setData(0);
    } else if (result == kAckWait || result == kAckFault) {
      swdClock(1);  // turnaround
      lines_.dataOutput();
    } else {
      // Nobody answered, or the answer was garbled: clock out whatever the target may
      // still send, then take the line back so that it rests high like after every other
      // outcome (an input line cannot be set).
      swdClock(kNoAnswerCycles);
      lines_.dataOutput();
    }
    lines_.setData(1);
    if (result != kAckWait || attempt >= kTransferAttempts) return result;
  }
}

int SwdTransport::swdAccess(unsigned code, uint32_t* data) {
  if (isRead(code) && !isAp(code)) return swdTransfer(code, data);
  if (isRead(code)) {
    // The value an AP read returns is that of the previous posted read.
    int result = swdTransfer(code, nullptr);
    if (result != kAckOk) return result;
    return swdTransfer(kDpReadRdbuff, data);
  }
  int result = swdTransfer(code, data);
  if (result != kAckOk) return result;
  return swdTransfer(kDpReadRdbuff, nullptr);
}

bool SwdTransport::swdWrite(unsigned code, uint32_t value) {
  return swdAccess(code, &value) == kAckOk;
}

uint32_t SwdTransport::swdResetAndReadIdcode() {
  for (uint8_t byte : kResetAndSelect) swdWriteBits(byte, 8);
  uint32_t idcode = 0;
  swdAccess(kDpReadIdcode, &idcode);
  return idcode;
}

bool SwdTransport::swdPowerUpDebug(const std::function<bool()>& expired, uint32_t* ctrlStat) {
  swdWrite(kDpWriteAbort, kAbortPowerUp);
  swdWrite(kDpWriteSelect, kSelectApZeroBankZero);
  swdWrite(kDpWriteCtrlStat, kCtrlStatPowerUp);
  // The power controller takes its time; until both domains are up the access port and
  // the memory behind it cannot serve an access.
  for (;;) {
    *ctrlStat = 0;
    if (swdAccess(kDpReadCtrlStat, ctrlStat) == kAckOk &&
        (*ctrlStat & kPowerUpAcks) == kPowerUpAcks) {
      break;
    }
    if (expired()) return false;
  }
  swdWrite(kApWriteCsw, kCswWordIncrement);
  return true;
}

void SwdTransport::noteFailure(const char* operation, uint32_t address, int result) {
  if (failures_++ == 0) {
    char text[96];
    std::snprintf(text, sizeof text, "%s at 0x%08x: %s", operation, static_cast<unsigned>(address),
                  describeResult(result).c_str());
    firstFailure_ = text;
  }
  uint32_t abort = kAbortClearSticky | (result == kAckWait ? kAbortDapAbort : 0u);
  swdTransfer(kDpWriteAbort, &abort);
}

uint32_t SwdTransport::memRead(uint32_t address) {
  uint32_t tar = address;
  uint32_t value = 0;
  int result = swdAccess(kApWriteTar, &tar);
  if (result == kAckOk) result = swdAccess(kApReadDrw, &value);
  if (result == kAckOk) return value;
  noteFailure("read", address, result);
  return 0;
}

bool SwdTransport::memWrite(uint32_t address, uint32_t value, Accounting accounting) {
  uint32_t tar = address;
  int result = swdAccess(kApWriteTar, &tar);
  // Without the address, DRW would write to wherever TAR last pointed.
  if (result == kAckOk) result = swdAccess(kApWriteDrw, &value);
  if (result == kAckOk) return true;
  if (accounting == Accounting::kCounted) {
    noteFailure("write", address, result);
  } else {
    uint32_t abort = kAbortClearSticky;
    swdTransfer(kDpWriteAbort, &abort);
  }
  return false;
}

int SwdTransport::finishPiece(uint32_t* lastWord) {
  // RDBUFF waits until the last access of the piece is done (and fetches its posted
  // result); CTRL/STAT then tells whether any access of the piece failed on the bus.
  int result = swdTransfer(kDpReadRdbuff, lastWord);
  uint32_t status = 0;
  if (result == kAckOk) result = swdTransfer(kDpReadCtrlStat, &status);
  if (result == kAckOk && (status & kStickyFlags) != 0) result = kAckFault;
  return result;
}

namespace {
std::size_t wordsToSpanEnd(uint32_t address) {
  return (kAutoIncrementSpan - (address & (kAutoIncrementSpan - 1))) / 4;
}
}  // namespace

bool SwdTransport::memReadBlock(uint32_t address, uint32_t* words, std::size_t count) {
  bool allOk = true;
  for (std::size_t done = 0; done < count;) {
    uint32_t start = address + static_cast<uint32_t>(4 * done);
    std::size_t piece = std::min(count - done, wordsToSpanEnd(start));
    uint32_t* out = words + done;
    uint32_t tar = start;
    int result = swdTransfer(kApWriteTar, &tar);
    // Each read starts the next access and returns the word of the one before.
    for (std::size_t i = 0; result == kAckOk && i < piece; ++i) {
      result = swdTransfer(kApReadDrw, i == 0 ? nullptr : out + i - 1);
    }
    if (result == kAckOk) result = finishPiece(out + piece - 1);
    if (result != kAckOk) {
      std::fill(out, out + piece, 0u);
      noteFailure("read", start, result);
      allOk = false;
    }
    done += piece;
  }
  return allOk;
}

bool SwdTransport::memWriteBlock(uint32_t address, const uint32_t* words, std::size_t count) {
  bool allOk = true;
  for (std::size_t done = 0; done < count;) {
    uint32_t start = address + static_cast<uint32_t>(4 * done);
    std::size_t piece = std::min(count - done, wordsToSpanEnd(start));
    uint32_t tar = start;
    int result = swdTransfer(kApWriteTar, &tar);
    for (std::size_t i = 0; result == kAckOk && i < piece; ++i) {
      uint32_t word = words[done + i];
      result = swdTransfer(kApWriteDrw, &word);
    }
    if (result == kAckOk) result = finishPiece(nullptr);
    if (result != kAckOk) {
      noteFailure("write", start, result);
      allOk = false;
    }
    done += piece;
  }
  return allOk;
}

}  // namespace swd
