#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "UpdateFakes.h"
#include "update/BootBank.h"
#include "update/FirmwareDescription.h"
#include "update/FirmwareInstaller.h"
#include "update/UpdateScheduler.h"

namespace vantorellabs {
namespace {

using testing::controllerFrames;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::swDescription;

const std::string kSwupdate = "swupdate -v -k /opt/vtl/sys/swupdate-public.pem -e ";
const std::string kWget =
    " && timeout 60 wget --no-check-certificate --no-cookies --no-cache "
    "https://www.vantorellabs.com/-/media/Files/vantorellabs/VarivuzuDizive/firmware/";
const std::string kTemplateWget =
    "(cd /tmp && ulimit -f 131072" + kWget + "sw-description-user.template?nocache=$(date +%s))";

std::string selection(const std::string& name, const char* image = "/tmp/vantorelos.swu") {
  return kSwupdate + "\"stable," + name + "\" -i " + image;
}

class FirmwareInstallerTest : public ::testing::Test {
 protected:
  FirmwareInstallerTest() { link.attach(pty.slave); }

  testing::PtyPair pty;
  testing::RecordingConsole console;
  testing::FakeBoard board;
  testing::InstantClock clock;
  ControllerLink link{console};
  DeviceState state{DeviceState::kModelK7100, "1.4.2"};
  FirmwareInstaller installer{InstallerContext{board, clock, board, link, state, console}};
};

TEST(FirmwareVersionTest, ComparesThreeNumbersMostSignificantFirst) {
  struct Case {
    const char* candidate;
    const char* baseline;
    bool newer;
  };
  for (const Case& c :
       {Case{"1.1.0", "1.1.0", false}, Case{"1.1.1", "1.1.0", true}, Case{"1.2.0", "1.1.0", true},
        Case{"1.10.0", "1.1.0", true}, Case{"1.10.0", "1.9.9", true}, Case{"1.0.9", "1.1.0", false},
        Case{"2.0.0", "1.99.99", true}, Case{"1.2", "1.1.0", false}, Case{"abc", "1.1.0", false},
        Case{"1.1.0.7", "1.1.0", false}, Case{"99999999999.0.0", "1.1.0", false}}) {
    EXPECT_EQ(isNewerVersion(c.candidate, c.baseline), c.newer)
        << c.candidate << " vs " << c.baseline;
  }
}

TEST(FirmwareDescriptionTest, ReadsQuotedValuesAndThreeDescriptionParts) {
  const std::string text = "a = 1;\nversion = \"1.2.0\"; x = \"y\"\ndescription = \"D:12:N\";\n";
  EXPECT_EQ(quotedValue(text, "version"), "1.2.0");
  EXPECT_EQ(quotedValue(text, "description"), "D:12:N");
  EXPECT_EQ(quotedValue("version = 1.2.0;\n", "version"), std::nullopt);
  EXPECT_EQ(quotedValue(text, "missing"), std::nullopt);

  struct Case {
    const char* text;
    bool details;
    const char* description;
    std::optional<std::int64_t> date;
    const char* notes;
  };
  for (const Case& c : {Case{"Fixes:1767225600:Faster", true, "Fixes", 1767225600, "Faster"},
                        Case{"Fixes:soon:Faster", true, "Fixes", std::nullopt, "Faster"},
                        Case{"Fixes:1767225600", false, "", std::nullopt, ""},
                        Case{"a:1:b:c", true, "a", 1, "b"}}) {
    FirmwareDescription d;
    applyDescriptionText(d, c.text);
    EXPECT_EQ(d.hasDetails, c.details) << c.text;
    EXPECT_EQ(d.description, c.description) << c.text;
    EXPECT_EQ(d.releaseDate, c.date) << c.text;
    EXPECT_EQ(d.releaseNotes, c.notes) << c.text;
  }
}

TEST(BootBankTest, TheLastRootWordDecidesAndOnlyTheThreeBanksAreKnown) {
  // A long mtdparts= word puts root= across character 255.
  const std::string parts = "console=ttyS0,115200 mtdparts=spi0.0:" + std::string(220, 'p');
  struct Case {
    std::string cmdline;
    BootBank bank;
  };
  for (const Case& c :
       {Case{"root=/dev/mtdblock1 rootfstype=squashfs ro\n", BootBank::A},
        Case{"console=ttyS0\troot=/dev/mtdblock3\n", BootBank::B},
        Case{parts + " root=/dev/mtdblock1 ro\n", BootBank::A},
        Case{parts + " root=/dev/mtdblock3 ro\n", BootBank::B},
        Case{"root=/dev/mtdblock3 root=/dev/mtdblock1", BootBank::A},
        Case{"root=/dev/mtdblock1 root=/dev/mmcblk0p2", BootBank::Unknown},
        Case{"root=/dev/mtdblock1 -- root=/dev/mtdblock3", BootBank::A},
        Case{"root=/dev/mtdblock9", BootBank::C}, Case{"root=/dev/mtdblock5", BootBank::Unknown},
        Case{"nfsroot=/dev/mtdblock1 rootfstype=squashfs", BootBank::Unknown},
        Case{"ROOT=/dev/mtdblock1", BootBank::Unknown},
        Case{"root=/dev/mtdblock01", BootBank::Unknown},
        Case{"root= /dev/mtdblock1", BootBank::Unknown},
        Case{"x=\"a root=/dev/mtdblock3\" root=/dev/mtdblock1", BootBank::Unknown},
        Case{"", BootBank::Unknown}, Case{" \n", BootBank::Unknown}}) {
    EXPECT_EQ(bootBankOf(c.cmdline), c.bank) << c.cmdline;
  }
}

// The controller's manual update request, from the USB stick or the web server, as the
// progress codes that the controller sees and the commands that change the board.
TEST_F(FirmwareInstallerTest, ManualUpdateProgressSequences) {
  struct Case {
    const char* name;
    bool usb;
    bool usbImage;
    std::optional<std::string> serverVersion;  // nothing: the template cannot be fetched
    bool serverImage;
    std::optional<std::string> pendingVersion;
    bool copyFails;
    const char* frames;
    std::vector<std::string> installs;
  };
  const std::string usbImage = "/tmp/VantorelOS.swu";
  const std::vector<std::string> installFromServer = {selection("copy-B"), "fw_setenv bootparam B",
                                                      selection("K7100"), "sleep 3 && reboot &",
                                                      "reboot"};
  const Case cases[] = {
      {"usb without image",
       true,
       false,
       std::nullopt,
       false,
       std::nullopt,
       false,
       "0A 0B01 0B02 0B05 0B0F",
       {}},
      {"usb with image",
       true,
       true,
       std::nullopt,
       false,
       std::nullopt,
       false,
       "0A 0B01 0B02 0B04 0B06 0B07 0B0F",
       {selection("copy-B", usbImage.c_str()), "fw_setenv bootparam B",
        selection("K7100", usbImage.c_str()), "sleep 3 && reboot &", "reboot"}},
      {"server newer", false, false, "1.5.0", true, std::nullopt, false,
       "0A 0B01 0B03 0B09 0B0C 0B0D 0B06 0B07 0B0F", installFromServer},
      {"server not newer, nothing pending",
       false,
       false,
       "1.4.2",
       true,
       std::nullopt,
       false,
       "0A 0B01 0B03 0B09 0B0B 0B0F",
       {}},
      {"template unreachable, image pending", false, false, std::nullopt, false, "1.5.0", false,
       "0A 0B01 0B03 0B09 0B0A 0B0C 0B06 0B07 0B0F", installFromServer},
      {"image download fails",
       false,
       false,
       "1.5.0",
       false,
       std::nullopt,
       false,
       "0A 0B01 0B03 0B09 0B0C 0B0D 0B0E 0B0F",
       {}},
      {"image rejected",
       false,
       false,
       "1.5.0",
       true,
       std::nullopt,
       true,
       "0A 0B01 0B03 0B09 0B0C 0B0D 0B06 0B08 0B0F",
       {selection("copy-B")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeBoard fresh;
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, state, console});
    if (c.usb) fresh.plugUsbStick();
    fresh.usbHasImage = c.usbImage;
    fresh.usbImage = swDescription("1.5.0");
    if (c.serverVersion)
      fresh.serve("sw-description-user.template", swDescription(*c.serverVersion));
    if (c.serverImage) fresh.serve("vantorelos.swu", swDescription("1.5.0"));
    if (c.pendingVersion) fresh.putFile("/tmp/vantorelos.swu", swDescription(*c.pendingVersion));
    if (c.copyFails) fresh.fail("copy-B");
    under.manualUpdate();
    EXPECT_EQ(controllerFrames(pty), c.frames);
    EXPECT_THAT(fresh.installCommands(), ElementsAreArray(c.installs));
    EXPECT_EQ(under.isUpdateInProgress(), !c.installs.empty() && !c.copyFails);
  }
}

TEST_F(FirmwareInstallerTest, DownloadAndPendingCheckRunTheirCommandsInOrder) {
  board.serve("sw-description-user.template", swDescription("1.5.0", "New:1767225600:Notes"));
  board.serve("vantorelos.swu", swDescription("1.5.0", "New:1767225600:Notes"));
  FirmwareDescription offered;
  ASSERT_TRUE(installer.serverCheck(offered));
  EXPECT_EQ(offered.id, "1.5.0");
  EXPECT_EQ(offered.description, "New");
  EXPECT_EQ(offered.releaseDate, 1767225600);
  EXPECT_EQ(offered.releaseNotes, "Notes");
  EXPECT_EQ(offered.size, std::nullopt);
  EXPECT_THAT(board.commands(),
              ElementsAre("rm /tmp/sw-description-user.template*", kTemplateWget,
                          "(cd /tmp && mv $(ls /tmp/ | grep sw-description-user.template) "
                          "sw-description-user.template)",
                          "rm /tmp/sw-description-user.template"));

  ASSERT_TRUE(installer.download("vantorelos.swu"));
  const auto before = board.commands().size();
  FirmwareDescription pending;
  ASSERT_TRUE(installer.pendingImageCheck(pending));
  EXPECT_EQ(pending.version, "1.5.0");
  EXPECT_EQ(pending.size, swDescription("1.5.0", "New:1767225600:Notes").size());
  const auto all = board.commands();
  EXPECT_THAT(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
              ElementsAre("mkdir /tmp/update", "cp /tmp/vantorelos.swu /tmp/update",
                          "(cd /tmp/update && cpio -idv sw-description < "
                          "/tmp/update/vantorelos.swu)",
                          "rm /tmp/sw-description", "cp /tmp/update/sw-description /tmp",
                          "rm -rf /tmp/update", "rm /tmp/sw-description"));

  // An image that does not describe itself is deleted.
  board.putFile("/tmp/vantorelos.swu", "garbage");
  EXPECT_FALSE(installer.pendingImageCheck(pending));
  EXPECT_FALSE(board.exists("/tmp/vantorelos.swu"));
}

// A download stops at 64 MB or at the room left in /tmp, and leaves nothing behind.
TEST_F(FirmwareInstallerTest, DownloadsAreBoundedAndAStoppedOneIsRemoved) {
  struct Case {
    std::uint64_t room;
    std::size_t size;
    const char* blocks;
    bool ok;
  };
  for (const Case& c : {Case{1ULL << 40, 100, "131072", true}, Case{1048576, 1048576, "2048", true},
                        Case{1048576 + 511, 1048577, "2048", false}, Case{1000, 600, "1", false}}) {
    testing::FakeBoard fresh;
    fresh.tmpFreeBytes = c.room;
    fresh.serve("vantorelos.swu", std::string(c.size, 'x'));
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, state, console});
    EXPECT_EQ(under.download("vantorelos.swu"), c.ok) << c.size;
    const auto commands = fresh.commands();
    ASSERT_GE(commands.size(), 2U);
    EXPECT_EQ(commands[1], std::string("(cd /tmp && ulimit -f ") + c.blocks + kWget +
                               "vantorelos.swu?nocache=$(date +%s))");
    EXPECT_EQ(commands.back(), c.ok ? "(cd /tmp && mv $(ls /tmp/ | grep vantorelos.swu) "
                                      "vantorelos.swu)"
                                    : "rm /tmp/vantorelos.swu*");
    EXPECT_EQ(fresh.fileSize("/tmp/vantorelos.swu"),
              c.ok ? std::optional<std::uint64_t>(c.size) : std::nullopt);
    EXPECT_FALSE(fresh.exists("/tmp/vantorelos.swu?nocache=1"));
  }
}

