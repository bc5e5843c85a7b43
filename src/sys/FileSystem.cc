#include "sys/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantorellabs {

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

}  // namespace vantorellabs
