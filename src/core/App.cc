#include "core/App.h"

#include "core/BoardUtilities.h"
#include "core/Identity.h"
#include "sys/DescriptorLimit.h"
#include "sys/Signals.h"

namespace vantorellabs {

App::App(AppContext context)
    : ctx_(context),
      loop_(ctx_.console, ctx_.clock),
      da_(ctx_.link, ctx_.state, ctx_.owners, ctx_.console),
      networkStatus_(ctx_.link, ctx_.shell, ctx_.clock,
                     [this] { return ctx_.owners.bleCentralConnected(); }),
      dispatcher_(DispatchTargets{ctx_.link, ctx_.state, da_, ctx_.owners, ctx_.shell, loop_,
                                  ctx_.console}),
      statusReport_(ctx_.clock, kStatusReportSeconds, [this] { sendStatusReport(); }),
      readWatch_(ctx_.link, ctx_.clock, ctx_.console, ctx_.setApiServing) {
  ctx_.link.setFrameHandler(
      [this](std::string_view frame) { dispatcher_.dispatchControllerFrame(frame); });
  if (ctx_.ble != nullptr) {
    ctx_.ble->setNetworkStatusReport([this] { networkStatus_.sendNetworkStatus(); });
  }
}

int App::run() {
  ctx_.link.markLoopThread();
  survivePeerHangUps();
  ctx_.console.print("Vantorel Acoustics, Inc.: Model = " + modelString(ctx_.state.model()) + "\n");
  raiseDescriptorLimit(ctx_.console);
  startBle();

  restartWifi(ctx_.shell);

  const int daFd = da_.openDaLink(ctx_.daPortPath);
  loop_.watch(LoopSource::DaPort, daFd, [this] { return da_.daReceiveStep(); });

  const int fd = ctx_.link.openPort(ctx_.controllerPortPath);
  loop_.watch(LoopSource::ControllerPort, fd, [this] { return ctx_.link.controllerReceiveStep(); });
  if (ctx_.link.runHandshake(loop_) != 0) {
    rebootToBootParamC(ctx_.shell);
    return -1;
  }
  if (ctx_.startApi) ctx_.startApi();
  if (ctx_.startTcpSideServer) ctx_.startTcpSideServer();

  for (;;) loopTurn();
}

void App::loopTurn() {
  if (ctx_.ble != nullptr) {
    ctx_.ble->bleAdvertisingTimeoutStep();
    ctx_.ble->bleEventPipeRestartStep();
  }
  statusReport_.step();
  ctx_.owners.autoUpdateTick();
  readWatch_.step();
  loop_.pollStep();
}

void App::startBle() {
  BleBridge* ble = ctx_.ble;
  if (ble == nullptr) return;
  // hcidump is started again when it ends; the loop follows its descriptor.
  ble->setEventPipeWatcher([this](int fd) { loop_.setDescriptor(LoopSource::BleEventPipe, fd); });
  loop_.watch(LoopSource::BleEventPipe, ble->startBleEventPipe(),
              [ble] { return ble->bleEventStep(); });
  loop_.watch(LoopSource::HelperSocket, ble->openHelperSocket(),
              [ble] { return ble->helperReceiveStep(); });
  ble->startBleHelper();
}

void App::sendStatusReport() {
  networkStatus_.sendNetworkStatus();
  ctx_.owners.sendSerialToHelper();
  ctx_.owners.sendDaVersionToHelper();
}

}  // namespace vantorellabs
