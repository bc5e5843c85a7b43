#include "link/ControllerDispatcher.h"

namespace vantorellabs {

namespace {

// Codes from here up carry no report.
constexpr std::uint8_t kFirstIgnoredCode = 0xB6;
constexpr std::size_t kCodes = 256;

bool always(const ReportPayload& /*payload*/) { return true; }
bool isFlag(std::uint8_t b) { return b == '0' || b == '1'; }
bool p1IsFlag(const ReportPayload& r) { return isFlag(r.p(1)); }
bool p1IsScheduleDigit(const ReportPayload& r) { return r.p(1) >= '0' && r.p(1) <= '7'; }
bool textIsSerialNumber(const ReportPayload& r) {
  return r.text().size() == DeviceState::kSerialNumberLength;
}

}  // namespace

ControllerDispatcher::ControllerDispatcher(ControllerLink& link, DeviceState& state,
                                           Console& console)
    : link_(link), state_(state), console_(console), reports_(kCodes) {
  define(0x01, always, [this](const ReportPayload&) { link_.sendCode(ControllerLink::kCodeReady); });
  define(0x02, always, [this](const ReportPayload&) { link_.markReady(); });
  define(0x03, textIsSerialNumber,
         [this](const ReportPayload& r) { state_.setSerialNumber(r.text()); });
  define('0', p1IsFlag, [this](const ReportPayload& r) { state_.setPoweredOnFlag(r.p(1)); });
  define('3', p1IsScheduleDigit, [this](const ReportPayload& r) {
    const char value = static_cast<char>(r.p(1));
    state_.setSchedule(value);
    console_.print(std::string("Setting Schedule to '") + value + "'\n");
  });
}

void ControllerDispatcher::define(std::uint8_t code, Check check, Effect effect) {
  reports_[code] = Report{check, std::move(effect)};
}

void ControllerDispatcher::setEffect(std::uint8_t code, Effect effect) {
  reports_[code].effect = std::move(effect);
}

void ControllerDispatcher::dispatchControllerFrame(std::string_view frame) {
  const ReportPayload payload(frame);
  const std::uint8_t code = payload.code();
  if (code == 0x00 || code >= kFirstIgnoredCode) return;
  const Report& report = reports_[code];
  if (report.check == nullptr || !report.check(payload)) return;
  // The handler is copied: a nested poll inside it may dispatch further reports.
  const Effect effect = report.effect;
  if (effect) effect(payload);
}

}  // namespace vantorellabs
