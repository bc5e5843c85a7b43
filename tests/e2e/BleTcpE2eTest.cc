// BLE advertising, hcidump events and the GATT helper, and the TCP side server on port 84,
// end to end: the real daemon on a board, the simulated amplifier on the serial ports, the
// minimal BLE helper on the helper socket, hcidump fed by the test, TCP clients on loopback.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>

#include "AmpSimulator.h"
#include "E2eHarness.h"

namespace vantorellabs::e2e {
namespace {

using ::testing::HasSubstr;

constexpr const char* kFeed = "/board/hcidump.feed";
constexpr const char* kHcidumpPid = "/board/hcidump.pid";
constexpr int kSidePort = 84;

const std::vector<std::string> kFastRefreshK40 = {
    "hcitool -i hci0 cmd 0x08 0x0008 18 02 01 05 02 0A 14 11 FF FF FF 00 01 01 00 00 00 00 31 32 "
    "33 34 35 36 37 00 00 00 00 00 00 00",
    "hcitool -i hci0 cmd 0x08 0x0009 0D 0C 09 4B 34 30 2D 31 32 33 34 35 36 37 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00",
    "hcitool -i hci0 cmd 0x08 0x000a 00",
    "hcitool -i hci0 cmd 0x08 0x0006 20 00 20 00 00 00 00 00 00 00 00 00 00 07 00",
    "hcitool -i hci0 cmd 0x08 0x000a 01"};
const std::string kSlowParameters =
    "hcitool -i hci0 cmd 0x08 0x0006 F4 00 F4 00 02 00 00 00 00 00 00 00 00 07 00";

// The BLE state frames and the network report's first frame.
const std::string kBleSlow{'\x08', '0'};
const std::string kBleFast{'\x08', '1'};
const std::string kBleConnected{'\x08', '2'};
const std::string kNetworkReport{'\x09', '1'};

// A TCP client of the side server.
class SideClient {
 public:
  SideClient() : fd_(connectTcp(kSidePort)), connected_(fd_ >= 0) {}
  ~SideClient() { ::close(fd_); }
  SideClient(const SideClient&) = delete;
  SideClient& operator=(const SideClient&) = delete;

  bool connected() const { return connected_; }
  void send(const std::string& text) const { ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
  // Reads until `size` bytes have come, the server closed, or nothing came for a while.
  std::string read(std::size_t size, int quietMs = 10000) const {
    std::string out;
    while (out.size() < size) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, quietMs) <= 0) break;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closedByServer_ = true;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  bool closedByServer() const { return closedByServer_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  mutable bool closedByServer_ = false;
};

class BleTcpE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options = {}) {
    BoardTest::boot(options, "TCP Server running on port 84\n");
  }
  static bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1500 && !done(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
  }
  // Waits until the daemon's output holds `text` at least `count` times.
  bool waitForCount(const std::string& text, std::size_t count) const {
    return waitUntil([&] { return daemon.countInOutput(text) >= count; });
  }
  // Waits until the daemon sent `frame` to the controller after the first `from` frames.
  int waitForSent(const std::string& frame, std::size_t from = 0) const {
    return sim->waitForFrame([&frame](const std::string& f) { return f == frame; }, from);
  }
  static int hcidumpPid() {
    int pid = -1;
    std::ifstream(kHcidumpPid) >> pid;
    return pid;
  }
  static bool waitForHcidump(int notPid) {
    return waitUntil([notPid] { return hcidumpPid() > 0 && hcidumpPid() != notPid; });
  }
  static void feedHcidump(const std::string& lines) {
    std::ofstream(kFeed, std::ios::app) << lines << std::flush;
  }
  static std::vector<std::string> hcitoolCommandsFrom(std::size_t from) {
    std::vector<std::string> out;
    const auto lines = boardCommands();
    for (std::size_t i = from; i < lines.size(); ++i) {
      if (lines[i].rfind("hcitool", 0) == 0) out.push_back(lines[i]);
    }
    return out;
  }
  static int sigPipeIgnoredIn(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigIgn:", 0) == 0) {
        return (std::stoull(line.substr(7), nullptr, 16) >> (SIGPIPE - 1)) & 1U;
      }
    }
    return -1;
  }

  void TearDown() override {
    if (HasFailure()) {
      const std::string out = daemon.output();
      std::cerr << "--- daemon output (end) ---\n"
                << out.substr(out.size() > 4000 ? out.size() - 4000 : 0) << "\n";
    }
  }
};

