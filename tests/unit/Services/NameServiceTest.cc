#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "Fakes.h"
#include "Services/Name/NameServiceImpl.h"
#include "TempDir.h"
#include "sys/BoardPaths.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::TempDir;

class NameServiceTest : public ::testing::Test {
 protected:
  NameServiceTest() { serviceFiles.files[kAvahiServicePath] = testing::kServiceFileText; }
  std::string getName(NameServiceImpl& s) {
    protobuf::GetNameResponse response;
    EXPECT_TRUE(s.GetName(&context, nullptr, &response).ok());
    return response.name();
  }
  grpc::Status setName(const std::string& name, NameServiceImpl* s = nullptr) {
    protobuf::SetNameRequest request;
    request.set_name(name);
    return (s != nullptr ? s : &service)->SetName(&context, &request, nullptr);
  }

  grpc::ServerContext context;
  TempDir dir;
  testing::FakeShell shell;
  testing::RecordingConsole console;
  DeviceState state{DeviceState::kModelK7100, "1.0.0"};
  testing::MemoryFileSystem serviceFiles;
  Discovery discovery{shell, state, console, serviceFiles, dir.file("vtl_name.txt")};
  SystemFileSystem files;
  NameServiceImpl service{state, files, dir.file("vtl_name.txt"), discovery};
};

TEST_F(NameServiceTest, DefaultNameOnBothModels) {
  for (const auto& [model, prefix] : {std::pair{0, "K40-"}, {1, "K7100-"}, {3, "-"}}) {
    DeviceState other(model, "1.0.0");
    NameServiceImpl fresh(other, files, dir.file("vtl_name.txt"), discovery);
    EXPECT_EQ(getName(fresh), prefix + std::string("#######"));
    other.setSerialNumber("1234567");
    protobuf::GetNameSchemaResponse schema;
    ASSERT_TRUE(fresh.GetNameSchema(&context, nullptr, &schema).ok());
    EXPECT_EQ(schema.name().ShortDebugString(), "lengthRange { min: 1 max: 20 } default: \"" +
                                                    std::string(prefix) +
                                                    "1234567\" permission: PERMISSION_READ_WRITE");
  }
}

TEST_F(NameServiceTest, NamesAreStoredWholeAndServedAsValidText) {
  const grpc::Status empty = setName("");
  EXPECT_EQ(empty.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(empty.error_message(), "Must not be empty string");
  EXPECT_TRUE(dir.entries().empty());
  // From the shortest name to past the schema's 20 characters, which is not enforced.
  for (const std::string name : {"A", "Twenty Characters!!!", "Twenty-one Characters",
                                 "A Name Of 25 Characters!!", "Tom & Jerry's <Den> | $(x)\n"}) {
    ASSERT_TRUE(setName(name).ok());
    EXPECT_EQ(getName(service), name);
    EXPECT_EQ(dir.read("vtl_name.txt"), name);
  }
  // Before the serial number is known nothing is published.
  EXPECT_TRUE(shell.commands.empty());
  // A file edited by hand may hold anything.
  dir.write("vtl_name.txt", "Hall\xFF\xC3\n");
  EXPECT_EQ(getName(service), "Hall\xEF\xBF\xBD\xEF\xBF\xBD\n");
  dir.write("vtl_name.txt", "");
  EXPECT_EQ(getName(service), "");
}

TEST_F(NameServiceTest, SetNamePublishesTheNewName) {
  state.setSerialNumber("1234567");
  ASSERT_TRUE(setName("Kitchen").ok());
  EXPECT_THAT(shell.commands,
              ElementsAre(::testing::_,
                          "sed -i 's|<txt-record>name=[^<]*</txt-record>|<txt-record>name=Kitchen"
                          "</txt-record>|' /config/vantorel-link-grpc.service",
                          ::testing::_, ::testing::_, "/etc/init.d/S50avahi-daemon reload"));
}

TEST_F(NameServiceTest, AFailedWriteKeepsTheOldNameAndLeavesNothingBehind) {
  ASSERT_TRUE(setName("Old").ok());
  // The partition fills up part way through the write.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  getrlimit(RLIMIT_FSIZE, &original);
  rlimit small = original;
  small.rlim_cur = 4;
  setrlimit(RLIMIT_FSIZE, &small);
  const grpc::Status full = setName("A longer new name");
  setrlimit(RLIMIT_FSIZE, &original);
  // The directory is gone.
  NameServiceImpl nowhere(state, files, dir.file("gone/vtl_name.txt"), discovery);
  for (const grpc::Status& status : {full, setName("New", &nowhere)}) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNKNOWN);
    EXPECT_EQ(status.error_message(), "Unable to Write Name");
  }
  EXPECT_EQ(getName(service), "Old");
  EXPECT_THAT(dir.entries(), ElementsAre("vtl_name.txt"));
}

}  // namespace
}  // namespace vantorellabs
