#pragma once

#include <functional>
#include <string>

#include "link/ControllerLink.h"
#include "sys/Clock.h"
#include "sys/Shell.h"

namespace vantorellabs {

// Tells the controller whether the module is on the network, through which interface,
// with which address and hardware address (frames with code 0x09). When neither interface
// is up but a Wi-Fi network is configured, it restarts wlan0, at most once every 30 s.
class NetworkStatusReporter {
 public:
  static constexpr double kWifiRestartSeconds = 30.0;

  NetworkStatusReporter(ControllerLink& link, Shell& shell, Clock& clock,
                        std::function<bool()> bleCentralConnected);

  void sendNetworkStatus();

 private:
  // Sends the connected report for one interface; sends nothing when its address or
  // hardware address cannot be read.
  void reportConnected(const std::string& interface, char kindUpper, char kindLower);

  ControllerLink& link_;
  Shell& shell_;
  Clock& clock_;
  std::function<bool()> bleCentralConnected_;
  bool wifiRestartMark_ = false;
  double lastWifiRestart_ = 0.0;
};

}  // namespace vantorellabs