// Only a regular sw-description of at most 64 KB describes an image; the same bound holds
// for the server's template.
TEST_F(FirmwareInstallerTest, DescriptionsAreBoundedRegularFiles) {
  const std::string base = swDescription("1.5.0");
  const std::string full = base + std::string(64 * 1024 - base.size(), '#');
  struct Case {
    std::string text;
    bool ok;
  };
  for (const Case& c :
       {Case{full, true}, Case{full + "#", false}, Case{testing::kLinkedDescriptionImage, false}}) {
    testing::FakeBoard fresh;
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, state, console});
    fresh.putFile("/tmp/vantorelos.swu", c.text);
    FirmwareDescription pending;
    EXPECT_EQ(under.pendingImageCheck(pending), c.ok) << c.text.size();
    EXPECT_EQ(fresh.exists("/tmp/vantorelos.swu"), c.ok);
    EXPECT_FALSE(fresh.exists("/tmp/sw-description"));
    EXPECT_EQ(::testing::Matches(::testing::Contains("cp /tmp/update/sw-description /tmp"))(
                  fresh.commands()),
              c.text != testing::kLinkedDescriptionImage);
    fresh.serve("sw-description-user.template", c.text);
    EXPECT_EQ(under.serverCheck(pending), c.ok);
    EXPECT_FALSE(fresh.exists("/tmp/sw-description-user.template"));
  }
}

