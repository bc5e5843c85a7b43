#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>

#include "Fakes.h"
#include "TempDir.h"
#include "discovery/Discovery.h"
#include "sys/TextEscape.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeShell;
using testing::RecordingConsole;
using testing::TempDir;

const std::string kLive = " /config/vantorel-link-grpc.service";
const std::string kReload = "/etc/init.d/S50avahi-daemon reload";
const std::string kCopy = "cp /opt/vtl/sys/vantorel-link-grpc.service /config";

std::string sedCommand(const std::string& pattern, const std::string& replacement) {
  return "sed -i 's|" + pattern + "|" + replacement + "|'" + kLive;
}
std::string nameElement(const std::string& instance) {
  return sedCommand("<name>[^<]*</name>", "<name>Vantorel " + instance + "</name>");
}
std::string record(const std::string& key, const std::string& value) {
  return sedCommand("<txt-record>" + key + "=[^<]*</txt-record>",
                    "<txt-record>" + key + "=" + value + "</txt-record>");
}

// What the shell, then sed, then an XML reader make of the name record's command: the
// published value, or nothing when the command is not one sed call on the live file
// with one single literal expression.
std::optional<std::string> publishedName(const std::string& command) {
  const std::string prefix = "sed -i ";
  if (command.rfind(prefix, 0) != 0 || command.size() < prefix.size() + kLive.size() ||
      command.compare(command.size() - kLive.size(), kLive.size(), kLive) != 0) {
    return std::nullopt;
  }
  const std::string word =
      command.substr(prefix.size(), command.size() - prefix.size() - kLive.size());
  std::string expression;  // the shell word without its quoting
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '\\' && i + 1 < word.size()) {
      expression += word[++i];
    } else if (word[i] == '\'') {
      const std::size_t end = word.find('\'', i + 1);
      if (end == std::string::npos) return std::nullopt;
      expression += word.substr(i + 1, end - i - 1);
      i = end;
    } else {
      return std::nullopt;  // unquoted: the shell would interpret it
    }
  }
  const std::string head = "s|<txt-record>name=[^<]*</txt-record>|";
  if (expression.rfind(head, 0) != 0) return std::nullopt;
  std::string replacement;
  std::size_t i = head.size();
  for (; i < expression.size() && expression[i] != '|'; ++i) {
    if (expression[i] == '\\') ++i;
    if (i < expression.size()) replacement += expression[i];
  }
  if (i + 1 != expression.size()) return std::nullopt;  // text after the closing delimiter
  const std::string open = "<txt-record>name=";
  const std::string close = "</txt-record>";
  if (replacement.rfind(open, 0) != 0 ||
      replacement.compare(replacement.size() - close.size(), close.size(), close) != 0) {
    return std::nullopt;
  }
  const std::string xml =
      replacement.substr(open.size(), replacement.size() - open.size() - close.size());
  std::string text;
  for (std::size_t at = 0; at < xml.size(); ++at) {
    if (xml[at] == '<' || xml[at] == '>') return std::nullopt;
    if (xml[at] != '&') {
      text += xml[at];
      continue;
    }
    const std::size_t end = xml.find(';', at);
    if (end == std::string::npos) return std::nullopt;
    const std::string entity = xml.substr(at, end - at + 1);
    if (entity == "&amp;")
      text += '&';
    else if (entity == "&lt;")
      text += '<';
    else if (entity == "&gt;")
      text += '>';
    else if (entity == "&quot;")
      text += '"';
    else if (entity == "&apos;")
      text += '\'';
    else
      return std::nullopt;
    at = end;
  }
  return text;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void useModel(int model, const std::string& serial) {
    state = std::make_unique<DeviceState>(model, "1.0.0");
    if (serial != DeviceState::kUnknownSerialNumber) state->setSerialNumber(serial);
    discovery = std::make_unique<Discovery>(
        shell, *state, console, dir.file("vtl_name.txt"),
        [this](const std::string& path) { return path == kLive.substr(1) && liveFileExists; });
  }

  TempDir dir;
  FakeShell shell;
  RecordingConsole console;
  bool liveFileExists = true;
  std::unique_ptr<DeviceState> state;
  std::unique_ptr<Discovery> discovery;
};

