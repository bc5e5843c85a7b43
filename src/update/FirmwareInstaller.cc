#include "update/FirmwareInstaller.h"

#include <cerrno>
#include <cstdio>
#include <regex>
#include <vector>

namespace vantorellabs {

namespace {

constexpr double kShortPause = 2.0;
constexpr double kLongPause = 3.0;
// Time for the freshly written bank to settle before the model's own files go on top.
constexpr double kAfterImagePause = 5.0;
// The scheduler installs only in this UTC hour.
constexpr int kDeploymentHour = 10;
// fgets() into a 256-byte buffer: the kernel command line is read in pieces of this size.
constexpr std::size_t kCmdlinePiece = 255;

const char* kSwupdatePrefix = "swupdate -v -k /opt/vtl/sys/swupdate-public.pem -e ";

// The pieces fgets() would return: lines, each cut into parts of at most kCmdlinePiece.
std::vector<std::string> cmdlinePieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = (end == std::string::npos) ? text.size() : end + 1;
    if (end - start > kCmdlinePiece) end = start + kCmdlinePiece;
    pieces.push_back(text.substr(start, end - start));
    start = end;
  }
  return pieces;
}

// Where the "root=" parameter starts in a piece of the command line, or npos.
std::size_t rootParameter(const std::string& piece) {
  for (std::size_t at = piece.find("root="); at != std::string::npos;
       at = piece.find("root=", at + 1)) {
    if (at == 0 || piece[at - 1] == ' ') return at;
  }
  return std::string::npos;
}

}  // namespace

void FirmwareInstaller::progress(std::uint8_t subCode) {
  ctx_.link.sendCodeByte(kCodeUpdateProgress, subCode);
}

void FirmwareInstaller::log(const std::string& line) { ctx_.console.print(line + "\n"); }

std::string FirmwareInstaller::installedVersion() const {
  const std::string running = ctx_.state.firmwareVersion();
  return running == "0.0.0" ? kBuiltInVersion : running;
}

bool FirmwareInstaller::beginUpdate() {
  std::lock_guard<std::mutex> lock(updateMutex);
  if (updateInProgress) return false;
  updateInProgress = true;
  return true;
}

bool FirmwareInstaller::download(const std::string& name) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  Shell& sh = ctx_.shell;
  sh.run("rm /tmp/" + name + "*");
  // The query makes every cache on the way fetch the file afresh; wget keeps it in the
  // saved file's name, which the move takes off again.
  if (sh.run(std::string("(cd /tmp && timeout 60 wget --no-check-certificate --no-cookies "
                         "--no-cache ") +
             kServerUrl + name + "?nocache=$(date +%s))") != 0) {
    return false;
  }
  return sh.run("(cd /tmp && mv $(ls /tmp/ | grep " + name + ") " + name + ")") == 0;
}

bool FirmwareInstaller::readDescription(const std::string& path, FirmwareDescription& update) {
  const std::string text = ctx_.files.readText(path).value_or("");
  const auto version = quotedValue(text, "version");
  if (!version) return false;
  update.id = *version;
  update.version = *version;
  const auto description = quotedValue(text, "description");
  if (!description) return false;
  applyDescriptionText(update, *description);
  return true;
}

bool FirmwareInstaller::pendingImageCheck(FirmwareDescription& update) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  if (!ctx_.files.exists(kImagePath)) return false;
  Shell& sh = ctx_.shell;
  sh.run("mkdir /tmp/update");
  sh.run("cp /tmp/vantorelos.swu /tmp/update");
  // Only the description leaves the archive: nothing of an unverified image is unpacked
  // that is not read.
  sh.run("(cd /tmp/update && cpio -idv sw-description < /tmp/update/vantorelos.swu)");
  sh.run("rm /tmp/sw-description");
  sh.run("cp /tmp/update/sw-description /tmp");
  sh.run("rm -rf /tmp/update");
  if (!readDescription(kDescriptionPath, update)) {
    sh.run("rm /tmp/sw-description");
    sh.run("rm /tmp/vantorelos.swu");
    return false;
  }
  if (update.hasDetails) update.size = ctx_.files.fileSize(kImagePath);
  sh.run("rm /tmp/sw-description");
  return true;
}

