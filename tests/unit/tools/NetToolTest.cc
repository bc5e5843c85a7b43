// vtl-net's parsing and editing on files in a temporary directory, with every command
// line recorded and answered by the bench.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NetToolBench.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::NetToolBench;
using Strings = std::vector<std::string>;

const std::string kRoute = "route -n | grep eth0";
const std::string kRouteLine =
    "0.0.0.0         192.168.1.1     0.0.0.0         UG    0      0        0 eth0\n";
const std::string kInternet = "timeout 1 ping -I eth0 -q -c 1 8.8.8.8 > /dev/null";
const std::string kPingGateway = "timeout 1 ping -I eth0 -q -c 1 192.168.1.1 > /dev/null";
const std::string kArp = "arp | grep eth0 | grep 192.168.1.1 > /dev/null";
const std::string kIfconfig =
    "eth0      Link encap:Ethernet  HWaddr 02:00:00:12:34:56  \n"
    "          inet addr:192.168.1.20  Bcast:192.168.1.255  Mask:255.255.255.0\n"
    "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n";

TEST(NetToolMaskTest, MasksAndPrefixesConvert) {
  const std::vector<std::pair<std::string, int>> masks = {{"255.255.255.0", 24},
                                                          {"255.255.240.0", 20},
                                                          {"255.0.255.0", 16},
                                                          {"0.0.0.0", 0},
                                                          {"255.255.255.255", 32},
                                                          {"255.255.255.254", 31},
                                                          {"255.255.255", -1},
                                                          {"256.0.0.0", -1},
                                                          {"255.255.255.0x", -1},
                                                          {"1.2.3.4.5", -1},
                                                          {"", -1},
                                                          {"-1.0.0.0", -1}};
  for (const auto& [mask, prefix] : masks) EXPECT_EQ(netMaskToPrefix(mask.c_str()), prefix) << mask;
  const std::vector<std::pair<long, std::string>> prefixes = {
      {20, "255.255.240.0"},   {0, "0.0.0.0"},       {32, "255.255.255.255"}, {24, "255.255.255.0"},
      {25, "255.255.255.128"}, {8, "255.0.0.0"},     {33, "255.255.255.255"}, {40, "0.0.0.0"},
      {-1, "0.0.0.0"},         {1L << 40, "0.0.0.0"}};
  for (const auto& [prefix, mask] : prefixes) {
    char text[16];
    netPrefixToMask(prefix, text);
    EXPECT_EQ(text, mask) << prefix;
  }
}

