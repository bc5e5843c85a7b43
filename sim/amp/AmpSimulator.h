#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AmplifierModel.h"

namespace ampsim {

// What the simulated amplifier is like when it starts.
struct AmpSimOptions {
  // A controller that never answers the hello (a broken or missing main controller).
  bool answerHandshake = true;
  // While not answering, send a stream of empty frames so that the daemon's poll steps end
  // early and a whole handshake passes in seconds instead of minutes.
  bool chatterWhileSilent = false;
  // The amplifier's own state and behaviour.
  AmplifierModel::Settings amplifier;
  // After its start-up reports the controller asks the daemon to greet the DA module.
  bool requestDaHandshake = true;

  // The DA module on the second port.
  // Babbling sends random bytes all the time and answers nothing; RestartsMidHandshake
  // answers the first greeting with its first version byte, restarts, and then answers.
  enum class DaModule { Answering, Silent, Updating, Babbling, RestartsMidHandshake };
  DaModule daModule = DaModule::Answering;
  std::uint8_t daVersionMajor = 1;
  std::uint8_t daVersionMinor = 3;
  std::uint8_t daModuleType = 2;

  // Read the controller port no faster than a real 115200-baud line delivers bytes
  // (11,520 a second), so that what the daemon writes queues up as it would on the board.
  bool readAtLineRate = false;
};

// Plays the amplifier's main controller (and, later, its DA module) on the master side of
// two pseudo-terminals whose slave sides stand in for the board's serial ports. It speaks
// the frame protocol on its own, sharing no code with the daemon, so that a fault in the
// daemon's framing cannot hide behind the same fault here.
class AmpSimulator {
 public:
  explicit AmpSimulator(AmpSimOptions options = {});
  ~AmpSimulator();
  AmpSimulator(const AmpSimulator&) = delete;
  AmpSimulator& operator=(const AmpSimulator&) = delete;

  // Creates the ports and makes controllerPath and daPath symbolic links to them, then
  // starts playing the amplifier on a thread of its own.
  void start(const std::string& controllerPath = "/dev/ttyS3",
             const std::string& daPath = "/dev/ttyS2");
  void stop();

  // Closes the controller port as a hang-up does (the daemon's descriptor reads end of file
  // and its writes fail), and after `gone` opens a new one at the same path.
  void replaceControllerPort(std::chrono::milliseconds gone);
  // How the DA module behaves from now on.
  void setDaModule(AmpSimOptions::DaModule module) { daModule_ = module; }
  // Bytes written to the controller port so far.
  std::size_t controllerBytesSent() const { return controllerBytesSent_.load(); }

  // Sends a frame to the daemon: the text (code and payload) and the terminator.
  void sendFrame(const std::string& text);
  // Sends bytes as they are, for broken or split frames.
  void sendRaw(const std::string& bytes);

  // Every frame received from the daemon so far (code and payload, no terminator).
  std::vector<std::string> receivedFrames() const;
  // Waits until a frame after the first `from` frames satisfies the predicate; returns its
  // index, or -1 when none came within the time-out.
  int waitForFrame(const std::function<bool(const std::string&)>& matches, std::size_t from = 0,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  int waitForCode(std::uint8_t code, std::size_t from = 0,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // When the frame with this index was received (steady clock).
  std::chrono::steady_clock::time_point frameTime(std::size_t index) const;

  // The simulated amplifier, to look at or to operate its front panel.
  AmplifierModel& amplifier() { return model_; }

  // Whether the daemon completed the handshake with this amplifier.
  bool handshakeDone() const { return handshakeDone_.load(); }

  // The DA module side: bytes the daemon wrote to the module, and bytes the module sends.
  std::string daBytesReceived() const;
  bool waitForDaBytes(const std::string& bytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  void sendDa(const std::string& bytes);

  // Called on the simulator's thread for each frame received, after the amplifier's own
  // reaction; tests and the demo use it to watch the traffic.
  void setFrameObserver(std::function<void(const std::string&)> observer);

 private:
  void run();
  void readController();
  void onControllerFrame(const std::string& frame);
  void writeController(const std::string& bytes);
  void readDa();
  void onDaMessage(std::uint8_t code);
  static void writeAll(int fd, const std::string& bytes);

  AmpSimOptions options_;
  AmplifierModel model_;
  std::string controllerPath_;
  std::atomic<AmpSimOptions::DaModule> daModule_;
  std::atomic<std::size_t> controllerBytesSent_{0};
  std::uint32_t babbleSeed_ = 1;
  int controllerMaster_ = -1;
  int controllerSlave_ = -1;
  int daMaster_ = -1;
  int daSlave_ = -1;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> handshakeDone_{false};
  std::atomic<bool> daemonRestarted_{false};

  std::mutex writeMutex_;
  std::string rxBuffer_;
  mutable std::mutex framesMutex_;
  mutable std::condition_variable framesChanged_;
  std::vector<std::string> frames_;
  std::vector<std::chrono::steady_clock::time_point> frameTimes_;
  // Bytes the line has delivered but the simulator has not read yet (line-rate mode).
  double lineCredit_ = 0;
  std::chrono::steady_clock::time_point lineCreditAt_{};
  std::function<void(const std::string&)> observer_;
  std::string daReceived_;
  std::string daPartial_;
};

// Human-readable text of a frame: its bytes in hex.
std::string hexText(const std::string& frame);

}  // namespace ampsim
