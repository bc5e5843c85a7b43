#include "core/Globals.h"

#include <cerrno>

#include "core/App.h"
#include "core/Identity.h"
#include "link/ReportOwners.h"
#include "sys/BoardPaths.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/Shell.h"

namespace vantorellabs {

namespace {

SystemShell gShell;
SystemClock gClock;

DeviceState buildDeviceState() {
  const ModelReading reading = detectModel(gShell);
  if (reading.status == ModelReading::Status::PipeFailed) {
    fatalError(systemConsole(), "popen", errno != 0 ? errno : EIO);
  }
  if (reading.status == ModelReading::Status::NoNumber) {
    // Guessing would give clients the wrong model's schema and name: refuse instead.
    fatalError(systemConsole(), "ERROR: no model voltage on the IIO input\n");
  }
  return DeviceState(reading.model, readFirmwareVersion(kIssuePath));
}

// All static objects live in this one file so that they are built in this order.
DeviceState gDeviceState = buildDeviceState();
ControllerLink gControllerLink(systemConsole());
// Owners of reports whose objects are not part of this build yet do nothing.
ReportOwners gReportOwners;

}  // namespace

DeviceState& deviceState() { return gDeviceState; }
ControllerLink& controllerLink() { return gControllerLink; }

int APP_Run() {
  App app(AppContext{systemConsole(), gShell, gClock, gDeviceState, gControllerLink,
                     gReportOwners, kControllerPortPath, kDaPortPath});
  return app.run();
}

}  // namespace vantorellabs
