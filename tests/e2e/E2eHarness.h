#pragma once

// Runs the real daemon inside the board sandbox: the test process itself runs in the
// sandbox, plays the amplifier with the simulator and starts the daemon as a child.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vantorellabs::e2e {

using std::chrono::seconds;

class DaemonProcess {
 public:
  explicit DaemonProcess(std::string path);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  void start();
  // Waits until the daemon has printed `text` (on standard output or error).
  bool waitForOutput(const std::string& text, seconds timeout = seconds(30));
  // How often `text` occurs in the output so far.
  std::size_t countInOutput(const std::string& text) const;
  std::string output() const;
  // Waits for the daemon to end; its exit status, or nothing on time-out.
  std::optional<int> waitExit(seconds timeout = seconds(30));
  // The daemon's process id on the board (for reading /proc/<pid>/status), or -1.
  int pid() const { return pid_; }
  // Keeps only about the last `bytes` of the output, for runs that last hours.
  void limitOutput(std::size_t bytes) { outputLimit_ = bytes; }

 private:
  void readOutput(int fd);

  std::string path_;
  int pid_ = -1;
  std::atomic<bool> daemonGone_{false};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  std::size_t outputLimit_ = 0;
  bool closed_ = false;
};

// Writes a file on the board (IIO readings, /etc/issue, settings).
void writeBoardFile(const std::string& path, const std::string& text);
// The whole file, or "" when it cannot be read.
std::string readBoardFile(const std::string& path);
// Waits until the file holds `text`.
bool waitForBoardFileText(const std::string& path, const std::string& text,
                          seconds timeout = seconds(30));
// The board's processes (other than this one) whose command line contains `text`, by pid.
std::set<int> processesRunning(const std::string& text);
// Runs the board's scenario helper, e.g. boardScenario("eth0 192.168.1.20").
void boardScenario(const std::string& arguments);

// The command lines the board's fake tools have logged, in order.
std::vector<std::string> boardCommands();
// Waits until the fake tools' log holds `line`.
bool waitForBoardCommand(const std::string& line, seconds timeout = seconds(30));
// The position of `line` in the log, or -1.
int boardCommandIndex(const std::string& line);

}  // namespace vantorellabs::e2e