// Actions that read the configuration or give up early: what they print and return.
TEST(NetToolReadTest, AnswersFromTheFiles) {
  const std::string manualEth =
      "interface eth0\nstatic ip_address=10.1.2.3/16\nstatic routers=10.1.0.1\n"
      "static domain_name_servers=9.9.9.9\ninterface wlan0\n";
  struct Case {
    std::string file;  // empty: the bench's default
    Strings args;
    int status;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", {"Version"}, 0, "0.2.11\n"},
      {"", {"GetConfig", "eth0", "type"}, 0, "Auto"},
      {"", {"GetConfig", "wlan0", "address"}, 0, "192.168.1.11"},
      {"", {"GetConfig", "eth0", "netmask"}, 0, "255.255.255.0"},
      {"", {"GetConfig", "wlan0", "gateway"}, 0, "192.168.1.1"},
      {"", {"GetConfig", "eth0", "dns-addr"}, 0, "192.168.1.1"},
      {"", {"GetStatus", "wlan0", "dns-type"}, 0, "Auto"},
      {manualEth, {"GetConfig", "eth0", "type"}, 0, "Manual"},
      {manualEth, {"GetStatus", "eth0", "type"}, 0, "Manual"},
      {manualEth, {"GetConfig", "eth0", "dns-type"}, 0, "Manual"},
      {manualEth, {"GetConfig", "eth0", "netmask"}, 0, "255.255.0.0"},
      {"interface wlan0\ninterface eth0\nstatic ip_address=10.1.2.3/20",
       {"GetConfig", "eth0", "netmask"},
       0,
       "255.255.240.0"},  // a last line without line end
      {"interface wlan0\ninterface eth0\nstatic ip_address=10.1.2.3/x\n",
       {"GetConfig", "eth0", "netmask"},
       0,
       "0.0.0.0"},
      {"interface wlan0\ninterface eth0\nstatic ip_address 10.1.2.3/8\n",
       {"GetConfig", "eth0", "address"},
       1,
       "Error: false delim1"},
      {"interface wlan0\ninterface eth0\nstatic ip_address=10.1.2.3\n",
       {"GetConfig", "eth0", "address"},
       1,
       "Error: false delim2"},
      {"interface wlan0\ninterface eth0\nstatic ip_address 10.1.2.3\n",
       {"GetConfig", "eth0", "netmask"},
       1,
       "Error: false delim1"},
      {"interface eth0\ninterface wlan0\n",
       {"GetConfig", "wlan0", "gateway"},
       1,
       "routers parameter not found in file\n"},
      {"", {"GetConfig", "eth1", "type"}, 1, "eth1 interface not found in file\n"},
      {"", {"GetConfig", "eth0", "mtu"}, 1, "Error: invalid config param 'mtu'\n"},
      {"", {"GetConfig", "eth0"}, 1, ""},
      {"", {"GetStatus", "eth1", "type"}, 1, "Error: invalid interface 'eth1'\n"},
      {"", {"GetStatus", "eth0", "speed"}, 1, "Error: invalid status param 'speed'\n"},
      {"", {"GetStatus", "eth0"}, 1, ""},
      {"", {"Reset"}, 1, ""},
      {"", {"Reset", "eth0;reboot"}, 1, "Error: invalid interface 'eth0;reboot'\n"},
      {"",
       {},
       1,
       "Error: not enough arguements\nUsage: vtl-net <action> [param1] [param2] [param3]...\n"},
      {"", {"Frobnicate"}, 1, "Error: invalid action 'Frobnicate'\n"},
      {"", {"SetWifi"}, 1, "Usage: vtl-net <action> [param1] [param2] [param3]...\n"},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    if (!c.file.empty()) bench.write(bench.dhcp_, c.file);
    EXPECT_EQ(bench.run(c.args), c.status) << c.args.size() << " " << bench.out;
    EXPECT_EQ(bench.out, c.out) << (c.args.empty() ? "" : c.args.back());
    EXPECT_TRUE(bench.commands.empty());
  }
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

  std::remove(bench.dhcp_.c_str());
  std::remove(bench.dhcpDefault_.c_str());
  EXPECT_EQ(bench.run({"Version"}), 1);
  EXPECT_EQ(bench.out, "");
  EXPECT_EQ(bench.err, "Error opening file: No such file or directory\n");
}