bool FirmwareInstaller::serverCheck(FirmwareDescription& update) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  if (!download(kTemplateName)) {
    progress(kTemplateDownloadFailed);
    return false;
  }
  const std::string removeTemplate = std::string("rm ") + kTemplatePath;
  const std::string text = ctx_.files.readText(kTemplatePath).value_or("");
  const auto version = quotedValue(text, "version");
  if (!version) {
    ctx_.shell.run(removeTemplate);
    return false;
  }
  if (!isNewerVersion(*version, installedVersion())) {
    progress(kNothingNewer);
    ctx_.shell.run(removeTemplate);
    return false;
  }
  const bool described = readDescription(kTemplatePath, update);
  ctx_.shell.run(removeTemplate);
  return described;
}

int FirmwareInstaller::swupdate(const std::string& selection, Source source) {
  const char* image = source == Source::UsbStick ? kUsbImagePath : kImagePath;
  return ctx_.shell.run(kSwupdatePrefix + ("\"" + selection + "\" -i ") + image);
}

FirmwareInstaller::Bank FirmwareInstaller::runningBank() {
  const auto cmdline = ctx_.shell.capture("cat /proc/cmdline");
  if (!cmdline) {
    ctx_.console.printError("popen", errno != 0 ? errno : EIO);
    return Bank::Unknown;
  }
  Bank bank = Bank::Unknown;
  for (const std::string& piece : cmdlinePieces(*cmdline)) {
    if (piece.find("root") == std::string::npos) continue;
    // The value is read from the "root=" parameter itself, wherever it stands: the first
    // "=" of the line may belong to "console=" or "rootfstype=", and taking that value
    // would write the image over the running bank.
    const std::size_t at = rootParameter(piece);
    char device[kCmdlinePiece + 1] = {};
    if (at != std::string::npos && std::sscanf(piece.c_str() + at, "%*[^=]=%255s", device) == 1) {
      const std::string root = device;
      if (root == "/dev/mtdblock1") {
        bank = Bank::A;
        continue;
      }
      if (root == "/dev/mtdblock3") {
        bank = Bank::B;
        continue;
      }
      if (root == "/dev/mtdblock9") {
        bank = Bank::C;
        continue;
      }
    }
    log("Error Getting Boot Image");
  }
  return bank;
}

bool FirmwareInstaller::imageStep(Source source) {
  Shell& sh = ctx_.shell;
  // The persistent partitions take the image's defaults only where the board still holds
  // example files, that is, where nobody has configured it yet.
  if (sh.run("test -e /config/*.example") == 0) swupdate("stable,config", source);
  if (sh.run("test -e /data/*.example") == 0) swupdate("stable,data", source);
  // The image always goes to the bank that is not running, so a failed write leaves the
  // running system bootable.
  const bool toB = runningBank() == Bank::A;
  if (swupdate(toB ? "stable,copy-B" : "stable,copy-A", source) != 0) return false;
  sh.run(toB ? "fw_setenv bootparam B" : "fw_setenv bootparam A");
  return true;
}

void FirmwareInstaller::modelStep(Source source) {
  const int model = ctx_.state.model();
  if (model == DeviceState::kModelK40) swupdate("stable,K40", source);
  if (model == DeviceState::kModelK7100) swupdate("stable,K7100", source);
}

int FirmwareInstaller::installer(Source source, InstallProgress* client) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  using Status = InstallProgress::Status;
  updateInProgress = true;
  const bool streaming = streamProgressToClient && client != nullptr;
  float lastProgress = 0.0F;
  if (streaming) client->report(Status::Installing, lastProgress);
  progress(kInstallBegins);
  if (imageStep(source)) {
    progress(kImageStepDone);
    if (streaming) client->report(Status::Installing, lastProgress = 0.5F);
    ctx_.clock.sleepSeconds(kAfterImagePause);
    modelStep(source);
    if (streaming) {
      client->report(Status::Complete, 1.0F);
      client->report(Status::Restarting, 1.0F);
    }
    // The reboot waits a little so that the client receives the last message.
    ctx_.shell.run("sleep 3 && reboot &");
    return 0;
  }
  progress(kInstallFailed);
  if (streaming) {
    client->report(Status::Error, lastProgress);
    client->cancelCall();
  }
  updateInProgress = false;
  return 1;
}

