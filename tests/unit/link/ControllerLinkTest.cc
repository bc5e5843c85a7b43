#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "Fakes.h"
#include "link/ControllerLink.h"

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
  const std::string text(40, 'A');
  EXPECT_EQ(wireOf([&] { link.sendTcpCommand(text); }, 22),
            std::string("\x10") + std::string(20, 'A') + '\0');
}

TEST_F(ControllerLinkTest, FrameTextIsLimitedTo255BytesAndAlwaysTerminated) {
  const std::string text(300, 'Z');
  EXPECT_EQ(link.sendFrame(text), 0);
  const std::string wire = pty.readMaster(256);
  ASSERT_EQ(wire.size(), 256U);
  EXPECT_EQ(wire.substr(0, 255), std::string(255, 'Z'));
  EXPECT_EQ(wire[255], '\0');
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

TEST_F(ControllerReceiveTest, OversizedFrameIsDroppedAndTheLinkKeepsWorking) {
  std::string flood(1500, 'x');
  flood.push_back('\0');
  for (std::size_t at = 0; at < flood.size(); at += 700) receive(flood.substr(at, 700));
  receive(bytes({0x02, 0x00}));
  EXPECT_THAT(frames, ElementsAre(bytes({0x02})));
}

TEST_F(ControllerReceiveTest, FrameOfExactlyTheBufferSizeIsKept) {
  // 1023 bytes and the terminator fill the receive buffer exactly.
  std::string frame(1023, 'y');
  receive(frame.substr(0, 600));
  receive(frame.substr(600) + std::string(1, '\0'));
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_EQ(frames[0], frame);
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
