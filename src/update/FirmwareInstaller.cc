#include "update/FirmwareInstaller.h"

#include <algorithm>
#include <regex>

namespace vantorellabs {

namespace {

constexpr double kShortPause = 2.0;
constexpr double kLongPause = 3.0;
// Time for the freshly written bank to settle before the model's own files go on top.
constexpr double kAfterImagePause = 5.0;
// The scheduler installs only in this UTC hour.
constexpr int kDeploymentHour = 10;
// The kernel's command line is at most a few KB on every architecture; more than this is
// not a command line the bank can be read from.
constexpr std::size_t kMaxCmdlineBytes = 4096;
const char* kCmdlinePath = "/proc/cmdline";
// A description is a few KB of text; anything larger is not one, and is not read into
// memory.
constexpr std::size_t kMaxDescriptionBytes = 64 * 1024;
// Downloads land in /tmp, which is RAM: no image is larger than this.
constexpr std::uint64_t kMaxDownloadBytes = 64ULL * 1024 * 1024;
// The unit of the shell's "ulimit -f" in BusyBox ash and dash (POSIX).
constexpr std::uint64_t kShellBlockBytes = 512;

const char* kSwupdatePrefix = "swupdate -v -k /opt/vtl/sys/swupdate-public.pem -e ";

// True when the directory holds at least one "*.example" file. "test -e" with the pattern
// itself fails with a usage error as soon as two files match.
std::string examplesCommand(const std::string& directory) {
  return "for f in " + directory + "/*.example; do test -e \"$f\" && exit 0; done; exit 1";
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
  const std::string remove = "rm /tmp/" + name + "*";
  sh.run(remove);
  // The file size limit makes the kernel stop wget at the first write past the bound, so
  // neither a large image nor an endless answer can fill /tmp.
  const std::uint64_t limit =
      std::min(kMaxDownloadBytes, ctx_.files.freeBytes("/tmp").value_or(kMaxDownloadBytes));
  // The query makes every cache on the way fetch the file afresh; wget keeps it in the
  // saved file's name, which the move takes off again.
  if (sh.run("(cd /tmp && ulimit -f " + std::to_string(limit / kShellBlockBytes) +
             " && timeout 60 wget --no-check-certificate --no-cookies --no-cache " + kServerUrl +
             name + "?nocache=$(date +%s))") != 0) {
    sh.run(remove);
    log("Download Failed: " + name + " (at most " + std::to_string(limit) + " bytes)");
    return false;
  }
  return sh.run("(cd /tmp && mv $(ls /tmp/ | grep " + name + ") " + name + ")") == 0;
}

std::string FirmwareInstaller::descriptionText(const std::string& path) {
  const auto text = ctx_.files.readText(path, kMaxDescriptionBytes + 1);
  if (!text) return "";
  if (text->size() > kMaxDescriptionBytes) {
    log("Description Too Large: " + path);
    return "";
  }
  return *text;
}

bool FirmwareInstaller::describe(const std::string& text, FirmwareDescription& update) {
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
  // cp follows a link and reads a device to its end: a member that points at /dev/zero
  // would fill /tmp. Such an image has no description.
  const bool regular = ctx_.files.isRegularFile("/tmp/update/sw-description");
  if (regular) {
    sh.run("cp /tmp/update/sw-description /tmp");
  } else {
    log("Invalid Image: sw-description is not a regular file");
  }
  sh.run("rm -rf /tmp/update");
  if (!regular || !describe(descriptionText(kDescriptionPath), update)) {
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
  const std::string text = descriptionText(kTemplatePath);
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
  const bool described = describe(text, update);
  ctx_.shell.run(removeTemplate);
  return described;
}

int FirmwareInstaller::swupdate(const std::string& selection, Source source) {
  const char* image = source == Source::UsbStick ? kUsbImagePath : kImagePath;
  return ctx_.shell.run(kSwupdatePrefix + ("\"" + selection + "\" -i ") + image);
}

BootBank FirmwareInstaller::runningBank() {
  const auto cmdline = ctx_.files.readText(kCmdlinePath, kMaxCmdlineBytes + 1);
  const BootBank bank =
      (cmdline && cmdline->size() <= kMaxCmdlineBytes) ? bootBankOf(*cmdline) : BootBank::Unknown;
  if (bank == BootBank::Unknown) log("Error Getting Boot Image");
  return bank;
}

bool FirmwareInstaller::imageIsVersion(const std::string& version) {
  FirmwareDescription image;
  if (pendingImageCheck(image) && image.version == version) return true;
  log("Image Changed: expected " + version);
  return false;
}

bool FirmwareInstaller::imageStep(Source source, const std::optional<std::string>& version) {
  if (version && !imageIsVersion(*version)) return false;
  // The image always goes to the bank that is not running, so a failed write leaves the
  // running system bootable. Without a certain answer nothing is written at all.
  const BootBank running = runningBank();
  if (running == BootBank::Unknown) return false;
  Shell& sh = ctx_.shell;
  // The persistent partitions take the image's defaults only where the board still holds
  // example files, that is, where nobody has configured it yet.
  if (sh.run(examplesCommand("/config")) == 0) swupdate("stable,config", source);
  if (sh.run(examplesCommand("/data")) == 0) swupdate("stable,data", source);
  // From B, or from the recovery bank C, the image goes to A.
  const bool toB = running == BootBank::A;
  if (swupdate(toB ? "stable,copy-B" : "stable,copy-A", source) != 0) return false;
  // Without the switch the board would boot the old bank again and call it a success.
  const char* setBank = toB ? "fw_setenv bootparam B" : "fw_setenv bootparam A";
  if (sh.run(setBank) != 0) {
    log(std::string(setBank) + " failed");
    return false;
  }
  return true;
}

void FirmwareInstaller::modelStep(Source source) {
  const int model = ctx_.state.model();
  if (model == DeviceState::kModelK40) swupdate("stable,K40", source);
  if (model == DeviceState::kModelK7100) swupdate("stable,K7100", source);
}

int FirmwareInstaller::installer(Source source, InstallProgress* client,
                                 const std::optional<std::string>& version) {
  std::lock_guard<std::recursive_mutex> files(filesMutex);
  using Status = InstallProgress::Status;
  updateInProgress = true;
  const bool streaming = streamProgressToClient && client != nullptr;
  float lastProgress = 0.0F;
  if (streaming) client->report(Status::Installing, lastProgress);
  progress(kInstallBegins);
  if (imageStep(source, version)) {
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
