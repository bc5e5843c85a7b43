#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "Fakes.h"
#include "RecordingOwners.h"
#include "server/TcpCommandParser.h"
#include "server/TcpSideServer.h"

namespace vantorellabs {
namespace {

using testing::FakeClock;
using ::testing::HasSubstr;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::RecordingOwners;

TEST(TcpCommandParserTest, CommandsAndWhatIsDropped) {
  struct Case {
    std::string input;
    std::vector<std::string> texts;
    std::vector<int> counts;
  };
  const Case cases[] = {
      {"(PWR 1)", {"(PWR 1)"}, {1}},
      {"(VOL  25 )", {"(VOL 25)"}, {1}},
      {"(INP 12345)", {}, {}},
      {"(AB)", {}, {}},
      {"(MUT)", {"(MUT)"}, {0}},
      {"(ABC 1111 2222 3333)", {"(ABC 1111 2222 3333)"}, {3}},
      // Noise around commands, a restarted word, a word that does not end after three.
      {"xx(MUT)yy((VOL 3)(PWRX 1)", {"(MUT)", "(VOL 3)"}, {0, 1}},
      // A fourth argument's space is skipped, so it joins the third and may overflow it.
      {"(ABC 1 2 345 67)(MUT)", {"(MUT)"}, {0}},
      {"(ABC 1 2 3 4)", {"(ABC 1 2 34)"}, {3}},
      // A long argument discards the command; the next one parses afresh.
      {"(INP 12345)(INP 1234)", {"(INP 1234)"}, {1}},
      // Each argument has its own four characters.
      {"(ABC 1 12345)(ABC 1234 1)", {"(ABC 1234 1)"}, {2}},
      {"(ABC 1 2 1234)(ABC 1 2 12345)", {"(ABC 1 2 1234)"}, {3}},
      // A word of two or four characters never completes.
      {"(AB)(ABCD)(ABC)", {"(ABC)"}, {0}},
  };
  for (const Case& c : cases) {
    TcpCommandParser parser;
    std::vector<std::string> texts;
    std::vector<int> counts;
    for (char b : c.input) {
      if (auto done = parser.feed(b)) {
        texts.push_back(done->text);
        counts.push_back(done->argumentCount);
      }
    }
    EXPECT_EQ(texts, c.texts) << c.input;
    EXPECT_EQ(counts, c.counts) << c.input;
  }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class TcpSideServerTest : public ::testing::Test {
 protected:
  TcpSideServerTest() { link.attach(pty.slave); }
  ~TcpSideServerTest() override {
    for (int fd : clients) ::close(fd);
  }

  int connectClient() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    clients.push_back(fd);
    return fd;
  }
  static std::string readSome(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return "(nothing)";
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "(end)";
  }

  PtyPair pty;
  RecordingConsole console;
  RecordingOwners owners;
  FakeClock clock;
  ControllerLink link{console};
  TcpSideServer server{0, link, owners, console, clock};
  std::vector<int> clients;
};

TEST_F(TcpSideServerTest, CommandsReachTheControllerAndTextReachesEveryClient) {
  server.startServing();
  EXPECT_EQ(console.prints().at(0),
            "TCP Server running on port " + std::to_string(server.port()) + "\n");
  EXPECT_THAT(owners.calls, ::testing::ElementsAre("restartSddpDaemon"));
  const int a = connectClient();
  server.serveStep();
  const int b = connectClient();
  server.serveStep();
  EXPECT_EQ(server.clientCount(), 2U);
  // A command split over two reads still completes.
  ::send(a, "(PW", 3, 0);
  server.serveStep();
  ::send(a, "R 1)", 4, 0);
  server.serveStep();
  EXPECT_EQ(pty.readMaster(8), std::string("\x10(PWR 1)") + '\0');
  EXPECT_THAT(console.all(), HasSubstr("\r\nNew Message Received with 1 parameters: (PWR 1)"));

  server.broadcast("Volume 25");
  EXPECT_EQ(readSome(a), "Volume 25");
  EXPECT_EQ(readSome(b), "Volume 25");

  ::close(b);
  clients.pop_back();
  server.serveStep();
  EXPECT_EQ(server.clientCount(), 1U);
  EXPECT_THAT(console.all(), HasSubstr("Client disconnected\n"));
}

// The server's end of the connection whose client end is `clientFd`.
int acceptedSocketOf(int clientFd) {
  sockaddr_in client{};
  socklen_t length = sizeof client;
  ::getsockname(clientFd, reinterpret_cast<sockaddr*>(&client), &length);
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in peer{};
    length = sizeof peer;
    if (fd != clientFd && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_port == client.sin_port) {
      return fd;
    }
  }
  return -1;
}

TEST_F(TcpSideServerTest, VanishedPeersAreFoundByKeepaliveAndUserTimeout) {
  const int client = connectClient();
  server.serveStep();
  const int accepted = acceptedSocketOf(client);
  ASSERT_GE(accepted, 0);
  const int expected[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                             {IPPROTO_TCP, TCP_KEEPIDLE, 30},
                             {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                             {IPPROTO_TCP, TCP_KEEPCNT, 3},
                             {IPPROTO_TCP, TCP_USER_TIMEOUT, 60000}};
  for (const auto& [level, name, value] : expected) {
    int got = -1;
    socklen_t length = sizeof got;
    EXPECT_EQ(::getsockopt(accepted, level, name, &got, &length), 0);
    EXPECT_EQ(got, value) << "option " << name;
  }
}

TEST_F(TcpSideServerTest, DescriptorLimitsRefuseOrPauseInsteadOfSpinning) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  std::vector<int> filler;
  auto fillUpTo = [&filler](int below) {
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
      filler.push_back(fd);
      if (fd + 1 >= below) break;
    }
  };
  auto release = [&filler] {
    for (int fd : filler) ::close(fd);
    filler.clear();
  };

