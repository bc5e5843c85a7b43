#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TempDir.h"
#include "sys/FileSystem.h"

namespace vantorellabs {
namespace {

// Only a regular file is read, and only as far as asked: a link, a device, a FIFO or a
// directory in its place is refused without blocking or reading on.
TEST(SystemFileSystemTest, ReadsOnlyRegularFilesAndOnlySoFar) {
  testing::TempDir dir;
  dir.write("text", "0123456789");
  ASSERT_EQ(::symlink(dir.file("text").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/zero", dir.file("zero").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    std::optional<std::string> text;
    bool regular;
  };
  SystemFileSystem files;
  for (const Case& c : {Case{dir.file("text"), "0123", true}, Case{dir.file("link"), {}, false},
                        Case{dir.file("zero"), {}, false}, Case{"/dev/zero", {}, false},
                        Case{dir.file("fifo"), {}, false}, Case{dir.path, {}, false},
                        Case{dir.file("missing"), {}, false}}) {
    EXPECT_EQ(files.readText(c.path, 4), c.text) << c.path;
    EXPECT_EQ(files.isRegularFile(c.path), c.regular) << c.path;
  }
  EXPECT_EQ(files.readText(dir.file("text"), 64), "0123456789");
  EXPECT_GT(files.freeBytes(dir.path).value_or(0), 0U);
  EXPECT_EQ(files.freeBytes(dir.file("missing")), std::nullopt);
}

}  // namespace
}  // namespace vantorellabs
