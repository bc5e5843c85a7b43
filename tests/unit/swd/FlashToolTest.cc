#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "FakeSwdLines.h"
#include "FlashTool.h"
#include "ModelLines.h"
#include "SwdTargetModel.h"

namespace swd {
namespace {

using swdmodel::Family;

// Standard output and error of one run, and its exit status.
struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

// The default clock moves a millisecond per look, so that a poll which never ends fails
// the test instead of hanging it.
ToolRun runTool(
    std::vector<std::string> args, SwdLines& lines, BlockPath path = BlockPath::kBulk,
    std::function<double()> clock = [now = 0.0]() mutable { return now += 0.001; }) {
  char* outText = nullptr;
  char* errText = nullptr;
  size_t outSize = 0;
  size_t errSize = 0;
  FILE* out = open_memstream(&outText, &outSize);
  FILE* err = open_memstream(&errText, &errSize);
  args.insert(args.begin(), "swd-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  ToolIo io{out, err, std::move(clock)};
  ToolRun run{swdFlashMain(static_cast<int>(argv.size()), argv.data(), lines, io, path), "", ""};
  std::fclose(out);
  std::fclose(err);
  run.out = outText;
  run.err = errText;
  std::free(outText);
  std::free(errText);
  return run;
}

// The output after the IDCODE, family and chip identity lines.
std::string afterHeader(const std::string& out) {
  return out.substr(out.find('\n', out.find("CHIPEXID")) + 1);
}

class FlashToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/swd-flash-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string file(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
};

TEST_F(FlashToolTest, CommandLineErrorsNeverTouchTheLines) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{}, 1, "Usage: swd-flash [version | erase | read | write | verify] [file_name]\n"},
      {{"version"}, 0, "swd-flash version 0.2.4\n"},
      {{"version", "extra"}, 0, "swd-flash version 0.2.4\n"},
      {{"flash"}, 1, "Error: invalid command 'flash'\n"},
      {{"Erase"}, 1, "Error: invalid command 'Erase'\n"},
      {{""}, 1, "Error: invalid command ''\n"},
      {{"read"}, 1, "Error: file name is expected\n"},
      {{"write"}, 1, "Error: file name is expected\n"},
      {{"verify"}, 1, "Error: file name is expected\n"},
  };
  for (const Case& c : cases) {
    testing::ScriptedSwdLines lines;
    ToolRun run = runTool(c.args, lines);
    std::string name = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(run.status, c.status) << name;
    EXPECT_EQ(run.out, c.out) << name;
    EXPECT_FALSE(lines.opened) << name;
    EXPECT_EQ(lines.cycles, 0) << name;
  }
}

TEST_F(FlashToolTest, FailuresEndWithStatusOne) {
  // The GPIO chip cannot be opened: nothing is driven.
  testing::ScriptedSwdLines noChip;
  noChip.openError = "Error: cannot open GPIO chip 0: No such file or directory";
  ToolRun run = runTool({"erase"}, noChip);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error: cannot open GPIO chip 0: No such file or directory\n");
  EXPECT_EQ(noChip.cycles, 0);

  // A line read fails mid-run: the run ends there, with the wires let go.
  testing::ScriptedSwdLines broken;
  broken.readError = EIO;
  run = runTool({"erase"}, broken);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error: Input/output error\n");
  EXPECT_TRUE(broken.released);

  // Nothing attached: every acknowledgement reads 7 and the IDCODE stays 0.
  testing::ScriptedSwdLines nothing;
  run = runTool({"erase"}, nothing);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "IDCODE 0x00000000.\nError: unexpected IDCODE value.\n");

  // The flash controller never gets ready: the poll gives up after 5 s of the clock and
  // the target is let go before the run ends.
  swdmodel::ModelConfig config;
  config.faults.flashNeverReady = true;
  swdmodel::SwdTargetModel model(config);
  swdmodel::ModelLines lines(model);
  double now = 0;
  run = runTool({"erase"}, lines, BlockPath::kBulk, [&now] { return now += 0.5; });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "IDCODE 0x2ba01477.\nM4 Core Detected.\nCHIPID = 0xa3cc0ce0\nCHIPEXID = 0x00120209\n"
            "\nError: the flash controller did not become ready within 5 s (0x400e0a08 reads "
            "0x00000000)\n");
  EXPECT_FALSE(model.chip().coreHalted());
  EXPECT_EQ(model.stats().contentions, 0u);

  // The debug port never acknowledges its power-up: the target is not touched.
  swdmodel::ModelConfig unpowered;
  unpowered.powerUpAckRead = UINT64_MAX;
  swdmodel::SwdTargetModel asleep(unpowered);
  swdmodel::ModelLines asleepLines(asleep);
  run = runTool({"erase"}, asleepLines);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "IDCODE 0x2ba01477.\nM4 Core Detected.\nError: the debug port did not power up "
            "within 5 s (CTRL/STAT reads 0x50000f00)\n");
  EXPECT_TRUE(asleep.chip().events().empty());

  // A read whose parity bit is wrong: the word is not taken.
  swdmodel::ModelConfig flipped;
  flipped.parityErrorAtRead = 17;
  swdmodel::SwdTargetModel noisy(flipped);
  swdmodel::ModelLines noisyLines(noisy);
  run = runTool({"erase"}, noisyLines);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("CHIPID = 0x00000000\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nError: 1 debug access failed; the first: read at 0x400e0740: "
                         "parity error\n"),
            std::string::npos)
      << run.out;

  // A target that stops answering part-way: no file of zeros, and the failures are told.
  swdmodel::ModelConfig silent;
  silent.silentAfterRequests = 600;
  swdmodel::SwdTargetModel gone(silent);
  swdmodel::ModelLines goneLines(gone);
  std::string image = dir_ + "/image.bin";
  run = runTool({"read", image}, goneLines);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Error: " + image + " not written: the flash could not be read\n"),
            std::string::npos);
  EXPECT_NE(run.out.find(" debug accesses failed; the first: read at 0x004"), std::string::npos)
      << run.out;
  EXPECT_NE(access(image.c_str(), F_OK), 0);
}

