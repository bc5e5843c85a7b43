#pragma once

// A small board for the firmware path: one object plays the shell and the file system, so
// that the commands the installer runs change the files it then looks at. Images are
// stood in for by their sw-description text.

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Fakes.h"
#include "sys/Clock.h"
#include "sys/FileSystem.h"
#include "sys/Shell.h"
#include "sys/WallClock.h"
#include "update/FirmwareInstaller.h"

namespace vantorellabs::testing {

// A sw-description (or server template) text.
inline std::string swDescription(const std::string& version,
                                 const std::string& description = "Fixes:1767225600:Faster") {
  return "software =\n{\n\tversion = \"" + version + "\";\n\tdescription = \"" + description +
         "\";\n};\n";
}

// An image whose sw-description member is a link to /dev/zero: what cpio unpacks from it
// is no regular file.
inline const std::string kLinkedDescriptionImage = "<sw-description -> /dev/zero>";

// The test sets it up through the methods (they take the board's lock, since the code under
// test reads the board from other threads); the plain fields are for set-up before any
// thread starts. A command or file question that the board does not model fails the test.
class FakeBoard : public Shell, public FileSystem {
 public:
  // The web server offers a file; a text of nothing withdraws it.
  void serve(const std::string& name, std::optional<std::string> text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text) {
      server_[name] = *text;
    } else {
      server_.erase(name);
    }
  }
  // A command holding this text exits with 1.
  void fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_.push_back(text);
  }

  // What capture() answers, per command.
  std::map<std::string, std::string> outputs;
  // The image on the USB stick, if any; the stick is plugged in when /dev/sda1 exists.
  std::string usbImage;
  bool usbHasImage = false;
  // Room left in /tmp.
  std::uint64_t tmpFreeBytes = 1ULL << 30;

  FakeBoard() { files_["/proc/cmdline"] = "root=/dev/mtdblock1 rootfstype=squashfs ro\n"; }

  void putFile(const std::string& path, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = text;
  }
  void removeFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_.erase(path);
  }
  void plugUsbStick() { makeDirectory("/dev/sda1"); }
  std::vector<std::string> commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  // The commands that change the board: swupdate runs, fw_setenv and reboots.
  std::vector<std::string> installCommands() const {
    std::vector<std::string> out;
    for (const auto& c : commands()) {
      if (c.rfind("swupdate", 0) == 0 || c.rfind("fw_setenv", 0) == 0 ||
          c.find("reboot") != std::string::npos) {
        out.push_back(c);
      }
    }
    return out;
  }
  // Makes the next command holding `text` wait until release().
  void holdAt(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAt_ = text;
  }
  bool waitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return held_; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAt_.clear();
    changed_.notify_all();
  }

  int run(const std::string& command) override {
    std::unique_lock<std::mutex> lock(mutex_);
    commands_.push_back(command);
    if (!holdAt_.empty() && command.find(holdAt_) != std::string::npos) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return holdAt_.empty(); });
    }
    for (const auto& f : failing_) {
      if (command.find(f) != std::string::npos) return 1;
    }
    return act(command);
  }
  std::optional<std::string> capture(const std::string& command) override {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    auto it = outputs.find(command);
    if (it == outputs.end()) {
      ADD_FAILURE() << "the fake board does not model: " << command;
      return std::nullopt;
    }
    return it->second;
  }

  bool exists(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return existsLocked(path);
  }
  std::optional<std::string> readText(const std::string& path, std::size_t maxBytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(path);
    if (it == files_.end() || links_.count(path) != 0) return std::nullopt;
    return it->second.substr(0, maxBytes);
  }
  bool isRegularFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.count(path) != 0 && links_.count(path) == 0;
  }
  std::optional<std::uint64_t> fileSize(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(path);
    if (it == files_.end()) return std::nullopt;
    return it->second.size();
  }
  std::optional<std::uint64_t> freeBytes(const std::string& path) override {
    if (path != "/tmp") ADD_FAILURE() << "the fake board only knows the room in /tmp";
    return tmpFreeBytes;
  }
  bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string start = directory + "/" + prefix;
    for (const auto& d : dirs_) {
      if (d.rfind(start, 0) == 0) return true;
    }
    return false;
  }
  void makeDirectory(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    dirs_.insert(path);
  }
  void removeDirectory(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    dirs_.erase(path);
  }
  // The firmware path writes no file of its own.
  bool replaceFile(const std::string&, const std::string&) override { refuse(); }
  bool syncPath(const std::string&) override { refuse(); }
  void removeLeftovers(const std::string&) override { refuse(); }

 private:
  [[noreturn]] static void refuse() { throw std::logic_error("FakeBoard writes no files"); }
  static bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }
  static bool endsWith(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
  }
  bool existsLocked(const std::string& path) const {
    return files_.count(path) != 0 || dirs_.count(path) != 0;
  }
  // The words a pattern becomes in the shell: the matching files in order, or the pattern
  // itself when none matches.
  std::vector<std::string> expand(const std::string& pattern) const {
    std::vector<std::string> words;
    for (const auto& [path, text] : files_) {
      if (::fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME | FNM_PERIOD) == 0) {
        words.push_back(path);
      }
    }
    if (words.empty()) words.push_back(pattern);
    return words;
  }

  // What the board's tools would do to the files. Expects mutex_ to be held.
  int act(const std::string& c) {
    const std::string url = FirmwareInstaller::kServerUrl;
    if (startsWith(c, "test -e ")) {
      // "test -e" takes one operand; more than one is a usage error (status 2).
      const auto words = expand(c.substr(8));
      if (words.size() > 1) return 2;
      return existsLocked(words[0]) ? 0 : 1;
    }
    const std::string loop = "for f in ";
    const std::string body = "; do test -e \"$f\" && exit 0; done; exit 1";
    if (startsWith(c, loop) && endsWith(c, body)) {
      for (const auto& w : expand(c.substr(loop.size(), c.size() - loop.size() - body.size()))) {
        if (existsLocked(w)) return 0;
      }
      return 1;
    }
    if (startsWith(c, "rm -rf ")) {
      const std::string path = c.substr(7);
      dirs_.erase(path);
      for (auto it = files_.begin(); it != files_.end();) {
        it = startsWith(it->first, path + "/") ? files_.erase(it) : ++it;
      }
      return 0;
    }
    if (startsWith(c, "rm ")) {
      std::string path = c.substr(3);
      const bool glob = !path.empty() && path.back() == '*';
      if (glob) path.pop_back();
      int status = 1;
      for (auto it = files_.begin(); it != files_.end();) {
        if (glob ? !startsWith(it->first, path) : it->first != path) {
          ++it;
          continue;
        }
        links_.erase(it->first);
        it = files_.erase(it);
        status = 0;
      }
      return status;
    }
    if (c == "mkdir /tmp/update") return dirs_.insert("/tmp/update").second ? 0 : 1;
    if (c == "cp /tmp/vantorelos.swu /tmp/update" || c == "cp /tmp/update/sw-description /tmp" ||
        c == "cp /tmp/usb_mount/VantorelOS.swu /tmp") {
      const std::string from = c.substr(3, c.find(' ', 3) - 3);
      if (files_.count(from) == 0) return 1;
      if (links_.count(from) != 0) {
        ADD_FAILURE() << "cp follows the link to /dev/zero and fills /tmp: " << c;
        return 1;
      }
      files_[c.substr(c.rfind(' ') + 1) + from.substr(from.rfind('/'))] = files_[from];
      return 0;
    }
    if (c == "(cd /tmp/update && cpio -idv sw-description < /tmp/update/vantorelos.swu)") {
      auto it = files_.find("/tmp/update/vantorelos.swu");
      if (it == files_.end()) return 2;
      files_["/tmp/update/sw-description"] = it->second;
      if (it->second == kLinkedDescriptionImage) links_.insert("/tmp/update/sw-description");
      return 0;
    }
    // "(cd /tmp && ulimit -f BLOCKS && timeout 60 wget ... URL/NAME?nocache=$(date +%s))"
    const std::string limit = "(cd /tmp && ulimit -f ";
    const std::size_t at = c.find(url);
    if (startsWith(c, limit) && c.find(" && timeout 60 wget ") != std::string::npos &&
        at != std::string::npos && endsWith(c, "?nocache=$(date +%s))")) {
      const std::string rest = c.substr(at + url.size());
      const std::string name = rest.substr(0, rest.find('?'));
      if (server_.count(name) == 0) return 1;
      const std::size_t bound = std::stoul(c.substr(limit.size())) * 512;
      const std::string& text = server_[name];
      files_["/tmp/" + name + "?nocache=1"] = text.substr(0, bound);
      // The kernel stops the writer at the limit with SIGXFSZ.
      return text.size() > bound ? 128 + 25 : 0;
    }
    const std::string move = "(cd /tmp && mv $(ls /tmp/ | grep ";
    if (startsWith(c, move)) {
      const std::string name = c.substr(move.size(), c.find(')') - move.size());
      auto it = files_.lower_bound("/tmp/" + name);
      if (it == files_.end() || !startsWith(it->first, "/tmp/" + name)) return 1;
      const std::string text = it->second;
      files_.erase(it);
      files_["/tmp/" + name] = text;
      return 0;
    }
    if (startsWith(c, "swupdate -v -k /opt/vtl/sys/swupdate-public.pem -e \"stable,")) {
      return existsLocked(c.substr(c.rfind(" -i ") + 4)) ? 0 : 1;
    }
    if (c == "fw_setenv bootparam A" || c == "fw_setenv bootparam B" ||
        c == "sleep 3 && reboot &" || c == "reboot") {
      return 0;
    }
    if (c == "mount /dev/sd*1 /tmp/usb_mount") {
      if (usbHasImage) files_["/tmp/usb_mount/VantorelOS.swu"] = usbImage;
      return 0;
    }
    if (c == "umount /tmp/usb_mount") {
      files_.erase("/tmp/usb_mount/VantorelOS.swu");
      return 0;
    }
    ADD_FAILURE() << "the fake board does not model: " << c;
    return 127;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::string> server_;
  std::vector<std::string> failing_;
  std::vector<std::string> commands_;
  std::map<std::string, std::string> files_;
  // Files that are links, not regular files.
  std::set<std::string> links_;
  std::set<std::string> dirs_;
  std::string holdAt_;
  bool held_ = false;
};

// A clock whose waits pass at once; safe to share with the installer's threads.
class InstantClock : public Clock {
 public:
  double monotonicSeconds() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void sleepSeconds(double seconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(seconds);
    now_ += seconds;
  }
  void advance(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += seconds;
  }
  std::vector<double> sleeps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
  }

 private:
  mutable std::mutex mutex_;
  double now_ = 100.0;
  std::vector<double> sleeps_;
};

class FixedWallClock : public WallClock {
 public:
  std::int64_t utcSeconds() override { return now; }
  std::int64_t now = 0;
};

// The frames the controller received, each as hex ("0B06"), joined by blanks; network
// status frames are left out.
inline std::string controllerFrames(const PtyPair& pty) {
  static const char* kHex = "0123456789ABCDEF";
  const std::string raw = pty.readAvailable();
  std::string out;
  std::string frame;
  for (char c : raw) {
    if (c != '\0') {
      frame += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      frame += kHex[static_cast<unsigned char>(c) & 0xF];
      continue;
    }
    if (frame.rfind("09", 0) != 0) out += (out.empty() ? "" : " ") + frame;
    frame.clear();
  }
  return out;
}

}  // namespace vantorellabs::testing
