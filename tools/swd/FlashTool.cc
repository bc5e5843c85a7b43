#include "FlashTool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "SwdTransport.h"

namespace swd {

namespace {

constexpr const char* kUsage =
    "Usage: swd-flash [version | erase | read | write | verify] [file_name]\n";

constexpr uint32_t kImageBufferSize = 0x80000;

struct TargetFamily {
  uint32_t idcode;
  const char* detected;
  uint32_t flashBase;
  uint32_t imageSize;
  uint32_t blockSize;
  uint32_t chipIdAddress;
  uint32_t chipExIdAddress;
  bool isM4;
};

constexpr TargetFamily kM4Family{0x2BA01477, "M4 Core Detected.", 0x00400000, 0x80000,
                                 512,        0x400E0740,          0x400E0744, true};
constexpr TargetFamily kM0PlusFamily{0x0BC11477, "M0+ Core Detected.", 0x00000000, 0x20000,
                                     2048,       0x41002118,           0x4100211C, false};

// Core debug registers of both families.
constexpr uint32_t kDhcsr = 0xE000EDF0;
constexpr uint32_t kDemcr = 0xE000EDFC;
constexpr uint32_t kAircr = 0xE000ED0C;
constexpr uint32_t kDhcsrHaltDebug = 0xA05F0003;  // debug key, halt, debug enable
constexpr uint32_t kDemcrCatchReset = 1;          // halt the core as it leaves reset
constexpr uint32_t kDemcrRun = 0;
constexpr uint32_t kAircrResetRequest = 0x05FA0004;  // key, system reset request

// M4 family: the enhanced embedded flash controller, one per 1024-page plane.
constexpr uint32_t kEefcCommand = 0x400E0A04;
constexpr uint32_t kEefcStatus = 0x400E0A08;
constexpr uint32_t kEefcPlaneStride = 0x200;
constexpr uint32_t kEefcReady = 1u << 0;
constexpr uint32_t kEefcEraseAll = 0x5A000005;
constexpr uint32_t kEefcErase16Pages = 0x5A000207;
constexpr uint32_t kEefcWritePage = 0x5A000001;
constexpr uint32_t kEefcBootFromFlash = 0x5A00010B;
constexpr uint32_t kM4PageSize = 512;
constexpr uint32_t kM4PagesPerErase = 16;

// M0+ family: the NVM controller and the device service unit.
constexpr uint32_t kNvmCtrlA = 0x41004000;
constexpr uint32_t kNvmCtrlB = 0x41004004;
constexpr uint32_t kNvmIntFlag = 0x41004014;
constexpr uint32_t kNvmStatus = 0x41004018;
constexpr uint32_t kNvmAddr = 0x4100401C;
constexpr uint32_t kNvmReady = 1u << 0;
constexpr uint32_t kNvmAutomaticPageWrite = 0;
constexpr uint32_t kNvmUnlockRegion = 0xA541;
constexpr uint32_t kDsuCtrlStatus = 0x41002100;
constexpr uint32_t kDsuClearStatus = 0x1F00;
constexpr uint32_t kDsuChipErase = 0x10;
constexpr uint32_t kDsuDone = 1u << 8;
constexpr uint32_t kM0PlusWriteBlock = 2048;

// Error flags of the controllers, as the messages name them.
struct Flag {
  uint32_t mask;
  const char* name;
};
// The EEFC's status register clears these when it is read.
constexpr Flag kEefcErrors[] = {
    {1u << 1, "FSR.FCMDE"}, {1u << 2, "FSR.FLOCKE"}, {1u << 3, "FSR.FLERR"}};
// The NVM controller's flags stay until ones are written to them.
constexpr Flag kNvmIntFlagErrors[] = {{1u << 1, "INTFLAG.ERROR"}};
constexpr Flag kNvmStatusErrors[] = {
    {1u << 2, "STATUS.PROGE"}, {1u << 3, "STATUS.LOCKE"}, {1u << 4, "STATUS.NVME"}};
constexpr Flag kDsuErrors[] = {{1u << 11, "STATUSA.FAIL"}, {1u << 12, "STATUSA.PERR"}};

template <std::size_t N>
constexpr uint32_t maskOf(const Flag (&flags)[N]) {
  uint32_t mask = 0;
  for (const Flag& flag : flags) mask |= flag.mask;
  return mask;
}

// The names of the flags set in `value`, each after a blank.
template <std::size_t N>
std::string setFlags(uint32_t value, const Flag (&flags)[N]) {
  std::string names;
  for (const Flag& flag : flags) {
    if ((value & flag.mask) != 0) names = names + " " + flag.name;
  }
  return names;
}

enum class Command { kErase, kRead, kWrite, kVerify };
// How a command ended: run on to release the target, or (file errors) exit at once.
enum class Outcome { kDone, kFailed, kExitNow };

class DebugRun {
 public:
  DebugRun(SwdLines& lines, const ToolIo& io, BlockPath path)
      : lines_(lines), swd_(lines), io_(io), path_(path), image_(kImageBufferSize, 0) {}

