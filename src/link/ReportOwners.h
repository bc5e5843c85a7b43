#pragma once

#include <functional>
#include <string>

namespace vantorellabs {

// The objects that own the values of controller reports outside DeviceState: BLE
// advertising, discovery, the TCP side server, the firmware installer and the API
// services. The dispatcher decodes and checks each report and calls the owner's entry
// point with plain values. Each entry point does nothing until its owner is built.
class ReportOwners {
 public:
  virtual ~ReportOwners() = default;

  // BLE advertising and the GATT helper.
  virtual void refreshBleAdvertising(bool /*fast*/) {}
  virtual void sendSerialToHelper() {}
  virtual void sendDaVersionToHelper() {}
  virtual bool bleCentralConnected() const { return false; }

  // Local discovery.
  virtual void refreshDiscoveryRecord() {}
  virtual void restartSddpDaemon() {}

  // TCP side server: a text for every connected client.
  virtual void broadcastToTcpClients(const std::string& /*text*/) {}

  // Firmware update.
  virtual void manualUpdate() {}
  virtual void updateAutoUpdateEnabled(bool /*enabled*/) {}
  // Every pass of the main loop.
  virtual void autoUpdateTick() {}
  // Runs action at once, or after the firmware update activity that runs now has ended.
  virtual void whenNoUpdateRuns(const std::function<void()>& action) { action(); }

  // System service.
  virtual void broadcastPower(bool /*isOn*/) {}
  virtual void updateAutoOffEnabled(bool /*enabled*/) {}

  // Volume service.
  virtual void updateVolume(int /*volume*/) {}
  virtual void checkPendingVolume(int /*volume*/) {}
  virtual void updateMute(bool /*isMuted*/) {}

  // Audio inputs service; ids are 1..16, levels already decoded.
  virtual void updateInputEnabled(int /*id*/, bool /*enabled*/) {}
  virtual void updateInputCustomName(int /*id*/, const std::string& /*name*/) {}
  virtual void updateBalance(int /*balance*/) {}
  virtual void updateTrimLevel(int /*id*/, double /*level*/) {}
  virtual void updateToneEnabled(int /*id*/, bool /*enabled*/) {}
  virtual void updateBassLevel(int /*id*/, int /*level*/) {}
  virtual void updateTrebleLevel(int /*id*/, int /*level*/) {}
  virtual void updateEqualizerEnabled(int /*id*/, bool /*enabled*/) {}
  virtual void updatePassthruInput(int /*id*/) {}

  // Audio input activation service.
  virtual void updateActiveInput(int /*id*/, bool /*isPassthruActive*/) {}
  virtual void updateActiveTone(bool /*enabled*/, int /*bass*/, int /*treble*/) {}
  virtual void updateActiveEqualizer(bool /*enabled*/) {}
  virtual void updateActiveTrim(int /*balance*/, double /*trimLevel*/) {}
  virtual void updateActiveName(const std::string& /*name*/) {}
  virtual void updateActiveMetadata(const std::string& /*metadata*/) {}

  // Audio outputs service; output ids 2 and 3.
  virtual void updateOutputActive(int /*id*/, bool /*active*/) {}
  virtual void updateOutputSwitched(int /*id*/, bool /*switched*/) {}
  virtual void updateHeadphonesActive(bool /*active*/) {}
};

}  // namespace vantorellabs
