// The real swd-flash against the SWD target model, for both target families: the model
// library stands in for libgpiod (first on LD_LIBRARY_PATH) and keeps the target's flash
// in a directory between runs.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "E2eHarness.h"

namespace {

using vantorellabs::e2e::readFile;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

enum class Library { kModel, kSystem };

// Runs swd-flash with `args`, the model's state in `modelDir`.
ToolRun runSwdFlash(const std::vector<std::string>& args, const std::string& modelDir,
                    Library library = Library::kModel) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    if (library == Library::kModel) {
      setenv("LD_LIBRARY_PATH", SWD_MODEL_LIB_DIR, 1);
    } else {
      unsetenv("LD_LIBRARY_PATH");
    }
    setenv("SWD_TARGET_MODEL_DIR", modelDir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(SWD_FLASH_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SWD_FLASH_PATH, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ToolRun run;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* texts[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string randomBytes(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The model's figure for `key` in its stats file.
std::string stat(const std::string& dir, const std::string& key) {
  for (const std::string& line : lines(readFile(dir + "/stats"))) {
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

struct Family {
  const char* name;
  std::size_t flashSize;
  std::size_t readBlocks;
  std::string header;
};

const Family kM4{
    "M4", 0x80000, 1024,
    "IDCODE 0x2ba01477.\nM4 Core Detected.\nCHIPID = 0xa3cc0ce0\nCHIPEXID = 0x00120209\n"};
const Family kM0Plus{
    "M0+", 0x20000, 64,
    "IDCODE 0x0bc11477.\nM0+ Core Detected.\nCHIPID = 0x10010305\nCHIPEXID = 0x00000000\n"};

void PrintTo(const Family& family, std::ostream* out) { *out << family.name; }

class SwdFlashE2eTest : public ::testing::TestWithParam<Family> {};

TEST_P(SwdFlashE2eTest, EraseWriteReadVerify) {
  const Family& f = GetParam();
  const bool m4 = std::string(f.name) == "M4";
  const std::string dir = std::string("/tmp/swd-target-") + (m4 ? "m4" : "m0plus");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  writeFile(dir + "/config", std::string("family ") + f.name + "\n");
  // The part arrives with old firmware in its flash.
  const std::string oldFirmware = randomBytes(f.flashSize, 1);
  writeFile(dir + "/flash.bin", oldFirmware);

  ToolRun run = runSwdFlash({"version"}, dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "swd-flash version 0.2.4\n");
  EXPECT_EQ(readFile(dir + "/stats"), "") << "the version command opened the chip";

  run = runSwdFlash({"erase"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, f.header + "\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(readFile(dir + "/flash.bin"), std::string(f.flashSize, '\xFF'));
  EXPECT_EQ(lines(readFile(dir + "/events")),
            (std::vector<std::string>{"reset, core halted", m4 ? "erase all" : "chip erase",
                                      "reset, core running"}));
  EXPECT_EQ(stat(dir, "core"), "running");
  EXPECT_EQ(stat(dir, "contentions"), "0");

  // 1000 bytes: M4 erases 16 pages, programs two and sets the boot bit; M0+ unlocks the
  // first region and programs the 32 pages of one 2 KB block, padded with 0xFF.
  const std::string small = randomBytes(1000, 2);
  writeFile("/tmp/small.bin", small);
  run = runSwdFlash({"write", "/tmp/small.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, f.header + (m4 ? ".,..\n" : ".\n"));
  std::vector<std::string> events{"reset, core halted"};
  if (m4) {
    for (const char* e : {"erase pages 0-15", "write page 0", "write page 1", "set gpnvm bit 1"}) {
      events.emplace_back(e);
    }
  } else {
    events.emplace_back("unlock region 0");
    for (int page = 0; page < 32; ++page) events.push_back("write page " + std::to_string(page));
  }
  events.emplace_back("reset, core running");
  EXPECT_EQ(lines(readFile(dir + "/events")), events);
  std::string expected(f.flashSize, '\xFF');
  expected.replace(0, small.size(), small);
  if (m4) expected.replace(1000, 24, std::string(24, '\0'));  // the last page from the buffer
  EXPECT_EQ(readFile(dir + "/flash.bin"), expected);
  if (m4) {
    EXPECT_EQ(readFile(dir + "/gpnvm"), "2\n");  // boot from flash
  }

  run = runSwdFlash({"verify", "/tmp/small.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, f.header + (m4 ? "..\n" : ".\n"));

  std::string changed = small;
  changed[777] = static_cast<char>(changed[777] ^ 0x10);
  writeFile("/tmp/changed.bin", changed);
  run = runSwdFlash({"verify", "/tmp/changed.bin"}, dir);
  EXPECT_EQ(run.status, 1);
  char difference[96];
  std::snprintf(difference, sizeof difference,
                "Verification failed at 0x309: expected 0x%02x, got 0x%02x\n",
                static_cast<unsigned char>(changed[777]), static_cast<unsigned char>(small[777]));
  EXPECT_EQ(run.out, f.header + (m4 ? "." : "") + difference + "\n");

  // Writing over unerased flash: the M4 write erases first; the M0+ write does not, and
  // programming only clears bits.
  const std::string other = randomBytes(1000, 3);
  writeFile("/tmp/other.bin", other);
  run = runSwdFlash({"write", "/tmp/other.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  std::string merged = other;
  if (!m4) {
    for (std::size_t i = 0; i < merged.size(); ++i)
      merged[i] = static_cast<char>(small[i] & other[i]);
  }
  EXPECT_EQ(readFile(dir + "/flash.bin").substr(0, 1000), merged);

  // 600 KB: only the part's flash size is programmed.
  const std::string large = randomBytes(600 * 1024, 4);
  writeFile("/tmp/large.bin", large);
  EXPECT_EQ(runSwdFlash({"erase"}, dir).status, 0);
  run = runSwdFlash({"write", "/tmp/large.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out,
            f.header +
                (m4 ? std::string(64, '.') + "," + std::string(1024, '.') : std::string(64, '.')) +
                "\n");
  EXPECT_EQ(readFile(dir + "/flash.bin"), large.substr(0, f.flashSize));

  run = runSwdFlash({"read", "/tmp/read.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, f.header + std::string(f.readBlocks, '.') + "\n");
  EXPECT_EQ(readFile("/tmp/read.bin"), large.substr(0, f.flashSize));
  struct stat info {};
  ASSERT_EQ(::stat("/tmp/read.bin", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  // The file is longer than the flash: only the flash's size is compared.
  run = runSwdFlash({"verify", "/tmp/large.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out, f.header + std::string(f.readBlocks, '.') + "\n");

  // A missing directory: the whole flash is read first, then the file cannot be made;
  // the target stays halted.
  run = runSwdFlash({"read", "/tmp/missing/read.bin"}, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, f.header + std::string(f.readBlocks, '.'));
  EXPECT_EQ(run.err, "swd-flash: open(): No such file or directory\n");
  EXPECT_EQ(stat(dir, "core"), "halted");

  // A slow bus answers WAIT to every access-port request twice: same result.
  writeFile(dir + "/config", std::string("family ") + f.name + "\nwaits-per-ap-request 2\n");
  run = runSwdFlash({"verify", "/tmp/large.bin"}, dir);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(stat(dir, "wait"), "0");

  // A target that stops answering never yields a successful read.
  writeFile(dir + "/config", std::string("family ") + f.name + "\nsilent-after-requests 400\n");
  run = runSwdFlash({"read", "/tmp/gone.bin"}, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Error: /tmp/gone.bin not written: the flash could not be read\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(" failed; the first: read at"), std::string::npos) << run.out;
  EXPECT_NE(::access("/tmp/gone.bin", F_OK), 0);

  // A write that fails on the bus is reported, not passed over.
  writeFile(dir + "/config", std::string("family ") + f.name + "\nbus-error-at " +
                                 (m4 ? "0x00400104" : "0x00000104") + "\n");
  run = runSwdFlash({"write", "/tmp/small.bin"}, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(m4 ? "the first: write at 0x00400000: FAULT"
                            : "the first: write at 0x00000000: FAULT"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(stat(dir, "core"), "running");
}

// The flash controllers refuse an operation (a locked region, a command error): the tool
// names the address and the flags, lets the target run and exits with 1.
TEST_P(SwdFlashE2eTest, RefusedOperationsFail) {
  const Family& f = GetParam();
  const bool m4 = std::string(f.name) == "M4";
  const std::string dir = std::string("/tmp/swd-refused-") + (m4 ? "m4" : "m0plus");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  writeFile("/tmp/small.bin", randomBytes(1000, 2));
  writeFile("/tmp/large.bin", randomBytes(f.flashSize, 4));
  struct Case {
    std::string fault;
    std::string command;
    std::string progress;
    std::string error;
  };
  const std::vector<Case> cases =
      m4 ? std::vector<Case>{{"locked-at 0x00400000", "small", "",
                              "erase at 0x00400000 failed: FSR.FLOCKE"},
                             {"locked-at 0x00402000", "large", ".",
                              "erase at 0x00402000 failed: FSR.FLOCKE"},
                             {"command-error-at 1", "erase", "",
                              "erase at 0x00400000 failed: FSR.FCMDE"},
                             {"command-error-at 2", "small", ".,",
                              "write at 0x00400000 failed: FSR.FCMDE"},
                             {"command-error-at 4", "small", ".,..",
                              "boot-from-flash setting at 0x400e0a04 failed: FSR.FCMDE"}}
         : std::vector<Case>{
               {"locked-at 0x00000000", "small", "",
                "write at 0x00000000 failed: INTFLAG.ERROR STATUS.LOCKE"},
               {"locked-at 0x00002000", "large", "....",
                "write at 0x00002000 failed: INTFLAG.ERROR STATUS.LOCKE"},
               {"command-error-at 1", "erase", "", "chip erase at 0x41002100 failed: STATUSA.FAIL"},
               {"command-error-at 2", "small", "",
                "write at 0x00000000 failed: INTFLAG.ERROR STATUS.PROGE"}};
  for (const Case& c : cases) {
    writeFile(dir + "/config", std::string("family ") + f.name + "\n" + c.fault + "\n");
    const std::vector<std::string> args =
        c.command == "erase" ? std::vector<std::string>{"erase"}
                             : std::vector<std::string>{"write", "/tmp/" + c.command + ".bin"};
    ToolRun run = runSwdFlash(args, dir);
    EXPECT_EQ(run.status, 1) << c.fault;
    EXPECT_EQ(run.out, f.header + c.progress + "\nError: " + c.error + "\n") << c.fault;
    EXPECT_EQ(stat(dir, "core"), "running") << c.fault;
  }
}

TEST_P(SwdFlashE2eTest, NoModelNoChip) {
  const Family& f = GetParam();
  const std::string dir = std::string("/tmp/swd-nochip-") + (f.flashSize == 0x80000 ? "m4" : "m0");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  writeFile(dir + "/config", std::string("family ") + f.name + "\n");
  // The system's libgpiod finds no GPIO chip on the board: nothing is driven.
  ToolRun run = runSwdFlash({"erase"}, dir, Library::kSystem);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Error: cannot open GPIO chip 0: No such file or directory\n");
  // Off the board the model refuses to be a chip at all.
  ASSERT_EQ(rename("/board/.run-in-board", "/board/.run-in-board.away"), 0);
  run = runSwdFlash({"erase"}, dir);
  ASSERT_EQ(rename("/board/.run-in-board.away", "/board/.run-in-board"), 0);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "swd target model: refusing to run outside the board sandbox "
            "(sim/board/run-in-board)\nError: cannot open GPIO chip 0: Operation not permitted\n");
  EXPECT_EQ(readFile(dir + "/stats"), "");
}

INSTANTIATE_TEST_SUITE_P(Families, SwdFlashE2eTest, ::testing::Values(kM4, kM0Plus),
                         [](const ::testing::TestParamInfo<Family>& info) {
                           return std::string(info.param.name) == "M4" ? "M4" : "M0Plus";
                         });

}  // namespace
