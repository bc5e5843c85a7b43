// vtl-net's parsing and editing on files in a temporary directory, with every command
// line recorded and answered by the bench.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include "NetToolBench.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::NetToolBench;
using Strings = std::vector<std::string>;

const std::string kUsage = "Usage: vtl-net <action> [param1] [param2] [param3]...\n";

// "a|b" as {"a", "b"}: the table rows below stay on one line each.
Strings args(const std::string& text) {
  Strings parts(1);
  for (char c : text) {
    if (c == '|') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

TEST(NetToolMaskTest, MasksAndPrefixesConvert) {
  const std::vector<std::pair<std::string, int>> masks = {
      {"255.255.255.0", 24},   {"255.255.240.0", 20},
      {"255.0.255.0", 16},     {"0.0.0.0", 0},
      {"255.255.255.255", 32}, {"255.255.255", -1},
      {"256.0.0.0", -1},       {"1.2.3.4.5", -1},
      {"255.255.255.0x", -1},  {"", -1},
      {"-1.0.0.0", -1}};
  for (const auto& [mask, prefix] : masks) EXPECT_EQ(netMaskToPrefix(mask.c_str()), prefix) << mask;
  const std::vector<std::pair<long, std::string>> prefixes = {
      {20, "255.255.240.0"},   {0, "0.0.0.0"},   {32, "255.255.255.255"},
      {25, "255.255.255.128"}, {8, "255.0.0.0"}, {33, "255.255.255.255"},
      {40, "0.0.0.0"},         {-1, "0.0.0.0"}};
  for (const auto& [prefix, mask] : prefixes) {
    char text[16];
    netPrefixToMask(prefix, text);
    EXPECT_EQ(text, mask) << prefix;
  }
}

// Actions that read the configuration or give up early: what they print and return.
TEST(NetToolReadTest, AnswersFromTheFiles) {
  const std::string manual =
      "interface eth0\nstatic ip_address=10.1.2.3/16\nstatic routers=10.1.0.1\n"
      "static domain_name_servers=9.9.9.9\ninterface wlan0\n";
  const std::string head = "interface wlan0\ninterface eth0\nstatic ip_address";
  struct Case {
    std::string file;  // empty: the bench's default
    std::string args;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", "Version", 0, "0.2.11\n"},
      {"", "GetConfig|eth0|type", 0, "Auto"},
      {"", "GetConfig|wlan0|address", 0, "192.168.1.11"},
      {"", "GetConfig|eth0|netmask", 0, "255.255.255.0"},
      {"", "GetConfig|wlan0|gateway", 0, "192.168.1.1"},
      {"", "GetConfig|eth0|dns-addr", 0, "192.168.1.1"},
      {"", "GetStatus|wlan0|dns-type", 0, "Auto"},
      {manual, "GetStatus|eth0|type", 0, "Manual"},
      {manual, "GetConfig|eth0|dns-type", 0, "Manual"},
      {manual, "GetConfig|eth0|netmask", 0, "255.255.0.0"},
      {head + "=10.1.2.3/20", "GetConfig|eth0|netmask", 0, "255.255.240.0"},  // no line end
      {head + "=10.1.2.3/x\n", "GetConfig|eth0|netmask", 0, "0.0.0.0"},
      {head + " 10.1.2.3/8\n", "GetConfig|eth0|address", 1, "Error: false delim1"},
      {head + "=10.1.2.3\n", "GetConfig|eth0|address", 1, "Error: false delim2"},
      {head + " 10.1.2.3\n", "GetConfig|eth0|netmask", 1, "Error: false delim1"},
      {"interface eth0\ninterface wlan0\n", "GetConfig|wlan0|gateway", 1,
       "routers parameter not found in file\n"},
      {"", "GetConfig|eth1|type", 1, "eth1 interface not found in file\n"},
      {"", "GetConfig|eth0|mtu", 1, "Error: invalid config param 'mtu'\n"},
      {"", "GetConfig|eth0", 1, ""},
      {"", "GetStatus|eth1|type", 1, "Error: invalid interface 'eth1'\n"},
      {"", "GetStatus|eth0|speed", 1, "Error: invalid status param 'speed'\n"},
      {"", "GetStatus|eth0", 1, ""},
      {"", "Reset", 1, ""},
      {"", "Reset|eth0;reboot", 1, "Error: invalid interface 'eth0;reboot'\n"},
      {"", "Frobnicate", 1, "Error: invalid action 'Frobnicate'\n"},
      {"", "SetWifi", 1, kUsage},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    if (!c.file.empty()) bench.write(bench.dhcp_, c.file);
    EXPECT_EQ(bench.run(args(c.args)), c.status) << c.args;
    EXPECT_EQ(bench.out, c.out) << c.args;
    EXPECT_TRUE(bench.commands.empty());
  }
  NetToolBench bench;
  EXPECT_EQ(bench.run({}), 1);
  EXPECT_EQ(bench.out, "Error: not enough arguements\n" + kUsage);
}

TEST(NetToolStartTest, RestoresAMissingOrIncompleteConfigurationFirst) {
  NetToolBench bench;
  std::remove(bench.dhcp_.c_str());
  EXPECT_EQ(bench.run({"Version"}), 0);
  EXPECT_EQ(bench.read(bench.dhcp_), NetToolBench::kDefaultDhcp);

  bench.write(bench.dhcp_, "interface eth0\nstatic ip_address=10.0.0.2/8\n");
  EXPECT_EQ(bench.run({"Version"}), 0);
  EXPECT_EQ(bench.out, "0.2.11\n");
  EXPECT_EQ(bench.read(bench.dhcp_), NetToolBench::kDefaultDhcp);
  EXPECT_EQ(bench.fileCount(), 3U) << "no temporary file is left behind";

  // A file that cannot be repaired is reported on the error stream only; the action goes
  // on, and a setting fails on its own.
  const std::string missing = "Error opening file: No such file or directory\n";
  std::remove(bench.dhcpDefault_.c_str());
  bench.write(bench.dhcp_, "interface eth0\n");
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "internet"}), 0);
  EXPECT_EQ(bench.err, missing);
  EXPECT_THAT(bench.commands, ElementsAre("timeout 1 ping -I eth0 -q -c 1 8.8.8.8 > /dev/null"));
  std::remove(bench.dhcp_.c_str());
  EXPECT_EQ(bench.run({"Version"}), 0);
  EXPECT_EQ(bench.out, "0.2.11\n");
  EXPECT_EQ(bench.err, missing);
  EXPECT_EQ(bench.run({"GetConfig", "eth0", "type"}), 1);
  EXPECT_EQ(bench.out, "");
  EXPECT_EQ(bench.err, missing + missing);
}

