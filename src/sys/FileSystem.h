#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// The few file questions the firmware path asks of the board: whether an image is there,
// what a description says, how large an image is, whether a USB stick is plugged in.
// Tests answer them from memory instead of the board's /tmp and /dev.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool exists(const std::string& path) = 0;
  // The whole file, or nothing when it cannot be read.
  virtual std::optional<std::string> readText(const std::string& path) = 0;
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // Whether the directory holds an entry whose name begins with prefix.
  virtual bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) = 0;
  virtual void makeDirectory(const std::string& path) = 0;
  virtual void removeDirectory(const std::string& path) = 0;
};

class SystemFileSystem : public FileSystem {
 public:
  bool exists(const std::string& path) override;
  std::optional<std::string> readText(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) override;
  void makeDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
};

}  // namespace vantorellabs
