#include "discovery/Discovery.h"

#include "core/Identity.h"
#include "core/ProductName.h"
#include "sys/BoardPaths.h"
#include "sys/TextEscape.h"
#include "sys/Utf8.h"

namespace vantorellabs {

namespace {

constexpr char kSedDelimiter = '|';
constexpr const char* kAvahiReloadCommand = "/etc/init.d/S50avahi-daemon reload";
constexpr const char* kSddpStopCommand = "killall vtl-sddp";
constexpr const char* kSddpStartPrefix = "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/";

// A live file lacking one of these was cut short or emptied: the edits would find
// nothing to rewrite, and Avahi would reject it or publish the product without a name.
// (A file without a service name element is edited as it stands.)
constexpr const char* kServiceFileMarks[] = {
    "</service-group>", "<txt-record>name=", "<txt-record>model=", "<txt-record>serial="};

bool isTorn(const std::string& serviceFile) {
  for (const char* mark : kServiceFileMarks) {
    if (serviceFile.find(mark) == std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string publishableText(const std::string& text, std::size_t maxBytes) {
  const std::string published = toXmlText(text);
  if (published.size() <= maxBytes) return published;
  // Cut on a character boundary: the text helper drops a character cut off at the end.
  return toValidUtf8(std::string_view(published).substr(0, maxBytes));
}

std::string sedReplaceCommand(const std::string& pattern, const std::string& replacement,
                              const std::string& file) {
  const std::string expression = std::string("s") + kSedDelimiter + pattern + kSedDelimiter +
                                 sedReplacementEscape(replacement, kSedDelimiter) + kSedDelimiter;
  return "sed -i " + shellQuote(expression) + " " + file;
}

Discovery::Discovery(Shell& shell, DeviceState& state, Console& console, FileSystem& files,
                     std::string nameFilePath)
    : shell_(shell),
      state_(state),
      console_(console),
      files_(files),
      nameFilePath_(std::move(nameFilePath)) {}

int Discovery::setTxtRecord(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(refreshMutex_);
  return setTxtRecordLocked(key, value);
}

int Discovery::setTxtRecordLocked(const std::string& key, const std::string& value) {
  const std::string pattern = "<txt-record>" + key + "=[^<]*</txt-record>";
  const std::string record = "<txt-record>" + key + "=" +
                             xmlEscape(publishableText(value, kMaxRecordValueBytes)) +
                             "</txt-record>";
  return shell_.run(sedReplaceCommand(pattern, record, kAvahiServicePath));
}

void Discovery::refreshDiscoveryRecord() {
  std::lock_guard<std::mutex> lock(refreshMutex_);
  const std::string serial = state_.serialNumber();
  if (serial == DeviceState::kUnknownSerialNumber) return;
  restoreTornServiceFile();

  const char* modelRecord = nullptr;
  switch (state_.model()) {
    case DeviceState::kModelK40:
      modelRecord = "1";
      break;
    case DeviceState::kModelK7100:
      modelRecord = "2";
      break;
    default:
      return;
  }
  const std::string instance = modelString(state_.model()) + "-" + serial;
  const std::string element =
      "<name>Vantorel " + xmlEscape(publishableText(instance, kMaxRecordValueBytes)) + "</name>";
  if (shell_.run(sedReplaceCommand("<name>[^<]*</name>", element, kAvahiServicePath)) != 0) {
    console_.print("Write Avahi Service Name Failed\n");
    return;
  }
  if (setTxtRecordLocked("name", readDeviceName(nameFilePath_, state_)) != 0) {
    console_.print("Write Avahi Name Failed\n");
  }
  if (setTxtRecordLocked("model", modelRecord) != 0) console_.print("Write Avahi Model Failed\n");
  if (setTxtRecordLocked("serial", serial) != 0) console_.print("Write Avahi Serial Failed\n");
  // sed renames its new file over the old one without syncing either: until both are on
  // the disk a power cut can leave the live file empty. A sync that fails is not fatal;
  // the next refresh copies a torn file again.
  files_.syncPath(kAvahiServicePath);
  files_.syncPath(kConfigDirectoryPath);
  shell_.run(kAvahiReloadCommand);
}

void Discovery::restoreTornServiceFile() {
  // A service file is a few hundred bytes; one past the bound is no service file.
  const auto live = files_.readText(kAvahiServicePath, kMaxServiceFileBytes + 1);
  if (live && live->size() <= kMaxServiceFileBytes && !isTorn(*live)) return;
  const auto original = files_.readText(kAvahiServiceTemplatePath, kMaxServiceFileBytes + 1);
  if (!original || original->size() > kMaxServiceFileBytes ||
      !files_.replaceFile(kAvahiServicePath, *original)) {
    console_.print("Copy Avahi Service Template Failed\n");
  }
}

void Discovery::restartSddpDaemon() {
  // Two restarts at once (the side server's start and a controller request) would each
  // stop the other's announcer or start a second one.
  std::lock_guard<std::mutex> lock(sddpMutex_);
  shell_.run(kSddpStopCommand);
  const std::string model = modelString(state_.model());
  const std::string instance =
      publishableText(model + "-" + state_.serialNumber(), kMaxRecordValueBytes);
  shell_.run(kSddpStartPrefix + model + ".conf -i " + shellWord(instance));
}

}  // namespace vantorellabs