// A power cut between creating a new file and renaming it leaves it behind: the next
// write of that file removes such leftovers, and nothing else.
TEST(NetToolStartTest, WritesRemoveTheLeftoversOfEarlierWrites) {
  NetToolBench bench;
  for (const char* name : {"dhcpcd.conf.a1B2c3", "dhcpcd.conf.ZZZZZZ", ".dhcpcd.conf.a1B2c3",
                           "dhcpcd.conf.bak", "dhcpcd.conf.a1B2c", "wpa_supplicant.conf.a1B2c3"}) {
    bench.write(bench.dir() + "/" + name, "");
  }
  EXPECT_EQ(bench.run({"GetConfig", "eth0", "type"}), 0);
  EXPECT_EQ(bench.fileCount(), 9U) << "only writes clean up";

  // Another vtl-net writing the file right now holds a lock on its new file.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    const int fd = open((bench.dhcp_ + ".Busy00").c_str(), O_RDWR | O_CREAT, 0600);
    if (fcntl(fd, F_SETLK, &lock) == 0 && write(ready[1], "y", 1) == 1) pause();
    _exit(1);
  }
  close(ready[1]);
  char locked = 0;
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  close(ready[0]);
  EXPECT_EQ(bench.run({"SetConfig", "eth0", "type", "manual"}), 0);
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_FALSE(std::filesystem::exists(bench.dhcp_ + ".a1B2c3"));
  EXPECT_FALSE(std::filesystem::exists(bench.dhcp_ + ".ZZZZZZ"));
  EXPECT_EQ(bench.fileCount(), 8U) << "the busy file and the other names stay";
}