// SetConfig: the file it leaves, or the message and an untouched file.
TEST(NetToolEditTest, EditsTheFirstKeyLineAfterTheInterface) {
  const std::string twoBlocks =
      "interface eth0\n"
      "static ip_address=192.168.1.10/16\n"
      "static routers=192.168.1.1\n"
      "interface wlan0\n"
      "static ip_address=10.0.0.9/24\n"
      "static routers=10.0.0.1\n"
      "static domain_name_servers=10.0.0.1\n";
  const std::string noDelims = "interface eth0\nstatic ip_address 10.1.2.3\ninterface wlan0\n";
  struct Case {
    std::string file;
    Strings args;
    int status;
    std::string out;
    std::string after;  // empty: unchanged
  };
  const std::string longValue(112, '1');  // one byte past a line's 127
  const std::vector<Case> cases = {
      {twoBlocks,
       {"SetConfig", "eth0", "netmask", "255.255.255.0"},
       0,
       "",
       "interface eth0\nstatic ip_address=192.168.1.10/24\nstatic routers=192.168.1.1\n"
       "interface wlan0\nstatic ip_address=10.0.0.9/24\nstatic routers=10.0.0.1\n"
       "static domain_name_servers=10.0.0.1\n"},
      {twoBlocks,
       {"SetConfig", "wlan0", "address", "10.0.0.5"},
       0,
       "",
       "interface eth0\nstatic ip_address=192.168.1.10/16\nstatic routers=192.168.1.1\n"
       "interface wlan0\nstatic ip_address=10.0.0.5/24\nstatic routers=10.0.0.1\n"
       "static domain_name_servers=10.0.0.1\n"},
      {twoBlocks,
       {"SetConfig", "wlan0", "type", "auto"},
       0,
       "",
       "interface eth0\nstatic ip_address=192.168.1.10/16\nstatic routers=192.168.1.1\n"
       "interface wlan0\n#static ip_address=10.0.0.9/24\n#static routers=10.0.0.1\n"
       "static domain_name_servers=10.0.0.1\n"},
      // The search reaches past the block: eth0 has no DNS line, so wlan0's is edited.
      {twoBlocks,
       {"SetConfig", "eth0", "dns-addr", "1.1.1.1"},
       0,
       "",
       "interface eth0\nstatic ip_address=192.168.1.10/16\nstatic routers=192.168.1.1\n"
       "interface wlan0\nstatic ip_address=10.0.0.9/24\nstatic routers=10.0.0.1\n"
       "static domain_name_servers=1.1.1.1\n"},
      {"",
       {"SetConfig", "eth0", "type", "manual"},
       0,
       "",
       "hostname\ninterface eth0\nstatic ip_address=192.168.1.10/24\n"
       "static routers=192.168.1.1\n#static domain_name_servers=192.168.1.1\n\n"
       "interface wlan0\n#static ip_address=192.168.1.11/24\n#static routers=192.168.1.1\n"
       "#static domain_name_servers=192.168.1.1\n"},
      {"#interface eth0\n# static ip_address=1.2.3.4/8\n#static routers=1.2.3.1\nwlan0\n",
       {"SetConfig", "eth0", "type", "manual"},
       0,
       "",
       "interface eth0\nstatic ip_address=1.2.3.4/8\nstatic routers=1.2.3.1\nwlan0\n"},
      {"",
       {"SetConfig", "wlan0", "dns-type", "manual"},
       0,
       "",
       "hostname\ninterface eth0\n#static ip_address=192.168.1.10/24\n"
       "#static routers=192.168.1.1\n#static domain_name_servers=192.168.1.1\n\n"
       "interface wlan0\n#static ip_address=192.168.1.11/24\n#static routers=192.168.1.1\n"
       "static domain_name_servers=192.168.1.1\n"},
      {"",
       {"SetConfig", "wlan0", "gateway", "192.168.1.254"},
       0,
       "",
       "hostname\ninterface eth0\n#static ip_address=192.168.1.10/24\n"
       "#static routers=192.168.1.1\n#static domain_name_servers=192.168.1.1\n\n"
       "interface wlan0\n#static ip_address=192.168.1.11/24\n#static routers=192.168.1.254\n"
       "#static domain_name_servers=192.168.1.1\n"},
      {twoBlocks, {"SetConfig", "eth0", "type", "automatic"}, 1, "Error: invalid type", ""},
      {twoBlocks, {"SetConfig", "eth0", "address"}, 1, "Error: no value specified", ""},
      {twoBlocks, {"SetConfig", "eth0", "address", ""}, 1, "Error: no value specified", ""},
      {twoBlocks,
       {"SetConfig", "eth0", "mtu", "1500"},
       1,
       "Error: invalid config param 'mtu'\n",
       ""},
      {twoBlocks, {"SetConfig", "eth0"}, 1, "", ""},
      {twoBlocks,
       {"SetConfig", "eth0", "gateway", "1.1.1.1\nstatic routers=6.6.6.6"},
       1,
       "Error: invalid value",
       ""},
      {twoBlocks, {"SetConfig", "eth0", "dns-addr", "1.1.1.1\x1b"}, 1, "Error: invalid value", ""},
      {twoBlocks, {"SetConfig", "eth0", "netmask", "255.255.0"}, 1, "Error: invalid value", ""},
      {twoBlocks, {"SetConfig", "eth0", "gateway", longValue}, 1, "Error: argument too long", ""},
      {twoBlocks,
       {"SetConfig", "eth0", "gateway", std::string(300, '1')},
       1,
       "Error: argument too long",
       ""},
      {noDelims, {"SetConfig", "eth0", "address", "1.2.3.4"}, 1, "Error: false delim1", ""},
      {"interface eth0\nstatic ip_address=10.1.2.3\ninterface wlan0\n",
       {"SetConfig", "eth0", "address", "1.2.3.4"},
       1,
       "Error: false delim2",
       ""},
      {"interface wlan0\ninterface eth0\nstatic routers=10.1.2.3",
       {"SetConfig", "eth0", "gateway", "1.2.3.4"},
       1,
       "Error: false delim2",
       ""},
      {"interface eth0\nstatic ip_address=1.2.3.4/8\ninterface wlan0\n",
       {"SetConfig", "wlan0", "type", "auto"},
       1,
       "ip_address parameter not found in file\n",
       ""},
      {twoBlocks,
       {"SetConfig", "eth1", "gateway", "1.2.3.4"},
       1,
       "eth1 interface not found in file\n",
       ""},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    const std::string before = c.file.empty() ? NetToolBench::kDefaultDhcp : c.file;
    bench.write(bench.dhcp_, before);
    EXPECT_EQ(bench.run(c.args), c.status) << c.args[2] << " " << bench.out;
    EXPECT_EQ(bench.out, c.out) << c.args[2];
    EXPECT_EQ(bench.read(bench.dhcp_), c.after.empty() ? before : c.after) << c.args[2];
    EXPECT_EQ(bench.fileCount(), 3U) << "no temporary file is left behind";
    EXPECT_TRUE(bench.commands.empty()) << "nothing is copied with cp";
  }
  NetToolBench bench;
  ASSERT_EQ(bench.run({"SetConfig", "eth0", "netmask", "255.255.255.128"}), 0);
  ASSERT_EQ(bench.run({"GetConfig", "eth0", "netmask"}), 0);
  EXPECT_EQ(bench.out, "255.255.255.128");
}

