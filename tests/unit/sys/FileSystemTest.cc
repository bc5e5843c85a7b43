#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TempDir.h"
#include "sys/FileSystem.h"

namespace vantorellabs {
namespace {

using ::testing::UnorderedElementsAre;

// Only the new files that a durable write of this very file makes are leftovers.
TEST(FileSystemTest, RemovesOnlyTheLeftoversOfTheFilesOwnWrites) {
  testing::TempDir dir;
  for (const char* name : {"vtl_name.txt", "vtl_name.txt.a1B2c3", "vtl_name.txt.ZZZZZZ",
                           "vtl_name.txt.a1B2c", "vtl_name.txt.a1B2c3d", "vtl_name.txt.a1-2c3",
                           "vtl_name.txtXa1B2c3", "other.txt.a1B2c3", "vtl_name.txt.bak"}) {
    dir.write(name, "x");
  }
  SystemFileSystem files;
  files.removeLeftovers(dir.file("vtl_name.txt"));
  EXPECT_THAT(dir.entries(),
              UnorderedElementsAre("vtl_name.txt", "vtl_name.txt.a1B2c", "vtl_name.txt.a1B2c3d",
                                   "vtl_name.txt.a1-2c3", "vtl_name.txtXa1B2c3", "other.txt.a1B2c3",
                                   "vtl_name.txt.bak"));
}

}  // namespace
}  // namespace vantorellabs