TEST_F(BleTcpE2eTest, AdvertisingHcidumpHelperAndSideServerTogether) {
  // The minimal helper plays the GATT helper: it greets the daemon and logs what it hears
  // on the daemon's own standard output.
  std::filesystem::copy_file(AMP_SOURCE_DIR "/board/ble-helper/minimal-ble-helper.py",
                             "/board/scenario/ble-helper");
  std::filesystem::permissions("/board/scenario/ble-helper", std::filesystem::perms::all);
  ampsim::AmpSimOptions options;
  options.amplifier.poweredOn = false;
  boot(options);
  EXPECT_GE(boardCommandIndex("hcidump"), 0);
  EXPECT_TRUE(waitForBoardCommand("python3 /opt/vtl/ble/main.py 1"));

  // The helper is greeted back, then fed the serial number and the DA module's version.
  EXPECT_TRUE(daemon.waitForOutput("BLE helper ready, model 1\n"));
  EXPECT_TRUE(daemon.waitForOutput("ble-helper: acknowledged\n"));
  EXPECT_TRUE(daemon.waitForOutput("ble-helper: serial number 1234567\n"));
  EXPECT_TRUE(daemon.waitForOutput("ble-helper: DA module 21.3.0\n"));

  // Switched off at start: advertising is off and the controller is told so.
  ASSERT_TRUE(daemon.waitForOutput("Setting Schedule to '0'"));
  ASSERT_TRUE(waitForBoardCommand("hcitool -i hci0 cmd 0x08 0x000a 00"));
  EXPECT_GE(waitForSent(kBleSlow), 0);

  // Power on from the front panel, then the controller asks for pairing mode.
  sim->amplifier().onCommand("01");
  ASSERT_TRUE(daemon.waitForOutput("<<< 0x30 31"));
  std::size_t logMark = boardCommands().size();
  std::size_t frameMark = sim->receivedFrames().size();
  sim->sendFrame(kBleFast);
  ASSERT_TRUE(waitForBoardCommand(kFastRefreshK40.back()));
  ASSERT_GE(waitForSent(kBleFast, frameMark), 0);
  EXPECT_EQ(hcitoolCommandsFrom(logMark), kFastRefreshK40);

  // hcidump: a central connects, then goes.
  ASSERT_TRUE(waitForHcidump(-1));
  const int firstHcidump = hcidumpPid();
  EXPECT_EQ(sigPipeIgnoredIn(firstHcidump), 0) << "hcidump must end when its reader goes";
  frameMark = sim->receivedFrames().size();
  feedHcidump("> HCI Event: LE Meta Event (0x3e) plen 19\n    LE Connection Complete\n");
  const int connected = waitForSent(kBleConnected, frameMark);
  ASSERT_GE(connected, 0);
  EXPECT_GT(waitForSent(kNetworkReport, connected), connected);
  logMark = boardCommands().size();
  frameMark = sim->receivedFrames().size();
  const std::size_t acks = daemon.countInOutput("ble-helper: acknowledged\n");
  feedHcidump("> HCI Event: Disconn Complete (0x05) plen 4\n  status 0x00 handle 64\n");
  ASSERT_GE(waitForSent(kBleSlow, frameMark), 0);
  EXPECT_EQ(hcitoolCommandsFrom(logMark).at(3), kSlowParameters);
  EXPECT_TRUE(waitForCount("ble-helper: acknowledged\n", acks + 1));

  // hcidump ends: the daemon says so and starts it again after a pause.
  ::kill(firstHcidump, SIGTERM);
  EXPECT_TRUE(daemon.waitForOutput("hcidump ended; restarting it in 5 s\n"));
  EXPECT_TRUE(daemon.waitForOutput("hcidump restarted\n"));
  ASSERT_TRUE(waitForHcidump(firstHcidump));
  frameMark = sim->receivedFrames().size();
  feedHcidump("    LE Connection Complete\n");
  EXPECT_GE(waitForSent(kBleConnected, frameMark), 0);

  // TCP side server: commands to the controller, the controller's text to every client.
  SideClient a;
  SideClient b;
  ASSERT_TRUE(a.connected() && b.connected());
  ASSERT_TRUE(waitForCount("TCP new client accepted\n", 2));
  frameMark = sim->receivedFrames().size();
  a.send("(PWR 1)");
  b.send("junk(VOL  25 )");
  a.send("(INP 12345)(AB)(MUT)");
  ASSERT_GE(waitForSent("\x10(MUT)", frameMark), 0);
  ASSERT_GE(waitForSent("\x10(VOL 25)", frameMark), 0);
  const auto frames = sim->receivedFrames();
  std::vector<std::string> tcpFrames;
  for (std::size_t i = frameMark; i < frames.size(); ++i) {
    if (frames[i][0] == 0x10) tcpFrames.push_back(frames[i]);
  }
  EXPECT_THAT(tcpFrames,
              ::testing::UnorderedElementsAre("\x10(PWR 1)", "\x10(VOL 25)", "\x10(MUT)"));
  EXPECT_THAT(daemon.output(), HasSubstr("\r\nNew Message Received with 1 parameters: (PWR 1)"));
  EXPECT_THAT(daemon.output(), HasSubstr("\r\nNew Message Received with 0 parameters: (MUT)"));
  sim->sendFrame("\x10Input 3 selected");
  EXPECT_EQ(a.read(16), "Input 3 selected");
  EXPECT_EQ(b.read(16), "Input 3 selected");
}

