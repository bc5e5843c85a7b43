#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "link/ReportOwners.h"

namespace vantorellabs::testing {

// Records each call as one readable line, e.g. "updateTrimLevel 3 -1.5".
class RecordingOwners : public ReportOwners {
 public:
  std::vector<std::string> calls;
  bool centralConnected = false;

  void refreshBleAdvertising(bool fast) override { add("refreshBleAdvertising", fast); }
  void sendSerialToHelper() override { add("sendSerialToHelper"); }
  void sendDaVersionToHelper() override { add("sendDaVersionToHelper"); }
  bool bleCentralConnected() const override { return centralConnected; }
  void refreshDiscoveryRecord() override { add("refreshDiscoveryRecord"); }
  void restartSddpDaemon() override { add("restartSddpDaemon"); }
  void broadcastToTcpClients(const std::string& text) override {
    add("broadcastToTcpClients", text);
  }
  void manualUpdate() override { add("manualUpdate"); }
  void updateAutoUpdateEnabled(bool e) override { add("updateAutoUpdateEnabled", e); }
  void broadcastPower(bool on) override { add("broadcastPower", on); }
  void updateAutoOffEnabled(bool e) override { add("updateAutoOffEnabled", e); }
  void updateVolume(int v) override { add("updateVolume", v); }
  void checkPendingVolume(int v) override { add("checkPendingVolume", v); }
  void updateMute(bool m) override { add("updateMute", m); }
  void updateInputEnabled(int id, bool e) override { add("updateInputEnabled", id, e); }
  void updateInputCustomName(int id, const std::string& n) override {
    add("updateInputCustomName", id, n);
  }
  void updateBalance(int b) override { add("updateBalance", b); }
  void updateTrimLevel(int id, double l) override { add("updateTrimLevel", id, l); }
  void updateToneEnabled(int id, bool e) override { add("updateToneEnabled", id, e); }
  void updateBassLevel(int id, int l) override { add("updateBassLevel", id, l); }
  void updateTrebleLevel(int id, int l) override { add("updateTrebleLevel", id, l); }
  void updateEqualizerEnabled(int id, bool e) override { add("updateEqualizerEnabled", id, e); }
  void updatePassthruInput(int id) override { add("updatePassthruInput", id); }
  void updateActiveInput(int id, bool p) override { add("updateActiveInput", id, p); }
  void updateActiveTone(bool e, int b, int t) override { add("updateActiveTone", e, b, t); }
  void updateActiveEqualizer(bool e) override { add("updateActiveEqualizer", e); }
  void updateActiveTrim(int b, double l) override { add("updateActiveTrim", b, l); }
  void updateActiveName(const std::string& n) override { add("updateActiveName", n); }
  void updateActiveMetadata(const std::string& m) override { add("updateActiveMetadata", m); }
  void updateOutputActive(int id, bool a) override { add("updateOutputActive", id, a); }
  void updateOutputSwitched(int id, bool s) override { add("updateOutputSwitched", id, s); }
  void updateHeadphonesActive(bool a) override { add("updateHeadphonesActive", a); }

 private:
  template <typename... Args>
  void add(const char* name, const Args&... args) {
    std::ostringstream line;
    line << std::boolalpha << name;
    ((line << ' ' << args), ...);
    calls.push_back(line.str());
  }
};

}  // namespace vantorellabs::testing
