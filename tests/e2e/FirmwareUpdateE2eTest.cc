// Firmware updates end to end: the real daemon on a board whose web server, USB stick,
// swupdate and flash banks are the sandbox's, real .swu images made with cpio, a gRPC
// client, and the simulated amplifier that asks for manual updates and sees the progress.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <thread>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "firmware_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kSwupdate = "swupdate -v -k /opt/vtl/sys/swupdate-public.pem -e ";
const std::string kWget =
    "wget --no-check-certificate --no-cookies --no-cache "
    "https://www.vantorellabs.com/-/media/Files/vantorellabs/VarivuzuDizive/firmware/";

void sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
void makeImage(const std::string& path, const std::string& version,
               const std::string& description = "Spring:1767225600:Faster start") {
  sh(std::string(AMP_SOURCE_DIR) + "/sim/board/make-swu " + path + " " + version + " '" +
     description + "'");
}
// The web server offers an image of this version.
void serve(const std::string& version) {
  sh("mkdir -p /board/www");
  makeImage("/board/www/vantorelos.swu", version);
  writeBoardFile("/board/www/sw-description-user.template",
                 "software =\n{\n\tversion = \"" + version +
                     "\";\n\tdescription = \"Spring:1767225600:Faster start\";\n};\n");
}
bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::string text(const pb::StartFirmwareUpdateResponse& m) {
  std::string line = pb::FirmwareUpdateStatus_Name(m.status()).substr(23);
  if (m.has_progress()) line += " " + std::to_string(m.progress()).substr(0, 3);
  if (m.has_error()) line += " " + pb::FirmwareUpdateError_Name(m.error()).substr(22);
  return line;
}

class FirmwareUpdateE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options = {}) {
    BoardTest::boot(options);
    channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    firmware = pb::FirmwareUpdateService::NewStub(channel);
    ASSERT_TRUE(daemon.waitForOutput("<<< 0xB5"));
  }

  std::vector<pb::FirmwareUpdate> available() {
    grpc::ClientContext context;
    pb::GetAvailableFirmwareUpdatesResponse response;
    EXPECT_TRUE(firmware->GetAvailableFirmwareUpdates(&context, {}, &response).ok());
    return {response.availableupdate().begin(), response.availableupdate().end()};
  }
  std::unique_ptr<StreamReader<pb::StartFirmwareUpdateResponse>> start(
      std::optional<std::string> id = std::nullopt) {
    pb::StartFirmwareUpdateRequest request;
    if (id) request.set_firmwareupdateid(*id);
    return std::make_unique<StreamReader<pb::StartFirmwareUpdateResponse>>(
        [this, request](grpc::ClientContext* c) {
          return firmware->StartFirmwareUpdate(c, request);
        });
  }
  std::vector<std::string> lines(StreamReader<pb::StartFirmwareUpdateResponse>& stream) {
    std::vector<std::string> out;
    for (const auto& m : stream.messages()) out.push_back(text(m));
    return out;
  }
  pb::FirmwareUpdateStatus status() {
    grpc::ClientContext context;
    pb::GetFirmwareUpdateStatusResponse response;
    EXPECT_TRUE(firmware->GetFirmwareUpdateStatus(&context, {}, &response).ok());
    return response.status();
  }
  // The update frames (0x0A and 0x0B) the controller received, as hex, from frame `from`.
  std::string updateFrames(std::size_t from = 0) {
    std::string out;
    const auto frames = sim->receivedFrames();
    for (std::size_t i = from; i < frames.size(); ++i) {
      const std::string& f = frames[i];
      if (f.empty() || (f[0] != 0x0A && f[0] != 0x0B)) continue;
      char hex[8];
      std::snprintf(hex, sizeof hex, f.size() > 1 ? "%02X%02X" : "%02X", f[0] & 0xFF,
                    f.size() > 1 ? f[1] & 0xFF : 0);
      out += (out.empty() ? "" : " ") + std::string(hex);
    }
    return out;
  }
  int waitForUpdateFrame(std::uint8_t sub, std::size_t from = 0) {
    return sim->waitForFrame(
        [sub](const std::string& f) {
          return f.size() == 2 && f[0] == 0x0B && static_cast<std::uint8_t>(f[1]) == sub;
        },
        from, std::chrono::seconds(60));
  }
  std::vector<std::string> installCommands() {
    std::vector<std::string> out;
    for (const auto& c : boardCommands()) {
      if (c.rfind("swupdate", 0) == 0 || c.rfind("fw_setenv", 0) == 0 || c == "reboot") {
        out.push_back(c);
      }
    }
    return out;
  }

  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<pb::FirmwareUpdateService::Stub> firmware;
};

