#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace ampsim {

// What the simulated amplifier is and what it does when asked, as its main controller
// reports it: power and product state, volume and mute (ramped one step at a time towards
// a requested value), sixteen inputs with their settings, the active input with its
// metadata, the outputs and the headphones. Every command is confirmed with the report a
// real amplifier would send.
class AmplifierModel {
 public:
  using Send = std::function<void(const std::string& frame)>;

  enum class Model { K40, K7100 };

  struct Input {
    std::string customName;
    bool enabled = true;
    int trimHalfSteps = 0;  // trim level × 2
    bool toneEnabled = false;
    int bass = 0;
    int treble = 0;
    bool equalizerEnabled = false;
  };

  struct Settings {
    Model model = Model::K40;
    std::string serialNumber = "1234567";
    bool poweredOn = true;
    // Automatic firmware update, as the amplifier's menu sets it.
    bool autoUpdate = false;
    int volume = 20;
    bool muted = false;
    int activeInput = 1;
    // Milliseconds between two steps of a volume ramp and between two product states.
    int stepMs = 10;
    // Automatic power-off, as set at the factory.
    bool autoOffEnabled = false;
    // A factory reset of the amplifier also asks the network module to reset itself.
    bool factoryResetIncludesModule = true;
  };

  AmplifierModel(Settings settings, Send send);

  // Everything the controller reports about itself after the handshake.
  void reportStartUp();
  // The automatic firmware update setting; the controller tells it before its ready, so
  // the daemon knows it by its first update check.
  void reportAutoUpdate();
  // A command from the daemon.
  void onCommand(const std::string& frame);
  // Advances ramps and state changes; called often by the simulator's thread.
  void tick(double nowSeconds);

  // Things a person does on the amplifier's front panel.
  void turnVolumeKnob(int volume);
  void playTrack(const std::string& title);
  void setAutoOffOnPanel(bool enabled);
  // The power-off timer runs out: an amplifier that is on and has automatic power-off
  // enabled switches itself off. Returns whether it did.
  bool autoOffTimerExpired();
  // The controller asks the module to restart its SDDP announcer.
  void requestSddpRestart();

  // Reads of the model, for tests.
  int volume() const;
  bool muted() const;
  int activeInput() const;
  bool poweredOn() const;
  char productState() const;
  Input input(int id) const;
  int balance() const;
  bool outputOn(int output) const;
  std::uint8_t lastTransportCommand() const;
  bool autoOffEnabled() const;
  int factoryResets() const;

 private:
  void report(std::uint8_t code, const std::string& payload = "");
  void reportVolume();
  void reportActiveInput();
  void reportActiveSettings();
  void startRamp(int target);
  void setPower(bool on);
  void factoryReset();
  Input& active() { return inputs_[activeInput_ - 1]; }

  mutable std::mutex mutex_;
  Settings settings_;
  Send send_;
  std::array<Input, 16> inputs_{};
  int volume_;
  int rampTarget_;
  double lastStep_ = 0.0;
  bool muted_;
  int balance_ = 0;
  int activeInput_;
  std::string metadata_;
  int track_ = 1;
  bool poweredOn_;
  char productState_;
  std::string stateWalk_;  // product states still to go through
  bool outputs_[2] = {false, false};
  bool headphones_ = false;
  std::uint8_t lastTransport_ = 0;
  bool autoOff_ = false;
  int factoryResets_ = 0;
};

}  // namespace ampsim
