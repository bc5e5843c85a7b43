#include "discovery/Discovery.h"

#include <unistd.h>

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

bool isControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::string publishableText(const std::string& text, std::size_t maxBytes) {
  std::string published;
  for (char c : toValidUtf8(text)) {
    if (!isControlByte(c)) published += c;
  }
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

Discovery::Discovery(Shell& shell, DeviceState& state, Console& console, std::string nameFilePath,
                     FileExists fileExists)
    : shell_(shell),
      state_(state),
      console_(console),
      nameFilePath_(std::move(nameFilePath)),
      fileExists_(std::move(fileExists)) {}

bool Discovery::accessExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

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
  if (!fileExists_(kAvahiServicePath)) {
    shell_.run(std::string("cp ") + kAvahiServiceTemplatePath + " /config");
  }

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
  shell_.run(kAvahiReloadCommand);
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
