#include "sys/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

namespace vantorellabs {

namespace {

constexpr mode_t kFileMode = 0644;
// mkostemp puts six letters or digits in place of the X's.
constexpr const char* kTemporarySuffix = ".XXXXXX";
constexpr std::size_t kTemporaryLetters = 6;

class LibcFileCalls : public FileCalls {
 public:
  int makeTemporary(std::string& pattern) override { return ::mkostemp(pattern.data(), O_CLOEXEC); }
  int openForSync(const std::string& path) override {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  int changeMode(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  ssize_t write(int fd, const void* bytes, std::size_t size) override {
    return ::write(fd, bytes, size);
  }
  int sync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
};

bool writeAll(FileCalls& calls, int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = calls.write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The directory part of a path and the name in it.
std::pair<std::string, std::string> splitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Whether `name` is one that replaceFile gives the new files of the file named `base`
// (both without a directory).
bool isLeftoverName(const std::string& name, const std::string& base) {
  const std::size_t prefix = base.size() + 1;
  if (name.size() != prefix + kTemporaryLetters || name.compare(0, base.size(), base) != 0 ||
      name[base.size()] != '.') {
    return false;
  }
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (std::isalnum(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return true;
}

}  // namespace

FileCalls& systemFileCalls() {
  static LibcFileCalls calls;
  return calls;
}

bool SystemFileSystem::exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::optional<std::string> SystemFileSystem::readText(const std::string& path,
                                                      std::size_t maxBytes) {
  // Not blocking keeps a FIFO in the file's place from stalling the open; the type check
  // then refuses it, a device node and a directory alike.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> text;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    text.emplace();
    char buffer[4096];
    while (text && text->size() < maxBytes) {
      const std::size_t want = std::min(sizeof buffer, maxBytes - text->size());
      const ssize_t got = ::read(fd, buffer, want);
      if (got == 0) break;
      if (got < 0) {
        if (errno != EINTR) text.reset();
        continue;
      }
      text->append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return text;
}

bool SystemFileSystem::isRegularFile(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::uint64_t> SystemFileSystem::fileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::uint64_t> SystemFileSystem::freeBytes(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool SystemFileSystem::hasEntryStartingWith(const std::string& directory,
                                            const std::string& prefix) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::string(entry->d_name).compare(0, prefix.size(), prefix) == 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

void SystemFileSystem::makeDirectory(const std::string& path) { ::mkdir(path.c_str(), 0755); }

void SystemFileSystem::removeDirectory(const std::string& path) { ::rmdir(path.c_str()); }

bool SystemFileSystem::replaceFile(const std::string& path, const std::string& text) {
  // A name of its own for each writer, so that two writers never write into the same new
  // file.
  std::string pattern = path + kTemporarySuffix;
  const int fd = calls_.makeTemporary(pattern);
  if (fd < 0) return false;
  const bool written =
      calls_.changeMode(fd, kFileMode) == 0 && writeAll(calls_, fd, text) && calls_.sync(fd) == 0;
  const bool closed = calls_.close(fd) == 0;
  if (!written || !closed || calls_.rename(pattern, path) != 0) {
    calls_.unlink(pattern);
    return false;
  }
  // The rename is only durable once the directory entry is on the disk too. A directory
  // that cannot be synced does not undo the rename, so this is best effort.
  syncPath(splitPath(path).first);
  return true;
}

bool SystemFileSystem::syncPath(const std::string& path) {
  const int fd = calls_.openForSync(path);
  if (fd < 0) return false;
  const bool synced = calls_.sync(fd) == 0;
  calls_.close(fd);
  return synced;
}

void SystemFileSystem::removeLeftovers(const std::string& path) {
  const auto [directory, base] = splitPath(path);
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    if (isLeftoverName(entry->d_name, base)) leftovers.push_back(directory + "/" + entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& leftover : leftovers) ::unlink(leftover.c_str());
}

}  // namespace vantorellabs
