#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "FirmwareTestSupport.h"
#include "ServiceTestSupport.h"

namespace vantorellabs {
namespace {

using protobuf::StartFirmwareUpdateResponse;
using testing::controllerFrames;
using ::testing::ElementsAre;
using testing::swDescription;

// One stream message as a line, so that a whole stream compares in one expectation.
std::string text(const StartFirmwareUpdateResponse& m) {
  std::string line = protobuf::FirmwareUpdateStatus_Name(m.status());
  if (m.has_progress()) line += " " + std::to_string(m.progress()).substr(0, 3);
  if (m.has_error()) line += " " + protobuf::FirmwareUpdateError_Name(m.error());
  return line;
}

std::vector<std::string> texts(const std::vector<StartFirmwareUpdateResponse>& messages) {
  std::vector<std::string> lines;
  for (const auto& m : messages) lines.push_back(text(m));
  return lines;
}

class FirmwareUpdateServiceTest : public ::testing::Test, protected testing::ServiceBench {
 protected:
  using Stream = testing::StreamCollector<StartFirmwareUpdateResponse>;

  std::unique_ptr<Stream> start(std::optional<std::string> id = std::nullopt) {
    return std::make_unique<Stream>([this, id](grpc::ClientContext* context) {
      protobuf::StartFirmwareUpdateRequest request;
      if (id) request.set_firmwareupdateid(*id);
      return stub->StartFirmwareUpdate(context, request);
    });
  }
  std::vector<std::string> available() {
    grpc::ServerContext context;
    protobuf::GetAvailableFirmwareUpdatesRequest request;
    protobuf::GetAvailableFirmwareUpdatesResponse response;
    EXPECT_TRUE(service.GetAvailableFirmwareUpdates(&context, &request, &response).ok());
    std::vector<std::string> ids;
    for (const auto& u : response.availableupdate()) {
      ids.push_back(u.id() + " " + u.description() + " " +
                    std::to_string(u.releasedate().seconds()) + " " + u.releasenotes() + " " +
                    std::to_string(u.size()));
    }
    return ids;
  }
  protobuf::FirmwareUpdateStatus status() {
    grpc::ServerContext context;
    protobuf::GetFirmwareUpdateStatusRequest request;
    protobuf::GetFirmwareUpdateStatusResponse response;
    EXPECT_TRUE(service.GetFirmwareUpdateStatus(&context, &request, &response).ok());
    return response.status();
  }

