#pragma once

// Runs the real daemon inside the board sandbox: the test process itself runs in the
// sandbox, plays the amplifier with the simulator and starts the daemon as a child.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AmpSimulator.h"

namespace vantorellabs::e2e {

using std::chrono::seconds;

class DaemonProcess {
 public:
  explicit DaemonProcess(std::string path);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Starts the daemon; one that was started before is ended first and its output dropped.
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
  void stop();

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

// The boot that most end-to-end tests share: the simulated amplifier on the serial ports,
// then the daemon, then a wait for the line that says the daemon is ready.
class BoardTest : public ::testing::Test {
 protected:
  static constexpr const char* kServerListening = "Server listening on 0.0.0.0:50051\n";

  // A new simulator with `options`, then the daemon; waits for `ready` unless it is empty.
  void boot(ampsim::AmpSimOptions options = {}, const std::string& ready = kServerListening);

  std::unique_ptr<ampsim::AmpSimulator> sim;
  DaemonProcess daemon{AMP_BRIDGE_PATH};
};

// Starts the daemon as the board does, through its init script and supervisor; `wrapper`
// (for example "prlimit --nofile=64:128") runs the init script.
void startBoardService(const std::string& wrapper = "");
void stopBoardService();

// A plain TCP connection to a port on the board's loopback: the descriptor, or -1.
int connectTcp(int port);
// Waits until a new client, on a connection of its own, gets an answer from the API; tries
// again as an app would. False when none came within `timeout`.
bool waitForNewClientAnswer(seconds timeout);

// The content of a file on the board; empty when there is none.
std::string readFile(const std::string& path);
// Waits until the file holds `text`.
bool waitForFileText(const std::string& path, const std::string& text, seconds timeout);
// Writes a file on the board (IIO readings, /etc/issue, settings).
void writeBoardFile(const std::string& path, const std::string& text);
// Writes an executable file on the board (a scenario for a board tool).
void writeBoardScript(const std::string& path, const std::string& text);
// The descriptors a process on the board holds: number and what it refers to.
std::map<int, std::string> openDescriptors(int pid);
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