TEST_F(FirmwareUpdateE2eTest, ClientInstallsTheServersImageIntoTheOtherBank) {
  serve("1.5.0");
  boot();

  const auto updates = available();
  ASSERT_EQ(updates.size(), 1U);
  EXPECT_EQ(updates[0].id(), "1.5.0");
  EXPECT_EQ(updates[0].version(), "1.5.0");
  EXPECT_EQ(updates[0].description(), "Spring");
  EXPECT_EQ(updates[0].releasedate().seconds(), 1767225600);
  EXPECT_EQ(updates[0].releasenotes(), "Faster start");
  EXPECT_EQ(updates[0].size(), 0U);
  EXPECT_EQ(status(), pb::FIRMWARE_UPDATE_STATUS_COMPLETE);

  auto stream = start();
  ASSERT_GE(stream->waitFor(
                [](const auto& m) { return m.status() == pb::FIRMWARE_UPDATE_STATUS_RESTARTING; },
                0, seconds(60)),
            0);
  std::vector<std::string> lines;
  for (const auto& m : stream->messages()) lines.push_back(text(m));
  EXPECT_THAT(lines, ElementsAre("DOWNLOADING", "INSTALLING 0.0", "INSTALLING 0.5", "COMPLETE 1.0",
                                 "RESTARTING 1.0"));
  ASSERT_TRUE(waitForBoardCommand("reboot"));
  EXPECT_THAT(
      installCommands(),
      ElementsAre(kSwupdate + "stable,copy-B -i /tmp/vantorelos.swu", "fw_setenv bootparam B",
                  kSwupdate + "stable,K40 -i /tmp/vantorelos.swu", "reboot"));
  EXPECT_THAT(readFile("/board/fw_env"), HasSubstr("bootparam=B\n"));
  ASSERT_GE(waitForUpdateFrame(0x07), 0);
  EXPECT_EQ(updateFrames(), "0A 0B0D 0B06 0B07");
  bool fetched = false;
  for (const auto& c : boardCommands()) {
    fetched = fetched || c.rfind(kWget + "vantorelos.swu?nocache=", 0) == 0;
  }
  EXPECT_TRUE(fetched);

  // The board is going down: the update stays in progress.
  EXPECT_EQ(status(), pb::FIRMWARE_UPDATE_STATUS_INSTALLING);

  // The automatic update setting goes to the amplifier, and comes back from it.
  grpc::ClientContext context;
  pb::SetFirmwareUpdateConfigurationRequest request;
  request.set_isautomaticfirmwareupdateenabled(true);
  pb::SetFirmwareUpdateConfigurationResponse response;
  ASSERT_TRUE(firmware->SetFirmwareUpdateConfiguration(&context, request, &response).ok());
  EXPECT_GE(sim->waitForFrame([](const std::string& f) { return f == "r1"; }), 0);
  // The trace line comes before the report is applied: ask until it shows.
  pb::GetFirmwareUpdateConfigurationResponse configuration;
  const auto deadline = std::chrono::steady_clock::now() + seconds(20);
  while (!configuration.isautomaticfirmwareupdateenabled() &&
         std::chrono::steady_clock::now() < deadline) {
    grpc::ClientContext getContext;
    ASSERT_TRUE(firmware->GetFirmwareUpdateConfiguration(&getContext, {}, &configuration).ok());
  }
  EXPECT_TRUE(configuration.isautomaticfirmwareupdateenabled());
  EXPECT_TRUE(configuration.isautomaticfirmwaredownloadenabled());
  EXPECT_THAT(daemon.output(), HasSubstr("Update Time: 7:00\n"));  // serial 1234567
}

