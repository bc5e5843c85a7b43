#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "Fakes.h"
#include "Services/NetworkInformation/NetworkInformationServiceImpl.h"

namespace vantorellabs {
namespace {

namespace pb = protobuf;
using ::testing::ElementsAreArray;
using testing::FakeShell;
using testing::RecordingConsole;
using Strings = std::vector<std::string>;

// The commands for one interface, in the order the service runs them.
Strings interfaceQueries(const std::string& interface, bool connected) {
  const std::string q = "vtl-net GetStatus " + interface;
  Strings commands = {q + " connected", q + " internet"};
  if (connected) {
    for (const char* p : {" type", " address", " netmask", " gateway", " dns-type", " dns-addr"}) {
      commands.push_back(q + p);
    }
  }
  return commands;
}

struct Bench {
  pb::GetNetworkInformationResponse call() {
    pb::GetNetworkInformationRequest request;
    pb::GetNetworkInformationResponse response;
    EXPECT_TRUE(service.GetNetworkInformation(nullptr, &request, &response).ok());
    return response;
  }
  void connect(const std::string& interface, bool internet) {
    shell.statuses["vtl-net GetStatus " + interface + " connected"] = 0;
    shell.statuses["vtl-net GetStatus " + interface + " internet"] = internet ? 0 : 1;
  }
  FakeShell shell;
  RecordingConsole console;
  std::ostringstream errors;
  NetworkInformationServiceImpl service{shell, console, errors};
};

TEST(NetworkInformationServiceTest, ReadsEachInterfaceFromTheTool) {
  struct Case {
    bool wifi, wifiInternet, ethernet;
  };
  for (const Case c : {Case{true, true, false}, Case{false, false, true}, Case{true, false, true},
                       Case{false, false, false}}) {
    Bench b;
    b.shell.statuses["vtl-net GetStatus wlan0 connected"] = 1;
    b.shell.statuses["vtl-net GetStatus wlan0 internet"] = 1;
    b.shell.statuses["vtl-net GetStatus eth0 connected"] = 1;
    b.shell.statuses["vtl-net GetStatus eth0 internet"] = 1;
    if (c.wifi) b.connect("wlan0", c.wifiInternet);
    if (c.ethernet) b.connect("eth0", true);
    b.shell.outputs["vtl-net GetStatus wlan0 type"] = "Manual";
    b.shell.outputs["vtl-net GetStatus wlan0 address"] = "192.168.1.30";
    b.shell.outputs["vtl-net GetStatus wlan0 netmask"] = "255.255.255.0";
    b.shell.outputs["vtl-net GetStatus wlan0 gateway"] = "192.168.1.1";
    b.shell.outputs["vtl-net GetStatus wlan0 dns-type"] = "Auto";
    b.shell.outputs["vtl-net GetStatus wlan0 dns-addr"] = "192.168.1.1";
    b.shell.outputs["vtl-net GetStatus eth0 type"] = "Manual\n";  // not exactly "Manual"
    b.shell.outputs["vtl-net GetStatus eth0 address"] = "10.0.0.20\n";
    b.shell.outputs["vtl-net GetStatus eth0 dns-type"] = "Manual";
    b.shell.outputs["vtl-net GetWifi"] = "Caf\xE9 \xC3\xA9";

    const auto r = b.call();
    Strings commands = interfaceQueries("wlan0", c.wifi);
    if (c.wifi) commands.push_back("vtl-net GetWifi");
    for (const auto& e : interfaceQueries("eth0", c.ethernet)) commands.push_back(e);
    EXPECT_THAT(b.shell.commands, ElementsAreArray(commands));

    std::string log = "Reading Network Info on wlan0\nReading Network Status on wlan0\n";
    if (c.wifi) log += "Reading IPv4 Status on wlan0\nReading IPv4 DNS Status on wlan0\n";
    log += "Reading Network Info on eth0\nReading Network Status on eth0\n";
    if (c.ethernet) log += "Reading IPv4 Status on eth0\nReading IPv4 DNS Status on eth0\n";
    EXPECT_EQ(b.console.all(), log);

    const auto& wifi = r.wifiinformation();
    const auto& ws = wifi.networkinformation().status();
    EXPECT_EQ(ws.isconnected(), c.wifi);
    EXPECT_EQ(ws.isinternetreachable(), c.wifiInternet);
    EXPECT_EQ(wifi.has_wifinetwork(), c.wifi);
    EXPECT_EQ(ws.has_ipv4status(), c.wifi);
    EXPECT_EQ(ws.has_ipv4dnsstatus(), c.wifi);
    EXPECT_FALSE(wifi.networkinformation().has_configuration());
    if (c.wifi) {
      EXPECT_EQ(wifi.wifinetwork().ssid(), "Caf\xEF\xBF\xBD \xC3\xA9");
      EXPECT_EQ(wifi.wifinetwork().macaddress(), "");
      EXPECT_FALSE(wifi.wifinetwork().has_signalstrength());
      EXPECT_EQ(ws.ipv4status().type(), pb::IP_CONFIGURATION_TYPE_MANUAL);
      EXPECT_EQ(ws.ipv4status().ipaddress(), "192.168.1.30");
      EXPECT_EQ(ws.ipv4status().subnetmask(), "255.255.255.0");
      EXPECT_EQ(ws.ipv4status().gatewayipaddress(), "192.168.1.1");
      EXPECT_EQ(ws.ipv4dnsstatus().type(), pb::DNS_CONFIGURATION_TYPE_AUTOMATIC);
      EXPECT_EQ(ws.ipv4dnsstatus().dnsaddress(), "192.168.1.1");
    }
    const auto& es = r.ethernetinformation().networkinformation().status();
    EXPECT_EQ(es.isconnected(), c.ethernet);
    EXPECT_EQ(es.isinternetreachable(), c.ethernet);
    EXPECT_EQ(es.has_ipv4status(), c.ethernet);
    if (c.ethernet) {
      EXPECT_EQ(es.ipv4status().type(), pb::IP_CONFIGURATION_TYPE_AUTOMATIC);
      EXPECT_EQ(es.ipv4status().ipaddress(), "10.0.0.20\n") << "as printed";
      EXPECT_EQ(es.ipv4status().subnetmask(), "");
      EXPECT_EQ(es.ipv4dnsstatus().type(), pb::DNS_CONFIGURATION_TYPE_MANUAL);
    }
    EXPECT_EQ(b.errors.str(), "");
  }
}

TEST(NetworkInformationServiceTest, PipeThatCannotStartLeavesItsFieldUnset) {
  Bench b;
  b.shell.statuses["vtl-net GetStatus eth0 connected"] = 1;
  b.shell.outputs["vtl-net GetStatus wlan0 address"] = "192.168.1.30";
  b.shell.outputs["vtl-net GetStatus wlan0 netmask"] = "255.255.255.0";
  for (const char* c : {"vtl-net GetStatus wlan0 type", "vtl-net GetStatus wlan0 netmask",
                        "vtl-net GetStatus wlan0 dns-type", "vtl-net GetWifi"}) {
    b.shell.failingPipes[c] = true;
  }
  const auto r = b.call();
  const auto& ws = r.wifiinformation().networkinformation().status();
  EXPECT_TRUE(ws.isconnected());
  EXPECT_EQ(ws.ipv4status().type(), pb::IP_CONFIGURATION_TYPE_UNPSECIFIED);
  EXPECT_EQ(ws.ipv4status().ipaddress(), "192.168.1.30");
  EXPECT_EQ(ws.ipv4status().subnetmask(), "");
  EXPECT_EQ(ws.ipv4dnsstatus().type(), pb::DNS_CONFIGURATION_TYPE_UNPSECIFIED);
  EXPECT_FALSE(r.wifiinformation().has_wifinetwork());
  std::string fourErrors;
  for (int i = 0; i < 4; ++i) fourErrors += "Error: popen() failed!\n";
  EXPECT_EQ(b.errors.str(), fourErrors);
}

}  // namespace
}  // namespace vantorellabs