// SetConfig: the lines it changes, or its message and an untouched file.
TEST(NetToolEditTest, EditsTheFirstKeyLineAfterTheInterface) {
  const std::string twoBlocks =
      "interface eth0\nstatic ip_address=192.168.1.10/16\nstatic routers=192.168.1.1\n"
      "interface wlan0\nstatic ip_address=10.0.0.9/24\nstatic routers=10.0.0.1\n"
      "static domain_name_servers=10.0.0.1\n";
  struct Case {
    std::string file;  // empty: twoBlocks
    std::string args;  // after "SetConfig"
    int status;
    std::string out;
    std::vector<std::pair<std::string, std::string>> edits;  // none: the file is unchanged
  };
  const std::string tooLong(112, '1');  // one byte past a line's 127
  const std::string d = NetToolBench::kDefaultDhcp;
  const std::string dns = "static domain_name_servers=1.1.1.1 9.9.9.9";
  const std::vector<Case> cases = {
      {"", "eth0|netmask|255.255.255.0", 0, "", {{"10/16", "10/24"}}},
      {"", "wlan0|address|10.0.0.5", 0, "", {{"=10.0.0.9/", "=10.0.0.5/"}}},
      {"",
       "wlan0|type|auto",
       0,
       "",
       {{"\nstatic ip_address=10", "\n#static ip_address=10"},
        {"\nstatic routers=10", "\n#static routers=10"}}},
      // The search reaches past the block: eth0 has no DNS line, so wlan0's is edited.
      {"", "eth0|dns-addr|1.1.1.1", 0, "", {{"servers=10.0.0.1", "servers=1.1.1.1"}}},
      {d,
       "eth0|type|manual",
       0,
       "",
       {{"#static ip_address=192.168.1.10", "static ip_address=192.168.1.10"},
        {"#static routers=192.168.1.1\n#", "static routers=192.168.1.1\n#"}}},
      {"#interface eth0\n# static ip_address=1.2.3.4/8\nwlan0\n#static routers=1\n",
       "eth0|type|manual",
       0,
       "",
       {{"#interface", "interface"}, {"# static", "static"}, {"#static", "static"}}},
      {d,
       "eth0|dns-type|manual",
       0,
       "",
       {{"#static domain_name_servers=192.168.1.1\n", "static domain_name_servers=192.168.1.1\n"}}},
      // Only the "#" changes: every DNS server stays, and so does a line without its end.
      {"interface eth0\n" + dns + "\nwlan0", "eth0|dns-type|auto", 0, "", {{"static", "#static"}}},
      {"interface eth0\n# \t" + dns + " #\nwlan0\n",
       "eth0|dns-type|manual",
       0,
       "",
       {{"# \ts", "s"}}},
      {"interface eth0\nwlan0\n" + dns, "eth0|dns-type|auto", 0, "", {{"static", "#static"}}},
      {"", "eth0|type|automatic", 1, "Error: invalid type", {}},
      {"", "eth0|address", 1, "Error: no value specified", {}},
      {"", "eth0|address|", 1, "Error: no value specified", {}},
      {"", "eth0|mtu|1500", 1, "Error: invalid config param 'mtu'\n", {}},
      {"", "eth0", 1, "", {}},
      {"", "eth0|gateway|1.1.1.1\nstatic routers=6.6.6.6", 1, "Error: invalid value", {}},
      {"", "eth0|dns-addr|1.1.1.1\x1b", 1, "Error: invalid value", {}},
      {"", "eth0|netmask|255.255.0", 1, "Error: invalid value", {}},
      {"", "eth0|gateway|" + tooLong, 1, "Error: argument too long", {}},
      {"", "eth0|gateway|" + std::string(300, '1'), 1, "Error: argument too long", {}},
      {"interface eth0\nstatic ip_address 1\nwlan0\n",
       "eth0|address|1",
       1,
       "Error: false delim1",
       {}},
      {"interface eth0\nstatic ip_address=1\nwlan0\n",
       "eth0|address|1",
       1,
       "Error: false delim2",
       {}},
      {"wlan0\ninterface eth0\nstatic routers=1", "eth0|gateway|1", 1, "Error: false delim2", {}},
      {"interface eth0\nstatic ip_address=1/8\nwlan0\n",
       "wlan0|type|auto",
       1,
       "ip_address parameter not found in file\n",
       {}},
      {"", "eth1|gateway|1.2.3.4", 1, "eth1 interface not found in file\n", {}},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    const std::string before = c.file.empty() ? twoBlocks : c.file;
    bench.write(bench.dhcp_, before);
    Strings a = args(c.args);
    a.insert(a.begin(), "SetConfig");
    EXPECT_EQ(bench.run(a), c.status) << c.args;
    EXPECT_EQ(bench.out, c.out) << c.args;
    std::string after = before;
    for (const auto& [from, to] : c.edits) {
      const auto at = after.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      after.replace(at, from.size(), to);
    }
    EXPECT_EQ(bench.read(bench.dhcp_), after) << c.args;
    EXPECT_EQ(bench.fileCount(), 3U) << "no temporary file is left behind";
    EXPECT_TRUE(bench.commands.empty()) << "nothing is copied with cp";
  }
}