  testing::FirmwareParts parts{link, state, console};
  testing::FakeBoard& board = parts.board;
  testing::FixedWallClock& wallClock = parts.wallClock;
  FirmwareInstaller& installer = parts.installer;
  FirmwareUpdateServiceImpl& service = parts.service;
  testing::LoopbackServer server{&service};
  std::unique_ptr<protobuf::FirmwareUpdateService::Stub> stub =
      protobuf::FirmwareUpdateService::NewStub(server.channel());
};

TEST_F(FirmwareUpdateServiceTest, UpdateTimeTakesItsHourFromTheSerialNumber) {
  struct Case {
    std::int64_t now;
    const char* serial;
    std::int64_t expected;
    const char* log;
  };
  const std::int64_t day = 1767225600;  // 2026-01-01 00:00 UTC
  for (const Case& c :
       {Case{day + 9 * 3600 + 1800, "0000013", day + 13 * 3600, "Update Time: 13:00\n"},
        Case{day + 10 * 3600 + 1800, "0000013", day + 86400 + 13 * 3600, "Update Time: 13:00\n"},
        Case{day + 3600, "0000030", day + 6 * 3600, "Update Time: 6:00\n"},
        Case{day + 3600, "#######", day, "Update Time: 0:00\n"}}) {
    wallClock.now = c.now;
    state.setSerialNumber(c.serial);
    console.clear();
    grpc::ServerContext context;
    protobuf::GetFirmwareUpdateConfigurationRequest request;
    protobuf::GetFirmwareUpdateConfigurationResponse response;
    ASSERT_TRUE(service.GetFirmwareUpdateConfiguration(&context, &request, &response).ok());
    EXPECT_EQ(response.updatetime().seconds(), c.expected) << c.serial;
    EXPECT_EQ(response.updatetime().nanos(), 0);
    EXPECT_EQ(console.all(), c.log);
    EXPECT_FALSE(response.isautomaticfirmwareupdateenabled());
  }
  service.updateAutoUpdateEnabled(true);
  grpc::ServerContext context;
  protobuf::GetFirmwareUpdateConfigurationRequest request;
  protobuf::GetFirmwareUpdateConfigurationResponse response;
  ASSERT_TRUE(service.GetFirmwareUpdateConfiguration(&context, &request, &response).ok());
  EXPECT_TRUE(response.isautomaticfirmwareupdateenabled());
  EXPECT_TRUE(response.isautomaticfirmwaredownloadenabled());
}

TEST_F(FirmwareUpdateServiceTest, SettingSendsOnlyTheAutomaticUpdateFlag) {
  struct Case {
    std::optional<bool> download;
    std::optional<bool> update;
    const char* frames;
  };
  for (const Case& c : {Case{true, std::nullopt, ""}, Case{std::nullopt, true, "7231"},
                        Case{true, false, "7230"}}) {
    grpc::ServerContext context;
    protobuf::SetFirmwareUpdateConfigurationRequest request;
    if (c.download) request.set_isautomaticfirmwaredownloadenabled(*c.download);
    if (c.update) request.set_isautomaticfirmwareupdateenabled(*c.update);
    protobuf::SetFirmwareUpdateConfigurationResponse response;
    EXPECT_TRUE(service.SetFirmwareUpdateConfiguration(&context, &request, &response).ok());
    EXPECT_EQ(controllerFrames(pty), c.frames);
  }
}

// The refusals of StartFirmwareUpdate, with what the controller is told.
TEST_F(FirmwareUpdateServiceTest, StartRefusals) {
  struct Case {
    const char* name;
    char schedule;
    bool inProgress;
    std::optional<std::string> id;
    grpc::StatusCode code;
    const char* message;
    const char* frames;
  };
  board.putFile("/tmp/vantorelos.swu", swDescription("2.0.0"));
  const Case cases[] = {
      {"before any check", '0', false, std::nullopt, grpc::StatusCode::NOT_FOUND,
       "No Updates Available; Try Calling GetAvailableFirmwareUpdates", "0A 0B0B 0B0F"},
      {"while installing", '0', true, std::nullopt, grpc::StatusCode::ALREADY_EXISTS,
       "Firmware Update in Progress", ""},
      {"amplifier changing state", '4', false, std::nullopt, grpc::StatusCode::UNAVAILABLE,
       "Product State Transisioning", ""},
      {"unknown id", '0', false, "9.9.9", grpc::StatusCode::NOT_FOUND, "firmwareUpdateId",
       "0A 0B0B 0B0F"},
      // No server image was found, so the stored available id is empty too.
      {"empty id", '0', false, "", grpc::StatusCode::NOT_FOUND, "firmwareUpdateId", "0A 0B0B 0B0F"},
  };
  bool checked = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.id && !checked) {
      EXPECT_THAT(available(), ElementsAre("2.0.0 Fixes 1767225600 Faster 78"));
      controllerFrames(pty);
      checked = true;
    }
    state.setSchedule(c.schedule);
    if (c.inProgress) {
      ASSERT_TRUE(installer.beginUpdate());
    }
    auto stream = start(c.id);
    ASSERT_TRUE(stream->waitForEnd());
    EXPECT_EQ(stream->status().error_code(), c.code);
    EXPECT_EQ(stream->status().error_message(), c.message);
    EXPECT_TRUE(stream->messages().empty());
    EXPECT_EQ(controllerFrames(pty), c.frames);
    if (c.inProgress) {
      EXPECT_EQ(status(), protobuf::FIRMWARE_UPDATE_STATUS_INSTALLING);
      installer.endUpdate();
    }
    // Every refusal leaves no update marked as running, and the image where it was.
    EXPECT_EQ(status(), protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE);
    EXPECT_TRUE(board.exists("/tmp/vantorelos.swu"));
    EXPECT_THAT(board.installCommands(), ::testing::IsEmpty());
  }
}

TEST_F(FirmwareUpdateServiceTest, PendingImageInstallsWithoutDownloadAndStreamsToRestart) {
  board.putFile("/tmp/vantorelos.swu", swDescription("2.0.0"));
  board.serve("sw-description-user.template", swDescription("2.1.0", "Newer:5:More"));
  board.serve("vantorelos.swu", swDescription("2.1.0", "Newer:5:More"));
  EXPECT_THAT(available(), ElementsAre("2.0.0 Fixes 1767225600 Faster 78", "2.1.0 Newer 5 More 0"));
  controllerFrames(pty);

  auto stream = start("2.0.0");
  ASSERT_TRUE(stream->waitForCount(4));
  EXPECT_THAT(
      texts(stream->messages()),
      ElementsAre("FIRMWARE_UPDATE_STATUS_INSTALLING 0.0", "FIRMWARE_UPDATE_STATUS_INSTALLING 0.5",
                  "FIRMWARE_UPDATE_STATUS_COMPLETE 1.0", "FIRMWARE_UPDATE_STATUS_RESTARTING 1.0"));
  EXPECT_EQ(controllerFrames(pty), "0A 0B06 0B07");
  EXPECT_EQ(status(), protobuf::FIRMWARE_UPDATE_STATUS_INSTALLING);
  EXPECT_THAT(board.commands(),
              ::testing::Not(::testing::Contains(::testing::HasSubstr("firmware/vantorelos.swu"))));
  stream->cancel();
}

