#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/DeviceState.h"
#include "core/Poller.h"
#include "link/ControllerLink.h"
#include "link/DaModuleLink.h"
#include "link/ReportOwners.h"
#include "sys/Console.h"
#include "sys/Shell.h"
#include "sys/Utf8.h"

namespace vantorellabs {

// The payload of a received report. Bytes are counted from 1 (p1 follows the code); a byte
// beyond the payload reads as 0, which fails every range check that excludes 0.
class ReportPayload {
 public:
  explicit ReportPayload(std::string_view frame) : frame_(frame) {}
  std::uint8_t code() const { return byte(0); }
  std::uint8_t p(std::size_t index) const { return byte(index); }
  // The payload from byte `from` up to the terminator, copied.
  std::string text(std::size_t from = 1) const {
    return from < frame_.size() ? std::string(frame_.substr(from)) : std::string();
  }
  // The same text made valid UTF-8, for values that clients receive in protobuf strings
  // (names, track metadata); the amplifier sends whatever bytes its sources gave it.
  std::string clientText(std::size_t from = 1) const { return toValidUtf8(text(from)); }

 private:
  std::uint8_t byte(std::size_t i) const {
    return i < frame_.size() ? static_cast<std::uint8_t>(frame_[i]) : 0;
  }
  std::string_view frame_;
};

// What the reports act on.
struct DispatchTargets {
  ControllerLink& link;
  DeviceState& state;
  DaModuleLink& da;
  ReportOwners& owners;
  Shell& shell;
  Poller& poller;
  Console& console;
};

// Applies each report from the controller to DeviceState or hands it, decoded, to the
// object that owns the value. A report that fails its check is dropped without a word: its
// trace line already shows that it arrived.
class ControllerDispatcher {
 public:
  using Check = bool (*)(const ReportPayload&);
  using Effect = std::function<void(const ReportPayload&)>;

  explicit ControllerDispatcher(DispatchTargets targets);

  void dispatchControllerFrame(std::string_view frame);

 private:
  struct Report {
    Check check = nullptr;
    Effect effect;
  };
  void define(std::uint8_t code, Check check, Effect effect);
  void defineLinkReports();
  void defineStateReports();
  void defineAudioReports();
  void defineActiveInputReports();

  DispatchTargets t_;
  std::vector<Report> reports_;
};

}  // namespace vantorellabs
