#pragma once

#include <mutex>
#include <string>

#include "core/DeviceState.h"
#include "sys/Console.h"
#include "sys/FileSystem.h"
#include "sys/Shell.h"

namespace vantorellabs {

// Publishes the product on the home network. Avahi announces the API from a service
// file under /config whose service name and TXT records (name, model, serial) are edited
// in place with sed; the SDDP announcer is a program of its own that is restarted with
// the model's configuration.
//
// Names and serial numbers are outside text: each is made valid UTF-8 holding only what
// XML allows on a line, cut to what a TXT record may publish, and escaped for XML, then
// for sed, then for the shell, so that no name can change a command or break the service
// file (a raw '<', '&' or U+FFFF would make Avahi reject the file and the product vanish
// from the network).
class Discovery {
 public:
  // The longest value a TXT record publishes, in bytes before escaping. Longer names are
  // cut on a character boundary; the name file keeps the whole name.
  static constexpr std::size_t kMaxRecordValueBytes = 63;
  static constexpr std::size_t kMaxServiceFileBytes = 64 * 1024;

  // nameFilePath: the name file that the published device name is read from.
  Discovery(Shell& shell, DeviceState& state, Console& console, FileSystem& files,
            std::string nameFilePath);

  // Rewrites the TXT record of `key` in the live service file; the shell's status.
  int setTxtRecord(const std::string& key, const std::string& value);

  // Rewrites the service name and the three TXT records and reloads Avahi. Does nothing
  // before the controller has reported the serial number. A live file that is missing or
  // torn (by a power cut during an earlier edit) is first copied from the template. Runs
  // from the main loop (serial number report) and from RPC threads (a new name): one
  // refresh runs at a time, so two never mix their edits.
  void refreshDiscoveryRecord();

  // Stops the SDDP announcer and starts it again for this model and serial number.
  void restartSddpDaemon();

 private:
  int setTxtRecordLocked(const std::string& key, const std::string& value);
  void restoreTornServiceFile();

  Shell& shell_;
  DeviceState& state_;
  Console& console_;
  FileSystem& files_;
  const std::string nameFilePath_;
  std::mutex refreshMutex_;
  std::mutex sddpMutex_;
};

// Outside text as a published value: valid UTF-8 holding only what XML allows on a line
// (toXmlText), cut to at most maxBytes bytes without splitting a character.
std::string publishableText(const std::string& text, std::size_t maxBytes);

// The shell command that makes sed replace, in `file`, the first match of `pattern` on
// each line with the literal text `replacement`. The pattern is the daemon's own regular
// expression and must not hold '|'; the replacement may hold anything.
std::string sedReplaceCommand(const std::string& pattern, const std::string& replacement,
                              const std::string& file);

}  // namespace vantorellabs