int failingSync(int /*fd*/) {
  errno = EIO;
  return -1;
}

// A write whose sync fails leaves the live file as it was and no new file behind.
TEST(NetToolEditTest, AFailedWriteLeavesTheFileAsItWas) {
  NetToolBench bench;
  bench.fileCalls().fsync = failingSync;
  EXPECT_EQ(bench.run({"SetConfig", "eth0", "type", "manual"}), 1);
  EXPECT_EQ(bench.err, "Error writing to file: Input/output error\n");
  EXPECT_EQ(bench.read(bench.dhcp_), NetToolBench::kDefaultDhcp);
  EXPECT_EQ(bench.fileCount(), 3U);
}

// Status questions: the exact command lines, what is printed and the exit status.
TEST(NetToolStatusTest, AsksTheBoardsTools) {
  const std::string r = "route -n | grep eth0";
  const std::string i = "timeout 1 ping -I eth0 -q -c 1 8.8.8.8 > /dev/null";
  const std::string g = "timeout 1 ping -I eth0 -q -c 1 192.168.1.1 > /dev/null";
  const std::string a = "arp | grep eth0 | grep 192.168.1.1 > /dev/null";
  const std::string routes =
      "192.168.1.0     0.0.0.0         255.255.255.0   U     0      0        0 eth0\n"
      "0.0.0.0         192.168.1.1     0.0.0.0         UG    0      0        0 eth0\n";
  const std::string injected = "0.0.0.0 1.1.1.1;reboot 0.0.0.0 UG 0 0 0 eth0\n";
  const std::string ifconfig =
      "eth0      Link encap:Ethernet  HWaddr 02:00:00:12:34:56  \n"
      "          inet addr:192.168.1.20  Bcast:192.168.1.255  Mask:255.255.255.0\n";
  const int fails = NetToolBench::kPipeFails;
  struct Case {
    std::string output;  // of the route query and ifconfig
    Strings failing;     // commands that exit 1
    std::string args;
    int status;
    std::string out;
    Strings commands;
  };
  const std::vector<Case> cases = {
      {routes, {}, "eth0|connected", 0, "", {r, i}},
      {routes, {i}, "eth0|connected", 0, "", {r, i, g, a}},
      {routes, {i, g}, "eth0|connected", 1, "", {r, i, g}},
      {routes, {i, a}, "eth0|connected", 1, "", {r, i, g, a}},
      {"", {}, "eth0|connected", 1, "", {r}},
      {injected, {}, "eth0|connected", 1, "", {r}},
      {"", {i}, "eth0|internet", 1, "", {i}},
      {routes, {}, "eth0|gateway", 0, "192.168.1.1", {r}},
      {ifconfig, {}, "eth0|address", 0, "192.168.1.20", {"ifconfig eth0"}},
      {ifconfig, {}, "eth0|netmask", 0, "255.255.255.0", {"ifconfig eth0"}},
      {"eth0      Link encap:Ethernet\n", {}, "eth0|address", 1, "", {"ifconfig eth0"}},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    bench.answers[r] = bench.answers["ifconfig eth0"] = {0, c.output};
    for (const auto& f : c.failing) bench.answers[f] = {1, ""};
    Strings all = args(c.args);
    all.insert(all.begin(), "GetStatus");
    EXPECT_EQ(bench.run(all), c.status) << c.args;
    EXPECT_EQ(bench.out, c.out) << c.args;
    EXPECT_THAT(bench.commands, ElementsAreArray(c.commands)) << c.args;
  }

  NetToolBench bench;
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "dns-addr"}), 1);
  EXPECT_EQ(bench.err, "Error opening file: No such file or directory\n");
  bench.write(bench.resolv_, "search lan\n");
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "dns-addr"}), 1);
  EXPECT_EQ(bench.out, "Pattern not found in file");
  bench.write(bench.resolv_, "# dhcpcd\nnameserver 192.168.1.1\nnameserver 8.8.8.8\n");
  EXPECT_EQ(bench.run({"GetStatus", "wlan0", "dns-addr"}), 0);
  EXPECT_EQ(bench.out, "192.168.1.1");
  bench.answers[r] = {fails, ""};
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "gateway"}), 1);
  EXPECT_EQ(bench.err, "Error opening process: Too many open files\n");

  EXPECT_EQ(bench.run({"Reset", "wlan0"}), 0);
  EXPECT_THAT(bench.commands, ElementsAre("ifconfig wlan0 down", "ifconfig wlan0 up"));
  EXPECT_THAT(bench.sleeps, ElementsAre(20U, 2000U));

  bench.answers["iwconfig wlan0"] = {0, "wlan0     IEEE 802.11  ESSID:\"Home Net\"  \n  Mode\n"};
  EXPECT_EQ(bench.run({"GetWifi"}), 0);
  EXPECT_EQ(bench.out, "Home Net");
  bench.answers["iwconfig wlan0"] = {0, "wlan0     IEEE 802.11  ESSID:off/any  \n"};
  EXPECT_EQ(bench.run({"GetWifi"}), 1);
  EXPECT_EQ(bench.out, "");
  bench.answers["iwconfig wlan0"] = {fails, ""};
  EXPECT_EQ(bench.run({"GetWifi"}), 1);
  EXPECT_EQ(bench.err, "Error opening iwconfig: Too many open files\n");
}

