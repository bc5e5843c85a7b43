#include "SwdTargetModel.h"

namespace swdmodel {

namespace {

constexpr int kOk = 1;
constexpr int kWait = 2;
constexpr int kFault = 4;
constexpr unsigned kLineResetOnes = 50;
constexpr uint16_t kJtagToSwd = 0xE79E;
constexpr unsigned kIdleBeforeRequest = 2;

// CTRL/STAT.
constexpr uint32_t kStickyOverrun = 1u << 1;
constexpr uint32_t kStickyCompare = 1u << 4;
constexpr uint32_t kStickyError = 1u << 5;
constexpr uint32_t kWriteDataError = 1u << 7;
constexpr uint32_t kStickyFlags = kStickyOverrun | kStickyCompare | kStickyError | kWriteDataError;
constexpr uint32_t kDebugResetRequest = 1u << 26;
constexpr uint32_t kDebugPowerUpRequest = 1u << 28;
constexpr uint32_t kDebugPowerUpAck = 1u << 29;
constexpr uint32_t kSystemPowerUpRequest = 1u << 30;
constexpr uint32_t kSystemPowerUpAck = 1u << 31;
constexpr uint32_t kDebugResetAck = 1u << 27;
constexpr uint32_t kCtrlStatWritable = 0x54000F0D;
// ABORT.
constexpr uint32_t kAbortDap = 1u << 0;
constexpr uint32_t kClearCompare = 1u << 1;
constexpr uint32_t kClearError = 1u << 2;
constexpr uint32_t kClearWriteData = 1u << 3;
constexpr uint32_t kClearOverrun = 1u << 4;
// The memory access port's identification (an AHB access port).
constexpr uint32_t kApIdr = 0x24770011;
// CSW bit 6 reads 1: the bus behind the access port is enabled.
constexpr uint32_t kCswDeviceEnabled = 1u << 6;

unsigned parity(uint32_t x) {
  unsigned p = 0;
  for (; x != 0; x &= x - 1) p ^= 1;
  return p;
}

}  // namespace

SwdTargetModel::SwdTargetModel(const ModelConfig& config)
    : config_(config), chip_(TargetChip::create(config.family)), floating_(config.floatSeed) {
  chip_->faults() = config.faults;
  injectedWaitsLeft_ = config.waitsPerApRequest;
}

void SwdTargetModel::driveClock(int level) {
  const bool rising = clockLevel() == 0 && level == 1;
  clockDriven_ = true;
  clockLevel_ = level;
  if (rising) risingEdge();
}

void SwdTargetModel::releaseClock() { clockDriven_ = false; }

void SwdTargetModel::driveData(int level) {
  dataDriven_ = true;
  hostData_ = level;
}

void SwdTargetModel::releaseData() { dataDriven_ = false; }

int SwdTargetModel::dataLevel() {
  if (targetDrives_) return targetData_;
  if (dataDriven_) return hostData_;
  return pullUp_ ? 1 : static_cast<int>(floating_() & 1);
}

void SwdTargetModel::risingEdge() {
  ++stats_.cycles;
  if (targetDrives_ && dataDriven_) ++stats_.contentions;
  const int level = dataLevel();
  if (phase_ == Phase::kResponse) return responseEdge(level);
  if (lineResetOrSelect(level)) return;
  switch (phase_) {
    case Phase::kReset:
      idleZeros_ = level == 0 ? idleZeros_ + 1 : 0;
      if (idleZeros_ >= kIdleBeforeRequest) phase_ = Phase::kIdle;
      return;
    case Phase::kIdle:
      if (level == 1) {  // start bit
        phase_ = Phase::kRequest;
        requestBits_ = 1;
        requestLength_ = 1;
      }
      return;
    case Phase::kRequest:
      requestBits_ |= static_cast<uint32_t>(level) << requestLength_++;
      if (requestLength_ == 8) endRequest();
      return;
    default:
      return;
  }
}

// Watches the host's bits for a line reset (50 or more ones) and, while the port still
// speaks JTAG, for the select sequence after one.
bool SwdTargetModel::lineResetOrSelect(int level) {
  const unsigned before = onesRun_;
  onesRun_ = level == 1 ? onesRun_ + 1 : 0;
  const uint64_t now = stats_.cycles;
  onesBefore_[now % 16] = before;
  lastSixteen_ = static_cast<uint16_t>(lastSixteen_ >> 1 | level << 15);
  if (phase_ == Phase::kJtag) {
    if (lastSixteen_ == kJtagToSwd && onesBefore_[(now + 1) % 16] >= kLineResetOnes) {
      phase_ = Phase::kSwdBeforeReset;
    }
    return true;
  }
  if (phase_ == Phase::kSilent || onesRun_ < kLineResetOnes) return false;
  if (onesRun_ == kLineResetOnes) ++stats_.lineResets;
  phase_ = Phase::kReset;
  idleZeros_ = 0;
  idcodeRequired_ = true;
  return true;
}

void SwdTargetModel::endRequest() {
  const uint32_t bits = requestBits_;
  const uint32_t code = (bits >> 1) & 0xF;
  const bool valid =
      ((bits >> 5) & 1) == parity(code) && ((bits >> 6) & 1) == 0 && ((bits >> 7) & 1) == 1;
  if (!valid) {
    // A garbled request: the target stays off the line until the next line reset.
    ++stats_.protocolErrors;
    phase_ = Phase::kLockout;
    return;
  }
  ++stats_.requests;
  if (config_.silentAfterRequests != 0 && stats_.requests > config_.silentAfterRequests) {
    ++stats_.unanswered;
    phase_ = Phase::kSilent;
    return;
  }
  response_ = request((code & 1) != 0, (code & 2) != 0, code >> 2);
  if (response_.ack == kOk) {
    ++stats_.ok;
    if (response_.read && ++okReads_ == config_.parityErrorAtRead) response_.parity ^= 1;
  } else {
    ++(response_.ack == kWait ? stats_.wait : stats_.fault);
  }
  phase_ = Phase::kResponse;
  edge_ = 0;
  onesRun_ = 0;
}

// The target changes SWDIO on rising edges; the host samples before the next one. After
// the request come the turnaround edge, at which the acknowledgement's first bit goes
// out, and the three edges of the acknowledgement; then 33 edges of read data and parity
// and the host's turnaround, or (write) the host's turnaround and its 33 bits, or (WAIT,
// FAULT) the host's turnaround.
void SwdTargetModel::responseEdge(int level) {
  ++edge_;
  const Response& r = response_;
  auto drive = [this](unsigned bit) {
    targetDrives_ = true;
    targetData_ = static_cast<int>(bit & 1);
  };
  if (edge_ <= 3) return drive(static_cast<unsigned>(r.ack) >> (edge_ - 1));
  if (r.ack == kOk && r.read) {
    if (edge_ <= 35) return drive(r.data >> (edge_ - 4));
    if (edge_ == 36) return drive(r.parity);
    targetDrives_ = false;
    if (edge_ == 38) phase_ = Phase::kIdle;  // the host's turnaround
    return;
  }
  // Otherwise the target lets go after the acknowledgement; the host's turnaround follows.
  if (edge_ == 4) {
    targetDrives_ = false;
    writeBits_ = 0;
    return;
  }
  if (edge_ == 5) {
    if (r.ack != kOk) phase_ = Phase::kIdle;
    return;
  }
  writeBits_ |= static_cast<uint64_t>(level) << (edge_ - 6);
  if (edge_ < 38) return;
  phase_ = Phase::kIdle;
  const auto data = static_cast<uint32_t>(writeBits_);
  if (((writeBits_ >> 32) & 1) != parity(data)) {
    ctrlStat_ |= kWriteDataError;  // the write is dropped
    return;
  }
  writeRegister(r.ap, r.address, data);
}

SwdTargetModel::Response SwdTargetModel::request(bool ap, bool read, unsigned address) {
  Response r;
  r.ap = ap;
  r.read = read;
  r.address = address;
  r.ack = kOk;
  const bool dp = !ap;
  if (idcodeRequired_) {
    // After a line reset only an IDCODE read is answered OK.
    if (!(dp && read && address == 0)) {
      r.ack = kFault;
      return r;
    }
    idcodeRequired_ = false;
  }
  const bool alwaysAllowed = dp && ((read && address <= 1) || (!read && address == 0));
  if ((ctrlStat_ & kStickyFlags) != 0 && !alwaysAllowed) {
    r.ack = kFault;
    return r;
  }
  const uint64_t now = stats_.cycles;
  if (ap || (read && address == 3)) {
    if (now < apBusyUntil_) {
      r.ack = kWait;
      return r;
    }
    if (ap && injectedWaitsLeft_ > 0) {
      --injectedWaitsLeft_;
      r.ack = kWait;
      return r;
    }
    if (ap) injectedWaitsLeft_ = config_.waitsPerApRequest;
  }
  // The access port needs the debug domain; its memory accesses need the system too.
  const uint32_t powerNeeded =
      address == 3 ? kDebugPowerUpAck | kSystemPowerUpAck : kDebugPowerUpAck;
  if (ap && (ctrlStat_ & powerNeeded) != powerNeeded) {
    ctrlStat_ |= kStickyError;
    r.ack = kFault;
    return r;
  }
  if (read) {
    if (ap) {
      r.data = rdbuff_;  // posted: the result of the previous read
      rdbuff_ = apRead(address);
    } else if (address == 0) {
      r.data = chip_->idcode();
    } else if (address == 1) {
      powerUpProgress();
      r.data = ctrlStat_;
    } else {
      r.data = rdbuff_;
    }
    r.parity = parity(r.data);
  }
  return r;
}

void SwdTargetModel::writeRegister(bool ap, unsigned address, uint32_t data) {
  if (ap) return apWrite(address, data);
  switch (address) {
    case 0:  // ABORT
      if ((data & kAbortDap) != 0) apBusyUntil_ = 0;
      if ((data & kClearCompare) != 0) ctrlStat_ &= ~kStickyCompare;
      if ((data & kClearError) != 0) ctrlStat_ &= ~kStickyError;
      if ((data & kClearWriteData) != 0) ctrlStat_ &= ~kWriteDataError;
      if ((data & kClearOverrun) != 0) ctrlStat_ &= ~kStickyOverrun;
      return;
    case 1: {
      // A domain drops its acknowledgement with its request; a new request is
      // acknowledged only after a few reads (powerUpProgress).
      const uint32_t requests = kDebugPowerUpRequest | kSystemPowerUpRequest;
      if ((data & requests & ~ctrlStat_) != 0) ctrlStatReadsSinceRequest_ = 0;
      uint32_t value =
          (ctrlStat_ & (kStickyFlags | ~kCtrlStatWritable)) | (data & kCtrlStatWritable);
      if ((value & kDebugPowerUpRequest) == 0) value &= ~kDebugPowerUpAck;
      if ((value & kSystemPowerUpRequest) == 0) value &= ~kSystemPowerUpAck;
      value &= ~kDebugResetAck;
      if ((value & kDebugResetRequest) != 0) value |= kDebugResetAck;
      ctrlStat_ = value;
      return;
    }
    case 2:
      select_ = data;
      return;
    default:
      return;
  }
}

void SwdTargetModel::powerUpProgress() {
  const uint64_t reads = ++ctrlStatReadsSinceRequest_;
  if ((ctrlStat_ & kDebugPowerUpRequest) != 0 && reads >= config_.powerUpAckRead) {
    ctrlStat_ |= kDebugPowerUpAck;
  }
  if ((ctrlStat_ & kSystemPowerUpRequest) != 0 && reads > config_.powerUpAckRead) {
    ctrlStat_ |= kSystemPowerUpAck;
  }
}

void SwdTargetModel::advanceTar() {
  // Single increment of a word, within the 1 KB the access port guarantees.
  if (((csw_ >> 4) & 3) == 1) tar_ = (tar_ & ~0x3FFu) | ((tar_ + 4) & 0x3FFu);
}

uint32_t SwdTargetModel::apRead(unsigned address) {
  if ((select_ >> 24) != 0) return 0;  // no other access port
  const unsigned offset = ((select_ >> 4) & 0xF) << 4 | address << 2;
  switch (offset) {
    case 0x00:
      return csw_;
    case 0x04:
      return tar_;
    case 0x0C: {
      const BusAccess access = chip_->read(tar_, stats_.cycles);
      apBusyUntil_ = access.readyAt;
      advanceTar();
      if (access.ok && (csw_ & 7) == 2) return access.value;
      ctrlStat_ |= kStickyError;
      return 0;
    }
    case 0xFC:
      return kApIdr;
    default:
      return 0;
  }
}

void SwdTargetModel::apWrite(unsigned address, uint32_t data) {
  if ((select_ >> 24) != 0) return;
  const unsigned offset = ((select_ >> 4) & 0xF) << 4 | address << 2;
  if (offset == 0x00) {
    csw_ = data | kCswDeviceEnabled;
  } else if (offset == 0x04) {
    tar_ = data;
  } else if (offset == 0x0C) {
    const BusAccess access = chip_->write(tar_, data, stats_.cycles);
    apBusyUntil_ = access.readyAt;
    advanceTar();
    if (!access.ok || (csw_ & 7) != 2) ctrlStat_ |= kStickyError;
  }
}

}  // namespace swdmodel