TEST_F(FirmwareUpdateE2eTest, RejectedImageStreamsErrorAndKeepsTheRunningBank) {
  makeImage("/tmp/vantorelos.swu", "1.5.0");
  boardScenario("swupdate-fails copy-B");
  boot();

  const auto updates = available();
  ASSERT_EQ(updates.size(), 1U);
  EXPECT_EQ(updates[0].id(), "1.5.0");
  struct stat image {};
  ASSERT_EQ(::stat("/tmp/vantorelos.swu", &image), 0);
  EXPECT_EQ(updates[0].size(), static_cast<std::uint32_t>(image.st_size));
  // Only the description came out of the unverified image, and the scratch files are gone.
  EXPECT_FALSE(exists("/tmp/update"));
  EXPECT_FALSE(exists("/tmp/sw-description"));
  EXPECT_FALSE(exists("/tmp/rootfs.squashfs"));

  auto stream = start();
  EXPECT_EQ(stream->finalStatus(seconds(60)).error_code(), grpc::StatusCode::CANCELLED);
  std::vector<std::string> lines;
  for (const auto& m : stream->messages()) lines.push_back(text(m));
  EXPECT_THAT(lines, ElementsAre("INSTALLING 0.0", "ERROR 0.0 INVALID_BINARY"));
  // The template could not be fetched (no network), then the installation failed.
  ASSERT_GE(waitForUpdateFrame(0x08), 0);
  EXPECT_EQ(updateFrames(), "0B0A 0A 0B06 0B08");
  EXPECT_THAT(installCommands(), ElementsAre(kSwupdate + "stable,copy-B -i /tmp/vantorelos.swu"));
  EXPECT_EQ(readFile("/board/fw_env"), "bootparam=A\n");
  EXPECT_EQ(status(), pb::FIRMWARE_UPDATE_STATUS_COMPLETE);
}

TEST_F(FirmwareUpdateE2eTest, ManualUpdateKeepsTheLinkServedAndARebootWaitsForIt) {
  boot();
  const std::size_t begin = sim->receivedFrames().size();
  sim->sendFrame("\x0A");
  const int started = waitForUpdateFrame(0x01, begin);
  ASSERT_GE(started, 0);
  // During the update the loop still answers the controller; the reboot request and a
  // second update request wait or are refused.
  sim->sendFrame("\x0F");
  sim->sendFrame("\x0A");
  sim->sendFrame("\x01");
  const int answered = sim->waitForCode(0x02, static_cast<std::size_t>(started));
  ASSERT_GE(answered, 0);
  EXPECT_EQ(boardCommandIndex("fw_setenv bootparam C"), -1);
  EXPECT_TRUE(daemon.waitForOutput("Update Already In Progress\n"));
  const int ended = waitForUpdateFrame(0x0F, begin);
  ASSERT_GT(ended, answered);
  EXPECT_EQ(updateFrames(begin), "0A 0B01 0B03 0B09 0B0A 0B0F");
  EXPECT_TRUE(waitForBoardCommand("fw_setenv bootparam C"));
}