TEST_F(DiscoveryTest, RefreshRewritesTheFourElementsAndReloads) {
  struct Case {
    int model;
    bool liveFileExists;
    const char* storedName;  // nullptr: no name file
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {DeviceState::kModelK7100,
       false,
       nullptr,
       {kCopy, nameElement("K7100-1234567"), record("name", "K7100-1234567"), record("model", "2"),
        record("serial", "1234567"), kReload}},
      {DeviceState::kModelK40,
       true,
       "Living Room",
       {nameElement("K40-1234567"), record("name", "Living Room"), record("model", "1"),
        record("serial", "1234567"), kReload}},
      // An unknown model ends the refresh after the template is in place.
      {5, false, "Den", {kCopy}},
      {5, true, "Den", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    shell.commands.clear();
    std::filesystem::remove(dir.file("vtl_name.txt"));
    if (c.storedName != nullptr) dir.write("vtl_name.txt", c.storedName);
    liveFileExists = c.liveFileExists;
    useModel(c.model, "1234567");
    discovery->refreshDiscoveryRecord();
    EXPECT_THAT(shell.commands, ElementsAreArray(c.commands));
  }
  EXPECT_EQ(console.all(), "");
}

TEST_F(DiscoveryTest, NothingHappensBeforeTheSerialNumberIsKnown) {
  liveFileExists = false;
  useModel(DeviceState::kModelK40, DeviceState::kUnknownSerialNumber);
  discovery->refreshDiscoveryRecord();
  EXPECT_TRUE(shell.commands.empty());
}

TEST_F(DiscoveryTest, FailedEditsAreReported) {
  useModel(DeviceState::kModelK40, "1234567");
  const std::string name = nameElement("K40-1234567");
  // The service name failing ends the refresh; a record failing does not.
  shell.statuses[name] = 1;
  discovery->refreshDiscoveryRecord();
  EXPECT_THAT(shell.commands, ElementsAre(name));
  EXPECT_EQ(console.all(), "Write Avahi Service Name Failed\n");

  shell.statuses.clear();
  shell.commands.clear();
  console.clear();
  for (const char* key : {"name", "model", "serial"}) {
    shell.statuses[record(key, key == std::string("model")  ? "1"
                               : key == std::string("name") ? "K40-1234567"
                                                            : "1234567")] = 4;
  }
  discovery->refreshDiscoveryRecord();
  EXPECT_EQ(shell.commands.size(), 5U);
  EXPECT_EQ(shell.commands.back(), kReload);
  EXPECT_EQ(console.all(),
            "Write Avahi Name Failed\nWrite Avahi Model Failed\nWrite Avahi Serial Failed\n");
  EXPECT_EQ(discovery->setTxtRecord("model", "1"), 4);
}

TEST_F(DiscoveryTest, HostileNamesReachTheFileAsTheirText) {
  useModel(DeviceState::kModelK40, "1234567");
  const std::string longAscii(70, 'x');
  std::string longWide;
  for (int i = 0; i < 40; ++i) longWide += "\xC3\xA9";  // é, two bytes each
  struct Case {
    std::string name;
    std::string published;
  };
  const Case cases[] = {
      {"Tom & Jerry's <Den>", "Tom & Jerry's <Den>"},
      {"a|b\\c\"d$(reboot)`reboot`", "a|b\\c\"d$(reboot)`reboot`"},
      {"it's \\1 & \\n", "it's \\1 & \\n"},
      {"line\nbreak\r\ttab\x7F", "linebreaktab"},
      {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
      {longAscii, longAscii.substr(0, 63)},
      // 63 bytes would split a character: the cut falls before it.
      {longWide, longWide.substr(0, 62)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir.write("vtl_name.txt", c.name);
    shell.commands.clear();
    discovery->refreshDiscoveryRecord();
    ASSERT_EQ(shell.commands.size(), 5U);
    EXPECT_EQ(publishedName(shell.commands[1]), c.published) << shell.commands[1];
    EXPECT_EQ(shell.commands[4], kReload);
  }
  EXPECT_EQ(
      record("name", "a\\&lt;b\\&gt;\\&amp;c\\&apos;d\\&quot;e\\|f\\\\g$h`x"),
      sedReplaceCommand("<txt-record>name=[^<]*</txt-record>",
                        "<txt-record>name=" + xmlEscape("a<b>&c'd\"e|f\\g$h`x") + "</txt-record>",
                        kLive.substr(1)));
}

TEST_F(DiscoveryTest, SddpRestartsWithTheModelsConfiguration) {
  struct Case {
    int model;
    std::string serial;
    std::string start;
  };
  const Case cases[] = {
      {0, "1234567", "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K40.conf -i K40-1234567"},
      {1, "7654321", "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K7100.conf -i K7100-7654321"},
      {9, "1234567", "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/.conf -i -1234567"},
      {0, DeviceState::kUnknownSerialNumber,
       "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K40.conf -i 'K40-#######'"},
      {0, "1'$(x)`", "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K40.conf -i 'K40-1'\\''$(x)`'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    shell.commands.clear();
    useModel(c.model, c.serial);
    discovery->restartSddpDaemon();
    EXPECT_THAT(shell.commands, ElementsAre("killall vtl-sddp", c.start));
  }
}

// Records from any thread and lets the other thread run between two commands, as a
// slow shell would.
class ThreadedShell : public Shell {
 public:
  int run(const std::string& command) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      commands.push_back(command);
    }
    std::this_thread::yield();
    return 0;
  }
  std::optional<std::string> capture(const std::string& command) override {
    run(command);
    return std::string();
  }
  std::mutex mutex;
  std::vector<std::string> commands;
};

TEST_F(DiscoveryTest, RefreshesNeverInterleave) {
  ThreadedShell threaded;
  DeviceState k40(DeviceState::kModelK40, "1.0.0");
  k40.setSerialNumber("1234567");
  Discovery shared(threaded, k40, console, dir.file("vtl_name.txt"),
                   [](const std::string&) { return true; });
  constexpr int kRounds = 200;
  auto refresh = [&] {
    for (int i = 0; i < kRounds; ++i) shared.refreshDiscoveryRecord();
  };
  std::thread other(refresh);
  refresh();
  other.join();
  ASSERT_EQ(threaded.commands.size(), 2U * kRounds * 5U);
  for (std::size_t i = 0; i < threaded.commands.size(); ++i) {
    ASSERT_EQ(threaded.commands[i].rfind(i % 5 == 4 ? "/etc/init.d" : "sed -i", 0), 0U) << i;
    if (i % 5 == 0) {
      ASSERT_EQ(threaded.commands[i], nameElement("K40-1234567")) << i;
    }
  }
}

}  // namespace
}  // namespace vantorellabs