TEST_F(BleTcpE2eTest, TwoHundredClientsAtOnceThenAFloodNobodyReads) {
  boot();
  std::vector<std::unique_ptr<SideClient>> clients;
  std::vector<std::thread> connecting;
  std::mutex mutex;
  for (int t = 0; t < 8; ++t) {
    connecting.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto client = std::make_unique<SideClient>();
        std::lock_guard<std::mutex> lock(mutex);
        clients.push_back(std::move(client));
      }
    });
  }
  for (auto& t : connecting) t.join();
  int connected = 0;
  for (const auto& c : clients) connected += c->connected() ? 1 : 0;
  EXPECT_EQ(connected, 200);
  // Every connection is taken off the queue: 32 are served, the rest closed at once.
  waitForCount("TCP client refused: too many clients\n", 168);
  EXPECT_EQ(daemon.countInOutput("TCP new client accepted\n"), 32U);
  EXPECT_EQ(daemon.countInOutput("TCP client refused: too many clients\n"), 168U);

  sim->sendFrame("\x10to all");
  std::vector<SideClient*> served;
  int refused = 0;
  for (const auto& c : clients) {
    const std::string got = c->read(6);
    if (got == "to all") served.push_back(c.get());
    if (got.empty() && c->closedByServer()) ++refused;
  }
  ASSERT_EQ(served.size(), 32U);
  EXPECT_EQ(refused, 168);

  // None of the 32 reads any more while the controller sends about a megabyte of text,
  // far more than their buffers hold: each is dropped, and the main loop is never stalled.
  const std::string text = "\x10" + std::string(250, 'x');
  for (int i = 0; i < 4000; ++i) sim->sendFrame(text);
  const std::size_t mark = sim->receivedFrames().size();
  sim->sendFrame("\x01");
  EXPECT_GE(sim->waitForCode(0x02, mark), 0) << "the hello is answered";
  EXPECT_TRUE(waitForCount("TCP client dropped: it does not take what is sent\n", 32));
  served.front()->read(SIZE_MAX);
  EXPECT_TRUE(served.front()->closedByServer());

  // The side server goes on serving new clients.
  SideClient late;
  late.send("(PWR 0)");
  EXPECT_GE(waitForSent("\x10(PWR 0)", mark), 0);
  sim->sendFrame("\x10still here");
  EXPECT_EQ(late.read(10), "still here");
}

