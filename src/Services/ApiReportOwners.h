#pragma once

#include "Services/AudioInputs/AudioInputsServiceImpl.h"
#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"
#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"
#include "Services/System/SystemServiceImpl.h"
#include "Services/Volume/VolumeServiceImpl.h"
#include "ble/BleBridge.h"
#include "discovery/Discovery.h"
#include "link/ReportOwners.h"
#include "server/TcpSideServer.h"
#include "update/UpdateScheduler.h"

namespace vantorellabs {

// Hands the controller's reports to the API services that mirror them.
class ApiReportOwners : public ReportOwners {
 public:
  ApiReportOwners(VolumeServiceImpl& volume, AudioInputsServiceImpl& inputs,
                  AudioInputsActivationServiceImpl& activation, AudioOutputsServiceImpl& outputs,
                  FirmwareUpdateServiceImpl& firmware, UpdateScheduler& updates)
      : volume_(volume),
        inputs_(inputs),
        activation_(activation),
        outputs_(outputs),
        firmware_(firmware),
        updates_(updates) {}

  void manualUpdate() override { updates_.manualUpdate(); }
  void updateAutoUpdateEnabled(bool e) override { firmware_.updateAutoUpdateEnabled(e); }
  void autoUpdateTick() override { updates_.autoUpdateTick(); }
  void whenNoUpdateRuns(const std::function<void()>& action) override {
    updates_.whenNoUpdateRuns(action);
  }

  void updateVolume(int v) override { volume_.updateVolume(v); }
  void checkPendingVolume(int v) override { volume_.checkPendingVolume(v); }
  void updateMute(bool m) override { volume_.updateMute(m); }

  void updateInputEnabled(int id, bool e) override { inputs_.updateInputEnabled(id, e); }
  void updateInputCustomName(int id, const std::string& n) override {
    inputs_.updateInputCustomName(id, n);
  }
  void updateBalance(int b) override { inputs_.updateBalance(b); }
  void updateTrimLevel(int id, double l) override {
    inputs_.updateTrimLevel(id, static_cast<float>(l));
  }
  void updateToneEnabled(int id, bool e) override { inputs_.updateToneEnabled(id, e); }
  void updateBassLevel(int id, int l) override { inputs_.updateBassLevel(id, l); }
  void updateTrebleLevel(int id, int l) override { inputs_.updateTrebleLevel(id, l); }
  void updateEqualizerEnabled(int id, bool e) override { inputs_.updateEqualizerEnabled(id, e); }
  void updatePassthruInput(int id) override { inputs_.updatePassthruInput(id); }

  void updateActiveInput(int id, bool p) override { activation_.updateActiveInput(id, p); }
  void updateActiveTone(bool e, int b, int t) override { activation_.updateActiveTone(e, b, t); }
  void updateActiveEqualizer(bool e) override { activation_.updateActiveEqualizer(e); }
  void updateActiveTrim(int b, double l) override {
    activation_.updateActiveTrim(b, static_cast<float>(l));
  }
  void updateActiveName(const std::string& n) override { activation_.updateActiveName(n); }
  void updateActiveMetadata(const std::string& m) override { activation_.updateActiveMetadata(m); }

  void updateOutputActive(int id, bool a) override { outputs_.updateOutputActive(id, a); }
  void updateOutputSwitched(int id, bool s) override { outputs_.updateOutputSwitched(id, s); }
  void updateHeadphonesActive(bool a) override { outputs_.updateHeadphonesActive(a); }

  // The system service and local discovery are handed over once built; until then their
  // reports change nothing here.
  void attachSystem(SystemServiceImpl& system) { system_ = &system; }
  void attachDiscovery(Discovery& discovery) { discovery_ = &discovery; }
  void broadcastPower(bool isOn) override {
    if (system_ != nullptr) system_->broadcastPower(isOn);
  }
  void updateAutoOffEnabled(bool e) override {
    if (system_ != nullptr) system_->updateAutoOffEnabled(e);
  }
  void refreshDiscoveryRecord() override {
    if (discovery_ != nullptr) discovery_->refreshDiscoveryRecord();
  }
  void restartSddpDaemon() override {
    if (discovery_ != nullptr) discovery_->restartSddpDaemon();
  }
  // BLE advertising and the TCP side server, once the process-wide objects are wired.
  void attachBle(BleBridge& ble) { ble_ = &ble; }
  void attachTcpSideServer(TcpSideServer& tcp) { tcp_ = &tcp; }
  void refreshBleAdvertising(bool fast) override {
    if (ble_ != nullptr) ble_->refreshBleAdvertising(fast);
  }
  void sendSerialToHelper() override {
    if (ble_ != nullptr) ble_->sendSerialToHelper();
  }
  void sendDaVersionToHelper() override {
    if (ble_ != nullptr) ble_->sendDaVersionToHelper();
  }
  bool bleCentralConnected() const override {
    return ble_ != nullptr && ble_->bleCentralConnected();
  }
  void broadcastToTcpClients(const std::string& text) override {
    if (tcp_ != nullptr) tcp_->broadcast(text);
  }

 private:
  VolumeServiceImpl& volume_;
  AudioInputsServiceImpl& inputs_;
  AudioInputsActivationServiceImpl& activation_;
  AudioOutputsServiceImpl& outputs_;
  FirmwareUpdateServiceImpl& firmware_;
  UpdateScheduler& updates_;
  SystemServiceImpl* system_ = nullptr;
  Discovery* discovery_ = nullptr;
  BleBridge* ble_ = nullptr;
  TcpSideServer* tcp_ = nullptr;
};

}  // namespace vantorellabs