TEST_F(FirmwareInstallerTest, ServerImageMustBeNewerThanWhatRuns) {
  struct Case {
    const char* running;
    const char* offered;
    bool newer;
  };
  for (const Case& c :
       {Case{"1.4.2", "1.4.2", false}, Case{"1.4.2", "1.5.0", true}, Case{"0.0.0", "1.1.0", false},
        Case{"0.0.0", "1.1.1", true}, Case{"1.2.0", "1.2.0", false}}) {
    DeviceState running{DeviceState::kModelK40, c.running};
    FirmwareInstaller under(InstallerContext{board, clock, board, link, running, console});
    board.serve("sw-description-user.template", swDescription(c.offered));
    FirmwareDescription offered;
    EXPECT_EQ(under.serverCheck(offered), c.newer) << c.running << " " << c.offered;
    EXPECT_EQ(controllerFrames(pty), c.newer ? "" : "0B0B");
  }
}

// The bank is known for certain before anything is written, and every step of the switch
// must succeed.
TEST_F(FirmwareInstallerTest, ImageGoesToTheBankThatIsNotRunningOrNowhere) {
  struct Case {
    std::optional<std::string> cmdline;  // nothing: /proc/cmdline cannot be read
    bool setenvFails;
    std::vector<std::string> installs;
  };
  const std::vector<std::string> toB = {selection("config"), selection("copy-B"),
                                        "fw_setenv bootparam B", selection("K40"),
                                        "sleep 3 && reboot &"};
  for (const Case& c : {Case{"root=/dev/mtdblock1 rootfstype=squashfs ro\n", false, toB},
                        Case{"console=ttyS0 root=/dev/mtdblock3 ro\n",
                             false,
                             {selection("config"), selection("copy-A"), "fw_setenv bootparam A",
                              selection("K40"), "sleep 3 && reboot &"}},
                        Case{"root=/dev/mtdblock1\n",
                             true,
                             {selection("config"), selection("copy-B"), "fw_setenv bootparam B"}},
                        Case{"root=/dev/mtdblock9\n",
                             false,
                             {selection("config"), selection("copy-A"), "fw_setenv bootparam A",
                              selection("K40"), "sleep 3 && reboot &"}},
                        Case{"root=/dev/mtdblock5\n", false, {}},
                        Case{"console=ttyS0\n", false, {}}, Case{std::nullopt, false, {}},
                        Case{"root=/dev/mtdblock1 " + std::string(4096, 'x'), false, {}}}) {
    SCOPED_TRACE(c.cmdline.value_or("unreadable").substr(0, 40));
    testing::FakeBoard fresh;
    DeviceState k40{DeviceState::kModelK40, "1.4.2"};
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, k40, console});
    c.cmdline ? fresh.putFile("/proc/cmdline", *c.cmdline) : fresh.removeFile("/proc/cmdline");
    fresh.putFile("/config/a.example", "");
    fresh.putFile("/tmp/vantorelos.swu", swDescription("1.5.0"));
    if (c.setenvFails) fresh.fail("fw_setenv");
    console.clear();
    const bool installs = !c.installs.empty() && !c.setenvFails;
    EXPECT_EQ(under.installUnlessRunning(FirmwareInstaller::Source::Scheduler), installs ? 0 : 1);
    EXPECT_THAT(fresh.installCommands(), ElementsAreArray(c.installs));
    EXPECT_EQ(console.all().find("Error Getting Boot Image\n") != std::string::npos,
              c.installs.empty());
    EXPECT_EQ(controllerFrames(pty), installs ? "0B06 0B07" : "0B06 0B08");
    // A failure keeps the image for a later try, and leaves no update marked as running.
    EXPECT_TRUE(fresh.exists("/tmp/vantorelos.swu"));
    EXPECT_EQ(under.isUpdateInProgress(), installs);
  }
  // A second installation while one counts as running is refused.
  ASSERT_TRUE(installer.beginUpdate());
  EXPECT_EQ(installer.installUnlessRunning(FirmwareInstaller::Source::Scheduler), 1);
  EXPECT_THAT(console.all(), HasSubstr("Update Already In Progress\n"));
}

