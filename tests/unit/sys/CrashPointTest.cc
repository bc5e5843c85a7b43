#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "NetToolBench.h"
#include "core/DeviceState.h"
#include "core/Identity.h"
#include "core/ProductName.h"
#include "sys/FileSystem.h"

// A power cut after every call of every durable write of the board's files, on a model of
// what a disk may keep: each cut must leave the old file or the new one, whole, and its
// reader must read it.

namespace vantorellabs {
namespace {

using testing::NetToolBench;

using Content = std::optional<std::string>;       // nullopt: there is no such file
using Disk = std::map<std::string, std::string>;  // path -> content

// One directory on a disk that may lose power after any call. A call's change waits to be
// made durable: a file's data by the file's fsync, the names (new files, renames) by the
// directory's fsync. After a cut, any subset of the waiting name changes may have
// reached the disk, in order, and a file any prefix of its unsynced data, so a rename may
// land before the data it names (the failure of `sed -i`). The writers never fail here,
// so a call they only make after a failure (unlink) is refused, as is any other path.
class CrashModel : public FileCalls {
 public:
  // The disks a cut after one call may leave: how many, and the watched file on them.
  struct CrashPoint {
    std::string call;
    std::size_t disks = 0;
    std::map<Content, std::size_t> watched;  // content -> disks showing it
    std::size_t oldest = 0;                  // the versions the file may be at
    std::size_t newest = 0;
  };

  CrashModel(std::string dir, std::string watched, const Content& initial)
      : dir_(std::move(dir)), watched_(std::move(watched)), versions_{initial} {
    if (initial) {
      files_.push_back({*initial, *initial});
      durable_[watched_] = 0;
      names_ = durable_;
    }
  }

  int makeTemporary(std::string& pattern) override {
    const std::size_t x = pattern.size() - std::strlen("XXXXXX");
    if (pattern.rfind(watched_ + ".", 0) != 0 || pattern.compare(x, 6, "XXXXXX") != 0) {
      return refuse("makeTemporary", pattern);
    }
    pattern.replace(x, 6, "T0000" + std::to_string(files_.size() % 10));
    files_.emplace_back();
    change({"", pattern, files_.size() - 1});
    return crashPoint("makeTemporary", opened(files_.size() - 1));
  }
  int openForSync(const std::string& path) override {
    return path == dir_ ? crashPoint("open directory", opened(std::nullopt)) : refuse("open", path);
  }
  int changeMode(int fd, mode_t /*mode*/) override {
    return file(fd) != nullptr ? crashPoint("fchmod", 0) : refuse("fchmod", "");
  }
  ssize_t write(int fd, const void* bytes, std::size_t size) override {
    File* f = file(fd);
    if (f == nullptr) return refuse("write", "");
    f->written.append(static_cast<const char*>(bytes), size);
    return crashPoint("write", static_cast<int>(size));
  }
  int sync(int fd) override {
    auto it = fds_.find(fd);
    if (it == fds_.end()) return refuse("fsync", "");
    if (it->second) {
      files_[*it->second].durable = files_[*it->second].written;
      return crashPoint("fsync", 0);
    }
    for (const NameChange& c : pending_) apply(durable_, c);
    pending_.clear();
    durableVersion_ = versions_.size() - 1;
    return crashPoint("fsync directory", 0);
  }
  int close(int fd) override {
    return fds_.erase(fd) == 1 ? crashPoint("close", 0) : refuse("close", "");
  }
  int rename(const std::string& from, const std::string& to) override {
    if (names_.count(from) == 0 || to.rfind(dir_ + "/", 0) != 0) return refuse("rename", from);
    if (to == watched_) versions_.emplace_back(files_[names_[from]].written);
    change({from, to, 0});
    return crashPoint("rename", 0);
  }
  int unlink(const std::string& path) override { return refuse("unlink", path); }

  // Fails the test: a call or a path the model does not stand behind.
  static int refuse(const char* call, const std::string& what) {
    ADD_FAILURE() << "the crash model does not model " << call << " " << what;
    errno = EPERM;
    return -1;
  }

  [[nodiscard]] const std::vector<CrashPoint>& points() const { return points_; }
  [[nodiscard]] const std::vector<Content>& versions() const { return versions_; }

 private:
  struct File {
    std::string durable;
    std::string written;  // durable, then what waits for a sync
  };
  struct NameChange {
    std::string from;  // empty: a new file
    std::string to;
    std::size_t file;
  };
  using Names = std::map<std::string, std::size_t>;

  // Descriptors no process has, so that a call that bypasses the model fails.
  static constexpr int kFirstFd = 1 << 20;