  int run(Command command, const char* fileName);

 private:
  Outcome execute(Command command, const char* fileName);
  Outcome erase();
  Outcome readToFile(const char* fileName);
  Outcome writeFromFile(const char* fileName);
  Outcome verify(const char* fileName);
  Outcome writeM4(uint32_t length);
  Outcome writeM0Plus(uint32_t length);

  bool eefcCommand(uint32_t page, uint32_t word, const char* operation, uint32_t address);
  std::function<bool()> timeOut() const;
  std::optional<uint32_t> pollUntilSet(uint32_t address, uint32_t mask, const char* what);
  bool noErrorFlags(const char* operation, uint32_t address, const std::string& flags);
  void readBlock(uint32_t address, uint8_t* bytes, uint32_t length);
  void writeBlock(uint32_t address, const uint8_t* bytes, uint32_t length);
  bool readFile(const char* fileName, uint32_t limit, uint32_t* length);
  void systemError(const char* what) const;
  void progress(char mark) const;

  SwdLines& lines_;
  SwdTransport swd_;
  const ToolIo& io_;
  BlockPath path_;
  const TargetFamily* family_ = nullptr;
  std::vector<uint8_t> image_;
  std::vector<std::string> errors_;
};

void DebugRun::progress(char mark) const {
  std::fputc(mark, io_.out);
  std::fflush(io_.out);
}

void DebugRun::systemError(const char* what) const {
  const int error = errno;
  std::fflush(io_.out);
  std::fprintf(io_.err, "swd-flash: %s: %s\n", what, std::strerror(error));
}

int DebugRun::run(Command command, const char* fileName) {
  std::string openError;
  if (!lines_.swdOpenLines(&openError)) {
    std::fprintf(io_.err, "%s\n", openError.c_str());
    return 1;
  }
  try {
    lines_.swdIdleLines();
    lines_.swdDriveLines();
    uint32_t idcode = swd_.swdResetAndReadIdcode();
    std::fprintf(io_.out, "IDCODE 0x%08x.\n", static_cast<unsigned>(idcode));
    for (const TargetFamily* family : {&kM4Family, &kM0PlusFamily}) {
      if (family->idcode == idcode) family_ = family;
    }
    if (family_ == nullptr) {
      std::fputs("Error: unexpected IDCODE value.\n", io_.out);
      return 1;
    }
    std::fprintf(io_.out, "%s\n", family_->detected);
    if (uint32_t ctrlStat = 0; !swd_.swdPowerUpDebug(timeOut(), &ctrlStat)) {
      std::fprintf(io_.out,
                   "Error: the debug port did not power up within %g s (CTRL/STAT reads "
                   "0x%08x)\n",
                   kPollTimeoutSeconds, static_cast<unsigned>(ctrlStat));
      lines_.swdReleaseLines();
      lines_.swdCloseChip();
      return 1;
    }

    // Halt the core, then reset the system into that halt so that no firmware runs
    // while its flash changes.
    swd_.memWrite(kDhcsr, kDhcsrHaltDebug);
    swd_.memWrite(kDemcr, kDemcrCatchReset);
    swd_.memWrite(kAircr, kAircrResetRequest, Accounting::kNotLookedAt);
    if (!family_->isM4) swd_.memWrite(kNvmCtrlB, kNvmAutomaticPageWrite);
    std::fprintf(io_.out, "CHIPID = 0x%08x\n",
                 static_cast<unsigned>(swd_.memRead(family_->chipIdAddress)));
    std::fprintf(io_.out, "CHIPEXID = 0x%08x\n",
                 static_cast<unsigned>(swd_.memRead(family_->chipExIdAddress)));
    std::fflush(io_.out);

    Outcome outcome = execute(command, fileName);
    if (outcome == Outcome::kExitNow) return 1;

    // Let the target run its firmware, then let go of it.
    swd_.memWrite(kDemcr, kDemcrRun);
    swd_.memWrite(kAircr, kAircrResetRequest, Accounting::kNotLookedAt);
    lines_.swdReleaseLines();
    lines_.swdCloseChip();
    std::fputc('\n', io_.out);
    if (const unsigned failed = swd_.failedAccesses(); failed != 0) {
      errors_.push_back("Error: " + std::to_string(failed) + " debug " +
                        (failed == 1 ? "access" : "accesses") +
                        " failed; the first: " + swd_.firstFailure());
    }
    for (const std::string& error : errors_) std::fprintf(io_.out, "%s\n", error.c_str());
    std::fflush(io_.out);
    return outcome == Outcome::kDone && errors_.empty() ? 0 : 1;
  } catch (const GpioFailure& failure) {
    std::fflush(io_.out);
    std::string context = failure.what();
    std::fprintf(io_.err, "Error: %s%s%s\n", context.c_str(), context.empty() ? "" : ": ",
                 std::strerror(failure.errnoValue()));
    // The wires are in an unknown state: let go of them if the chip still answers.
    try {
      lines_.swdReleaseLines();
    } catch (const GpioFailure&) {
    }
    lines_.swdCloseChip();
    return 1;
  }
}

Outcome DebugRun::execute(Command command, const char* fileName) {
  switch (command) {
    case Command::kErase:
      return erase();
    case Command::kRead:
      return readToFile(fileName);
    case Command::kWrite:
      return writeFromFile(fileName);
    case Command::kVerify:
      return verify(fileName);
  }
  return Outcome::kFailed;
}

std::function<bool()> DebugRun::timeOut() const {
  return [this, start = io_.monotonicSeconds()] {
    return io_.monotonicSeconds() - start > kPollTimeoutSeconds;
  };
}

// Returns the OR of every value read, so that flags which clear when read are not lost to
// the reads before the last; nothing after the time-out.
std::optional<uint32_t> DebugRun::pollUntilSet(uint32_t address, uint32_t mask, const char* what) {
  const std::function<bool()> expired = timeOut();
  uint32_t seen = 0;
  uint32_t value = 0;
  while (((value = swd_.memRead(address)) & mask) == 0) {
    seen |= value;
    if (expired()) {
      char text[160];
      std::snprintf(
          text, sizeof text, "Error: %s did not become ready within %g s (0x%08x reads 0x%08x)",
          what, kPollTimeoutSeconds, static_cast<unsigned>(address), static_cast<unsigned>(value));
      errors_.emplace_back(text);
      return std::nullopt;
    }
  }
  return seen | value;
}

bool DebugRun::noErrorFlags(const char* operation, uint32_t address, const std::string& flags) {
  if (flags.empty()) return true;
  char text[64];
  std::snprintf(text, sizeof text, "Error: %s at 0x%08x failed:", operation,
                static_cast<unsigned>(address));
  errors_.push_back(text + flags);
  return false;
}

bool DebugRun::eefcCommand(uint32_t page, uint32_t word, const char* operation, uint32_t address) {
  const uint32_t planeOffset = (page >> 10) * kEefcPlaneStride;
  swd_.memWrite(kEefcCommand + planeOffset, word);
  const std::optional<uint32_t> status =
      pollUntilSet(kEefcStatus + planeOffset, kEefcReady, "the flash controller");
  return status && noErrorFlags(operation, address, setFlags(*status, kEefcErrors));
}

void DebugRun::readBlock(uint32_t address, uint8_t* bytes, uint32_t length) {
  std::vector<uint32_t> words(length / 4);
  if (path_ == BlockPath::kBulk) {
    swd_.memReadBlock(address, words.data(), words.size());
  } else {
    for (std::size_t i = 0; i < words.size(); ++i) {
      words[i] = swd_.memRead(address + static_cast<uint32_t>(4 * i));
    }
  }
  // Least significant byte first, as the core stores words.
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
  }
}

void DebugRun::writeBlock(uint32_t address, const uint8_t* bytes, uint32_t length) {
  std::vector<uint32_t> words(length / 4);
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (int b = 0; b < 4; ++b) words[i] |= static_cast<uint32_t>(bytes[4 * i + b]) << (8 * b);
  }
  if (path_ == BlockPath::kBulk) {
    swd_.memWriteBlock(address, words.data(), words.size());
  } else {
    for (std::size_t i = 0; i < words.size(); ++i) {
      swd_.memWrite(address + static_cast<uint32_t>(4 * i), words[i]);
    }
  }
}

