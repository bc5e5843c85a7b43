// libgpiod's version 1 interface (soname libgpiod.so.2) over the SWD target model, so
// that the real swd-flash, started with this library's directory first on
// LD_LIBRARY_PATH, programs a simulated microcontroller instead of GPIO chip 0.
//
// It only ever runs on the board sandbox: outside it, opening the chip fails, so this
// library can never be taken for a real chip, and a real chip is never reached through
// it. Inside, the sandbox's /dev has no GPIO chip, so a run that misses this library
// fails to open the chip too.
//
// The target's state lives in a directory ($SWD_TARGET_MODEL_DIR, default
// /board/swd-target) so that it carries over from one run of the tool to the next:
//   config     read: "family M4" or "family M0+", and the faults to play:
//              "silent-after-requests N", "waits-per-ap-request N",
//              "parity-error-at-read N", "bus-error-at 0xADDRESS", "flash-never-ready 1",
//              "locked-at 0xADDRESS", "command-error-at N", "power-up-ack-read N",
//              "float-seed N"
//   flash.bin  the flash array (read if present, else erased; written back)
//   gpnvm      the general-purpose NVM bits (read if present; written back)
//   events     written: what the flash controllers and the core did in this run
//   stats      written: wire figures of this run and the core's state at the end

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "BoardSandbox.h"
#include "SwdTargetModel.h"

#define GPIOD_MODEL_API extern "C" __attribute__((visibility("default")))

struct gpiod_chip {
  int number;
};

struct gpiod_line {
  const char* name;
  bool requested;
  bool output;
  int flags;
};