TEST_F(FlashToolTest, BulkPathFailsAndRecoversOnABusError) {
  // A word in the middle of a piece fails on the bus: the sticky error is seen at the
  // piece's end, counted once and cleared, so every other piece still reads.
  swdmodel::ModelConfig config;
  config.faults.busErrorAddress = 0x00400A10;
  swdmodel::SwdTargetModel model(config);
  swdmodel::ModelLines lines(model);
  std::vector<uint8_t> pattern(0x80000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
  model.chip().flash().assign(pattern.begin(), pattern.end());
  const std::string failure =
      "Error: 1 debug access failed; the first: read at 0x00400a00: FAULT\n";
  ToolRun run = runTool({"verify", file("pattern.bin", pattern)}, lines);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(
      afterHeader(run.out),
      std::string(5, '.') + "Verification failed at 0xa00: expected 0x01, got 0x00\n\n" + failure);
  run = runTool({"read", dir_ + "/image.bin"}, lines);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(afterHeader(run.out), std::string(1024, '.') + "\nError: " + dir_ +
                                      "/image.bin not written: the flash could not "
                                      "be read\n" +
                                      failure);
  EXPECT_FALSE(model.chip().coreHalted());
}

// Nobody drives SWDIO: the pull-up holds it at 1, or else it reads noise that repeats
// with the seed.
TEST(SwdTargetModelTest, SwdioFloatsWithoutThePullUp) {
  auto sample = [](uint32_t seed, bool pullUp) {
    swdmodel::ModelConfig config;
    config.floatSeed = seed;
    swdmodel::SwdTargetModel model(config);
    model.setPullUp(pullUp);
    std::string bits;
    for (int i = 0; i < 64; ++i) bits += static_cast<char>('0' + model.dataLevel());
    return bits;
  };
  EXPECT_EQ(sample(7, true), std::string(64, '1'));
  const std::string floating = sample(7, false);
  EXPECT_EQ(floating, sample(7, false));
  EXPECT_NE(floating, sample(8, false));
  EXPECT_NE(floating.find('0'), std::string::npos) << floating;
  EXPECT_NE(floating.find('1'), std::string::npos) << floating;
}

// Bulk and word-by-word paths: the same output, flash and file, and the bulk path within
// 1.1 times the wire limit of 46 cycles per word. The M4 part is read in full by the
// end-to-end test; here it gets a smaller image to keep the word path quick.
TEST_F(FlashToolTest, BulkAndWordPathsGiveTheSameResults) {
  std::mt19937 random(7);
  std::vector<uint8_t> image(600 * 1024);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  const std::string largeImage = file("large.bin", image);
  const std::string smallImage =
      file("small.bin", std::vector<uint8_t>(image.begin(), image.begin() + 5000));
  for (Family family : {Family::kM4, Family::kM0Plus}) {
    const bool m4 = family == Family::kM4;
    const std::string& imagePath = m4 ? smallImage : largeImage;
    std::vector<std::string> outputs[2];
    std::vector<uint8_t> flashes[2];
    std::string reads[2];
    double readCyclesPerWord[2] = {};
    for (BlockPath path : {BlockPath::kBulk, BlockPath::kWordByWord}) {
      const int p = path == BlockPath::kBulk ? 0 : 1;
      swdmodel::ModelConfig config;
      config.family = family;
      swdmodel::SwdTargetModel model(config);
      swdmodel::ModelLines lines(model);
      std::string readPath = dir_ + "/read" + std::to_string(p);
      std::vector<std::vector<std::string>> commands = {
          {"erase"}, {"write", imagePath}, {"verify", imagePath}};
      if (!m4) commands.push_back({"read", readPath});
      for (const auto& args : commands) {
        uint64_t before = model.stats().cycles;
        ToolRun run = runTool(args, lines, path);
        EXPECT_EQ(run.status, 0) << args[0] << run.out << run.err;
        outputs[p].push_back(run.out);
        if (args[0] == "read") {
          readCyclesPerWord[p] = static_cast<double>(model.stats().cycles - before) /
                                 (model.chip().flash().size() / 4);
        }
      }
      flashes[p] = model.chip().flash();
      if (!m4) reads[p] = slurp(readPath);
      EXPECT_EQ(model.stats().contentions, 0u);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(flashes[0], flashes[1]);
    const std::size_t written = m4 ? 5000 : flashes[0].size();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + written, flashes[0].begin()));
    if (!m4) {
      EXPECT_EQ(reads[0], reads[1]);
      EXPECT_EQ(std::vector<uint8_t>(reads[0].begin(), reads[0].end()), flashes[0]);
      EXPECT_LE(readCyclesPerWord[0], 51.0);
      EXPECT_GE(readCyclesPerWord[1], 180.0);
    }
  }
}

}  // namespace
}  // namespace swd