  static void apply(Names& names, const NameChange& c) {
    if (c.from.empty()) {
      names[c.to] = c.file;
      return;
    }
    auto it = names.find(c.from);
    if (it == names.end()) return;  // its creation did not reach the disk
    names[c.to] = it->second;
    names.erase(c.from);
  }
  void change(const NameChange& c) {
    pending_.push_back(c);
    apply(names_, c);
  }
  int opened(std::optional<std::size_t> file) {
    const int fd = kFirstFd + static_cast<int>(nextFd_++);
    fds_[fd] = file;
    return fd;
  }
  File* file(int fd) {
    auto it = fds_.find(fd);
    return it != fds_.end() && it->second ? &files_[*it->second] : nullptr;
  }

  void addDisks(const Names& names, Names::const_iterator it, Disk& disk, std::set<Disk>& out) {
    if (it == names.end()) {
      out.insert(disk);
      return;
    }
    const File& f = files_[it->second];
    for (std::size_t n = f.durable.size(); n <= f.written.size(); ++n) {
      disk[it->first] = f.written.substr(0, n);
      addDisks(names, std::next(it), disk, out);
    }
    disk.erase(it->first);
  }

  int crashPoint(const char* call, int result) {
    std::set<Disk> disks;
    for (unsigned mask = 0; mask < (1U << pending_.size()); ++mask) {
      Names names = durable_;
      for (std::size_t i = 0; i < pending_.size(); ++i) {
        if ((mask & (1U << i)) != 0) apply(names, pending_[i]);
      }
      Disk disk;
      addDisks(names, names.begin(), disk, disks);
    }
    CrashPoint point{call, disks.size(), {}, durableVersion_, versions_.size() - 1};
    for (const Disk& disk : disks) {
      auto it = disk.find(watched_);
      ++point.watched[it == disk.end() ? Content() : it->second];
    }
    points_.push_back(point);
    return result;
  }