// Status questions: the exact command lines, what is printed and the exit status.
TEST(NetToolStatusTest, AsksTheBoardsTools) {
  using Answers = std::map<std::string, NetToolBench::Answer>;
  const Answers connectedRoute = {
      {kRoute, {0, "192.168.1.0     0.0.0.0  U 0 0 0 eth0\n" + kRouteLine}}};
  auto with = [](Answers a, const Answers& more) {
    for (const auto& [k, v] : more) a[k] = v;
    return a;
  };
  struct Case {
    Answers answers;
    std::string resolv;
    Strings args;
    int status;
    std::string out;
    Strings commands;
  };
  const std::vector<Case> cases = {
      {connectedRoute, "", {"GetStatus", "eth0", "connected"}, 0, "", {kRoute, kInternet}},
      {with(connectedRoute, {{kInternet, {1, ""}}}),
       "",
       {"GetStatus", "eth0", "connected"},
       0,
       "",
       {kRoute, kInternet, kPingGateway, kArp}},
      {with(connectedRoute, {{kInternet, {1, ""}}, {kPingGateway, {1, ""}}}),
       "",
       {"GetStatus", "eth0", "connected"},
       1,
       "",
       {kRoute, kInternet, kPingGateway}},
      {with(connectedRoute, {{kInternet, {1, ""}}, {kArp, {1, ""}}}),
       "",
       {"GetStatus", "eth0", "connected"},
       1,
       "",
       {kRoute, kInternet, kPingGateway, kArp}},
      {{}, "", {"GetStatus", "eth0", "connected"}, 1, "", {kRoute}},
      {{{kRoute, {0, "0.0.0.0 1.1.1.1;reboot 0.0.0.0 UG 0 0 0 eth0\n"}}},
       "",
       {"GetStatus", "eth0", "connected"},
       1,
       "",
       {kRoute}},
      {{{kRoute, {NetToolBench::kPipeFails, ""}}},
       "",
       {"GetStatus", "eth0", "connected"},
       1,
       "",
       {kRoute}},
      {{{"timeout 1 ping -I wlan0 -q -c 1 8.8.8.8 > /dev/null", {1, ""}}},
       "",
       {"GetStatus", "wlan0", "internet"},
       1,
       "",
       {"timeout 1 ping -I wlan0 -q -c 1 8.8.8.8 > /dev/null"}},
      {connectedRoute, "", {"GetStatus", "eth0", "gateway"}, 0, "192.168.1.1", {kRoute}},
      {{}, "", {"GetStatus", "eth0", "gateway"}, 1, "", {kRoute}},
      {{{"ifconfig eth0", {0, kIfconfig}}},
       "",
       {"GetStatus", "eth0", "address"},
       0,
       "192.168.1.20",
       {"ifconfig eth0"}},
      {{{"ifconfig eth0", {0, kIfconfig}}},
       "",
       {"GetStatus", "eth0", "netmask"},
       0,
       "255.255.255.0",
       {"ifconfig eth0"}},
      {{{"ifconfig wlan0", {0, "wlan0     Link encap:Ethernet\n"}}},
       "",
       {"GetStatus", "wlan0", "address"},
       1,
       "",
       {"ifconfig wlan0"}},
      {{},
       "# dhcpcd\nnameserver 192.168.1.1\nnameserver 8.8.8.8\n",
       {"GetStatus", "wlan0", "dns-addr"},
       0,
       "192.168.1.1",
       {}},
      {{}, "search lan\n", {"GetStatus", "wlan0", "dns-addr"}, 1, "Pattern not found in file", {}},
      {{{"iwconfig wlan0", {0, "wlan0     IEEE 802.11  ESSID:\"Home Net\"  \n  Mode:Managed\n"}}},
       "",
       {"GetWifi"},
       0,
       "Home Net",
       {"iwconfig wlan0"}},
      {{{"iwconfig wlan0", {0, "wlan0     IEEE 802.11  ESSID:off/any  \n"}}},
       "",
       {"GetWifi"},
       1,
       "",
       {"iwconfig wlan0"}},
      {{}, "", {"Reset", "wlan0"}, 0, "", {"ifconfig wlan0 down", "ifconfig wlan0 up"}},
  };
  for (const auto& c : cases) {
    NetToolBench bench;
    bench.answers = c.answers;
    if (!c.resolv.empty()) bench.write(bench.resolv_, c.resolv);
    EXPECT_EQ(bench.run(c.args), c.status) << c.args.back();
    EXPECT_EQ(bench.out, c.out) << c.args.back();
    EXPECT_THAT(bench.commands, ElementsAreArray(c.commands)) << c.args.back();
  }
  NetToolBench bench;
  EXPECT_EQ(bench.run({"Reset", "eth0"}), 0);
  EXPECT_THAT(bench.sleeps, ElementsAre(20U, 2000U));
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "dns-addr"}), 1);
  EXPECT_EQ(bench.err, "Error opening file: No such file or directory\n");
  bench.answers["route -n | grep eth0"] = {NetToolBench::kPipeFails, ""};
  EXPECT_EQ(bench.run({"GetStatus", "eth0", "gateway"}), 1);
  EXPECT_EQ(bench.err, "Error opening process: Too many open files\n");
  bench.answers["iwconfig wlan0"] = {NetToolBench::kPipeFails, ""};
  EXPECT_EQ(bench.run({"GetWifi"}), 1);
  EXPECT_EQ(bench.err, "Error opening iwconfig: Too many open files\n");
}

