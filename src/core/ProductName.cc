#include "core/ProductName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "core/Identity.h"
#include "sys/ReadFile.h"

namespace vantorellabs {

namespace {

constexpr mode_t kNameFileMode = 0644;

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename is only durable once the directory entry is on disk too. A directory that
// cannot be synced does not undo the rename, so this is best effort.
void syncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string readDeviceName(const std::string& path, const DeviceState& state) {
  return readWholeFile(path).value_or(defaultProductName(state));
}

bool writeDeviceName(const std::string& path, const std::string& name) {
  // A name of its own for each writer, so that two clients setting the name at once
  // never write into the same new file.
  std::string temporaryPath = path + ".XXXXXX";
  std::vector<char> pattern(temporaryPath.begin(), temporaryPath.end());
  pattern.push_back('\0');
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  temporaryPath = pattern.data();
  const bool written = ::fchmod(fd, kNameFileMode) == 0 && writeAll(fd, name) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || std::rename(temporaryPath.c_str(), path.c_str()) != 0) {
    ::unlink(temporaryPath.c_str());
    return false;
  }
  syncDirectory(directoryOf(path));
  return true;
}

}  // namespace vantorellabs
