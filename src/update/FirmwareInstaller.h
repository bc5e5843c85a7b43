#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "core/DeviceState.h"
#include "link/ControllerLink.h"
#include "sys/Clock.h"
#include "sys/Console.h"
#include "sys/FileSystem.h"
#include "sys/Shell.h"
#include "update/BootBank.h"
#include "update/FirmwareDescription.h"
#include "update/InstallProgress.h"

namespace vantorellabs {

// What the installer runs on.
struct InstallerContext {
  Shell& shell;
  Clock& clock;
  FileSystem& files;
  ControllerLink& link;
  DeviceState& state;
  Console& console;
};

// Finds, downloads and installs signed swupdate images into the flash bank that is not
// running, and tells the controller how far it got with 0x0B progress codes.
//
// Every step that uses the scratch files (/tmp/update, /tmp/sw-description, the
// downloaded image and the server's template) holds filesMutex, so a check never removes
// or replaces an image that swupdate is reading. It is recursive because the update paths
// call the checks and the installer one inside the other.
class FirmwareInstaller {
 public:
  enum class Source { Scheduler = 0, Downloaded = 1, UsbStick = 2 };

  static constexpr std::uint8_t kCodeUpdateStart = 0x0A;
  static constexpr std::uint8_t kCodeUpdateProgress = 0x0B;
  // Progress sub-codes of 0x0B.
  static constexpr std::uint8_t kManualBegins = 0x01;
  static constexpr std::uint8_t kUsbPresent = 0x02;
  static constexpr std::uint8_t kNoUsb = 0x03;
  static constexpr std::uint8_t kUsbImageCopied = 0x04;
  static constexpr std::uint8_t kNoUsbImage = 0x05;
  static constexpr std::uint8_t kInstallBegins = 0x06;
  static constexpr std::uint8_t kImageStepDone = 0x07;
  static constexpr std::uint8_t kInstallFailed = 0x08;
  static constexpr std::uint8_t kCheckingServer = 0x09;
  static constexpr std::uint8_t kTemplateDownloadFailed = 0x0A;
  static constexpr std::uint8_t kNothingNewer = 0x0B;
  static constexpr std::uint8_t kUpdateFound = 0x0C;
  static constexpr std::uint8_t kDownloading = 0x0D;
  static constexpr std::uint8_t kDownloadFailed = 0x0E;
  static constexpr std::uint8_t kSequenceEnded = 0x0F;

  // The version an image must exceed when the running version is unknown.
  static constexpr const char* kBuiltInVersion = "1.1.0";
  static constexpr const char* kServerUrl =
      "https://www.vantorellabs.com/-/media/Files/vantorellabs/VarivuzuDizive/firmware/";
  static constexpr const char* kImageName = "vantorelos.swu";
  static constexpr const char* kTemplateName = "sw-description-user.template";
  static constexpr const char* kImagePath = "/tmp/vantorelos.swu";
  static constexpr const char* kUsbImagePath = "/tmp/VantorelOS.swu";
  static constexpr const char* kDescriptionPath = "/tmp/sw-description";
  static constexpr const char* kTemplatePath = "/tmp/sw-description-user.template";
  static constexpr const char* kUsbMountPath = "/tmp/usb_mount";

  explicit FirmwareInstaller(InstallerContext context) : ctx_(context) {}

  // Fetches a file of the web server into /tmp under its plain name.
  bool download(const std::string& name);
  // An image already in /tmp that describes itself.
  bool pendingImageCheck(FirmwareDescription& update);
  // A newer image on the web server than the one that runs.
  bool serverCheck(FirmwareDescription& update);

  // Installs from source, reporting to progress when there is one. 0 on success (the board
  // is about to reboot and the update stays marked as in progress), 1 on failure. With a
  // version, the downloaded image must still be that one: another path may have replaced it
  // since it was chosen.
  int installer(Source source, InstallProgress* progress,
                const std::optional<std::string>& version = std::nullopt);
  // 1 when an installation already runs, else the installer's result.
  int installUnlessRunning(Source source);

  // The controller's request (0x0A): from a USB stick, or else from the web server.
  void manualUpdate();
  void networkUpdate(Source source);
  // The scheduler's check once automatic update is known to be on: download, then install
  // in the 10:00 UTC hour while the amplifier is off.
  void scheduledUpdate();

  // The version an offered image must exceed: the one that runs, or the built-in one when
  // the running version is unknown. Comparing against what runs keeps an installed image
  // from looking new again after its reboot.
  std::string installedVersion() const;

  // Marks an update as running unless one already is; false when one was. Checking and
  // marking are one step, so two callers can never both go on to install.
  bool beginUpdate();
  void endUpdate() { updateInProgress = false; }
  bool isUpdateInProgress() const { return updateInProgress.load(); }

  std::mutex updateMutex;
  std::atomic<bool> updateInProgress{false};
  // Set by every client request that reaches its installation step, never cleared.
  std::atomic<bool> streamProgressToClient{false};
  std::recursive_mutex filesMutex;

 private:
  void progress(std::uint8_t subCode);
  void log(const std::string& line);
  int swupdate(const std::string& selection, Source source);
  BootBank runningBank();
  bool imageIsVersion(const std::string& version);
  bool imageStep(Source source, const std::optional<std::string>& version);
  void modelStep(Source source);
  bool installFromUsb();
  std::optional<int> utcHour();
  // A description file's text; empty when it cannot be read or is too large to be one.
  std::string descriptionText(const std::string& path);
  // Reads version and description of a description text into update; false when either is
  // missing.
  bool describe(const std::string& text, FirmwareDescription& update);

  InstallerContext ctx_;
};

}  // namespace vantorellabs
