#include "link/NetworkStatus.h"

#include "core/BoardUtilities.h"

namespace vantorellabs {

namespace {
constexpr std::size_t kLineBytes = 127;
// The hardware address follows "HWaddr" and one space.
constexpr std::size_t kHardwareAddressOffset = 7;
}  // namespace

NetworkStatusReporter::NetworkStatusReporter(ControllerLink& link, Shell& shell, Clock& clock,
                                             std::function<bool()> bleCentralConnected)
    : link_(link),
      shell_(shell),
      clock_(clock),
      bleCentralConnected_(std::move(bleCentralConnected)) {}

void NetworkStatusReporter::reportConnected(const std::string& interface, char kindUpper,
                                            char kindLower) {
  const auto address = shell_.capture("vtl-net GetStatus " + interface + " address");
  if (!address) return;
  const std::string addressLine = firstLine(*address, kLineBytes);
  const auto ifconfig = shell_.capture("ifconfig | grep " + interface);
  if (!ifconfig) return;
  const std::string interfaceLine = firstLine(*ifconfig, kLineBytes);
  const std::size_t hwaddr = interfaceLine.find("HWaddr");
  if (hwaddr == std::string::npos) return;
  const std::size_t from = hwaddr + kHardwareAddressOffset;
  const std::string hardwareAddress = from < interfaceLine.size() ? interfaceLine.substr(from) : "";

  link_.sendCodeByte(ControllerLink::kCodeNetworkStatus, '1');
  link_.sendCodeByte(ControllerLink::kCodeNetworkStatus, static_cast<std::uint8_t>(kindUpper));
  link_.sendNetworkAddress(addressLine);
  link_.sendNetworkHardwareAddress(kindLower, hardwareAddress);
}

void NetworkStatusReporter::sendNetworkStatus() {
  if (shell_.run("vtl-net GetStatus eth0 connected") == 0) {
    reportConnected("eth0", 'E', 'e');
    return;
  }
  if (shell_.run("vtl-net GetStatus wlan0 connected") == 0) {
    wifiRestartMark_ = false;
    reportConnected("wlan0", 'W', 'w');
    return;
  }
  if (!(bleCentralConnected_ && bleCentralConnected_()) && shell_.run("vtl-net GetWifi") == 0) {
    // A configured network that is not joined: restart the interface, but give each
    // restart 30 s to join before the next one.
    const double now = clock_.monotonicSeconds();
    if (now - lastWifiRestart_ > kWifiRestartSeconds) {
      wifiRestartMark_ = false;
    } else if (wifiRestartMark_) {
      link_.sendCodeByte(ControllerLink::kCodeNetworkStatus, '0');
      return;
    }
    lastWifiRestart_ = now;
    wifiRestartMark_ = true;
    restartWifi(shell_);
    link_.sendCodeByte(ControllerLink::kCodeNetworkStatus, '0');
    return;
  }
  lastWifiRestart_ = clock_.monotonicSeconds();
  link_.sendCodeByte(ControllerLink::kCodeNetworkStatus, '0');
}

}  // namespace vantorellabs
