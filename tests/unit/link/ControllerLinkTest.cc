#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

#include "Fakes.h"
#include "link/ControllerLink.h"
#include "link/ControllerReadWatch.h"

namespace vantorellabs {
namespace {

using testing::bytes;
using ::testing::ElementsAre;
using testing::FakePoller;
using testing::PtyPair;
using testing::RecordingConsole;

class ControllerLinkTest : public ::testing::Test {
 protected:
  ControllerLinkTest() { link.attach(pty.slave); }

  // Sends through `send` and returns the bytes that reached the wire.
  std::string wireOf(const std::function<void()>& send, std::size_t expected) {
    send();
    return pty.readMaster(expected);
  }

  // Feeds bytes from the controller's side and runs one receive step.
  void receive(const std::string& wire) {
    pty.writeMaster(wire);
    pty.awaitSlaveReadable();
    link.controllerReceiveStep();
  }

  PtyPair pty;
  RecordingConsole console;
  ControllerLink link{console};
  std::vector<std::string> frames;
};

TEST_F(ControllerLinkTest, CodeByteFrameIsExactAndTracedInRed) {
  EXPECT_EQ(wireOf([&] { link.sendCodeByte(0x82, 0x01); }, 3), bytes({0x82, 0x01, 0x00}));
  EXPECT_THAT(console.prints(), ElementsAre("\033[31m>>> 0x82 01\033[0m\n"));
}

TEST_F(ControllerLinkTest, ZeroValueEndsTheFrame) {
  EXPECT_EQ(wireOf([&] { link.sendCodeByte(0x80, 0x00); }, 2), bytes({0x80, 0x00}));
  EXPECT_THAT(console.prints(), ElementsAre("\033[31m>>> 0x80\033[0m\n"));
}

TEST_F(ControllerLinkTest, NetworkStatusAndDaTunnelFramesAreNotTraced) {
  EXPECT_EQ(wireOf([&] { link.sendCodeByte(0x09, '1'); }, 3), bytes({0x09, '1', 0x00}));
  EXPECT_EQ(wireOf([&] { link.sendDaMessage(0x201055); }, 4), bytes({0x55, 0x10, 0x20, 0x00}));
  EXPECT_TRUE(console.prints().empty());
}

TEST_F(ControllerLinkTest, FormattersBuildTheirFrames) {
  EXPECT_EQ(wireOf([&] { link.sendCode(0x01); }, 2), bytes({0x01, 0x00}));
  EXPECT_EQ(wireOf([&] { link.sendNetworkAddress("10.0.0.7\n"); }, 12),
            std::string("\x09I10.0.0.7\n", 11) + '\0');
  EXPECT_EQ(wireOf([&] { link.sendNetworkHardwareAddress('e', "02:00:00:AA:BB:CC"); }, 20),
            std::string("\x09"
                        "e02:00:00:AA:BB:CC") +
                '\0');
  EXPECT_EQ(wireOf([&] { link.sendNetworkHardwareAddress('w', "X"); }, 4),
            bytes({0x09, 'w', 'X', 0x00}));
  EXPECT_EQ(wireOf([&] { link.sendInputName(16, "Phono"); }, 8),
            std::string("\x91\x10Phono") + '\0');
  EXPECT_EQ(wireOf([&] { link.sendTcpCommand("[VOL]"); }, 7), std::string("\x10[VOL]") + '\0');
}

TEST_F(ControllerLinkTest, HardwareAddressOfUnknownKindSendsNothing) {
  EXPECT_EQ(link.sendNetworkHardwareAddress('x', "02:00:00:AA:BB:CC"), 0);
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(ControllerLinkTest, DaMessageWithZeroMiddleByteIsCutThere) {
  EXPECT_EQ(wireOf([&] { link.sendDaMessage(0x300055); }, 2), bytes({0x55, 0x00}));
}

TEST_F(ControllerLinkTest, TcpCommandIsCutToTwentyOneBytes) {
  // The code and twenty characters fill the frame text exactly.
  for (const std::size_t length : {19U, 20U, 21U, 40U}) {
    const std::string kept(std::min<std::size_t>(length, 20), 'A');
    EXPECT_EQ(wireOf([&] { link.sendTcpCommand(std::string(length, 'A')); }, kept.size() + 2),
              "\x10" + kept + '\0')
        << length;
  }
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(ControllerLinkTest, FrameTextIsLimitedTo255BytesAndAlwaysTerminated) {
  for (const std::size_t length : {254U, 255U, 256U, 300U}) {
    const std::size_t kept = std::min<std::size_t>(length, 255);
    EXPECT_EQ(link.sendFrame(std::string(length, 'Z')), 0);
    EXPECT_EQ(pty.readMaster(kept + 1), std::string(kept, 'Z') + '\0') << length;
  }
  EXPECT_EQ(pty.readMaster(), "");
}

TEST_F(ControllerLinkTest, TraceLineStopsWithinItsBuffer) {
  const std::string text = std::string(1, '\x7F') + std::string(254, '\x41');
  link.sendFrame(text);
  pty.readMaster(256);
  const std::string trace = frameTraceText(">>> ", text);
  EXPECT_EQ(trace.size(), 8U + 3U * 82U);
  EXPECT_EQ(trace.substr(0, 14), ">>> 0x7F 41 41");
  EXPECT_THAT(console.prints(), ElementsAre("\033[31m" + trace + "\033[0m\n"));
}

TEST_F(ControllerLinkTest, WriteFailureIsReportedAndReturnsMinusOne) {
  link.attach(-1);
  EXPECT_EQ(link.sendCode(0x01), -1);
  ASSERT_EQ(console.errors().size(), 1U);
  EXPECT_EQ(console.errors()[0].substr(0, 17), ">>> ERROR: write\n");
}

class ControllerReceiveTest : public ControllerLinkTest {
 protected:
  ControllerReceiveTest() {
    link.setFrameHandler([this](std::string_view f) { frames.emplace_back(f); });
  }
};

TEST_F(ControllerReceiveTest, TwoFramesInOneReadAreHandledInOrder) {
  receive(bytes({0x02, 0x00, 0x03, '1', '2', 0x00}));
  EXPECT_THAT(frames, ElementsAre(bytes({0x02}), std::string("\x03"
                                                             "12")));
  EXPECT_THAT(console.prints(),
              ElementsAre("\033[35m<<< 0x02\033[0m\n", "\033[35m<<< 0x03 31 32\033[0m\n"));
}

TEST_F(ControllerReceiveTest, SplitFrameIsHandledOnceWhenItsTerminatorArrives) {
  receive(bytes({0x91, 0x03, 'A'}));
  EXPECT_TRUE(frames.empty());
  receive(bytes({'B', 0x00}));
  EXPECT_THAT(frames, ElementsAre(bytes({0x91, 0x03, 'A', 'B'})));
}

TEST_F(ControllerReceiveTest, LoneZeroIsAnEmptyFrameTracedAsCodeZero) {
  receive(bytes({0x00}));
  EXPECT_THAT(frames, ElementsAre(""));
  EXPECT_THAT(console.prints(), ElementsAre("\033[35m<<< 0x00\033[0m\n"));
}

TEST_F(ControllerReceiveTest, FramesUpToTheBufferSizeAreKeptLongerOnesDropped) {
  // 1023 bytes and the terminator fill the receive buffer exactly; one byte more overflows.
  const std::string dropped = "<<< ERROR: frame longer than 1024 bytes dropped\n";
  for (const std::size_t length : {1022U, 1023U, 1024U, 1500U}) {
    SCOPED_TRACE(length);
    frames.clear();
    console.clear();
    const std::string frame(length, 'y');
    const std::string wire = frame + '\0';
    for (std::size_t at = 0; at < wire.size(); at += 700) receive(wire.substr(at, 700));
    receive(bytes({0x02, 0x00}));
    const bool kept = length <= 1023;
    std::vector<std::string> expected = {bytes({0x02})};
    if (kept) expected.insert(expected.begin(), frame);
    EXPECT_EQ(frames, expected);
    const auto prints = console.prints();
    EXPECT_EQ(std::count(prints.begin(), prints.end(), dropped), kept ? 0 : 1);
  }
}

TEST_F(ControllerReceiveTest, NestedPollKeepsFramesWholeAndInOrder) {
  // The first frame's handler polls again (as the DA handshake does) while the rest of
  // the first read, a frame begun but not ended, is still waiting.
  bool nested = false;
  link.setFrameHandler([&](std::string_view f) {
    frames.emplace_back(f);
    if (!nested) {
      nested = true;
      pty.writeMaster(bytes({'2', 0x00, '3', 0x00}));
      pty.awaitSlaveReadable();
      link.controllerReceiveStep();
    }
  });
  receive(bytes({0x56, 0x00, '0', '1'}));
  EXPECT_THAT(frames, ElementsAre(bytes({0x56}), "012", "3"));
}

TEST_F(ControllerReceiveTest, ReceiveQueueStaysEmptyWhileAHandlerPollsForLong) {
  // A DA module that keeps saying it is updating holds the handshake (and so the outer
  // frame's handler) for as long as it likes; what arrives meanwhile must not pile up.
  std::vector<std::size_t> queueSizes;
  link.setFrameHandler([&](std::string_view f) {
    frames.emplace_back(f);
    if (frames.size() > 1) return;
    for (int i = 0; i < 50; ++i) {
      receive(std::string(30, 'a') + '\0');
      queueSizes.push_back(link.receiveQueueSize());
    }
  });
  receive(bytes({0x56, 0x00}));
  EXPECT_EQ(frames.size(), 51U);
  EXPECT_EQ(std::count(queueSizes.begin(), queueSizes.end(), 0U), 50);
}

TEST_F(ControllerLinkTest, HandshakeAgainstSilentControllerSendsElevenHellos) {
  FakePoller poller;
  EXPECT_EQ(link.runHandshake(poller), 1);
  EXPECT_EQ(poller.steps, 5000);
  std::string expected = bytes({0x02, 0x00});
  for (int i = 0; i < 11; ++i) expected += bytes({0x01, 0x00});
  EXPECT_EQ(pty.readMaster(expected.size()), expected);
}

TEST_F(ControllerLinkTest, HandshakeEndsAsSoonAsTheControllerIsReady) {
  link.setFrameHandler([&](std::string_view f) {
    if (f == "\x02") link.markReady();
  });
  FakePoller poller;
  poller.onStep = [&](int step) {
    if (step == 700) receive(bytes({0x02, 0x00}));
  };
  EXPECT_EQ(link.runHandshake(poller), 0);
  EXPECT_EQ(poller.steps, 701);
  EXPECT_TRUE(link.isReady());
  // ready, hello, then the repeated hellos of steps 0 and 500.
  EXPECT_EQ(pty.readMaster(8), bytes({0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}));
}

TEST_F(ControllerLinkTest, ConcurrentSendersNeverInterleaveFrames) {
  constexpr int kThreads = 4;
  constexpr int kFramesEach = 200;
  std::string received;
  std::thread reader([&] {
    const std::size_t total = static_cast<std::size_t>(kThreads) * kFramesEach * 41;
    received = pty.readMaster(total);
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const std::string text(40, static_cast<char>('a' + t));
      for (int i = 0; i < kFramesEach; ++i) link.sendFrame(text);
    });
  }
  for (auto& s : senders) s.join();
  reader.join();
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < received.size()) {
    const std::size_t end = received.find('\0', start);
    ASSERT_NE(end, std::string::npos);
    const std::string frame = received.substr(start, end - start);
    ASSERT_EQ(frame.size(), 40U);
    EXPECT_EQ(frame.find_first_not_of(frame[0]), std::string::npos) << "interleaved frame";
    ++count;
    start = end + 1;
  }
  EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kFramesEach));
  for (const auto& line : console.prints()) {
    EXPECT_EQ(line.size(), std::string("\033[31m").size() + 8 + 39 * 3 + 5);
  }
}

}  // namespace
}  // namespace vantorellabs