bool DebugRun::readFile(const char* fileName, uint32_t limit, uint32_t* length) {
  int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    systemError("open()");
    return false;
  }
  uint32_t total = 0;
  while (total < limit) {
    ssize_t n = ::read(fd, image_.data() + total, limit - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      systemError("read()");
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  ::close(fd);
  *length = total;
  return true;
}

Outcome DebugRun::erase() {
  if (family_->isM4) {
    return eefcCommand(0, kEefcEraseAll, "erase", family_->flashBase) ? Outcome::kDone
                                                                      : Outcome::kFailed;
  }
  swd_.memWrite(kDsuCtrlStatus, kDsuClearStatus);
  swd_.memWrite(kDsuCtrlStatus, kDsuChipErase);
  // A chip erase that fails may not say done: its error flags end the wait too.
  const std::optional<uint32_t> status =
      pollUntilSet(kDsuCtrlStatus, kDsuDone | maskOf(kDsuErrors), "the chip erase");
  return status && noErrorFlags("chip erase", kDsuCtrlStatus, setFlags(*status, kDsuErrors))
             ? Outcome::kDone
             : Outcome::kFailed;
}

Outcome DebugRun::readToFile(const char* fileName) {
  const uint32_t size = family_->imageSize;
  for (uint32_t offset = 0; offset < size; offset += family_->blockSize) {
    readBlock(family_->flashBase + offset, image_.data() + offset, family_->blockSize);
    progress('.');
  }
  // A file of zeros where the target did not answer would pass for its flash.
  if (swd_.failedAccesses() != 0) {
    errors_.push_back(std::string("Error: ") + fileName +
                      " not written: the flash could not be read");
    return Outcome::kFailed;
  }
  int fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    systemError("open()");
    return Outcome::kExitNow;
  }
  for (uint32_t written = 0; written < size;) {
    ssize_t n = ::write(fd, image_.data() + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      systemError("write()");
      ::close(fd);
      return Outcome::kExitNow;
    }
    written += static_cast<uint32_t>(n);
  }
  if (::close(fd) != 0) {
    systemError("write()");
    return Outcome::kExitNow;
  }
  return Outcome::kDone;
}