// SetWifi: the supplicant file it writes, and how it waits for the network.
TEST(NetToolWifiTest, WritesTheNetworkAndWaitsForIt) {
  const std::string head = "ctrl_interface=/tmp/wpa_supplicant\nupdate_config=0\nnetwork={\n";
  const std::string hexPsk(64, 'a');
  struct Case {
    Strings args;
    int status;
    std::string out;
    std::string file;  // empty: not written
  };
  const std::vector<Case> cases = {
      {{"SetWifi", "HomeNet", "secret123"},
       0,
       "i = 0\n",
       head + "    ssid=\"HomeNet\"\n    psk=\"secret123\"\n}\n"},
      {{"SetWifi", "Cafe Libre"},
       0,
       "i = 0\n",
       head + "    ssid=\"Cafe Libre\"\n    key_mgmt=NONE\n}\n"},
      {{"SetWifi", "Caf\xC3\xA9", hexPsk},
       0,
       "i = 0\n",
       head + "    ssid=436166c3a9\n    psk=" + hexPsk + "\n}\n"},
      {{"SetWifi", "a\"b\\c\nd"},
       0,
       "i = 0\n",
       head + "    ssid=6122625c630a64\n    key_mgmt=NONE\n}\n"},
      {{"SetWifi", std::string(32, 'x'), std::string(63, '~')},
       0,
       "i = 0\n",
       head + "    ssid=\"" + std::string(32, 'x') + "\"\n    psk=\"" + std::string(63, '~') +
           "\"\n}\n"},
      {{"SetWifi", ""}, 1, "Error: invalid ssid", ""},
      {{"SetWifi", std::string(33, 'x')}, 1, "Error: invalid ssid", ""},
      {{"SetWifi", "HomeNet", "short12"}, 1, "Error: invalid passphrase", ""},
      {{"SetWifi", "HomeNet", "quote\"inside"}, 1, "Error: invalid passphrase", ""},
      {{"SetWifi", "HomeNet", "line\nend\nnetwork={"}, 1, "Error: invalid passphrase", ""},
      {{"SetWifi", "HomeNet", std::string(64, 'g')}, 1, "Error: invalid passphrase", ""},
      {{"SetWifi", "HomeNet", std::string(65, 'a')}, 1, "Error: invalid passphrase", ""},
      {{"SetWifi", "HomeNet", ""}, 1, "Error: invalid passphrase", ""},
  };
  const std::string reconfigure = "wpa_cli -p /tmp/wpa_supplicant/ reconfigure";
  const std::string wlanRoute = "route -n | grep wlan0";
  for (const auto& c : cases) {
    NetToolBench bench;
    // The supplicant joins whatever network its file names once it is told to reread it.
    bench.onCommand = [&](const std::string& command) {
      if (command != reconfigure) return;
      bench.answers["iwconfig wlan0"] = {0, "wlan0  IEEE 802.11  ESSID:\"" + c.args[1] + "\"\n"};
      bench.answers[wlanRoute] = {0, "0.0.0.0 10.0.0.1 0.0.0.0 UG 0 0 0 wlan0\n"};
    };
    EXPECT_EQ(bench.run(c.args), c.status) << c.args[1];
    EXPECT_EQ(bench.out, c.out) << c.args[1];
    if (c.file.empty()) {
      EXPECT_FALSE(std::filesystem::exists(bench.wpa_)) << c.args[1];
      EXPECT_TRUE(bench.commands.empty());
    } else {
      EXPECT_EQ(bench.read(bench.wpa_), c.file) << c.args[1];
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