TEST_F(FirmwareUpdateServiceTest, ServerIdDownloadsFirstAndAFailedImageEndsInError) {
  board.putFile("/tmp/vantorelos.swu", swDescription("2.0.0"));
  board.serve("sw-description-user.template", swDescription("2.1.0"));
  board.serve("vantorelos.swu", swDescription("2.1.0"));
  available();
  controllerFrames(pty);
  board.fail("copy-B");

  auto stream = start("2.1.0");
  ASSERT_TRUE(stream->waitForEnd());
  EXPECT_THAT(
      texts(stream->messages()),
      ElementsAre("FIRMWARE_UPDATE_STATUS_DOWNLOADING", "FIRMWARE_UPDATE_STATUS_INSTALLING 0.0",
                  "FIRMWARE_UPDATE_STATUS_ERROR 0.0 FIRMWARE_UPDATE_ERROR_INVALID_BINARY"));
  EXPECT_EQ(stream->status().error_code(), grpc::StatusCode::CANCELLED);
  EXPECT_EQ(controllerFrames(pty), "0A 0B0D 0B06 0B08");
  EXPECT_TRUE(testing::eventually(
      [this] { return status() == protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE; }));

  // A download that fails ends the call at once.
  board.serve("vantorelos.swu", std::nullopt);
  auto failed = start("2.1.0");
  ASSERT_TRUE(failed->waitForEnd());
  EXPECT_THAT(texts(failed->messages()),
              ElementsAre("FIRMWARE_UPDATE_STATUS_DOWNLOADING",
                          "FIRMWARE_UPDATE_STATUS_ERROR FIRMWARE_UPDATE_ERROR_DOWNLOAD"));
  EXPECT_EQ(failed->status().error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_EQ(failed->status().error_message(), "Failed to Download");
  EXPECT_EQ(controllerFrames(pty), "0A 0B0D 0B0E 0B0E 0B0F");
  EXPECT_EQ(status(), protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE);
}

// The image in /tmp must still be the one the client chose when the installer starts:
// the scheduler may have replaced it meanwhile, or the server sent another than it named.
TEST_F(FirmwareUpdateServiceTest, AnImageOtherThanTheChosenOneIsNotInstalled) {
  struct Case {
    const char* request;
    const char* imageAtInstall;  // what the pending image has become meanwhile
    const char* serverImage;     // what a download fetches
    const char* frames;
  };
  for (const Case& c : {Case{"2.0.0", "2.2.0", "2.1.0", "0A 0B06 0B08"},
                        Case{"2.1.0", "2.0.0", "2.2.0", "0A 0B0D 0B06 0B08"}}) {
    SCOPED_TRACE(c.request);
    board.putFile("/tmp/vantorelos.swu", swDescription("2.0.0"));
    board.serve("sw-description-user.template", swDescription("2.1.0"));
    board.serve("vantorelos.swu", swDescription(c.serverImage));
    available();
    controllerFrames(pty);
    board.putFile("/tmp/vantorelos.swu", swDescription(c.imageAtInstall));
    auto stream = start(c.request);
    ASSERT_TRUE(stream->waitForEnd());
    EXPECT_THAT(texts(stream->messages()),
                ::testing::Contains(
                    "FIRMWARE_UPDATE_STATUS_ERROR 0.0 FIRMWARE_UPDATE_ERROR_INVALID_BINARY"));
    EXPECT_EQ(controllerFrames(pty), c.frames);
    EXPECT_THAT(board.installCommands(), ::testing::IsEmpty());
    EXPECT_TRUE(testing::eventually(
        [this] { return status() == protobuf::FIRMWARE_UPDATE_STATUS_COMPLETE; }));
  }
}

TEST_F(FirmwareUpdateServiceTest, ClientThatLeavesMidInstallIsNeverWrittenToAgain) {
  board.putFile("/tmp/vantorelos.swu", swDescription("2.0.0"));
  available();
  board.holdAt("copy-B");
  auto stream = start();
  ASSERT_TRUE(stream->waitForCount(1));
  ASSERT_TRUE(board.waitUntilHeld());
  // The installer goes on only after the handler has seen the cancel and returned; every
  // message it has left must then stay unwritten.
  stream->cancel();
  ASSERT_TRUE(testing::eventually([this] { return parts.probe.returned() == 1; }));
  board.release();
  EXPECT_TRUE(testing::eventually([this] {
    return !board.installCommands().empty() &&
           board.installCommands().back() == "sleep 3 && reboot &";
  }));
  EXPECT_EQ(stream->messages().size(), 1U);
}

}  // namespace
}  // namespace vantorellabs
