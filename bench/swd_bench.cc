// swd-bench: clock cycles per 32-bit word and wall time per 64 KB for swd-flash's reads,
// writes and verifies, bulk (auto-increment, posted reads) against word by word, on the
// SWD target model in this process. The wire limit is 46 cycles per word (8 request, 1
// turnaround, 3 acknowledgement, 33 data and parity, 1 turnaround).
//
// Two tables: the transfers alone (64 KB through the access port into the flash's page
// latch or buffer, where nothing is programmed), and the whole commands as swd-flash runs
// them, which add the flash controllers' commands, status polls and busy periods.

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BoardSandbox.h"
#include "FlashTool.h"
#include "ModelLines.h"
#include "SwdTargetModel.h"
#include "SwdTransport.h"

namespace {

using swdmodel::Family;
using Clock = std::chrono::steady_clock;

constexpr double kWireLimit = 46.0;
constexpr uint32_t k64K = 64 * 1024;
// A WAIT costs a request, a turnaround, the acknowledgement and a turnaround.
constexpr double kWaitCycles = 13.0;

const char* familyName(Family f) { return f == Family::kM4 ? "M4" : "M0+"; }
const char* pathName(swd::BlockPath p) { return p == swd::BlockPath::kBulk ? "bulk" : "word"; }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void transferTable() {
  std::printf("Transfers of 64 KB (flash base, nothing programmed)\n");
  std::printf("%-5s %-6s %-5s %12s %10s %12s\n", "part", "op", "path", "cycles/word", "x limit",
              "ms per 64KB");
  for (Family family : {Family::kM4, Family::kM0Plus}) {
    const uint32_t base = family == Family::kM4 ? 0x00400000 : 0;
    for (const char* op : {"read", "write", "verify"}) {
      for (bool bulk : {true, false}) {
        swdmodel::ModelConfig config;
        config.family = family;
        swdmodel::SwdTargetModel model(config);
        swdmodel::ModelLines lines(model);
        swd::SwdTransport swd(lines);
        std::string openError;
        lines.swdOpenLines(&openError);
        lines.swdIdleLines();
        lines.swdDriveLines();
        swd.swdResetAndReadIdcode();
        // The model acknowledges after a few reads; a bound keeps a broken one from
        // hanging the benchmark.
        uint32_t ctrlStat = 0;
        int reads = 0;
        if (!swd.swdPowerUpDebug([&reads] { return ++reads > 1000; }, &ctrlStat)) {
          std::printf("debug power-up not acknowledged (CTRL/STAT 0x%08x)\n",
                      static_cast<unsigned>(ctrlStat));
          return;
        }
        std::vector<uint32_t> words(k64K / 4);
        std::vector<uint32_t> expected(k64K / 4, 0xFFFFFFFF);
        for (std::size_t i = 0; i < words.size(); ++i)
          words[i] = static_cast<uint32_t>(i * 2654435761u);
        const uint64_t before = model.stats().cycles;
        const auto start = Clock::now();
        bool same = true;
        if (std::string(op) == "write") {
          if (bulk) {
            swd.memWriteBlock(base, words.data(), words.size());
          } else {
            for (std::size_t i = 0; i < words.size(); ++i) swd.memWrite(base + 4 * i, words[i]);
          }
        } else {
          if (bulk) {
            swd.memReadBlock(base, words.data(), words.size());
          } else {
            for (std::size_t i = 0; i < words.size(); ++i) words[i] = swd.memRead(base + 4 * i);
          }
          if (std::string(op) == "verify") same = words == expected;
        }
        const double elapsed = seconds(Clock::now() - start);
        const double perWord = static_cast<double>(model.stats().cycles - before) / words.size();
        std::printf("%-5s %-6s %-5s %12.1f %10.2f %12.1f%s%s\n", familyName(family), op,
                    bulk ? "bulk" : "word", perWord, perWord / kWireLimit, elapsed * 1000,
                    swd.failedAccesses() != 0 ? "  FAILED ACCESSES" : "",
                    same ? "" : "  DIFFERENT");
      }
    }
  }
}

int run(swd::SwdLines& lines, std::vector<std::string> args, swd::BlockPath path) {
  std::FILE* sink = std::fopen("/dev/null", "w");
  args.insert(args.begin(), "swd-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  swd::ToolIo io{sink, stderr, [] { return seconds(Clock::now().time_since_epoch()); }};
  int status = swd::swdFlashMain(static_cast<int>(argv.size()), argv.data(), lines, io, path);
  std::fclose(sink);
  return status;
}

int commandTable() {
  std::printf("\nWhole commands on the full flash (write includes programming and polls)\n");
  std::printf("%-5s %-6s %-5s %12s %16s %12s\n", "part", "op", "path", "cycles/word",
              "without WAITs", "ms per 64KB");
  const std::string image = "/tmp/swd-bench-image.bin";
  const std::string readBack = "/tmp/swd-bench-read.bin";
  std::mt19937 random(1);
  std::string bytes(0x80000, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::ofstream(image, std::ios::binary) << bytes;
  int failures = 0;
  for (Family family : {Family::kM4, Family::kM0Plus}) {
    for (swd::BlockPath path : {swd::BlockPath::kBulk, swd::BlockPath::kWordByWord}) {
      swdmodel::ModelConfig config;
      config.family = family;
      swdmodel::SwdTargetModel model(config);
      swdmodel::ModelLines lines(model);
      const double words = static_cast<double>(model.chip().flash().size()) / 4;
      failures += run(lines, {"erase"}, path) != 0;
      for (const char* op : {"write", "verify", "read"}) {
        const std::string file = std::string(op) == "read" ? readBack : image;
        const swdmodel::WireStats before = model.stats();
        const auto start = Clock::now();
        const int status = run(lines, {op, file}, path);
        const double elapsed = seconds(Clock::now() - start);
        const double cycles = static_cast<double>(model.stats().cycles - before.cycles);
        const double waits = static_cast<double>(model.stats().wait - before.wait);
        failures += status != 0;
        std::printf("%-5s %-6s %-5s %12.1f %16.1f %12.1f%s\n", familyName(family), op,
                    pathName(path), cycles / words, (cycles - waits * kWaitCycles) / words,
                    elapsed * 1000 * k64K / model.chip().flash().size(),
                    status != 0 ? "  FAILED" : "");
      }
    }
  }
  unlink(image.c_str());
  unlink(readBack.c_str());
  return failures;
}

}  // namespace

int main() {
  // Not that it touches the board: benchmarks run on the sandbox, as the tool's tests do.
  boardsandbox::requireBoardSandbox("swd-bench");
  transferTable();
  return commandTable() == 0 ? 0 : 1;
}
