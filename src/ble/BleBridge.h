#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "ble/BleEventPipe.h"
#include "ble/CommandPipe.h"
#include "ble/HelperSocket.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/Shell.h"

namespace vantorellabs {

struct BleContext {
  Console& console;
  Shell& shell;
  Clock& clock;
  DeviceState& state;
  ControllerLink& link;
  CommandPipe& commandPipe;
  const char* helperSocketPath;
};

// Bluetooth Low Energy for setting the product up from a phone: advertising driven with
// hcitool, connections followed through hcidump's text, and the GATT helper fed over its
// datagram socket. Everything here runs on the main thread.
class BleBridge {
 public:
  static constexpr std::uint8_t kCodeBleState = 0x08;
  static constexpr std::uint8_t kCodeNetworkStatus = 0x09;
  static constexpr char kStateSlow = '0';
  static constexpr char kStateFast = '1';
  static constexpr char kStateConnected = '2';
  // Fast advertising lasts this long without a connection, then falls back to slow.
  static constexpr double kFastAdvertisingSeconds = 60.0;
  static constexpr const char* kConnectionComplete = "LE Connection Complete";
  static constexpr const char* kDisconnectComplete = "HCI Event: Disconn Complete";

  explicit BleBridge(BleContext context);

  // The network status report run after a central disconnects.
  void setNetworkStatusReport(std::function<void()> report) { networkStatus_ = std::move(report); }
  // Told the hcidump pipe's descriptor whenever it changes, so the main loop follows it.
  void setEventPipeWatcher(BleEventPipe::DescriptorHandler watcher) {
    eventPipe_.setDescriptorHandler(std::move(watcher));
  }

  // Start-up: hcidump's pipe, then the helper's socket, then the helper itself.
  int startBleEventPipe() { return eventPipe_.startBleEventPipe(); }
  int openHelperSocket() { return helper_.openHelperSocket(); }
  void startBleHelper();

  // Read handlers of the main loop.
  bool bleEventStep();
  bool helperReceiveStep() { return helper_.helperReceiveStep(); }

  // Once per loop turn: the end of fast advertising, and hcidump's restart after it ended.
  void bleAdvertisingTimeoutStep();
  void bleEventPipeRestartStep() { eventPipe_.restartStep(); }

  void refreshBleAdvertising(bool fast);
  void sendSerialToHelper();
  void sendDaVersionToHelper();
  bool bleCentralConnected() const { return bleCentralConnected_; }
  bool isFastAdvertising() const { return fastAdvertising_; }
  int eventPipeFd() const { return eventPipe_.fd(); }

  // What one line of hcidump's output means.
  void handleEventLine(std::string_view line);

 private:
  BleContext ctx_;
  BleEventPipe eventPipe_;
  HelperSocket helper_;
  std::function<void()> networkStatus_;
  bool bleCentralConnected_ = false;
  bool fastAdvertising_ = false;
  double fastAdvertisingStart_ = 0.0;
  double lastTimeoutCheck_ = 0.0;
};

}  // namespace vantorellabs