// Peers on the home network that vanish without closing (a router restart, a phone out of
// range, a power cut) must not hold the 32 places for ever. The peers here are in a second
// network namespace behind two veth links; setting a link down drops every packet both
// ways, so the daemon's probes and text go unanswered. One group vanishes and is then sent
// text (it stays unacknowledged); the other is idle when it vanishes. A present client that
// is idle all the while stays connected.
TEST_F(BleTcpE2eTest, VanishedPeersGiveUpTheirPlacesWithinAboutAMinute) {
  boot();
  const auto shell = [](const std::string& script) {
    return std::system(("PATH=/usr/sbin:/sbin:$PATH; p=$(cat /board/peer.pid); " + script).c_str());
  };
  ASSERT_EQ(std::system("unshare -U -r -n sleep 600 & echo $! >/board/peer.pid"), 0);
  ASSERT_EQ(shell("while [ \"$(readlink /proc/$p/ns/net)\" = \"$(readlink /proc/self/ns/net)\" ]; "
                  "do sleep 0.05; done"),
            0);
  for (const char* n : {"0", "1"}) {
    const std::string net = std::string("10.8") + n + ".0.";
    ASSERT_EQ(shell(std::string("ip link add side") + n + " type veth peer name peer" + n +
                    " netns $p && ip addr add " + net + "1/24 dev side" + n +
                    " && ip link set side" + n + " up && nsenter -t $p -U -n sh -c 'ip addr add " +
                    net + "2/24 dev peer" + n + " && ip link set peer" + n + " up'"),
              0);
  }
  SideClient present;
  ASSERT_TRUE(waitForCount("TCP new client accepted\n", 1));
  // 16 peers on the first link, 15 on the second: every place is taken.
  ASSERT_EQ(
      shell("nsenter -t $p -U -n python3 -c 'import socket, time\n"
            "peers = [socket.create_connection((\"10.80.0.1\", 84), 30) for _ in range(16)]\n"
            "peers += [socket.create_connection((\"10.81.0.1\", 84), 30) for _ in range(15)]\n"
            "time.sleep(600)' &"),
      0);
  ASSERT_TRUE(waitForCount("TCP new client accepted\n", 32));
  {
    SideClient turnedAway;
    EXPECT_EQ(turnedAway.read(1), "");
    EXPECT_TRUE(turnedAway.closedByServer());
  }

  ASSERT_EQ(shell("nsenter -t $p -U -n ip link set peer0 down"), 0);
  sim->sendFrame(
      "\x10"
      "first");
  EXPECT_EQ(present.read(5), "first");
  ASSERT_EQ(shell("nsenter -t $p -U -n ip link set peer1 down"), 0);
  // About a minute by the socket options; the wait is generous for a busy machine.
  const auto until = std::chrono::steady_clock::now() + seconds(180);
  while (daemon.countInOutput("Client disconnected\n") < 31 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(daemon.countInOutput("Client disconnected\n"), 31U);

  SideClient newcomer;
  ASSERT_TRUE(waitForCount("TCP new client accepted\n", 33));
  sim->sendFrame(
      "\x10"
      "second");
  EXPECT_EQ(present.read(6), "second");
  EXPECT_EQ(newcomer.read(6), "second");
  EXPECT_EQ(daemon.countInOutput("TCP client refused: too many clients\n"), 1U);
}

}  // namespace
}  // namespace vantorellabs::e2e
