#include <cerrno>
#include <memory>
#include <thread>

#include "Services/ApiReportOwners.h"
#include "Services/AudioInputControl/AudioInputControlServiceImpl.h"
#include "Services/AudioInputs/AudioInputsServiceImpl.h"
#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"
#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"
#include "Services/FeatureAvailability/FeatureAvailabilityServiceImpl.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"
#include "Services/Information/InformationServiceImpl.h"
#include "Services/Name/NameServiceImpl.h"
#include "Services/NetworkInformation/NetworkInformationServiceImpl.h"
#include "Services/System/SystemServiceImpl.h"
#include "Services/Volume/VolumeServiceImpl.h"
#include "ble/BleBridge.h"
#include "ble/CommandPipe.h"
#include "core/App.h"
#include "core/Identity.h"
#include "discovery/Discovery.h"
#include "server/ApiHealth.h"
#include "server/ApiServer.h"
#include "server/ApiWatchdog.h"
#include "server/TcpSideServer.h"
#include "sys/BoardPaths.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/FileSystem.h"
#include "sys/Shell.h"
#include "sys/WallClock.h"
#include "update/FirmwareInstaller.h"
#include "update/UpdateScheduler.h"

namespace vantorellabs {

namespace {

SystemShell gShell;
SystemClock gClock;
SystemWallClock gWallClock;
SystemFileSystem gFiles;

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

// All static objects live in this one file so that they are built in this order: the
// device state, the eleven services, then the rest.
DeviceState gDeviceState = buildDeviceState();
Discovery gDiscovery(gShell, gDeviceState, systemConsole(), gFiles, kProductNamePath);

FeatureAvailabilityServiceImpl gFeatureAvailabilityService;
InformationServiceImpl gInformationService(gDeviceState);
NameServiceImpl gNameService(gDeviceState, gFiles, kProductNamePath, gDiscovery);
NetworkInformationServiceImpl gNetworkInformationService(gShell, systemConsole());
// The installer and the firmware service only keep a reference to the link, built below.
extern ControllerLink gControllerLink;
FirmwareInstaller gFirmwareInstaller(InstallerContext{gShell, gClock, gFiles, gControllerLink,
                                                      gDeviceState, systemConsole()});
FirmwareUpdateServiceImpl gFirmwareUpdateService(FirmwareServiceContext{
    gFirmwareInstaller, gControllerLink, gDeviceState, gClock, gWallClock, systemConsole()});
// The link is built first: the services send their commands through it. It only
// records the console here; the port is opened by APP_Run.
ControllerLink gControllerLink(systemConsole());
VolumeServiceImpl gVolumeService(gControllerLink, gDeviceState);
AudioInputsServiceImpl gAudioInputsService(gControllerLink, gDeviceState);
AudioInputsActivationServiceImpl gAudioInputsActivationService(gControllerLink, gDeviceState);
AudioOutputsServiceImpl gAudioOutputsService(gControllerLink, gDeviceState);
AudioInputControlServiceImpl gAudioInputControlService(gControllerLink, gDeviceState);
SystemServiceImpl gSystemService(gControllerLink, gDeviceState, systemConsole());

UpdateScheduler gUpdateScheduler(gFirmwareInstaller, gClock, systemConsole(),
                                 [] { return gFirmwareUpdateService.autoUpdateEnabled(); });

ApiReportOwners gReportOwners(gVolumeService, gAudioInputsService, gAudioInputsActivationService,
                              gAudioOutputsService, gFirmwareUpdateService, gUpdateScheduler);

ApiServices gApiServices{gFeatureAvailabilityService,
                         gInformationService,
                         gNameService,
                         gSystemService,
                         gNetworkInformationService,
                         gFirmwareUpdateService,
                         gVolumeService,
                         gAudioInputsService,
                         gAudioInputsActivationService,
                         gAudioOutputsService,
                         gAudioInputControlService};

// The side server listens from before main: a port it cannot have ends the process there.
TcpSideServer gTcpSideServer(TcpSideServer::kPort, gControllerLink, gReportOwners, systemConsole(),
                             gClock);

ApiWatchdog gApiWatchdog(gClock, systemConsole(),
                         [] { return checkApiHealth(kApiLoopbackTarget); });

PopenCommandPipe gCommandPipe;
BleBridge gBleBridge(BleContext{systemConsole(), gShell, gClock, gDeviceState, gControllerLink,
                                gCommandPipe, kBleHelperSocketPath});

}  // namespace

int APP_Run() {
  // New files that a power cut kept from being renamed into place would stay for ever;
  // nothing writes these two files before the loop runs.
  gFiles.removeLeftovers(kProductNamePath);
  gFiles.removeLeftovers(kAvahiServicePath);
  // The running server; APP_Run never returns once the loop runs, so it outlives the
  // API thread's use of it.
  std::unique_ptr<grpc::Server> apiServer;
  gReportOwners.attachSystem(gSystemService);
  gReportOwners.attachDiscovery(gDiscovery);
  gReportOwners.attachBle(gBleBridge);
  gReportOwners.attachTcpSideServer(gTcpSideServer);
  App app(AppContext{systemConsole(), gShell, gClock, gDeviceState, gControllerLink, gReportOwners,
                     kControllerPortPath, kDaPortPath,
                     [&apiServer] {
                       std::thread([&apiServer] {
                         runApiServer(apiServer, kApiAddress, gApiServices, systemConsole());
                       }).detach();
                       std::thread([] { gApiWatchdog.run(); }).detach();
                     },
                     &gBleBridge, [] { std::thread([] { gTcpSideServer.run(); }).detach(); },
                     [](bool serving) { apiHealth().setServing(serving); }});
  return app.run();
}

}  // namespace vantorellabs