TEST_F(FirmwareInstallerTest, ConfigAndDataSelectionsRunOverAnyNumberOfExampleFiles) {
  const char* usb = "/tmp/VantorelOS.swu";
  struct Case {
    std::vector<std::string> files;
    std::vector<std::string> selections;
  };
  for (const Case& c : {Case{{}, {}}, Case{{"/config/.x.example", "/data/x.examples"}, {}},
                        Case{{"/config/a.example"}, {"config"}},
                        Case{{"/config/a.example", "/config/b.example", "/data/a.example",
                              "/data/b.example", "/data/c.example"},
                             {"config", "data"}}}) {
    testing::FakeBoard fresh;
    fresh.putFile("/proc/cmdline", "root=/dev/mtdblock3\n");
    fresh.putFile(usb, swDescription("1.5.0"));
    for (const auto& f : c.files) fresh.putFile(f, "");
    // Their failure does not stop the installation.
    fresh.fail("stable,data");
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, state, console});
    EXPECT_EQ(under.installer(FirmwareInstaller::Source::UsbStick, nullptr), 0);
    std::vector<std::string> expected;
    for (const auto& s : c.selections) expected.push_back(selection(s, usb));
    expected.insert(expected.end(), {selection("copy-A", usb), "fw_setenv bootparam A",
                                     selection("K7100", usb), "sleep 3 && reboot &"});
    EXPECT_THAT(fresh.installCommands(), ElementsAreArray(expected)) << c.files.size();
    EXPECT_THAT(fresh.commands(),
                ::testing::IsSupersetOf(
                    {"for f in /config/*.example; do test -e \"$f\" && exit 0; done; exit 1",
                     "for f in /data/*.example; do test -e \"$f\" && exit 0; done; exit 1"}));
  }
}