  // A descriptor that select() cannot watch: the client is accepted and closed at once.
  ASSERT_GE(old.rlim_max, FD_SETSIZE + 16U);
  rlimit wide = old;
  wide.rlim_cur = FD_SETSIZE + 16;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &wide), 0);
  fillUpTo(FD_SETSIZE);
  const int high = connectClient();
  server.serveStep();
  EXPECT_EQ(readSome(high), "(end)");
  EXPECT_EQ(server.clientCount(), 0U);
  ::close(high);
  clients.clear();
  release();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);

  // The undefined-behaviour sanitizer needs descriptors of its own to check a virtual
  // call, so with none left it reports calls that are fine.
  if (kSanitized) GTEST_SKIP() << "the sanitizers need descriptors of their own";
  // No descriptor left for accept(): the server pauses before the next try, longer each
  // time up to a ceiling, and says so once per step rather than ten times a second.
  connectClient();
  rlimit tight = old;
  tight.rlim_cur = 256;
  const auto exhausted = [&](int turns) {
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    fillUpTo(256);
    for (int i = 0; i < turns; ++i) server.serveStep();
    release();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  };
  exhausted(8);
  EXPECT_THAT(clock.sleeps, ::testing::ElementsAre(0.1, 0.2, 0.4, 0.8, 1.6, 1.6, 1.6, 1.6));
  EXPECT_EQ(console.errors(),
            std::vector<std::string>(5, "TCP accept failed|" + std::to_string(EMFILE)));
  server.serveStep();
  EXPECT_EQ(server.clientCount(), 1U);
  EXPECT_THAT(console.all(), HasSubstr("TCP accept: next try in 1.6 s\nTCP new client accepted"));
  // An accepted client starts the pauses over.
  connectClient();
  clock.sleeps.clear();
  exhausted(1);
  EXPECT_THAT(clock.sleeps, ::testing::ElementsAre(0.1));
}

TEST_F(TcpSideServerTest, BroadcastsFromAnotherThreadMeetTheSideServerSafely) {
  std::atomic<bool> stop{false};
  std::thread side([&] {
    while (!stop) server.serveStep();
  });
  for (int round = 0; round < 20; ++round) {
    const int fd = connectClient();
    while (server.clientCount() == 0U) std::this_thread::yield();
    server.broadcast("round");
    EXPECT_EQ(readSome(fd), "round");
    ::close(fd);
    clients.pop_back();
    while (server.clientCount() != 0U) std::this_thread::yield();
  }
  stop = true;
  connectClient();  // wakes the side server's select
  side.join();
}

}  // namespace
}  // namespace vantorellabs
