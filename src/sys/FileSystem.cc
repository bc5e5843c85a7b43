#include "sys/FileSystem.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vantorellabs {

bool SystemFileSystem::exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::optional<std::string> SystemFileSystem::readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::uint64_t> SystemFileSystem::fileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
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