// The scheduler: 30 minutes between checks, the 10:00 UTC window, an amplifier that is off.
class UpdateSchedulerTest : public FirmwareInstallerTest {
 protected:
  void tick() {
    scheduler.autoUpdateTick();
    scheduler.waitForWorker();
  }
  bool enabled = true;
  UpdateScheduler scheduler{installer, clock, console, [this] { return enabled; }};
};

TEST_F(UpdateSchedulerTest, InstallsOnlyInTheWindowWithTheAmplifierOff) {
  struct Case {
    const char* hour;
    char schedule;
    const char* serverVersion;
    const char* log;
    bool installs;
  };
  for (const Case& c :
       {Case{"10\n", '0', "1.5.0", "Deploying whether you like it, or not.\n", true},
        Case{"10\n", '1', "1.5.0", "I'm really turned on...\n", false},
        Case{"09\n", '0', "1.5.0", "It's not my time...\n", false},
        Case{"", '0', "1.5.0", "It's not my time...\n", false},
        Case{"10\n", '0', "1.4.2", "", false}}) {
    SCOPED_TRACE(c.hour + std::string(1, c.schedule) + c.serverVersion);
    testing::FakeBoard fresh;
    FirmwareInstaller under(InstallerContext{fresh, clock, fresh, link, state, console});
    UpdateScheduler s(under, clock, console, [] { return true; });
    fresh.outputs["date '+%H'"] = c.hour;
    fresh.serve("sw-description-user.template", swDescription(c.serverVersion));
    fresh.serve("vantorelos.swu", swDescription(c.serverVersion));
    state.setSchedule(c.schedule);
    console.clear();
    s.autoUpdateTick();
    s.waitForWorker();
    if (*c.log != '\0') {
      EXPECT_THAT(console.all(), HasSubstr(c.log));
    }
    EXPECT_EQ(!fresh.installCommands().empty(), c.installs);
    EXPECT_EQ(controllerFrames(pty), c.installs ? "0A 0B0C 0B06 0B07" : (*c.log ? "" : "0B0B"));
  }
}