  std::string dir_;
  std::string watched_;
  std::vector<File> files_;
  Names durable_;
  Names names_;  // as the writer sees them
  std::vector<NameChange> pending_;
  std::map<int, std::optional<std::size_t>> fds_;  // nullopt: the directory
  std::size_t nextFd_ = 0;
  std::vector<Content> versions_;  // of the watched file, as renames made them
  std::size_t durableVersion_ = 0;
  std::vector<CrashPoint> points_;
};

CrashModel* gModel = nullptr;

// vtl-net opens only the directory, to sync it.
int modelOpen(const char* path, int flags, ...) {
  return flags == (O_RDONLY | O_CLOEXEC) ? gModel->openForSync(path)
                                         : CrashModel::refuse("open", path);
}

const NetFileCalls kModelCalls = {
    modelOpen,
    [](char* pattern) {
      std::string text = pattern;
      const int fd = gModel->makeTemporary(text);
      std::copy(text.begin(), text.end(), pattern);
      return fd;
    },
    [](int fd, mode_t mode) { return gModel->changeMode(fd, mode); },
    [](int fd, const void* bytes, size_t size) { return gModel->write(fd, bytes, size); },
    [](int fd) { return gModel->sync(fd); },
    [](const char* from, const char* to) { return gModel->rename(from, to); },
    [](int fd) { return gModel->close(fd); },
};

enum class Writer { kDaemon, kVtlNet };

struct Write {
  const char* file;  // as the figures name it
  Writer writer;
  Content initial;
  std::vector<std::string> args;  // the new name, or vtl-net's command line
  // The vtl-net action that reads the file back; none: the file is read as it stands.
  std::vector<std::string> reader;
  std::vector<std::string> readings;  // of each version the write goes through, old first
};

struct Figures {
  std::size_t points = 0;
  std::size_t outcomes = 0;
  std::size_t torn = 0;
  std::size_t notDurable = 0;  // writes whose new file a cut after their return may lose
};

constexpr const char* kNameFile = "vtl_name.txt";
const char* const kDefaultWpa = "ctrl_interface=/tmp/wpa_supplicant\nupdate_config=0\n";
const char* const kHomeNetWpa =
    "ctrl_interface=/tmp/wpa_supplicant\nupdate_config=0\nnetwork={\n    ssid=\"HomeNet\"\n"
    "    psk=\"secret123\"\n}\n";

// The file as its reader reads it: the name as the daemon does, dhcpcd.conf by vtl-net's
// own action. Nothing in vtl-net reads wpa_supplicant.conf back, so it is taken as it stands.
std::string readBack(const Write& w, const std::string& name, const Content& content,
                     const DeviceState& state) {
  NetToolBench bench;
  const std::string path = bench.dir() + "/" + name;
  std::filesystem::remove(path);
  if (content) NetToolBench::write(path, *content);
  if (w.writer == Writer::kDaemon) return readDeviceName(path, state);
  if (w.reader.empty()) return content.value_or("(no file)");
  bench.run(w.reader);
  return bench.out;
}

// Whether the file left is whole, one of the versions it may be at, and read as that one.
bool isVersion(const CrashModel::CrashPoint& point, const Content& content,
               const std::string& reading, const std::vector<Content>& versions,
               const std::vector<std::string>& readings) {
  for (std::size_t v = point.oldest; v <= point.newest; ++v) {
    if (content == versions[v] && reading == readings[v]) return true;
  }
  return false;
}

// Every cut leaves one of the versions the file may be at, whole, read as that version.
void checkCuts(const Write& w, const std::string& name, const CrashModel& model,
               const DeviceState& state, Figures& f) {
  const std::vector<Content>& versions = model.versions();
  ASSERT_EQ(versions.size(), w.readings.size());
  std::map<Content, std::string> readings;
  for (const CrashModel::CrashPoint& point : model.points()) {
    f.points += 1;
    f.outcomes += point.disks;
    for (const auto& [content, disks] : point.watched) {
      auto [reading, added] = readings.emplace(content, "");
      if (added) reading->second = readBack(w, name, content, state);
      const bool whole = isVersion(point, content, reading->second, versions, w.readings);
      if (!whole) f.torn += disks;
      EXPECT_TRUE(whole) << "after " << point.call << " (crash point " << f.points
                         << "): " << content.value_or("(no file)") << " read as "
                         << reading->second;
    }
  }
  // Once the writer has returned, a cut must keep the new file.
  ASSERT_FALSE(model.points().empty());
  const auto& last = model.points().back().watched;
  const bool durable = last.size() == 1 && last.begin()->first == versions.back();
  f.notDurable += durable ? 0 : 1;
  EXPECT_TRUE(durable) << "the last write is not durable when the writer returns";
}

TEST(CrashPointTest, EveryCutLeavesTheOldFileOrTheNewWhole) {
  const DeviceState state{DeviceState::kModelK7100, "1.0.0"};
  const std::vector<Write> writes = {
      {"name file",
       Writer::kDaemon,
       std::nullopt,
       {"Living Room"},
       {},
       {defaultProductName(state), "Living Room"}},
      {"name file",
       Writer::kDaemon,
       "Kitchen",
       {"Salle d'écoute"},
       {},
       {"Kitchen", "Salle d'écoute"}},
      {"dhcpcd.conf",
       Writer::kVtlNet,
       NetToolBench::kDefaultDhcp,
       {"SetConfig", "eth0", "address", "192.168.1.50"},
       {"GetConfig", "eth0", "address"},
       {"192.168.1.10", "192.168.1.50"}},
      // A missing file is copied from the default before any action.
      {"dhcpcd.conf",
       Writer::kVtlNet,
       std::nullopt,
       {"Version"},
       {"GetConfig", "eth0", "address"},
       {"192.168.1.10", "192.168.1.10"}},
      // A network that never comes up is written, then the default copied back.
      {"wpa_supplicant.conf",
       Writer::kVtlNet,
       kDefaultWpa,
       {"SetWifi", "HomeNet", "secret123"},
       {},
       {kDefaultWpa, kHomeNetWpa, kDefaultWpa}},
  };
  std::map<std::string, Figures> figures;
  for (const Write& w : writes) {
    SCOPED_TRACE(std::string(w.file) + " by " + w.args[0]);
    NetToolBench bench;
    const bool daemon = w.writer == Writer::kDaemon;
    const std::string name = daemon ? kNameFile : w.file;
    const std::string path = bench.dir() + "/" + name;
    // vtl-net reads the old file from the disk before it writes the new one to the model.
    std::filesystem::remove(path);
    if (w.initial) NetToolBench::write(path, *w.initial);
    CrashModel model(bench.dir(), path, w.initial);
    if (daemon) {
      SystemFileSystem files(model);
      EXPECT_TRUE(files.replaceFile(path, w.args[0]));
    } else {
      gModel = &model;
      bench.fileCalls() = kModelCalls;
      bench.run(w.args);
      gModel = nullptr;
    }
    checkCuts(w, name, model, state, figures[w.file]);
  }
  // The figures, for the board's reliability table.
  for (const auto& [file, f] : figures) {
    const std::string verdict =
        f.torn == 0 && f.notDurable == 0
            ? "all old-or-new"
            : std::to_string(f.torn) + " torn, " + std::to_string(f.notDurable) + " not durable";
    std::printf("crash points: %s: %zu crash points, %zu outcomes, %s\n", file.c_str(), f.points,
                f.outcomes, verdict.c_str());
  }
}

}  // namespace
}  // namespace vantorellabs
