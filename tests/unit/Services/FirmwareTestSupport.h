#pragma once

// The firmware update service on a fake board, for the tests that need it beside their own
// controller link and device state.

#include "../update/UpdateFakes.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"

namespace vantorellabs::testing {

struct FirmwareParts {
  FirmwareParts(ControllerLink& link, DeviceState& state, Console& console)
      : installer(InstallerContext{board, clock, board, link, state, console}),
        service(FirmwareServiceContext{installer, link, state, clock, wallClock, console}) {}

  FakeBoard board;
  InstantClock clock;
  FixedWallClock wallClock;
  FirmwareInstaller installer;
  FirmwareUpdateServiceImpl service;
};

}  // namespace vantorellabs::testing