TEST_F(UpdateSchedulerTest, ChecksAtOnceThenEvery1800Seconds) {
  enabled = false;
  tick();
  tick();
  clock.advance(1800);
  tick();
  clock.advance(1);
  tick();
  const std::string log = console.all();
  std::size_t count = 0;
  for (std::size_t at = log.find("Auto Update Not Enabled\n"); at != std::string::npos;
       at = log.find("Auto Update Not Enabled\n", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 2U);

  // Enabled: the check runs on the worker and asks the server.
  enabled = true;
  clock.advance(1801);
  tick();
  EXPECT_THAT(board.commands(), ::testing::Contains(kTemplateWget));
  EXPECT_EQ(controllerFrames(pty), "0B0A");
}

TEST_F(UpdateSchedulerTest, ResetAndManualRequestWaitForARunningUpdate) {
  ASSERT_TRUE(installer.beginUpdate());
  int resets = 0;
  scheduler.whenNoUpdateRuns([&resets] { ++resets; });
  scheduler.manualUpdate();
  EXPECT_THAT(console.all(), HasSubstr("Update Already In Progress\n"));
  enabled = false;
  tick();
  EXPECT_EQ(resets, 0);
  EXPECT_THAT(console.all(), Not(HasSubstr("Auto Update Not Enabled")));
  installer.endUpdate();
  tick();
  EXPECT_EQ(resets, 1);
  EXPECT_THAT(console.all(), HasSubstr("Auto Update Not Enabled"));
  scheduler.whenNoUpdateRuns([&resets] { ++resets; });
  EXPECT_EQ(resets, 2);
  EXPECT_EQ(controllerFrames(pty), "");
}

}  // namespace
}  // namespace vantorellabs