namespace vantorellabs {
namespace {

// A port whose system calls follow a script: each write takes at most the next scripted
// count of bytes, or fails with the scripted errno (a negative entry); reads likewise.
struct ScriptedPort {
  std::deque<int> writes;
  std::deque<int> reads;
  std::string wire;
  int polls = 0;
  std::chrono::milliseconds pollDelay{0};
  int queued = 0;
  short revents = 0;

  PortIo io() {
    PortIo io;
    io.write = [this](int, const void* data, std::size_t size) -> ssize_t {
      const int step = writes.empty() ? 1 << 20 : writes.front();
      if (!writes.empty()) writes.pop_front();
      if (step < 0) {
        errno = -step;
        return -1;
      }
      const std::size_t n = std::min<std::size_t>(size, static_cast<std::size_t>(step));
      wire.append(static_cast<const char*>(data), n);
      return static_cast<ssize_t>(n);
    };
    io.read = [this](int, void* data, std::size_t) -> ssize_t {
      const int step = reads.empty() ? -EAGAIN : reads.front();
      if (!reads.empty()) reads.pop_front();
      if (step < 0) {
        errno = -step;
        return -1;
      }
      std::memset(data, 0x02, static_cast<std::size_t>(step));
      return step;
    };
    io.poll = [this](pollfd* fds, nfds_t, int) {
      ++polls;
      std::this_thread::sleep_for(pollDelay);
      fds->revents = revents;
      return 1;
    };
    io.outputQueued = [this](int) { return queued; };
    return io;
  }
};

TEST(ControllerLinkIoTest, WritesWaitForRoomAndFinishEveryFrameTheyBegin) {
  struct Case {
    const char* what;
    std::deque<int> writes;
    std::chrono::milliseconds pollDelay;
    int result;
    std::string wire;
    std::vector<std::string> errors;
  };
  const std::string frame = "\x80\x28" + std::string(1, '\0');
  const Case cases[] = {
      {"room comes back", {-EAGAIN, -EAGAIN}, std::chrono::milliseconds(0), 0, frame, {}},
      {"a partial write is finished", {1, -EAGAIN, 1}, std::chrono::milliseconds(0), 0, frame, {}},
      // Past the wait limit, but a byte is already out: the rest must follow, or the
      // next frame would be read as this one's payload.
      {"a begun frame outlasts the limit",
       {1, -EAGAIN, -EAGAIN},
       std::chrono::milliseconds(150),
       0,
       frame,
       {}},
      {"no room before the first byte",
       {-EAGAIN, -EAGAIN, -EAGAIN, -EAGAIN},
       std::chrono::milliseconds(120),
       -1,
       "",
       {">>> ERROR: write\n|11"}},
      {"a port error", {-EIO}, std::chrono::milliseconds(0), -1, "", {">>> ERROR: write\n|5"}},
  };
  for (const auto& c : cases) {
    ScriptedPort port;
    port.writes = c.writes;
    port.pollDelay = c.pollDelay;
    testing::RecordingConsole console;
    ControllerLink link(console, port.io());
    EXPECT_EQ(link.sendCodeByte(0x80, 0x28), c.result) << c.what;
    EXPECT_EQ(port.wire, c.wire) << c.what;
    EXPECT_EQ(console.errors(), c.errors) << c.what;
  }
}

TEST(ControllerLinkIoTest, OnlyRealReadErrorsAreReportedAndEachRunOfThemOnce) {
  ScriptedPort port;
  port.reads = {-EAGAIN, -EIO, -EINTR, -EIO, 2, -EAGAIN, -EIO};
  testing::RecordingConsole console;
  ControllerLink link(console, port.io());
  for (int i = 0; i < 7; ++i) link.controllerReceiveStep();
  const auto prints = console.prints();
  EXPECT_EQ(std::count(prints.begin(), prints.end(), "<<< ERROR: read\n"), 2);
}

// A read error that lasts: NOT_SERVING while it fails, SERVING again once a read works,
// and the end of the process once it has failed for more than a minute.
TEST(ControllerLinkIoTest, APortThatKeepsFailingIsShownAndEndsTheProcessAfterAMinute) {
  ScriptedPort port;
  port.reads = {-EIO, -EIO, -EIO};
  testing::RecordingConsole console;
  testing::FakeClock clock;
  ControllerLink link(console, port.io());
  std::vector<bool> health;
  ControllerReadWatch watch(link, clock, console, [&](bool serving) { health.push_back(serving); });
  watch.step();
  EXPECT_TRUE(health.empty());
  link.controllerReceiveStep();
  watch.step();
  clock.now += ControllerReadWatch::kGiveUpSeconds;
  watch.step();
  EXPECT_EQ(health, std::vector<bool>{false});
  // The reads run out: the port answers "nothing there" again.
  watch.step();
  EXPECT_EQ(health, (std::vector<bool>{false, true}));
  EXPECT_THAT(console.prints(), ElementsAre("<<< ERROR: read\n", "Controller port reads again\n"));

  port.reads = std::deque<int>(100, -EIO);
  link.controllerReceiveStep();
  watch.step();
  clock.now += ControllerReadWatch::kGiveUpSeconds + 1;
  EXPECT_EXIT(watch.step(), ::testing::ExitedWithCode(1), "");
}

// An empty read is normal with VMIN 0; on a port that has hung up it is the end.
TEST(ControllerLinkIoTest, AnEmptyReadEndsTheProcessOnlyWhenThePortHungUp) {
  ScriptedPort port;
  port.reads = {0};
  testing::RecordingConsole console;
  ControllerLink link(console, port.io());
  EXPECT_FALSE(link.controllerReceiveStep());
  EXPECT_FALSE(link.readFailing());
  port.reads = {0};
  port.revents = POLLIN | POLLHUP;
  EXPECT_EXIT(link.controllerReceiveStep(), ::testing::ExitedWithCode(1), "");
}

TEST(ControllerLinkIoTest, OtherThreadsWaitForTheLineButTheLoopThreadDoesNot) {
  // What the driver still holds: 230 bytes are just under 20 ms of line time, so a client's
  // frame goes out at once; 231 are just over, and a line that never drains drops the frame
  // at the end of its wait; ten seconds of output drop it at once. The loop's own frame
  // always goes out.
  for (const int queued : {230, 231, 115200}) {
    SCOPED_TRACE(queued);
    ScriptedPort port;
    port.queued = queued;
    testing::RecordingConsole console;
    ControllerLink link(console, port.io());
    int clientResult = 0;
    std::thread([&] { clientResult = link.sendCodeByte(0x80, 0x28); }).join();
    const bool sent = queued <= 230;
    EXPECT_EQ(clientResult, sent ? 0 : -1);
    const std::vector<std::string> dropped = {">>> ERROR: write\n|11"};
    EXPECT_EQ(console.errors(), sent ? std::vector<std::string>() : dropped);
    EXPECT_EQ(link.sendCode(0x02), 0);
    EXPECT_EQ(port.wire, (sent ? "\x80\x28" + std::string(1, '\0') : "") + "\x02" + '\0');
  }
}

}  // namespace
}  // namespace vantorellabs
