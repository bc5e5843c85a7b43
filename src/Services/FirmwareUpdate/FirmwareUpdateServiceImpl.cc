#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>

#include "Services/ServiceStatus.h"
#include "sys/Utf8.h"

namespace vantorellabs {

namespace {

using protobuf::FirmwareUpdateStatus;
using protobuf::StartFirmwareUpdateResponse;
using Installer = FirmwareInstaller;

constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::int64_t kSecondsPerDay = 86400;
// From this UTC hour on, the reported update time is tomorrow's.
constexpr int kLastHourForToday = 9;
constexpr double kEndPause = 3.0;

FirmwareUpdateStatus toApi(InstallProgress::Status status) {
  switch (status) {
    case InstallProgress::Status::Installing:
      return protobuf::FIRMWARE_UPDATE_STATUS_INSTALLING;
    case InstallProgress::Status::Complete:
      return protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE;
    case InstallProgress::Status::Restarting:
      return protobuf::FIRMWARE_UPDATE_STATUS_RESTARTING;
    case InstallProgress::Status::Error:
      break;
  }
  return protobuf::FIRMWARE_UPDATE_STATUS_ERROR;
}

StartFirmwareUpdateResponse message(FirmwareUpdateStatus status) {
  StartFirmwareUpdateResponse m;
  m.set_status(status);
  return m;
}

protobuf::FirmwareUpdate toApi(const FirmwareDescription& d) {
  protobuf::FirmwareUpdate update;
  update.set_id(toValidUtf8(d.id));
  update.set_version(toValidUtf8(d.version));
  if (d.hasDetails) {
    update.set_description(toValidUtf8(d.description));
    if (d.releaseDate) update.mutable_releasedate()->set_seconds(*d.releaseDate);
    update.set_releasenotes(toValidUtf8(d.releaseNotes));
  }
  if (d.size) update.set_size(static_cast<std::uint32_t>(*d.size));
  return update;
}

// The stream of one StartFirmwareUpdate call as the installer sees it. The installer's
// thread may outlive the call: once the handler has seen the call end, nothing is written
// to it or cancelled on it any more, and the handler returns only after that point.
class CallProgress : public InstallProgress {
 public:
  CallProgress(grpc::ServerContext* context,
               grpc::ServerWriter<StartFirmwareUpdateResponse>* writer, InstallCallProbe* probe,
               int number)
      : context_(context), writer_(writer), probe_(probe), number_(number) {}

  void report(Status status, float progress) override {
    StartFirmwareUpdateResponse m = message(toApi(status));
    m.set_progress(progress);
    if (status == Status::Error) m.set_error(protobuf::FIRMWARE_UPDATE_ERROR_INVALID_BINARY);
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    if (probe_ != nullptr) probe_->wrote(number_);
    writer_->Write(m);
  }

  void cancelCall() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    context_->TryCancel();
    cancelledByInstaller_ = true;
    changed_.notify_all();
  }

  // Waits until the client or the installer has ended the call, then closes it to the
  // installer. True when the installer cancelled it.
  bool waitForEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cancelledByInstaller_ && !context_->IsCancelled()) {
      changed_.wait_for(lock, std::chrono::seconds(1));
    }
    finished_ = true;
    return cancelledByInstaller_;
  }

 private:
  grpc::ServerContext* context_;
  grpc::ServerWriter<StartFirmwareUpdateResponse>* writer_;
  InstallCallProbe* probe_;
  int number_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  bool cancelledByInstaller_ = false;
};

}  // namespace

FirmwareUpdateServiceImpl::~FirmwareUpdateServiceImpl() {
  if (installerThread.joinable()) installerThread.join();
}

