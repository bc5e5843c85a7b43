#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// The few file questions the firmware path asks of the board: whether an image is there,
// what a description or the kernel command line says, how large an image is, how much room
// /tmp has, whether a USB stick is plugged in.
// Tests answer them from memory instead of the board's /tmp and /dev.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool exists(const std::string& path) = 0;
  // At most the first maxBytes of a regular file (a link is not followed), or nothing when
  // the file cannot be read or is something else. A caller that must refuse a longer file
  // asks for one byte more than it accepts.
  virtual std::optional<std::string> readText(const std::string& path, std::size_t maxBytes) = 0;
  // Whether path itself (not what a link points to) is a regular file.
  virtual bool isRegularFile(const std::string& path) = 0;
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // The room left for an unprivileged writer on the file system that holds path.
  virtual std::optional<std::uint64_t> freeBytes(const std::string& path) = 0;
  // Whether the directory holds an entry whose name begins with prefix.
  virtual bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) = 0;
  virtual void makeDirectory(const std::string& path) = 0;
  virtual void removeDirectory(const std::string& path) = 0;
};

class SystemFileSystem : public FileSystem {
 public:
  bool exists(const std::string& path) override;
  std::optional<std::string> readText(const std::string& path, std::size_t maxBytes) override;
  bool isRegularFile(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::optional<std::uint64_t> freeBytes(const std::string& path) override;
  bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) override;
  void makeDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
};

}  // namespace vantorellabs
