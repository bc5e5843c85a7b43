#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// The few file questions the daemon asks of the board (whether an image is there, what a
// description says, how large an image is, whether a USB stick is plugged in) and the
// durable writes of the files it keeps. Tests answer them from memory instead of the
// board's /tmp, /dev, /config and /data.
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

  // Replaces the file's content so that a power cut or a reader sees the old content or
  // the new, never a part: the text goes to a new file beside it (the path with
  // ".XXXXXX" appended, made unique), is synced, renamed over the old one, and the
  // directory synced. The file is readable by all. On failure the new file is removed,
  // the old content stays, and false is returned.
  virtual bool replaceFile(const std::string& path, const std::string& text) = 0;
  // Flushes a file, or a directory's entries, to the disk.
  virtual bool syncPath(const std::string& path) = 0;
  // Removes the new files that replaceFile left beside `path` when the power failed
  // before their rename; nothing else.
  virtual void removeLeftovers(const std::string& path) = 0;
};

class SystemFileSystem : public FileSystem {
 public:
  bool exists(const std::string& path) override;
  std::optional<std::string> readText(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) override;
  void makeDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
  bool replaceFile(const std::string& path, const std::string& text) override;
  bool syncPath(const std::string& path) override;
  void removeLeftovers(const std::string& path) override;
};

}  // namespace vantorellabs