std::int64_t FirmwareUpdateServiceImpl::updateTime() {
  const std::int64_t now = ctx_.wallClock.utcSeconds();
  std::int64_t day = now - ((now % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
  if ((now - day) / kSecondsPerHour > kLastHourForToday) day += kSecondsPerDay;
  int serial = 0;
  int hour = 0;
  if (std::sscanf(ctx_.state.serialNumber().c_str(), "%d", &serial) == 1) {
    hour = ((serial % 24) + 24) % 24;
  }
  ctx_.console.print("Update Time: " + std::to_string(hour) + ":00\n");
  return day + hour * kSecondsPerHour;
}

grpc::Status FirmwareUpdateServiceImpl::GetFirmwareUpdateConfiguration(
    grpc::ServerContext* /*context*/,
    const protobuf::GetFirmwareUpdateConfigurationRequest* /*request*/,
    protobuf::GetFirmwareUpdateConfigurationResponse* response) {
  const bool enabled = isAutoUpdateEnabled.load();
  response->set_isautomaticfirmwaredownloadenabled(enabled);
  response->set_isautomaticfirmwareupdateenabled(enabled);
  response->mutable_updatetime()->set_seconds(updateTime());
  return grpc::Status::OK;
}

grpc::Status FirmwareUpdateServiceImpl::SetFirmwareUpdateConfiguration(
    grpc::ServerContext* /*context*/,
    const protobuf::SetFirmwareUpdateConfigurationRequest* request,
    protobuf::SetFirmwareUpdateConfigurationResponse* /*response*/) {
  if (request->has_isautomaticfirmwareupdateenabled()) {
    ctx_.link.sendCodeByte(kCodeAutoUpdate,
                           request->isautomaticfirmwareupdateenabled() ? '1' : '0');
  }
  return grpc::Status::OK;
}

grpc::Status FirmwareUpdateServiceImpl::GetAvailableFirmwareUpdates(
    grpc::ServerContext* /*context*/,
    const protobuf::GetAvailableFirmwareUpdatesRequest* /*request*/,
    protobuf::GetAvailableFirmwareUpdatesResponse* response) {
  FirmwareDescription pending;
  const bool hasPending = ctx_.installer.pendingImageCheck(pending);
  if (hasPending) *response->add_availableupdate() = toApi(pending);
  FirmwareDescription offered;
  const bool hasOffered =
      ctx_.installer.serverCheck(offered) && (!hasPending || offered.id != pending.id);
  if (hasOffered) *response->add_availableupdate() = toApi(offered);

  std::lock_guard<std::mutex> lock(idsMutex);
  pendingUpdateId = hasPending ? pending.id : "";
  availableUpdateId = hasOffered ? offered.id : "";
  return grpc::Status::OK;
}

void FirmwareUpdateServiceImpl::endSequence(std::uint8_t subCode) {
  ctx_.link.sendCodeByte(Installer::kCodeUpdateProgress, subCode);
  ctx_.clock.sleepSeconds(kEndPause);
  ctx_.link.sendCodeByte(Installer::kCodeUpdateProgress, Installer::kSequenceEnded);
}

grpc::Status FirmwareUpdateServiceImpl::StartFirmwareUpdate(
    grpc::ServerContext* context, const protobuf::StartFirmwareUpdateRequest* request,
    grpc::ServerWriter<StartFirmwareUpdateResponse>* writer) {
  if (!ctx_.installer.beginUpdate()) {
    return {grpc::StatusCode::ALREADY_EXISTS, "Firmware Update in Progress"};
  }
  // From here every way out that does not reach the installer clears the mark again.
  auto fail = [this](grpc::StatusCode code, const char* text) {
    ctx_.installer.endUpdate();
    return grpc::Status(code, text);
  };
  if (!ctx_.state.isSettled()) {
    const grpc::Status transitioning = productStateTransitioning();
    return fail(transitioning.error_code(), transitioning.error_message().c_str());
  }
  ctx_.link.sendCode(Installer::kCodeUpdateStart);

  std::string pending;
  std::string available;
  {
    std::lock_guard<std::mutex> lock(idsMutex);
    pending = pendingUpdateId;
    available = availableUpdateId;
  }
  bool downloadFirst = false;
  if (pending.empty()) {
    if (available.empty()) {
      endSequence(Installer::kNothingNewer);
      return fail(grpc::StatusCode::NOT_FOUND,
                  "No Updates Available; Try Calling GetAvailableFirmwareUpdates");
    }
    downloadFirst = true;
  }
  if (request->has_firmwareupdateid()) {
    const std::string& id = request->firmwareupdateid();
    // An empty stored id means "none": an empty request must not match it and install
    // whatever the server offers, older firmware included.
    if (id.empty() || (id != pending && id != available)) {
      endSequence(Installer::kNothingNewer);
      return fail(grpc::StatusCode::NOT_FOUND, "firmwareUpdateId");
    }
    if (pending != available && id == available) downloadFirst = true;
  }

  if (downloadFirst) {
    ctx_.link.sendCodeByte(Installer::kCodeUpdateProgress, Installer::kDownloading);
    writer->Write(message(protobuf::FIRMWARE_UPDATE_STATUS_DOWNLOADING));
    if (!ctx_.installer.download(Installer::kImageName)) {
      ctx_.link.sendCodeByte(Installer::kCodeUpdateProgress, Installer::kDownloadFailed);
      StartFirmwareUpdateResponse failed = message(protobuf::FIRMWARE_UPDATE_STATUS_ERROR);
      failed.set_error(protobuf::FIRMWARE_UPDATE_ERROR_DOWNLOAD);
      writer->Write(failed);
      endSequence(Installer::kDownloadFailed);
      return fail(grpc::StatusCode::INTERNAL, "Failed to Download");
    }
  }

  ctx_.installer.streamProgressToClient = true;
  const int number = ++installCalls;
  auto call = std::make_shared<CallProgress>(context, writer, ctx_.probe, number);
  // The previous installer has cleared the in-progress mark as its last step, so it has
  // ended or is about to.
  if (installerThread.joinable()) installerThread.join();
  // The installer checks that the image in /tmp is still the chosen one: the scheduler
  // may have replaced it since.
  const std::string chosen = downloadFirst ? available : pending;
  installerThread = std::thread([this, call, chosen] {
    ctx_.installer.installer(Installer::Source::Downloaded, call.get(), chosen);
  });
  // gRPC expects a call that the server cancelled to end as cancelled.
  const bool cancelledByInstaller = call->waitForEnd();
  if (ctx_.probe != nullptr) ctx_.probe->handlerReturned(number);
  return cancelledByInstaller ? grpc::Status::CANCELLED : grpc::Status::OK;
}

grpc::Status FirmwareUpdateServiceImpl::GetFirmwareUpdateStatus(
    grpc::ServerContext* /*context*/, const protobuf::GetFirmwareUpdateStatusRequest* /*request*/,
    protobuf::GetFirmwareUpdateStatusResponse* response) {
  response->set_status(ctx_.installer.isUpdateInProgress()
                           ? protobuf::FIRMWARE_UPDATE_STATUS_INSTALLING
                           : protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE);
  return grpc::Status::OK;
}

}  // namespace vantorellabs
