#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "Fakes.h"
#include "TempDir.h"
#include "discovery/Discovery.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeShell;
using testing::RecordingConsole;
using testing::TempDir;

const std::string kReload = "/etc/init.d/S50avahi-daemon reload";
const std::string kLive = "/config/vantorel-link-grpc.service";
const std::string kTemplate = "/opt/vtl/sys/vantorel-link-grpc.service";
const std::string kRestore = "replace " + kLive;

std::string sed(const std::string& pattern, const std::string& replacement) {
  return "sed -i 's|" + pattern + "|" + replacement + "|' " + kLive;
}
std::string serviceName(const std::string& instance) {
  return sed("<name>[^<]*</name>", "<name>Vantorel " + instance + "</name>");
}
std::string record(const std::string& key, const std::string& value) {
  return sed("<txt-record>" + key + "=[^<]*</txt-record>",
             "<txt-record>" + key + "=" + value + "</txt-record>");
}
std::string without(std::string text, const std::string& part) {
  return text.erase(text.find(part), part.size());
}

class DiscoveryTest : public ::testing::Test {
 protected:
  // A fresh discovery for this model and serial number, with or without a name file and a
  // live service file; the file system's writes and syncs go to the shell's command list.
  Discovery& with(int model, const std::string& serial, const char* storedName = nullptr,
                  std::optional<std::string> live = testing::kServiceFileText) {
    shell.commands.clear();
    std::filesystem::remove(dir.file("name"));
    if (storedName != nullptr) dir.write("name", storedName);
    files.files = {{kTemplate, testing::kServiceFileText}};
    if (live) files.files[kLive] = *live;
    files.journal = &shell.commands;
    state = std::make_unique<DeviceState>(model, "1.0.0");
    state->setSerialNumber(serial);
    discovery = std::make_unique<Discovery>(shell, *state, console, files, dir.file("name"));
    return *discovery;
  }

  TempDir dir;
  FakeShell shell;
  RecordingConsole console;
  testing::MemoryFileSystem files;
  std::unique_ptr<DeviceState> state;
  std::unique_ptr<Discovery> discovery;
};

TEST_F(DiscoveryTest, RefreshRewritesTheFourElementsAndReloads) {
  const std::string intact = testing::kServiceFileText;
  const std::vector<std::string> edits = {serviceName("K7100-1234567"),
                                          record("name", "K7100-1234567"),
                                          record("model", "2"),
                                          record("serial", "1234567"),
                                          "sync " + kLive,
                                          "sync /config",
                                          kReload};
  // A live file torn by a power cut is copied from the template again first.
  const std::tuple<const char*, std::optional<std::string>, bool> cases[] = {
      {"missing", std::nullopt, true},
      {"empty", "", true},
      {"cut short", intact.substr(0, intact.find("</service>")), true},
      {"without the serial record", without(intact, "<txt-record>serial=</txt-record>"), true},
      {"intact", intact, false},
      {"without a service name, edited as it stands", without(intact, "<name>Vantorel</name>"),
       false},
  };
  for (const auto& [what, live, restored] : cases) {
    SCOPED_TRACE(what);
    with(1, "1234567", nullptr, live).refreshDiscoveryRecord();
    std::vector<std::string> expected = edits;
    if (restored) expected.insert(expected.begin(), kRestore);
    EXPECT_EQ(shell.commands, expected);
    EXPECT_EQ(files.files[kLive], restored ? intact : *live);
  }
  // Before the serial number nothing at all happens; an unknown model only restores.
  with(0, DeviceState::kUnknownSerialNumber, "Den", std::nullopt).refreshDiscoveryRecord();
  EXPECT_EQ(shell.commands, std::vector<std::string>{});
  with(5, "1234567", "Den", "").refreshDiscoveryRecord();
  EXPECT_EQ(shell.commands, std::vector<std::string>{kRestore});
  EXPECT_EQ(console.all(), "");
}

