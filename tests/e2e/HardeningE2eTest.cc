// What the daemon must survive from its two sides: text from the amplifier that is not
// UTF-8, and clients that flood the serial link faster than it can carry.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "audio_inputs_activation_service.grpc.pb.h"
#include "audio_inputs_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Gt;
using ::testing::Key;
using ::testing::Pair;

const std::string kReplacement = "\xEF\xBF\xBD";

class HardeningE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options = {}) {
    BoardTest::boot(options);
    ASSERT_TRUE(daemon.waitForOutput("<<< 0xB5"));
    channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
  }

  std::shared_ptr<grpc::Channel> channel;
};

// The C++ client parses strictly: a string field that is not UTF-8 fails the whole message
// and ends the stream, as it does in Swift and other strict clients.
TEST_F(HardeningE2eTest, AmplifierTextThatIsNotUtf8ReachesClientsAsValidUtf8) {
  boot();
  auto activation = pb::AudioInputsActivationService::NewStub(channel);
  auto inputs = pb::AudioInputsService::NewStub(channel);
  using Active = pb::ObserveActiveAudioInputResponse;
  StreamReader<Active> stream(
      [&](grpc::ClientContext* c) { return activation->ObserveActiveInput(c, {}); });
  ASSERT_EQ(stream.waitFor([](const Active&) { return true; }), 0);

  // Latin-1 from a radio station, and metadata cut in the middle of a character.
  sim->sendFrame(std::string("\xA6\x01") + "Caf\xE9 FM");
  sim->sendFrame(std::string("\xA7") + "Track \xE9t\xE9");
  sim->sendFrame(std::string("\xA7") + "Song \xE2\x82");
  sim->sendFrame(std::string("\x91\x03") + "Ph\xF6no");
  const int name = stream.waitFor(
      [](const Active& m) { return m.activeinput().customname() == "Caf" + kReplacement + " FM"; });
  EXPECT_GE(name, 0);
  const int cut = stream.waitFor(
      [](const Active& m) { return m.activeinput().inputmetadata() == "Song "; }, name);
  EXPECT_GE(cut, 0);

  // A new subscription starts from the stored text and parses too.
  StreamReader<Active> second(
      [&](grpc::ClientContext* c) { return activation->ObserveActiveInput(c, {}); });
  EXPECT_EQ(second.waitFor([](const Active& m) {
    return m.activeinput().customname() == "Caf" + kReplacement + " FM";
  }),
            0);

  grpc::ClientContext context;
  pb::GetAudioInputRequest request;
  request.set_id(3);
  pb::GetAudioInputResponse response;
  ASSERT_TRUE(inputs->GetInput(&context, request, &response).ok());
  EXPECT_EQ(response.input().customname(), "Ph" + kReplacement + "no");
  // The first stream is still open: nothing made it fail.
  sim->sendFrame(std::string("\xA7") + "Still here");
  EXPECT_GE(
      stream.waitFor(
          [](const Active& m) { return m.activeinput().inputmetadata() == "Still here"; }, cut),
      0);
  EXPECT_THAT(daemon.output(), ::testing::HasSubstr("Track " + kReplacement + "t"));
}

// Four clients flood SetVolume while the amplifier reads its port no faster than the line
// carries bytes. The daemon's answers to the controller's hellos overtake the clients'
// queued commands (only what the line already held comes first), and none of them, nor the
// periodic status report, is lost.
TEST_F(HardeningE2eTest, LoopFramesOvertakeAClientFloodAndNoneIsLost) {
  ampsim::AmpSimOptions options;
  options.readAtLineRate = true;
  boot(options);
  std::atomic<bool> flooding{true};
  std::atomic<int> failedCalls{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      auto volume = pb::VolumeService::NewStub(channel);
      for (int i = 0; flooding; ++i) {
        grpc::ClientContext context;
        pb::SetVolumeRequest request;
        request.set_volume(20 + (i + c) % 2);
        pb::SetVolumeResponse response;
        if (!volume->SetVolume(&context, request, &response).ok()) ++failedCalls;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let the backlog build up
  const std::size_t floodStart = sim->receivedFrames().size();
  constexpr int kHellos = 10;
  for (int h = 0; h < kHellos; ++h) {
    const std::size_t from = sim->receivedFrames().size();
    sim->sendFrame("\x01");
    const int answer = sim->waitForCode(0x02, from);
    ASSERT_GE(answer, 0) << "hello " << h << " unanswered";
    const auto frames = sim->receivedFrames();
    const auto ahead = std::count_if(frames.begin() + from, frames.begin() + answer,
                                     [](const std::string& f) { return f[0] == '\x80'; });
    // On the line ahead of the answer: what the daemon lets clients queue (about 20 ms of
    // the line, some 80 volume commands) plus what the line carries while the loop wakes
    // up, which a sanitizer build on a busy machine stretches to a tenth of a second or
    // more. A quarter of a second of the line (about 1,000 commands) still tells it from
    // the thousands a pseudo-terminal's buffer would hold; the latency itself is measured
    // by the flood benchmark.
    EXPECT_LT(ahead, 1000) << "hello " << h;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
  }
  flooding = false;
  for (auto& t : clients) t.join();
  const auto frames = sim->receivedFrames();
  EXPECT_EQ(std::count(frames.begin() + floodStart, frames.end(), std::string("\x02")), kHellos);
  EXPECT_GE(std::count_if(frames.begin() + floodStart, frames.end(),
                          [](const std::string& f) { return f[0] == '\x09'; }),
            1)
      << "the periodic status report got through";
  EXPECT_EQ(failedCalls, 0);
}

// Programs the daemon starts hold only their standard streams (a pipe's own end among
// them), never the amplifier's ports or the daemon's sockets: the announcer, which stays in
// the background, and hcidump, started again after the ports were opened. The probe leaves
// a program of its own in the background, as both tools do, and tells its process id.
TEST_F(HardeningE2eTest, ProgramsTheDaemonStartsInheritOnlyTheirStandardStreams) {
  const std::string probe =
      "#!/bin/sh\nsleep 600 &\necho $! >/board/p.$$ && mv /board/p.$$ /board/pid.${0##*/}\n";
  writeBoardScript("/board/scenario/vtl-sddp", probe);
  writeBoardScript("/board/scenario/hcidump", probe);
  boot();
  ASSERT_TRUE(waitForFileText("/board/pid.vtl-sddp", "\n", seconds(30)));
  ASSERT_TRUE(waitForFileText("/board/pid.hcidump", "\n", seconds(30)));
  const std::string first = readFile("/board/pid.hcidump");
  ::kill(std::atoi(first.c_str()), SIGKILL);
  for (int i = 0; i < 300 && readFile("/board/pid.hcidump") == first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto announcer = openDescriptors(std::atoi(readFile("/board/pid.vtl-sddp").c_str()));
  const auto hcidump = openDescriptors(std::atoi(readFile("/board/pid.hcidump").c_str()));
  EXPECT_THAT(announcer, ElementsAre(Key(0), Key(1), Key(2)));
  ASSERT_THAT(hcidump, ElementsAre(Key(0), Key(1), Key(2)));
  // Its output is the pipe that the daemon reads.
  EXPECT_THAT(openDescriptors(daemon.pid()), Contains(Pair(Gt(2), hcidump.at(1))));
}

}  // namespace
}  // namespace vantorellabs::e2e
