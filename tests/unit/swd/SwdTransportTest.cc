#include <gtest/gtest.h>

#include "FakeSwdLines.h"
#include "SwdTransport.h"

namespace swd {
namespace {

using testing::ScriptedSwdLines;

TEST(SwdTransportTest, RequestBytesAndParity) {
  struct Case {
    unsigned code;
    uint8_t byte;
  };
  for (const Case& c :
       {Case{kDpWriteAbort, 0x81}, Case{kDpReadIdcode, 0xA5}, Case{kDpWriteCtrlStat, 0xA9},
        Case{kDpWriteSelect, 0xB1}, Case{kDpReadRdbuff, 0xBD}, Case{kApWriteCsw, 0xA3},
        Case{kApWriteTar, 0x8B}, Case{kApWriteDrw, 0xBB}, Case{kApReadDrw, 0x9F},
        Case{kDpReadCtrlStat, 0x8D}}) {
    EXPECT_EQ(swdRequestByte(c.code), c.byte) << "code " << c.code;
  }
  struct ParityCase {
    uint32_t value;
    unsigned parity;
  };
  for (const ParityCase& c :
       {ParityCase{0, 0}, ParityCase{1, 1}, ParityCase{3, 0}, ParityCase{0x80000000, 1},
        ParityCase{0xFFFFFFFF, 0}, ParityCase{0x2BA01477, 0}, ParityCase{0x0BC11477, 0}}) {
    EXPECT_EQ(swdParity(c.value), c.parity) << std::hex << c.value;
  }
}

TEST(SwdTransportTest, IdcodeRequestGoesOutLeastSignificantBitFirst) {
  ScriptedSwdLines lines;
  lines.swdDriveLines();
  SwdTransport swd(lines);
  swd.swdTransfer(kDpReadIdcode, nullptr);
  ASSERT_GE(lines.sent.size(), 8u);
  EXPECT_EQ(std::vector<int>(lines.sent.begin(), lines.sent.begin() + 8),
            (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1}));
}

// One transaction against a scripted target: its result, the attempts (requests sent),
// the clock cycles, and the word stored.
TEST(SwdTransportTest, Acknowledgements) {
  constexpr uint64_t kOkBits = 0b001;  // OK, least significant bit first on the wire
  constexpr uint64_t kWaitBits = 0b010;
  constexpr uint64_t kFaultBits = 0b100;
  struct Case {
    const char* name;
    unsigned code;
    std::function<void(ScriptedSwdLines&)> script;
    int result;
    int attempts;
    int cycles;
    uint32_t stored;
  };
  const Case cases[] = {
      {"nothing attached reads 7", kDpReadIdcode, [](ScriptedSwdLines&) {}, 7, 1, 46, 0xAAAAAAAA},
      {"read OK", kDpReadIdcode,
       [](ScriptedSwdLines& l) {
         l.answer(kOkBits, 3);
         l.answer(0x2BA01477, 32);
         l.answer(0, 1);
       },
       kAckOk, 1, 46, 0x2BA01477},
      {"parity error stores the data", kDpReadIdcode,
       [](ScriptedSwdLines& l) {
         l.answer(kOkBits, 3);
         l.answer(0x12345678, 32);
         l.answer(swdParity(0x12345678) ^ 1, 1);
       },
       kParityError, 1, 46, 0x12345678},
      {"write OK", kApWriteTar, [](ScriptedSwdLines& l) { l.answer(kOkBits, 3); }, kAckOk, 1, 46,
       0xAAAAAAAA},
      {"FAULT is not retried", kApReadDrw, [](ScriptedSwdLines& l) { l.answer(kFaultBits, 3); },
       kAckFault, 1, 13, 0xAAAAAAAA},
      {"WAIT then OK", kApWriteTar,
       [](ScriptedSwdLines& l) {
         l.answer(kWaitBits, 3);
         l.answer(kWaitBits, 3);
         l.answer(kOkBits, 3);
       },
       kAckOk, 3, 13 * 2 + 46, 0xAAAAAAAA},
      {"128 WAITs give up", kApReadDrw,
       [](ScriptedSwdLines& l) {
         for (int i = 0; i < 200; ++i) l.answer(kWaitBits, 3);
       },
       kAckWait, 128, 13 * 128, 0xAAAAAAAA},
  };
  for (const Case& c : cases) {
    ScriptedSwdLines lines;
    c.script(lines);
    lines.swdDriveLines();
    SwdTransport swd(lines);
    // A read stores into `data`; a write sends it.
    uint32_t data = 0xAAAAAAAA;
    const bool read = (c.code & 2) != 0;
    EXPECT_EQ(swd.swdTransfer(c.code, &data), c.result) << c.name;
    EXPECT_EQ(lines.cycles, c.cycles) << c.name;
    if (read) {
      EXPECT_EQ(data, c.stored) << c.name;
    }
    // Each attempt sends the same request byte; a write's data follows the last one.
    int attempts = 0;
    for (std::size_t i = 0; i + 8 <= lines.sent.size(); i += 8) {
      if (lines.sentValue(i, 8) != swdRequestByte(c.code)) break;
      ++attempts;
    }
    EXPECT_EQ(attempts, c.attempts) << c.name;
    if (!read && c.result == kAckOk) {
      EXPECT_EQ(lines.sentValue(lines.sent.size() - 33, 32), 0xAAAAAAAAu) << c.name;
      EXPECT_EQ(lines.sent.back(), 0) << c.name << ": parity of 0xAAAAAAAA";
    }
  }
}

TEST(SwdTransportTest, NothingAttachedMemoryReadsZeroAndCountsTheFailure) {
  ScriptedSwdLines lines;
  lines.swdDriveLines();
  SwdTransport swd(lines);
  EXPECT_EQ(swd.memRead(0x400E0740), 0u);
  EXPECT_FALSE(swd.memWrite(0xE000EDF0, 0xA05F0003));
  EXPECT_FALSE(swd.memWrite(0xE000ED0C, 0x05FA0004, Accounting::kNotLookedAt));
  EXPECT_EQ(swd.failedAccesses(), 2u);
  EXPECT_EQ(swd.firstFailure(), "read at 0x400e0740: no answer (acknowledgement 7)");
}

}  // namespace
}  // namespace swd