TEST_F(DiscoveryTest, FailedEditsAreReported) {
  with(0, "1234567");
  shell.statuses[serviceName("K40-1234567")] = 1;
  discovery->refreshDiscoveryRecord();
  EXPECT_EQ(shell.commands.size(), 1U) << "a failed service name ends the refresh";
  EXPECT_EQ(console.all(), "Write Avahi Service Name Failed\n");

  shell.statuses = {{record("name", "K40-1234567"), 1},
                    {record("model", "1"), 1},
                    {record("serial", "1234567"), 4}};
  console.clear();
  with(0, "1234567").refreshDiscoveryRecord();
  EXPECT_EQ(shell.commands.back(), kReload);
  EXPECT_EQ(console.all(),
            "Write Avahi Name Failed\nWrite Avahi Model Failed\nWrite Avahi Serial Failed\n");
  EXPECT_EQ(discovery->setTxtRecord("serial", "1234567"), 4);

  console.clear();
  shell.statuses.clear();
  with(0, "1234567", nullptr, "");
  files.failing.insert(kLive);
  discovery->refreshDiscoveryRecord();
  EXPECT_EQ(console.all(), "Copy Avahi Service Template Failed\n");
}

TEST_F(DiscoveryTest, NamesAreEscapedForXmlThenSedThenTheShellAndCutWhole) {
  const std::string wide = "\xC3\xA9";  // é, two bytes
  std::string longWide;
  for (int i = 0; i < 40; ++i) longWide += wide;
  const std::pair<std::string, std::string> cases[] = {
      {"a<b>&c'd\"e|f\\g$(reboot)`x`",
       "a\\&lt;b\\&gt;\\&amp;c\\&apos;d\\&quot;e\\|f\\\\g$(reboot)`x`"},
      // Control bytes are left out; a byte that is not UTF-8 becomes U+FFFD.
      {"two\nlines\r\t\x7F\xFF", "twolines\xEF\xBF\xBD"},
      // So are the two characters that XML 1.0 does not allow beyond them.
      {"Den \xEF\xBF\xBF\xEF\xBF\xBE!", "Den !"},
      // Cut to 63 bytes before escaping, never inside a character.
      {std::string(60, 'x') + "&&&&", std::string(60, 'x') + "\\&amp;\\&amp;\\&amp;"},
      {longWide, longWide.substr(0, 62)},
  };
  for (const auto& [name, published] : cases) {
    SCOPED_TRACE(name);
    with(0, "1234567", name.c_str()).refreshDiscoveryRecord();
    ASSERT_EQ(shell.commands.size(), 7U);
    EXPECT_EQ(shell.commands[1], record("name", published));
  }
  // The controller's serial number is outside text too.
  with(0, "1\uFFFF2\t3").refreshDiscoveryRecord();
  EXPECT_THAT(shell.commands,
              ::testing::IsSupersetOf({serviceName("K40-123"), record("serial", "123")}));
}

TEST_F(DiscoveryTest, SddpRestartsWithTheModelsConfiguration) {
  const std::string start = "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/";
  const std::tuple<int, std::string, std::string> cases[] = {
      {0, "1234567", "K40.conf -i K40-1234567"},
      {1, "7654321", "K7100.conf -i K7100-7654321"},
      {9, "1234567", ".conf -i -1234567"},
      {0, DeviceState::kUnknownSerialNumber, "K40.conf -i 'K40-#######'"},
      {0, "1'$(x)`", "K40.conf -i 'K40-1'\\''$(x)`'"},
  };
  for (const auto& [model, serial, tail] : cases) {
    SCOPED_TRACE(serial);
    with(model, serial).restartSddpDaemon();
    EXPECT_THAT(shell.commands, ElementsAre("killall vtl-sddp", start + tail));
  }
}

// Records from any thread and takes a moment per command, as a real shell does, so that
// an unserialised refresh would let the other thread in between.
class ThreadedShell : public FakeShell {
 public:
  int run(const std::string& command) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      commands.push_back(command);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    return 0;
  }
  std::mutex mutex;
};

TEST_F(DiscoveryTest, RefreshesNeverInterleave) {
  ThreadedShell threaded;
  DeviceState k40(0, "1.0.0");
  k40.setSerialNumber("1234567");
  files.files = {{kLive, testing::kServiceFileText}};
  Discovery shared(threaded, k40, console, files, dir.file("name"));
  auto refresh = [&] {
    for (int i = 0; i < 200; ++i) shared.refreshDiscoveryRecord();
  };
  std::thread other(refresh);
  refresh();
  other.join();
  const std::vector<std::string> block = {serviceName("K40-1234567"), record("name", "K40-1234567"),
                                          record("model", "1"), record("serial", "1234567"),
                                          kReload};
  ASSERT_EQ(threaded.commands.size(), 2000U);
  for (std::size_t i = 0; i < threaded.commands.size(); ++i) {
    ASSERT_EQ(threaded.commands[i], block[i % block.size()]) << i;
  }
}

}  // namespace
}  // namespace vantorellabs
