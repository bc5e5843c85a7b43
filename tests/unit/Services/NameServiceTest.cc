#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "Fakes.h"
#include "Services/Name/NameServiceImpl.h"
#include "TempDir.h"
#include "core/ProductName.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeShell;
using testing::RecordingConsole;
using testing::TempDir;

class NameServiceTest : public ::testing::Test {
 protected:
  std::string getName() {
    grpc::ServerContext context;
    protobuf::GetNameResponse response;
    EXPECT_TRUE(service.GetName(&context, nullptr, &response).ok());
    return response.name();
  }
  grpc::Status setName(const std::string& name) {
    grpc::ServerContext context;
    protobuf::SetNameRequest request;
    request.set_name(name);
    protobuf::SetNameResponse response;
    return service.SetName(&context, &request, &response);
  }
  protobuf::StringSchema schema() {
    grpc::ServerContext context;
    protobuf::GetNameSchemaResponse response;
    EXPECT_TRUE(service.GetNameSchema(&context, nullptr, &response).ok());
    return response.name();
  }

  TempDir dir;
  FakeShell shell;
  RecordingConsole console;
  DeviceState state{DeviceState::kModelK7100, "1.0.0"};
  Discovery discovery{shell, state, console, dir.file("vtl_name.txt"),
                      [](const std::string&) { return true; }};
  NameServiceImpl service{state, dir.file("vtl_name.txt"), discovery};
};

TEST_F(NameServiceTest, DefaultNameOnBothModels) {
  for (int model : {DeviceState::kModelK40, DeviceState::kModelK7100, 3}) {
    SCOPED_TRACE(model);
    DeviceState other(model, "1.0.0");
    NameServiceImpl fresh(other, dir.file("vtl_name.txt"), discovery);
    const std::string prefix = model == 0 ? "K40-" : model == 1 ? "K7100-" : "-";
    grpc::ServerContext context;
    protobuf::GetNameResponse name;
    ASSERT_TRUE(fresh.GetName(&context, nullptr, &name).ok());
    EXPECT_EQ(name.name(), prefix + "#######");
    other.setSerialNumber("1234567");
    protobuf::GetNameSchemaResponse schema;
    ASSERT_TRUE(fresh.GetNameSchema(&context, nullptr, &schema).ok());
    EXPECT_EQ(schema.name().default_(), prefix + "1234567");
    EXPECT_EQ(schema.name().lengthrange().min(), 1U);
    EXPECT_EQ(schema.name().lengthrange().max(), 20U);
    EXPECT_EQ(schema.name().permission(), protobuf::PERMISSION_READ_WRITE);
  }
}

TEST_F(NameServiceTest, NamesAreStoredAndServedWhole) {
  struct Case {
    std::string name;
    grpc::StatusCode code;
    std::string message;
  };
  const Case cases[] = {
      {"", grpc::StatusCode::INVALID_ARGUMENT, "Must not be empty string"},
      {"Living Room", grpc::StatusCode::OK, ""},
      {"A Name Of 25 Characters!!", grpc::StatusCode::OK, ""},
      {"Tom & Jerry's <Den> | $(x)\n", grpc::StatusCode::OK, ""},
  };
  std::string stored = "K7100-#######";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const grpc::Status status = setName(c.name);
    EXPECT_EQ(status.error_code(), c.code);
    EXPECT_EQ(status.error_message(), c.message);
    if (status.ok()) stored = c.name;
    EXPECT_EQ(getName(), stored);
    EXPECT_THAT(dir.entries(),
                ::testing::ElementsAreArray(stored == "K7100-#######"
                                                ? std::vector<std::string>{}
                                                : std::vector<std::string>{"vtl_name.txt"}));
  }
  EXPECT_EQ(dir.read("vtl_name.txt"), "Tom & Jerry's <Den> | $(x)\n");
  // Before the serial number is known nothing is published.
  EXPECT_TRUE(shell.commands.empty());
}

TEST_F(NameServiceTest, AFileWrittenByHandIsServedAsValidText) {
  dir.write("vtl_name.txt", "Hall\xFF\xC3\n");
  EXPECT_EQ(getName(), "Hall\xEF\xBF\xBD\xEF\xBF\xBD\n");
  dir.write("vtl_name.txt", "");
  EXPECT_EQ(getName(), "");
}

TEST_F(NameServiceTest, SetNamePublishesTheNewName) {
  state.setSerialNumber("1234567");
  ASSERT_TRUE(setName("Kitchen").ok());
  ASSERT_EQ(shell.commands.size(), 5U);
  EXPECT_EQ(shell.commands[1],
            "sed -i 's|<txt-record>name=[^<]*</txt-record>|<txt-record>name=Kitchen</txt-record>|'"
            " /config/vantorel-link-grpc.service");
  EXPECT_EQ(shell.commands[4], "/etc/init.d/S50avahi-daemon reload");
}

TEST_F(NameServiceTest, AFailedWriteKeepsTheOldName) {
  ASSERT_TRUE(setName("Old").ok());
  // A write that the file system refuses part way (a full partition), then a directory
  // that is gone: the old name stays and nothing is left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit original{};
  getrlimit(RLIMIT_FSIZE, &original);
  rlimit small = original;
  small.rlim_cur = 4;
  setrlimit(RLIMIT_FSIZE, &small);
  const grpc::Status full = setName("A longer new name");
  setrlimit(RLIMIT_FSIZE, &original);
  EXPECT_EQ(full.error_code(), grpc::StatusCode::UNKNOWN);
  EXPECT_EQ(full.error_message(), "Unable to Write Name");
  EXPECT_EQ(getName(), "Old");
  EXPECT_THAT(dir.entries(), ElementsAre("vtl_name.txt"));

  EXPECT_FALSE(writeDeviceName(dir.file("missing/vtl_name.txt"), "New"));
  NameServiceImpl nowhere(state, dir.file("missing/vtl_name.txt"), discovery);
  grpc::ServerContext context;
  protobuf::SetNameRequest request;
  request.set_name("New");
  const grpc::Status status = nowhere.SetName(&context, &request, nullptr);
  EXPECT_EQ(status.error_code(), grpc::StatusCode::UNKNOWN);
  EXPECT_EQ(status.error_message(), "Unable to Write Name");
  EXPECT_TRUE(shell.commands.empty());
}

}  // namespace
}  // namespace vantorellabs
