#pragma once

#include <functional>

#include "ble/BleBridge.h"
#include "core/DeviceState.h"
#include "core/EventLoop.h"
#include "core/PeriodicReport.h"
#include "link/ControllerDispatcher.h"
#include "link/ControllerLink.h"
#include "link/ControllerReadWatch.h"
#include "link/DaModuleLink.h"
#include "link/NetworkStatus.h"
#include "link/ReportOwners.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/Shell.h"

namespace vantorellabs {

// What the daemon runs on: the board seams, the long-lived objects and the board's paths.
struct AppContext {
  Console& console;
  Shell& shell;
  Clock& clock;
  DeviceState& state;
  ControllerLink& link;
  ReportOwners& owners;
  const char* controllerPortPath;
  const char* daPortPath;
  // Starts the API thread; runs once the controller has answered.
  std::function<void()> startApi;
  // BLE advertising and the GATT helper; none on a build without Bluetooth.
  BleBridge* ble = nullptr;
  // Starts the TCP side server thread; runs after the API thread.
  std::function<void()> startTcpSideServer;
  // Tells the health service whether the daemon serves the amplifier's real state.
  std::function<void(bool serving)> setApiServing;
};

// Start-up and the main loop of the daemon.
class App {
 public:
  static constexpr double kStatusReportSeconds = 5.0;

  explicit App(AppContext context);

  // The start-up sequence, then the loop for ever. Returns -1 only when the controller
  // never answered the handshake (the board is then rebooting into boot parameter C).
  int run();

  // One turn of the main loop: the periodic tasks, then one poll.
  void loopTurn();

 private:
  void sendStatusReport();
  void startBle();

  AppContext ctx_;
  EventLoop loop_;
  DaModuleLink da_;
  NetworkStatusReporter networkStatus_;
  ControllerDispatcher dispatcher_;
  PeriodicReport statusReport_;
  ControllerReadWatch readWatch_;
};

// The daemon's run function, on the process-wide objects.
int APP_Run();

}  // namespace vantorellabs
