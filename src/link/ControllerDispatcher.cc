#include "link/ControllerDispatcher.h"

#include "core/BoardUtilities.h"
#include "link/LevelEncoding.h"

namespace vantorellabs {

namespace {

// Codes from here up carry no report.
constexpr std::uint8_t kFirstIgnoredCode = 0xB6;
constexpr std::size_t kCodes = 256;

constexpr int kOutput2 = 2;
constexpr int kOutput3 = 3;

bool isFlag(std::uint8_t b) { return b == '0' || b == '1'; }
bool isInputId(std::uint8_t b) { return b >= 1 && b <= 16; }
bool isLevel(std::uint8_t b) { return b >= 1 && b <= 25; }
bool isBalance(std::uint8_t b) { return b >= 1 && b <= 101; }
bool flagValue(std::uint8_t b) { return b == '1'; }

// The checks of the report table.
bool always(const ReportPayload& /*r*/) { return true; }
bool p1Flag(const ReportPayload& r) { return isFlag(r.p(1)); }
bool p1Present(const ReportPayload& r) { return r.p(1) != 0; }
bool p1ScheduleDigit(const ReportPayload& r) { return r.p(1) >= '0' && r.p(1) <= '7'; }
bool serialNumberText(const ReportPayload& r) {
  return r.text().size() == DeviceState::kSerialNumberLength;
}
bool idAndFlag(const ReportPayload& r) { return isInputId(r.p(1)) && isFlag(r.p(2)); }
bool idOnly(const ReportPayload& r) { return isInputId(r.p(1)); }
bool idAndLevel(const ReportPayload& r) { return isInputId(r.p(1)) && isLevel(r.p(2)); }
bool p1Balance(const ReportPayload& r) { return isBalance(r.p(1)); }
bool p2Flag(const ReportPayload& r) { return isFlag(r.p(2)); }
bool flagAndTwoLevels(const ReportPayload& r) {
  return isFlag(r.p(1)) && isLevel(r.p(2)) && isLevel(r.p(3));
}
bool balanceAndLevel(const ReportPayload& r) { return isBalance(r.p(1)) && isLevel(r.p(2)); }

}  // namespace

ControllerDispatcher::ControllerDispatcher(DispatchTargets targets)
    : t_(targets), reports_(kCodes) {
  defineLinkReports();
  defineStateReports();
  defineAudioReports();
  defineActiveInputReports();
}

void ControllerDispatcher::define(std::uint8_t code, Check check, Effect effect) {
  reports_[code] = Report{check, std::move(effect)};
}

void ControllerDispatcher::defineLinkReports() {
  ReportOwners& o = t_.owners;
  define(0x01, always, [this](auto&) { t_.link.sendCode(ControllerLink::kCodeReady); });
  define(0x02, always, [this](auto&) { t_.link.markReady(); });
  define(0x08, always, [&o](auto& r) { o.refreshBleAdvertising(flagValue(r.p(1))); });
  define(0x0A, always, [&o](auto&) { o.manualUpdate(); });
  // A reset or reboot that arrives during a firmware update waits for its end, so that it
  // never cuts an installation in half.
  define(0x0E, always, [this, &o](auto&) {
    o.whenNoUpdateRuns(
        [this, &o] { factoryResetModule(t_.shell, [&o] { o.refreshBleAdvertising(false); }); });
  });
  define(0x0F, always,
         [this, &o](auto&) { o.whenNoUpdateRuns([this] { rebootToBootParamC(t_.shell); }); });
  define(0x10, always, [&o](auto& r) { o.broadcastToTcpClients(r.text()); });
  define(0x11, always, [&o](auto&) { o.restartSddpDaemon(); });
  define('R', always, [this](auto&) { t_.da.writeDaName(); });
  define('U', always,
         [this](auto& r) { t_.da.sendDaBytes(DaModuleLink::kStartByte, r.p(1), r.p(2)); });
  define('V', always, [this](auto&) { t_.da.runDaHandshake(t_.poller); });
}

void ControllerDispatcher::defineStateReports() {
  ReportOwners& o = t_.owners;
  define(0x03, serialNumberText, [this, &o](auto& r) {
    t_.state.setSerialNumber(r.text());
    o.sendSerialToHelper();
    o.refreshDiscoveryRecord();
  });
  define('0', p1Flag, [this, &o](auto& r) {
    t_.state.setPoweredOnFlag(static_cast<char>(r.p(1)));
    o.broadcastPower(flagValue(r.p(1)));
  });
  define('1', always, [&o](auto& r) { o.updateAutoOffEnabled(flagValue(r.p(1))); });
  define('3', p1ScheduleDigit, [this, &o](auto& r) {
    const char value = static_cast<char>(r.p(1));
    t_.state.setSchedule(value);
    t_.console.print(std::string("Setting Schedule to '") + value + "'\n");
    if (t_.state.isSettled()) o.refreshBleAdvertising(false);
  });
  define('r', p1Flag, [&o](auto& r) { o.updateAutoUpdateEnabled(flagValue(r.p(1))); });
}

void ControllerDispatcher::defineAudioReports() {
  ReportOwners& o = t_.owners;
  // A volume report without its byte would announce volume -1: it needs p1.
  define(0x80, p1Present, [&o](auto& r) { o.updateVolume(r.p(1) - 1); });
  define(0x81, p1Present, [&o](auto& r) { o.checkPendingVolume(r.p(1) - 1); });
  define(0x82, p1Flag, [&o](auto& r) { o.updateMute(flagValue(r.p(1))); });
  define(0x90, idAndFlag, [&o](auto& r) { o.updateInputEnabled(r.p(1), flagValue(r.p(2))); });
  define(0x91, idOnly, [&o](auto& r) { o.updateInputCustomName(r.p(1), r.clientText(2)); });
  define(0x92, p1Balance, [&o](auto& r) { o.updateBalance(decodeBalance(r.p(1))); });
  define(0x93, idAndLevel,
         [&o](auto& r) { o.updateTrimLevel(r.p(1), decodeHalfStepLevel(r.p(2))); });
  define(0x94, idAndFlag, [&o](auto& r) { o.updateToneEnabled(r.p(1), flagValue(r.p(2))); });
  define(0x95, idAndLevel, [&o](auto& r) { o.updateBassLevel(r.p(1), decodeLevel(r.p(2))); });
  define(0x96, idAndLevel, [&o](auto& r) { o.updateTrebleLevel(r.p(1), decodeLevel(r.p(2))); });
  define(0x97, idAndFlag, [&o](auto& r) { o.updateEqualizerEnabled(r.p(1), flagValue(r.p(2))); });
  define(0x98, always, [&o](auto& r) { o.updatePassthruInput(r.p(1)); });
  define(0xB1, always, [&o](auto& r) { o.updateOutputActive(kOutput2, flagValue(r.p(1))); });
  define(0xB2, always, [&o](auto& r) { o.updateOutputActive(kOutput3, flagValue(r.p(1))); });
  define(0xB3, always, [&o](auto& r) { o.updateOutputSwitched(kOutput2, flagValue(r.p(1))); });
  define(0xB4, always, [&o](auto& r) { o.updateOutputSwitched(kOutput3, flagValue(r.p(1))); });
  define(0xB5, always, [&o](auto& r) { o.updateHeadphonesActive(flagValue(r.p(1))); });
}

void ControllerDispatcher::defineActiveInputReports() {
  ReportOwners& o = t_.owners;
  define(0xA2, p2Flag, [&o](auto& r) { o.updateActiveInput(r.p(1), flagValue(r.p(2))); });
  define(0xA3, flagAndTwoLevels, [&o](auto& r) {
    o.updateActiveTone(flagValue(r.p(1)), decodeLevel(r.p(2)), decodeLevel(r.p(3)));
  });
  define(0xA4, p1Flag, [&o](auto& r) { o.updateActiveEqualizer(flagValue(r.p(1))); });
  define(0xA5, balanceAndLevel,
         [&o](auto& r) { o.updateActiveTrim(decodeBalance(r.p(1)), decodeHalfStepLevel(r.p(2))); });
  define(0xA6, always, [this, &o](auto& r) {
    const std::string name = r.clientText(2);
    t_.console.print("Writing new Active Input Name: " + name + "\n");
    o.updateActiveName(name);
  });
  define(0xA7, always, [this, &o](auto& r) {
    const std::string metadata = r.clientText(1);
    t_.console.print("Writing new Active Input Metadata: " + metadata + "\n");
    o.updateActiveMetadata(metadata);
  });
}

void ControllerDispatcher::dispatchControllerFrame(std::string_view frame) {
  const ReportPayload payload(frame);
  const std::uint8_t code = payload.code();
  if (code == 0x00 || code >= kFirstIgnoredCode) return;
  const Report& report = reports_[code];
  if (report.check == nullptr || !report.check(payload)) return;
  report.effect(payload);
}

}  // namespace vantorellabs
