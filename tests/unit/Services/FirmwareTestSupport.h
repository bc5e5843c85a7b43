#pragma once

// The firmware update service on a fake board, for the tests that need it beside their own
// controller link and device state.

#include <mutex>
#include <set>

#include "../update/UpdateFakes.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"

namespace vantorellabs::testing {

// Fails the test when a message goes to an installation call whose handler has returned.
class RecordingCallProbe : public InstallCallProbe {
 public:
  void wrote(int call) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // Said at once: the write that follows goes to a call that no longer exists.
    if (returned_.count(call) != 0) ADD_FAILURE() << "call " << call << " written after return";
  }
  void handlerReturned(int call) override {
    std::lock_guard<std::mutex> lock(mutex_);
    returned_.insert(call);
  }
  std::size_t returned() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return returned_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::set<int> returned_;
};

struct FirmwareParts {
  FirmwareParts(ControllerLink& link, DeviceState& state, Console& console)
      : installer(InstallerContext{board, clock, board, link, state, console}),
        service(FirmwareServiceContext{installer, link, state, clock, wallClock, console, &probe}) {
  }

  FakeBoard board;
  InstantClock clock;
  FixedWallClock wallClock;
  RecordingCallProbe probe;
  FirmwareInstaller installer;
  FirmwareUpdateServiceImpl service;
};

}  // namespace vantorellabs::testing
