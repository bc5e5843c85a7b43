#include "ble/BleBridge.h"

#include <cstdio>

#include "ble/BlePayloads.h"
#include "core/Identity.h"

namespace vantorellabs {

BleBridge::BleBridge(BleContext context)
    : ctx_(context),
      eventPipe_(ctx_.commandPipe, ctx_.console, ctx_.clock),
      helper_(ctx_.console, ctx_.helperSocketPath) {}

void BleBridge::startBleHelper() {
  ctx_.shell.run("python3 /opt/vtl/ble/main.py " +
                 std::to_string(apiModelNumber(ctx_.state.model())) + " &");
}

bool BleBridge::bleEventStep() {
  return eventPipe_.readStep([this](std::string_view line) { handleEventLine(line); });
}

void BleBridge::handleEventLine(std::string_view line) {
  if (line.find(kConnectionComplete) != std::string_view::npos) {
    ctx_.link.sendCodeByte(kCodeBleState, kStateConnected);
    ctx_.link.sendCodeByte(kCodeNetworkStatus, '1');
    bleCentralConnected_ = true;
  } else if (line.find(kDisconnectComplete) != std::string_view::npos) {
    // The central has gone: the network report may restart Wi-Fi again when it is down.
    bleCentralConnected_ = false;
    refreshBleAdvertising(false);
    helper_.sendToHelper(std::string_view(&HelperSocket::kTypeAcknowledge, 1));
    if (networkStatus_) networkStatus_();
  }
}

void BleBridge::refreshBleAdvertising(bool fast) {
  if (!ctx_.state.isPoweredOn()) {
    ctx_.shell.run(kHcitoolAdvertisingOff);
    bleCentralConnected_ = false;
    fastAdvertising_ = false;
    ctx_.link.sendCodeByte(kCodeBleState, kStateSlow);
    return;
  }
  const std::string serial = ctx_.state.serialNumber();
  ctx_.shell.run(advertisingDataCommand(ctx_.state.model(), serial));
  ctx_.shell.run(scanResponseCommand(ctx_.state.model(), serial));
  // Parameters can only change while advertising is off.
  ctx_.shell.run(kHcitoolAdvertisingOff);
  ctx_.shell.run(fast ? kHcitoolFastParameters : kHcitoolSlowParameters);
  ctx_.shell.run(kHcitoolAdvertisingOn);
  fastAdvertising_ = fast;
  ctx_.link.sendCodeByte(kCodeBleState, fast ? kStateFast : kStateSlow);
  if (fast) fastAdvertisingStart_ = ctx_.clock.monotonicSeconds();
}

void BleBridge::bleAdvertisingTimeoutStep() {
  if (bleCentralConnected_ || !fastAdvertising_) return;
  lastTimeoutCheck_ = ctx_.clock.monotonicSeconds();
  if (lastTimeoutCheck_ - fastAdvertisingStart_ > kFastAdvertisingSeconds) {
    refreshBleAdvertising(false);
  }
}

void BleBridge::sendSerialToHelper() {
  helper_.sendToHelper(std::string(1, HelperSocket::kTypeSerialNumber) + ctx_.state.serialNumber());
}

void BleBridge::sendDaVersionToHelper() {
  DeviceState& s = ctx_.state;
  // 0 means no module and 255 a handshake that never finished: the helper hears 00.0.0.
  if (s.daModuleType == 0 || s.daModuleType == 0xFF) s.clearDaInfo();
  char text[16];
  std::snprintf(text, sizeof text, "%1u%u.%u.0", static_cast<unsigned>(s.daModuleType.load()),
                static_cast<unsigned>(s.daVersionMajor.load()),
                static_cast<unsigned>(s.daVersionMinor.load()));
  helper_.sendToHelper(std::string(1, HelperSocket::kTypeDaVersion) + text);
}

}  // namespace vantorellabs
