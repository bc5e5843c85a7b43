#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/DeviceState.h"
#include "firmware_service.grpc.pb.h"
#include "link/ControllerLink.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/WallClock.h"
#include "update/FirmwareInstaller.h"

namespace vantorellabs {

// Sees the clients' installation calls from the service's side, each by its number in
// order of arrival: every message that goes out on one, and its handler's return, after
// which nothing may be written to that call. Tests watch the calls through it; production
// has none.
class InstallCallProbe {
 public:
  virtual ~InstallCallProbe() = default;
  virtual void wrote(int call) = 0;
  virtual void handlerReturned(int call) = 0;
};

// What the firmware update service works with.
struct FirmwareServiceContext {
  FirmwareInstaller& installer;
  ControllerLink& link;
  DeviceState& state;
  Clock& clock;
  WallClock& wallClock;
  Console& console;
  InstallCallProbe* probe = nullptr;
};

// The FirmwareUpdateService of the API: the automatic update setting, the updates that can
// be installed, and a client's installation as a stream of progress messages. The
// installer does the work. RPCs that this class does not override answer UNIMPLEMENTED.
class FirmwareUpdateServiceImpl final : public protobuf::FirmwareUpdateService::Service {
 public:
  static constexpr std::uint8_t kCodeAutoUpdate = 0x72;

  explicit FirmwareUpdateServiceImpl(FirmwareServiceContext context) : ctx_(context) {}
  ~FirmwareUpdateServiceImpl() override;
  FirmwareUpdateServiceImpl(const FirmwareUpdateServiceImpl&) = delete;
  FirmwareUpdateServiceImpl& operator=(const FirmwareUpdateServiceImpl&) = delete;

  grpc::Status GetFirmwareUpdateConfiguration(
      grpc::ServerContext* context, const protobuf::GetFirmwareUpdateConfigurationRequest* request,
      protobuf::GetFirmwareUpdateConfigurationResponse* response) override;
  grpc::Status SetFirmwareUpdateConfiguration(
      grpc::ServerContext* context, const protobuf::SetFirmwareUpdateConfigurationRequest* request,
      protobuf::SetFirmwareUpdateConfigurationResponse* response) override;
  grpc::Status GetAvailableFirmwareUpdates(
      grpc::ServerContext* context, const protobuf::GetAvailableFirmwareUpdatesRequest* request,
      protobuf::GetAvailableFirmwareUpdatesResponse* response) override;
  grpc::Status StartFirmwareUpdate(
      grpc::ServerContext* context, const protobuf::StartFirmwareUpdateRequest* request,
      grpc::ServerWriter<protobuf::StartFirmwareUpdateResponse>* writer) override;
  grpc::Status GetFirmwareUpdateStatus(
      grpc::ServerContext* context, const protobuf::GetFirmwareUpdateStatusRequest* request,
      protobuf::GetFirmwareUpdateStatusResponse* response) override;

  // Controller report 0x72, on the main loop's thread.
  void updateAutoUpdateEnabled(bool enabled) { isAutoUpdateEnabled = enabled; }
  bool autoUpdateEnabled() const { return isAutoUpdateEnabled.load(); }

  // The reported time of the next automatic update, in seconds since the epoch: today, or
  // tomorrow from 10:00 UTC on, at the hour that the serial number gives.
  std::int64_t updateTime();

 private:
  // Sends the end of an update sequence that found nothing to do.
  void endSequence(std::uint8_t subCode);

  FirmwareServiceContext ctx_;
  std::atomic<bool> isAutoUpdateEnabled{false};
  std::mutex idsMutex;
  std::string pendingUpdateId;
  std::string availableUpdateId;
  // The installer of a client's update. Only one runs at a time; the thread is joined
  // before the next one starts and when the service goes away.
  std::thread installerThread;
  std::atomic<int> installCalls{0};
};

}  // namespace vantorellabs
