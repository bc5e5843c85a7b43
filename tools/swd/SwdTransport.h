#pragma once

// SWD transactions, debug-port and access-port registers and 32-bit memory access over
// the two wires, bit-banged.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "SwdLines.h"

namespace swd {

// Transaction results. Any other value is the raw acknowledgement that was read (7 when
// nobody drives the line, because of the pull-up).
inline constexpr int kAckOk = 1;
inline constexpr int kAckWait = 2;
inline constexpr int kAckFault = 4;
inline constexpr int kParityError = 8;

// Request codes: bit 0 APnDP, bit 1 RnW, bits 2 and 3 the register address A[3:2].
inline constexpr unsigned kDpWriteAbort = 0;
inline constexpr unsigned kDpReadIdcode = 2;
inline constexpr unsigned kDpWriteCtrlStat = 4;
inline constexpr unsigned kDpReadCtrlStat = 6;
inline constexpr unsigned kDpWriteSelect = 8;
inline constexpr unsigned kDpReadRdbuff = 14;
inline constexpr unsigned kApWriteCsw = 1;
inline constexpr unsigned kApWriteTar = 5;
inline constexpr unsigned kApWriteDrw = 13;
inline constexpr unsigned kApReadDrw = 15;

inline constexpr int kTransferAttempts = 128;

// Even parity over the bits given: 1 when the number of 1 bits is odd.
constexpr unsigned swdParity(uint32_t x) {
  x ^= x >> 16;
  x ^= x >> 8;
  x ^= x >> 4;
  return (0x6996u >> (x & 0xFu)) & 1u;
}

// Start bit, the four code bits, their parity, stop bit 0, park bit 1.
constexpr uint8_t swdRequestByte(unsigned code) {
  return static_cast<uint8_t>(0x81u | (code & 0xFu) << 1 | swdParity(code & 0xFu) << 5);
}

// Whether a failed memory access counts against the run. The debug power-up writes and the
// two reset requests are not looked at: the reset request's completion often fails while
// the core resets.
enum class Accounting { kCounted, kNotLookedAt };

class SwdTransport {
 public:
  explicit SwdTransport(SwdLines& lines) : lines_(lines) {}

  void swdClock(int count);
  void swdWriteBits(uint32_t value, int count);
  uint32_t swdReadBits(int count);
  // One transaction with retries on WAIT. `data` is the word to write, or where the word
  // read is stored (also on a parity error); it may be null.
  int swdTransfer(unsigned code, uint32_t* data);
  // One register access: AP reads are followed by the RDBUFF read that fetches the posted
  // result, writes by an RDBUFF read that waits until they are done.
  int swdAccess(unsigned code, uint32_t* data = nullptr);
  bool swdWrite(unsigned code, uint32_t value);
  uint32_t swdResetAndReadIdcode();
  // Requests debug and system power, reads CTRL/STAT until both domains acknowledge, then
  // sets up the access port. `expired` is asked after every read that lacks an
  // acknowledgement; when it answers true the access port is left alone and false is
  // returned. `ctrlStat` receives the last CTRL/STAT value read.
  bool swdPowerUpDebug(const std::function<bool()>& expired, uint32_t* ctrlStat);

  // Four transactions per word. A failed read yields 0; failures are counted.
  uint32_t memRead(uint32_t address);
  bool memWrite(uint32_t address, uint32_t value, Accounting accounting = Accounting::kCounted);

  // Bulk access: TAR once per 1 KB (the access port increments the address within 1 KB)
  // and posted reads back to back, close to one transaction per word. The sticky error
  // flags are checked once per 1 KB; a failed 1 KB piece is counted once, its words read
  // as 0. True when every piece succeeded.
  bool memReadBlock(uint32_t address, uint32_t* words, std::size_t count);
  bool memWriteBlock(uint32_t address, const uint32_t* words, std::size_t count);

  // Failed memory accesses so far, and a sentence about the first one.
  unsigned failedAccesses() const { return failures_; }
  const std::string& firstFailure() const { return firstFailure_; }

  // Clock cycles clocked so far (for the benchmark's own cross-check).
  uint64_t clockCycles() const { return cycles_; }

 private:
  void clockCycle();
  // Records a failed access and clears the debug port's sticky errors, so that the next
  // access is not refused for an old error.
  void noteFailure(const char* operation, uint32_t address, int result);
  int finishPiece(uint32_t* lastWord);

  SwdLines& lines_;
  unsigned failures_ = 0;
  std::string firstFailure_;
  uint64_t cycles_ = 0;
};

// "OK", "WAIT", "FAULT", "parity error" or "no answer (acknowledgement N)".
std::string describeResult(int result);

}  // namespace swd