Outcome DebugRun::writeFromFile(const char* fileName) {
  uint32_t length = 0;
  if (!readFile(fileName, family_->imageSize, &length)) return Outcome::kExitNow;
  return family_->isM4 ? writeM4(length) : writeM0Plus(length);
}

Outcome DebugRun::writeM4(uint32_t length) {
  const uint32_t pages = (length + kM4PageSize - 1) / kM4PageSize;
  for (uint32_t page = 0; page < pages; page += kM4PagesPerErase) {
    if (!eefcCommand(page, kEefcErase16Pages | page << 8, "erase",
                     family_->flashBase + page * kM4PageSize)) {
      return Outcome::kFailed;
    }
    progress('.');
  }
  progress(',');
  // Writing a page's words fills the controller's page latch; the command programs it.
  // The last page's bytes past the file come from the buffer as it is (zero).
  for (uint32_t page = 0; page < pages; ++page) {
    writeBlock(family_->flashBase + page * kM4PageSize, image_.data() + page * kM4PageSize,
               kM4PageSize);
    if (!eefcCommand(page, kEefcWritePage | page << 8, "write",
                     family_->flashBase + page * kM4PageSize)) {
      return Outcome::kFailed;
    }
    progress('.');
  }
  // An empty image has no last page: plane 0 holds the boot setting then.
  const uint32_t lastPage = pages == 0 ? 0 : pages - 1;
  return eefcCommand(lastPage, kEefcBootFromFlash, "boot-from-flash setting",
                     kEefcCommand + (lastPage >> 10) * kEefcPlaneStride)
             ? Outcome::kDone
             : Outcome::kFailed;
}