// SetWifi: the supplicant file it writes, and how it waits for the network.
TEST(NetToolWifiTest, WritesTheNetworkAndWaitsForIt) {
  const std::string head = "ctrl_interface=/tmp/wpa_supplicant\nupdate_config=0\nnetwork={\n";
  const std::string open = "    key_mgmt=NONE\n}\n";
  const std::string hexPsk(64, 'a');
  const std::string x32(32, 'x');
  const std::string t63(63, '~');
  const auto psk = [&](const std::string& passphrase) {
    return head + "    ssid=\"HomeNet\"\n    psk=\"" + passphrase + "\"\n}\n";
  };
  struct Case {
    Strings args;
    int status;
    std::string out;
    std::string file;  // empty: not written
  };
  const std::vector<Case> cases = {
      {{"HomeNet", "secret123"},
       0,
       "i = 0\n",
       head + "    ssid=\"HomeNet\"\n    psk=\"secret123\"\n}\n"},
      {{"Cafe Libre"}, 0, "i = 0\n", head + "    ssid=\"Cafe Libre\"\n" + open},
      {{"Caf\xC3\xA9", hexPsk},
       0,
       "i = 0\n",
       head + "    ssid=436166c3a9\n    psk=" + hexPsk + "\n}\n"},
      {{"a\"b\\c\nd"}, 0, "i = 0\n", head + "    ssid=6122625c630a64\n" + open},
      {{x32, t63}, 0, "i = 0\n", head + "    ssid=\"" + x32 + "\"\n    psk=\"" + t63 + "\"\n}\n"},
      {{""}, 1, "Error: invalid ssid", ""},
      {{std::string(33, 'x')}, 1, "Error: invalid ssid", ""},
      // Any printable ASCII, quotes and backslashes too: the supplicant reads a quoted
      // passphrase up to the last quote of its line.
      {{"HomeNet", "\"pa\"ss\\word"}, 0, "i = 0\n", psk("\"pa\"ss\\word")},
      {{"HomeNet", " !#$%&'("}, 0, "i = 0\n", psk(" !#$%&'(")},
      {{"HomeNet", "tab\x1Fword"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", "del\x7Fword"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", "caf\xC3\xA9word"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", hexPsk + "a"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", "short12"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", "line\nend\nnetwork={"}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", std::string(64, 'g')}, 1, "Error: invalid passphrase", ""},
      {{"HomeNet", ""}, 1, "Error: invalid passphrase", ""},
  };
  const std::string reconfigure = "wpa_cli -p /tmp/wpa_supplicant/ reconfigure";
  const std::string wlanRoute = "route -n | grep wlan0";
  for (const auto& c : cases) {
    NetToolBench bench;
    // The supplicant joins whatever network its file names once it is told to reread it.
    bench.onCommand = [&](const std::string& command) {
      if (command != reconfigure) return;
      bench.answers["iwconfig wlan0"] = {0, "wlan0  IEEE 802.11  ESSID:\"" + c.args[0] + "\"\n"};
      bench.answers[wlanRoute] = {0, "0.0.0.0 10.0.0.1 0.0.0.0 UG 0 0 0 wlan0\n"};
    };
    Strings a = c.args;
    a.insert(a.begin(), "SetWifi");
    EXPECT_EQ(bench.run(a), c.status) << c.args[0];
    EXPECT_EQ(bench.out, c.out) << c.args[0];
    if (c.file.empty()) {
      EXPECT_FALSE(std::filesystem::exists(bench.wpa_)) << c.args[0];
      EXPECT_TRUE(bench.commands.empty());
    } else {
      EXPECT_EQ(bench.read(bench.wpa_), c.file) << c.args[0];
      EXPECT_EQ(std::filesystem::status(bench.wpa_).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
      EXPECT_EQ(bench.commands.at(1), reconfigure);
    }
  }

  // Already on that network: nothing is written.
  NetToolBench joined;
  joined.answers["iwconfig wlan0"] = {0, "wlan0  IEEE 802.11  ESSID:\"HomeNet\"\n"};
  joined.answers[wlanRoute] = {0, "0.0.0.0 10.0.0.1 0.0.0.0 UG 0 0 0 wlan0\n"};
  EXPECT_EQ(joined.run({"SetWifi", "HomeNet", "secret123"}), 0);
  EXPECT_THAT(joined.commands, ElementsAre("iwconfig wlan0", wlanRoute,
                                           "timeout 1 ping -I wlan0 -q -c 1 8.8.8.8 > /dev/null"));
  EXPECT_FALSE(std::filesystem::exists(joined.wpa_));

  // A network that never comes up: 30 tries a second apart, then the factory file again.
  NetToolBench never;
  EXPECT_EQ(never.run({"SetWifi", "Elsewhere", "secret123"}), 1);
  std::string tries;
  for (int i = 0; i < 30; ++i) tries += "i = " + std::to_string(i) + "\n";
  EXPECT_EQ(never.out, tries);
  EXPECT_EQ(never.sleeps, std::vector<unsigned>(30, 1000U));
  EXPECT_EQ(never.read(never.wpa_), never.read(never.wpaDefault_));
  EXPECT_EQ(std::count(never.commands.begin(), never.commands.end(), reconfigure), 2);
  EXPECT_EQ(never.commands.back(), reconfigure);
  EXPECT_EQ(never.fileCount(), 4U) << "no temporary file is left behind";
}

}  // namespace
}  // namespace vantorellabs
