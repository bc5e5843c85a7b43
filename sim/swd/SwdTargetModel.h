#pragma once

// A microcontroller's Serial Wire Debug port, played at the wire: SWCLK and SWDIO levels
// in, SWDIO level out. It keeps JTAG until the select sequence, needs a line reset and an
// IDCODE read before anything else, answers every request as a SW-DP does (OK, WAIT while
// the access port is busy, FAULT while a sticky error is set or its power domain is not
// up, nothing after a protocol error until the next line reset), acknowledges power-up
// requests only after a few reads of CTRL/STAT, posts access-port reads, increments TAR
// within 1 KB, and drives the memory bus of a TargetChip. SWDIO floats when nobody drives
// it and no pull-up holds it. Tests can ask for WAITs, a flipped parity bit, a bus error
// or a target that stops answering.

#include <array>
#include <cstdint>
#include <memory>
#include <random>

#include "TargetChip.h"

namespace swdmodel {

struct ModelConfig {
  Family family = Family::kM4;
  // After this many requests the target answers nothing more (0: never).
  uint64_t silentAfterRequests = 0;
  // Every access-port request is first answered WAIT this many times.
  unsigned waitsPerApRequest = 0;
  // The n-th read answered OK (counted from 1) carries a wrong parity bit (0: none).
  uint64_t parityErrorAtRead = 0;
  // The debug domain acknowledges its power-up request at this CTRL/STAT read after the
  // request, the system domain at the read after that.
  uint64_t powerUpAckRead = 2;
  // Seeds the bits a floating SWDIO reads, so that runs repeat.
  uint32_t floatSeed = 1;
  ChipFaults faults;
};

struct WireStats {
  uint64_t cycles = 0;  // SWCLK rising edges
  uint64_t requests = 0;
  uint64_t ok = 0;
  uint64_t wait = 0;
  uint64_t fault = 0;
  uint64_t unanswered = 0;
  uint64_t protocolErrors = 0;
  uint64_t lineResets = 0;
  // Edges at which host and target both drove SWDIO: a bug in the host.
  uint64_t contentions = 0;
};

class SwdTargetModel {
 public:
  explicit SwdTargetModel(const ModelConfig& config);

  // The host's side of the two wires.
  void driveClock(int level);
  void releaseClock();
  void driveData(int level);
  void releaseData();
  // Whether the host's GPIO holds SWDIO high through its pull-up.
  void setPullUp(bool on) { pullUp_ = on; }
  // The level on SWDIO: the target's while it drives, else the host's, else the pull-up's;
  // with none of them a floating line reads noise.
  int dataLevel();
  int clockLevel() const { return clockDriven_ ? clockLevel_ : 1; }

  TargetChip& chip() { return *chip_; }
  const WireStats& stats() const { return stats_; }

 private:
  enum class Phase {
    kJtag,
    kSwdBeforeReset,
    kReset,
    kIdle,
    kRequest,
    kResponse,
    kLockout,
    kSilent
  };
  struct Response {
    int ack = 0;
    bool read = false;
    bool ap = false;
    unsigned address = 0;
    uint32_t data = 0;
    unsigned parity = 0;
  };

  void risingEdge();
  bool lineResetOrSelect(int level);
  void endRequest();
  void responseEdge(int level);
  Response request(bool ap, bool read, unsigned address);
  void writeRegister(bool ap, unsigned address, uint32_t data);
  uint32_t apRead(unsigned address);
  void apWrite(unsigned address, uint32_t data);
  void advanceTar();
  void powerUpProgress();

  ModelConfig config_;
  std::unique_ptr<TargetChip> chip_;
  WireStats stats_;

  // Wire.
  bool clockDriven_ = false;
  int clockLevel_ = 1;
  bool dataDriven_ = false;
  int hostData_ = 1;
  bool pullUp_ = false;
  std::minstd_rand floating_;
  bool targetDrives_ = false;
  int targetData_ = 1;
  Phase phase_ = Phase::kJtag;
  unsigned onesRun_ = 0;
  std::array<unsigned, 16> onesBefore_{};
  uint16_t lastSixteen_ = 0;
  unsigned idleZeros_ = 0;
  uint32_t requestBits_ = 0;
  unsigned requestLength_ = 0;
  unsigned edge_ = 0;
  uint64_t writeBits_ = 0;
  Response response_;
  uint64_t okReads_ = 0;

  // Debug port and memory access port.
  bool idcodeRequired_ = true;
  uint32_t ctrlStat_ = 0;
  uint64_t ctrlStatReadsSinceRequest_ = 0;
  uint32_t select_ = 0;
  uint32_t rdbuff_ = 0;
  uint32_t csw_ = 0x03000040;
  uint32_t tar_ = 0;
  uint64_t apBusyUntil_ = 0;
  unsigned injectedWaitsLeft_ = 0;
};

}  // namespace swdmodel