Outcome DebugRun::writeM0Plus(uint32_t length) {
  std::array<uint8_t, kM0PlusWriteBlock> block;
  for (uint32_t offset = 0; offset < length; offset += kM0PlusWriteBlock) {
    // Erased flash reads 0xFF, and programming 0xFF leaves a byte as it is.
    block.fill(0xFF);
    std::memcpy(block.data(), image_.data() + offset, std::min(kM0PlusWriteBlock, length - offset));
    const uint32_t address = family_->flashBase + offset;
    // The error flags stay set until cleared: clear them so that the check below sees
    // this block's alone.
    swd_.memWrite(kNvmIntFlag, maskOf(kNvmIntFlagErrors));
    swd_.memWrite(kNvmStatus, maskOf(kNvmStatusErrors));
    swd_.memWrite(kNvmAddr, address / 2);  // ADDR counts 16-bit units
    swd_.memWrite(kNvmCtrlA, kNvmUnlockRegion);
    if (!pollUntilSet(kNvmIntFlag, kNvmReady, "the NVM controller")) return Outcome::kFailed;
    // With automatic page write the controller programs each page when its last word
    // arrives. The last one is still programming when the words are through; a reset
    // then would leave it corrupt, so the block ends when the controller is ready.
    writeBlock(address, block.data(), kM0PlusWriteBlock);
    const std::optional<uint32_t> intFlag =
        pollUntilSet(kNvmIntFlag, kNvmReady, "the NVM controller");
    if (!intFlag) return Outcome::kFailed;
    const uint32_t status = swd_.memRead(kNvmStatus);
    if (!noErrorFlags("write", address,
                      setFlags(*intFlag, kNvmIntFlagErrors) + setFlags(status, kNvmStatusErrors))) {
      return Outcome::kFailed;
    }
    progress('.');
  }
  return Outcome::kDone;
}

Outcome DebugRun::verify(const char* fileName) {
  uint32_t length = 0;
  if (!readFile(fileName, kImageBufferSize, &length)) return Outcome::kExitNow;
  // The part holds no more than its flash: bytes of the file past it are not compared.
  const uint32_t compared = std::min(length, family_->imageSize);
  std::vector<uint8_t> block(family_->blockSize);
  for (uint32_t offset = 0; offset < compared; offset += family_->blockSize) {
    readBlock(family_->flashBase + offset, block.data(), family_->blockSize);
    const uint32_t count = std::min(family_->blockSize, compared - offset);
    for (uint32_t i = 0; i < count; ++i) {
      if (block[i] != image_[offset + i]) {
        std::fprintf(io_.out, "Verification failed at 0x%x: expected 0x%02x, got 0x%02x\n",
                     static_cast<unsigned>(offset + i), image_[offset + i], block[i]);
        return Outcome::kFailed;
      }
    }
    progress('.');
  }
  return Outcome::kDone;
}

}  // namespace

int swdFlashMain(int argc, const char* const* argv, SwdLines& lines, const ToolIo& io,
                 BlockPath path) {
  if (argc < 2) {
    std::fputs(kUsage, io.out);
    return 1;
  }
  const std::string command = argv[1];
  Command chosen;
  if (command == "erase") {
    chosen = Command::kErase;
  } else if (command == "read") {
    chosen = Command::kRead;
  } else if (command == "write") {
    chosen = Command::kWrite;
  } else if (command == "verify") {
    chosen = Command::kVerify;
  } else if (command == "version") {
    std::fprintf(io.out, "swd-flash version %s\n", kSwdFlashVersion);
    return 0;
  } else {
    std::fprintf(io.out, "Error: invalid command '%s'\n", argv[1]);
    return 1;
  }
  if (chosen != Command::kErase && argc < 3) {
    std::fputs("Error: file name is expected\n", io.out);
    return 1;
  }
  DebugRun run(lines, io, path);
  return run.run(chosen, chosen == Command::kErase ? nullptr : argv[2]);
}

}  // namespace swd