// With automatic update on and the amplifier off in the 10:00 UTC hour, the scheduler
// installs a newer image; after the reboot into it, the same image is not new any more.
TEST_F(FirmwareUpdateE2eTest, SchedulerInstallsInItsHourAndNotAgainAfterTheRestart) {
  // `date` shows local time: a zone that puts the board at 10:30 when the test starts.
  const std::time_t now = std::time(nullptr);
  const long offset = ((10 * 3600 + 1800 - static_cast<long>(now % 86400)) % 86400 + 86400) % 86400;
  const std::string zone =
      "BRD-" + std::to_string(offset / 3600) + ":" + std::to_string(offset % 3600 / 60);
  ::setenv("TZ", zone.c_str(), 1);
  serve("1.5.0");
  boardScenario("reboot-kills amp-bridge");
  ampsim::AmpSimOptions options;
  options.amplifier.poweredOn = false;
  options.amplifier.autoUpdate = true;
  boot(options);
  ASSERT_TRUE(daemon.waitForOutput("Deploying whether you like it, or not.\n", seconds(60)));
  const std::string first = daemon.output();
  EXPECT_LT(first.find("New Update Available\n"), first.find("New Update Pending\n"));
  EXPECT_LT(first.find("New Update Pending\n"), first.find("Time: 10:00:00 UTC\n"));
  ASSERT_TRUE(daemon.waitExit(seconds(60)).has_value());
  // The installer also leaves a reboot 3 s behind (so that a client gets its last message);
  // on the board the first one wins, here the second must not end the restarted daemon.
  const auto reboots = [] {
    const auto lines = boardCommands();
    return std::count(lines.begin(), lines.end(), std::string("reboot"));
  };
  for (int i = 0; i < 100 && reboots() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_THAT(
      installCommands(),
      ElementsAre(kSwupdate + "stable,copy-B -i /tmp/vantorelos.swu", "fw_setenv bootparam B",
                  kSwupdate + "stable,K40 -i /tmp/vantorelos.swu", "reboot", "reboot"));
  ASSERT_GE(waitForUpdateFrame(0x07), 0);
  EXPECT_EQ(updateFrames(), "0A 0B0C 0B06 0B07");

  // The board comes back from bank B running 1.5.0; the server still offers 1.5.0 and the
  // image is still in /tmp.
  sim->stop();
  writeBoardFile("/etc/issue", "Vantorel OS 1.5.0 \\n \\l\n");
  boardScenario("bank B");
  boot(options);
  ASSERT_TRUE(daemon.waitForOutput("New Update Pending\n", seconds(60)));
  // Let the loop run on for a while: a status report goes out after the check.
  const std::size_t after = sim->receivedFrames().size();
  EXPECT_GE(sim->waitForCode(0x09, after), 0);
  EXPECT_THAT(daemon.output(), Not(HasSubstr("New Update Available")));
  EXPECT_THAT(daemon.output(), Not(HasSubstr("Time: ")));
  std::size_t swupdates = 0;
  for (const auto& c : installCommands()) swupdates += c.rfind("swupdate", 0) == 0 ? 1 : 0;
  EXPECT_EQ(swupdates, 2U);
  EXPECT_EQ(updateFrames(), "0B0B");
}

// What a client sees when the board cannot take an update safely: an empty id is no id, a
// bank that is not known for certain is never written, and a bank switch that fails is a
// failure. The image stays for a later try each time.
TEST_F(FirmwareUpdateE2eTest, UpdatesThatCannotBeDoneSafelyEndInErrorAndKeepTheImage) {
  makeImage("/tmp/vantorelos.swu", "1.5.0");
  // A root device that is none of the three banks.
  writeBoardFile("/board/cmdline", "root=/dev/mtdblock5 rootfstype=squashfs ro\n");
  boot();
  ASSERT_EQ(available().size(), 1U);
  // The server could not be asked (no network): that report may still be on its way.
  const int unreachable = waitForUpdateFrame(0x0A);
  ASSERT_GE(unreachable, 0);

  const auto from = static_cast<std::size_t>(unreachable + 1);
  auto empty = start("");
  const grpc::Status refused = empty->finalStatus(seconds(60));
  EXPECT_EQ(refused.error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_EQ(refused.error_message(), "firmwareUpdateId");
  EXPECT_TRUE(empty->messages().empty());
  ASSERT_GE(waitForUpdateFrame(0x0F, from), 0);
  EXPECT_EQ(updateFrames(from), "0A 0B0B 0B0F");

  // A failed installation, as the client and the controller see it.
  const auto installFails = [this] {
    const std::size_t at = sim->receivedFrames().size();
    auto stream = start();
    EXPECT_EQ(stream->finalStatus(seconds(60)).error_code(), grpc::StatusCode::CANCELLED);
    EXPECT_THAT(lines(*stream), ElementsAre("INSTALLING 0.0", "ERROR 0.0 INVALID_BINARY"));
    ASSERT_GE(waitForUpdateFrame(0x08, at), 0);
    EXPECT_EQ(updateFrames(at), "0A 0B06 0B08");
  };
  installFails();
  EXPECT_THAT(daemon.output(), HasSubstr("Error Getting Boot Image\n"));
  EXPECT_THAT(installCommands(), ::testing::IsEmpty());
  EXPECT_TRUE(exists("/tmp/vantorelos.swu"));

  boardScenario("bank A");
  writeBoardFile("/board/scenario/fw_setenv",
                 "#!/bin/sh\necho 'Cannot write environment' >&2\nexit 1\n");
  ASSERT_EQ(::chmod("/board/scenario/fw_setenv", 0755), 0);
  installFails();
  EXPECT_THAT(installCommands(), ElementsAre(kSwupdate + "stable,copy-B -i /tmp/vantorelos.swu",
                                             "fw_setenv bootparam B"));
  EXPECT_EQ(readFile("/board/fw_env"), "bootparam=A\n");
  EXPECT_EQ(status(), pb::FIRMWARE_UPDATE_STATUS_COMPLETE);
  EXPECT_TRUE(exists("/tmp/vantorelos.swu"));
}

}  // namespace
}  // namespace vantorellabs::e2e