namespace {

using swdmodel::SwdTargetModel;

constexpr const char* kDefaultDirectory = "/board/swd-target";
constexpr int kSwclk = 0;
constexpr int kSwdio = 1;
// GPIOD_LINE_REQUEST_FLAG_BIAS_PULL_UP: without it SWDIO floats whenever nobody drives it.
constexpr int kBiasPullUp = 32;

struct Board {
  std::string directory;
  std::unique_ptr<SwdTargetModel> model;
  gpiod_chip chip{0};
  gpiod_line lines[2] = {{"PC28", false, false, 0}, {"PC27", false, false, 0}};
  bool open = false;
};

Board& board() {
  static Board instance;
  return instance;
}

void complain(const std::string& text) {
  std::fprintf(stderr, "swd target model: %s\n", text.c_str());
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool loadConfig(const std::string& directory, swdmodel::ModelConfig* config) {
  std::istringstream lines(readText(directory + "/config"));
  std::string key;
  std::string value;
  while (lines >> key >> value) {
    if (key == "family" && (value == "M4" || value == "M0+")) {
      config->family = value == "M4" ? swdmodel::Family::kM4 : swdmodel::Family::kM0Plus;
    } else if (key == "silent-after-requests") {
      config->silentAfterRequests = std::stoull(value);
    } else if (key == "waits-per-ap-request") {
      config->waitsPerApRequest = static_cast<unsigned>(std::stoul(value));
    } else if (key == "parity-error-at-read") {
      config->parityErrorAtRead = std::stoull(value);
    } else if (key == "bus-error-at") {
      config->faults.busErrorAddress = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    } else if (key == "flash-never-ready") {
      config->faults.flashNeverReady = value == "1";
    } else if (key == "locked-at") {
      config->faults.lockedAddress = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
    } else if (key == "command-error-at") {
      config->faults.commandErrorAt = std::stoull(value);
    } else if (key == "power-up-ack-read") {
      config->powerUpAckRead = std::stoull(value);
    } else if (key == "float-seed") {
      config->floatSeed = static_cast<uint32_t>(std::stoul(value));
    } else {
      complain("unknown setting '" + key + " " + value + "' in " + directory + "/config");
      return false;
    }
  }
  return true;
}

void save() {
  Board& b = board();
  if (!b.model) return;
  swdmodel::TargetChip& chip = b.model->chip();
  const std::string& dir = b.directory;
  std::ofstream(dir + "/flash.bin", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(chip.flash().data()),
             static_cast<std::streamsize>(chip.flash().size()));
  std::ofstream(dir + "/gpnvm", std::ios::trunc) << chip.gpnvm() << "\n";
  std::ofstream events(dir + "/events", std::ios::trunc);
  for (const std::string& line : chip.events()) events << line << "\n";
  const swdmodel::WireStats& s = b.model->stats();
  std::ofstream(dir + "/stats", std::ios::trunc)
      << "cycles " << s.cycles << "\nrequests " << s.requests << "\nok " << s.ok << "\nwait "
      << s.wait << "\nfault " << s.fault << "\nunanswered " << s.unanswered << "\nprotocol-errors "
      << s.protocolErrors << "\nline-resets " << s.lineResets << "\ncontentions " << s.contentions
      << "\ncore " << (chip.coreHalted() ? "halted" : "running") << "\n";
}

bool start() {
  Board& b = board();
  const char* directory = std::getenv("SWD_TARGET_MODEL_DIR");
  b.directory = directory != nullptr && *directory != '\0' ? directory : kDefaultDirectory;
  ::mkdir(b.directory.c_str(), 0755);
  swdmodel::ModelConfig config;
  if (!loadConfig(b.directory, &config)) return false;
  b.model = std::make_unique<SwdTargetModel>(config);
  swdmodel::TargetChip& chip = b.model->chip();
  std::string flash = readText(b.directory + "/flash.bin");
  if (!flash.empty()) {
    if (flash.size() != chip.flash().size()) {
      complain(b.directory + "/flash.bin holds " + std::to_string(flash.size()) +
               " bytes; the part has " + std::to_string(chip.flash().size()));
      b.model.reset();
      return false;
    }
    std::memcpy(chip.flash().data(), flash.data(), flash.size());
  }
  std::istringstream(readText(b.directory + "/gpnvm")) >> chip.gpnvm();
  // The tool may end without closing the chip (file errors): the state is kept anyway.
  static const bool registered = std::atexit(save) == 0;
  (void)registered;
  return true;
}

gpiod_line* usable(gpiod_line* line) {
  if (line == nullptr || !board().open || !line->requested) {
    errno = EPERM;
    return nullptr;
  }
  return line;
}

int index(const gpiod_line* line) { return line == &board().lines[kSwclk] ? kSwclk : kSwdio; }

void setFlags(gpiod_line* line, int flags) {
  line->flags = flags;
  if (index(line) == kSwdio) board().model->setPullUp((flags & kBiasPullUp) != 0);
}

void drive(gpiod_line* line, int value) {
  SwdTargetModel& model = *board().model;
  if (index(line) == kSwclk) {
    model.driveClock(value != 0 ? 1 : 0);
  } else {
    model.driveData(value != 0 ? 1 : 0);
  }
}

void release(gpiod_line* line) {
  SwdTargetModel& model = *board().model;
  if (index(line) == kSwclk) {
    model.releaseClock();
  } else {
    model.releaseData();
  }
}

int request(gpiod_line* line, int flags) {
  if (line == nullptr || !board().open) {
    errno = EINVAL;
    return -1;
  }
  if (line->requested) {
    errno = EBUSY;
    return -1;
  }
  line->requested = true;
  line->output = false;
  setFlags(line, flags);
  release(line);
  return 0;
}

}  // namespace

GPIOD_MODEL_API gpiod_chip* gpiod_chip_open_by_number(unsigned int number) {
  if (!boardsandbox::insideBoardSandbox()) {
    complain("refusing to run outside the board sandbox (sim/board/run-in-board)");
    errno = EPERM;
    return nullptr;
  }
  Board& b = board();
  if (number != 0) {
    errno = ENOENT;
    return nullptr;
  }
  if (b.open) {
    errno = EBUSY;
    return nullptr;
  }
  if (!start()) {
    errno = EIO;
    return nullptr;
  }
  b.open = true;
  return &b.chip;
}

GPIOD_MODEL_API void gpiod_chip_close(gpiod_chip* chip) {
  Board& b = board();
  if (chip != &b.chip || !b.open) return;
  for (gpiod_line& line : b.lines) {
    if (line.requested) release(&line);
    line.requested = false;
  }
  b.open = false;
  save();
}

GPIOD_MODEL_API const char* gpiod_chip_name(gpiod_chip*) { return "gpiochip0"; }
GPIOD_MODEL_API const char* gpiod_chip_label(gpiod_chip*) { return "swd target model"; }
GPIOD_MODEL_API const char* gpiod_version_string(void) { return "1.6.3 (swd target model)"; }

GPIOD_MODEL_API gpiod_line* gpiod_chip_find_line(gpiod_chip* chip, const char* name) {
  Board& b = board();
  if (chip == &b.chip && b.open && name != nullptr) {
    for (gpiod_line& line : b.lines) {
      if (std::strcmp(line.name, name) == 0) return &line;
    }
  }
  errno = ENOENT;
  return nullptr;
}

GPIOD_MODEL_API int gpiod_line_request_input(gpiod_line* line, const char*) {
  return request(line, 0);
}

GPIOD_MODEL_API int gpiod_line_request_input_flags(gpiod_line* line, const char*, int flags) {
  return request(line, flags);
}

GPIOD_MODEL_API void gpiod_line_release(gpiod_line* line) {
  if (usable(line) == nullptr) return;
  release(line);
  line->requested = false;
}

GPIOD_MODEL_API int gpiod_line_set_direction_input(gpiod_line* line) {
  if (usable(line) == nullptr) return -1;
  line->output = false;
  release(line);
  return 0;
}

GPIOD_MODEL_API int gpiod_line_set_direction_output(gpiod_line* line, int value) {
  if (usable(line) == nullptr) return -1;
  line->output = true;
  drive(line, value);
  return 0;
}

GPIOD_MODEL_API int gpiod_line_set_value(gpiod_line* line, int value) {
  if (usable(line) == nullptr) return -1;
  if (!line->output) {  // the kernel refuses to set an input line
    errno = EPERM;
    return -1;
  }
  drive(line, value);
  return 0;
}

GPIOD_MODEL_API int gpiod_line_get_value(gpiod_line* line) {
  if (usable(line) == nullptr) return -1;
  SwdTargetModel& model = *board().model;
  return index(line) == kSwclk ? model.clockLevel() : model.dataLevel();
}

GPIOD_MODEL_API int gpiod_line_set_flags(gpiod_line* line, int flags) {
  if (usable(line) == nullptr) return -1;
  setFlags(line, flags);
  return 0;
}
