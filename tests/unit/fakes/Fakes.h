#pragma once

// Hand-written fakes for the board seams: they record what the code asked for and answer
// from what the test set up.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Poller.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/FileSystem.h"
#include "sys/SerialPort.h"
#include "sys/Shell.h"

namespace vantorellabs::testing {

class RecordingConsole : public Console {
 public:
  void print(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    prints_.emplace_back(text);
  }
  void printError(std::string_view message, int errnoValue) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.push_back(std::string(message) + "|" + std::to_string(errnoValue));
  }
  std::vector<std::string> prints() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return prints_;
  }
  std::string all() const {
    std::string text;
    for (const auto& p : prints()) text += p;
    return text;
  }
  std::vector<std::string> errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    prints_.clear();
    errors_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> prints_;
  std::vector<std::string> errors_;
};

// Records every command line; answers run() with a status and capture() with an output
// set per command line (exit 0 and empty output otherwise).
class FakeShell : public Shell {
 public:
  int run(const std::string& command) override {
    commands.push_back(command);
    auto it = statuses.find(command);
    return it == statuses.end() ? 0 : it->second;
  }
  std::optional<std::string> capture(const std::string& command) override {
    commands.push_back(command);
    if (failingPipes.count(command) != 0) return std::nullopt;
    auto it = outputs.find(command);
    return it == outputs.end() ? std::string() : it->second;
  }

  std::vector<std::string> commands;
  std::map<std::string, int> statuses;
  std::map<std::string, std::string> outputs;
  std::map<std::string, bool> failingPipes;
};

// Files in memory for the durable writes. Each write and sync is added to `journal` when
// one is given (the shell's command list, for one order of both). It refuses what it does
// not model: the firmware path's questions and the clean-up at start.
class MemoryFileSystem : public FileSystem {
 public:
  std::optional<std::string> readText(const std::string& path, std::size_t maxBytes) override {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second.substr(0, maxBytes);
  }
  bool replaceFile(const std::string& path, const std::string& text) override {
    note("replace " + path);
    if (failing.count(path) != 0) return false;
    files[path] = text;
    return true;
  }
  bool syncPath(const std::string& path) override {
    note("sync " + path);
    return true;
  }
  bool exists(const std::string&) override { refuse(); }
  bool isRegularFile(const std::string&) override { refuse(); }
  std::optional<std::uint64_t> freeBytes(const std::string&) override { refuse(); }
  std::optional<std::uint64_t> fileSize(const std::string&) override { refuse(); }
  bool hasEntryStartingWith(const std::string&, const std::string&) override { refuse(); }
  void makeDirectory(const std::string&) override { refuse(); }
  void removeDirectory(const std::string&) override { refuse(); }
  void removeLeftovers(const std::string&) override { refuse(); }

  std::map<std::string, std::string> files;
  std::set<std::string> failing;  // paths whose replacement fails
  std::vector<std::string>* journal = nullptr;

 private:
  void note(const std::string& what) {
    if (journal != nullptr) journal->push_back(what);
  }
  [[noreturn]] static void refuse() { throw std::logic_error("not modelled by MemoryFileSystem"); }
};

// The four elements that the discovery refresh edits, in the shape of the board's
// service file template.
inline constexpr const char* kServiceFileText =
    "<service-group>\n  <name>Vantorel</name>\n  <service>\n"
    "    <txt-record>name=</txt-record>\n    <txt-record>model=</txt-record>\n"
    "    <txt-record>serial=</txt-record>\n  </service>\n</service-group>\n";

// Time stands still until the test (or a sleep) moves it.
class FakeClock : public Clock {
 public:
  double monotonicSeconds() override { return now; }
  void sleepSeconds(double seconds) override {
    sleeps.push_back(seconds);
    now += seconds;
  }
  double now = 1000.0;
  std::vector<double> sleeps;
};

// Runs a callback on each step instead of waiting on descriptors.
class FakePoller : public Poller {
 public:
  void pollStep() override {
    ++steps;
    if (onStep) onStep(steps - 1);
  }
  int steps = 0;
  std::function<void(int step)> onStep;
};

// A pseudo-terminal pair in raw mode: the code under test owns the slave side, as it would
// own a serial port, and the test plays the far end on the master side.
class PtyPair {
 public:
  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    slavePath = ptsname(master);
    slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(slave, &settings);
    prepareRawSettings(settings);
    applySerialSettings(slave, settings);
    termios masterSettings{};
    tcgetattr(master, &masterSettings);
    cfmakeraw(&masterSettings);
    tcsetattr(master, TCSANOW, &masterSettings);
  }
  ~PtyPair() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  void writeMaster(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  // Everything the slave side wrote that has arrived, waiting until at least `atLeast`
  // bytes are there or the far end has been quiet for a while.
  std::string readMaster(std::size_t atLeast = 0) const {
    std::string out;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      const int timeoutMs = out.size() >= atLeast ? 20 : 2000;
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // What has arrived on the master side, waiting at most a few milliseconds for the first
  // byte.
  std::string readAvailable() const {
    std::string out;
    int timeoutMs = 5;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
      timeoutMs = 0;
    }
    return out;
  }
  // Waits until the slave side has data to read, so a receive step finds it.
  void awaitSlaveReadable() const {
    pollfd p{slave, POLLIN, 0};
    ::poll(&p, 1, 2000);
  }

  int master = -1;
  int slave = -1;
  std::string slavePath;
};

inline std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace vantorellabs::testing