int FirmwareInstaller::installUnlessRunning(Source source) {
  if (!beginUpdate()) {
    log("Update Already In Progress");
    return 1;
  }
  return installer(source, nullptr);
}

bool FirmwareInstaller::installFromUsb() {
  Shell& sh = ctx_.shell;
  ctx_.files.makeDirectory(kUsbMountPath);
  sh.run("mount /dev/sd*1 /tmp/usb_mount");
  const bool found = ctx_.files.exists("/tmp/usb_mount/VantorelOS.swu");
  if (found) sh.run("cp /tmp/usb_mount/VantorelOS.swu /tmp");
  sh.run("umount /tmp/usb_mount");
  ctx_.files.removeDirectory(kUsbMountPath);
  return found;
}

void FirmwareInstaller::manualUpdate() {
  Clock& clock = ctx_.clock;
  ctx_.link.sendCode(kCodeUpdateStart);
  progress(kManualBegins);
  clock.sleepSeconds(kShortPause);
  if (ctx_.files.hasEntryStartingWith("/dev", "sd")) {
    progress(kUsbPresent);
    clock.sleepSeconds(kShortPause);
    if (installFromUsb()) {
      progress(kUsbImageCopied);
      clock.sleepSeconds(kShortPause);
      if (installUnlessRunning(Source::UsbStick) == 0) ctx_.shell.run("reboot");
    } else {
      progress(kNoUsbImage);
    }
  } else {
    progress(kNoUsb);
    clock.sleepSeconds(kLongPause);
    progress(kCheckingServer);
    networkUpdate(Source::Downloaded);
  }
  clock.sleepSeconds(kLongPause);
  progress(kSequenceEnded);
}

void FirmwareInstaller::networkUpdate(Source source) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  FirmwareDescription update;
  if (serverCheck(update)) {
    progress(kUpdateFound);
    ctx_.clock.sleepSeconds(kLongPause);
    progress(kDownloading);
    if (!download(kImageName)) {
      progress(kDownloadFailed);
      return;
    }
  } else if (pendingImageCheck(update)) {
    progress(kUpdateFound);
  } else {
    return;
  }
  ctx_.clock.sleepSeconds(kShortPause);
  if (installUnlessRunning(source) == 0) ctx_.shell.run("reboot");
}

std::optional<int> FirmwareInstaller::utcHour() {
  const std::string out = ctx_.shell.capture("date '+%H'").value_or("");
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("\\d+", std::regex::ECMAScript))) {
    return std::nullopt;
  }
  const std::string digits = match.str();
  log("Time: " + digits + ":00:00 UTC");
  // A run of digits too long for an hour is no hour at all: outside the window.
  if (digits.size() > 2) return std::nullopt;
  return std::stoi(digits);
}

void FirmwareInstaller::scheduledUpdate() {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  FirmwareDescription offered;
  if (serverCheck(offered)) {
    log("New Update Available");
    if (!download(kImageName)) return;
  }
  FirmwareDescription pending;
  if (!pendingImageCheck(pending)) return;
  log("New Update Pending");
  if (!isNewerVersion(pending.version, installedVersion())) return;
  const auto hour = utcHour();
  if (hour != kDeploymentHour) {
    log("It's not my time...");
    return;
  }
  if (ctx_.state.schedule() != '0') {
    log("I'm really turned on...");
    return;
  }
  log("Deploying whether you like it, or not.");
  ctx_.link.sendCode(kCodeUpdateStart);
  ctx_.clock.sleepSeconds(kShortPause);
  progress(kUpdateFound);
  ctx_.clock.sleepSeconds(kShortPause);
  if (installUnlessRunning(Source::Scheduler) == 0) ctx_.shell.run("reboot");
}

}  // namespace vantorellabs
