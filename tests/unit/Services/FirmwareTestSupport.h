#pragma once

// The firmware update service on a fake board, for the tests that need it beside their own
// controller link and device state.

#include <mutex>
#include <set>

#include "../update/UpdateFakes.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"

namespace vantorellabs::testing {

// Counts the messages written to installation calls, and fails the test when one goes to
// a call whose handler has returned.
class RecordingCallProbe : public InstallCallProbe {
 public:
  void wrote(int call) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++writes_;
    if (returned_.count(call) == 0) return;
    ++lateWrites_;
    // Said at once: the write that follows goes to a call that no longer exists.
    ADD_FAILURE() << "a message was written to call " << call << " after its handler returned";
  }
  void handlerReturned(int call) override {
    std::lock_guard<std::mutex> lock(mutex_);
    returned_.insert(call);
  }
  std::size_t returned() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return returned_.size();
  }
  int writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  int lateWrites() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lateWrites_;
  }

 private:
  mutable std::mutex mutex_;
  std::set<int> returned_;
  int writes_ = 0;
  int lateWrites_ = 0;
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
