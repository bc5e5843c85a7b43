#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vantorellabs {

// The few file questions the daemon asks of the board (whether an image is there, what a
// description or the kernel command line says, how large an image is, how much room /tmp
// has, whether a USB stick is plugged in) and the durable writes of the files it keeps.
// Tests answer them from memory instead of the board's /tmp, /dev, /config and /data.
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

// The system calls of a durable write, one for one, so that a test can stand a model of
// a power cut behind them. Each answers as its C library call does (-1 with errno set).
class FileCalls {
 public:
  virtual ~FileCalls() = default;
  // mkostemp with close-on-exec: the last six characters of pattern are filled in.
  virtual int makeTemporary(std::string& pattern) = 0;
  // A file or directory opened read-only, to be synced.
  virtual int openForSync(const std::string& path) = 0;
  virtual int changeMode(int fd, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* bytes, std::size_t size) = 0;
  virtual int sync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
};

// The C library's calls.
FileCalls& systemFileCalls();

class SystemFileSystem : public FileSystem {
 public:
  SystemFileSystem() : calls_(systemFileCalls()) {}
  // Durable writes go through calls; everything else reaches the disk directly.
  explicit SystemFileSystem(FileCalls& calls) : calls_(calls) {}

  bool exists(const std::string& path) override;
  std::optional<std::string> readText(const std::string& path, std::size_t maxBytes) override;
  bool isRegularFile(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::optional<std::uint64_t> freeBytes(const std::string& path) override;
  bool hasEntryStartingWith(const std::string& directory, const std::string& prefix) override;
  void makeDirectory(const std::string& path) override;
  void removeDirectory(const std::string& path) override;
  bool replaceFile(const std::string& path, const std::string& text) override;
  bool syncPath(const std::string& path) override;
  void removeLeftovers(const std::string& path) override;

 private:
  FileCalls& calls_;
};

}  // namespace vantorellabs
