// The observe-stream mechanism through a real gRPC server: subscription, cancellation, a
// client that stops reading, and the cap on open streams.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"
#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"
#include "Services/StreamObserver.h"
#include "Services/Volume/VolumeServiceImpl.h"
#include "server/StreamCap.h"

namespace vantorellabs {
namespace {

using testing::ServiceBench;

using testing::eventually;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::RecordingConsole;
using testing::StreamCollector;

using VolumeStream = StreamCollector<protobuf::ObserveVolumeResponse>;
using ActiveInputStream = StreamCollector<protobuf::ObserveActiveAudioInputResponse>;
using OutputsStream = StreamCollector<protobuf::ObserveActiveAudioOutputsResponse>;

class ObserveStreamTest : public ::testing::Test, protected ServiceBench {
 protected:
  void SetUp() override { ASSERT_TRUE(server.isRunning()); }

  std::unique_ptr<VolumeStream> observeVolume() {
    return std::make_unique<VolumeStream>([this](grpc::ClientContext* context) {
      return volumeStub->ObserveVolume(context, protobuf::ObserveVolumeRequest());
    });
  }
  std::unique_ptr<ActiveInputStream> observeActiveInput() {
    return std::make_unique<ActiveInputStream>([this](grpc::ClientContext* context) {
      return activationStub->ObserveActiveInput(context,
                                                protobuf::ObserveActiveAudioInputRequest());
    });
  }
  std::unique_ptr<OutputsStream> observeOutputs() {
    return std::make_unique<OutputsStream>([this](grpc::ClientContext* context) {
      return outputsStub->ObserveActiveOutputs(context,
                                               protobuf::ObserveActiveAudioOutputsRequest());
    });
  }

  VolumeServiceImpl volume{link, state};
  AudioInputsActivationServiceImpl activation{link, state};
  AudioOutputsServiceImpl outputs{link, state};
  LoopbackServer server{&volume, &activation, &outputs};
  std::unique_ptr<protobuf::VolumeService::Stub> volumeStub =
      protobuf::VolumeService::NewStub(server.channel());
  std::unique_ptr<protobuf::AudioInputsActivationService::Stub> activationStub =
      protobuf::AudioInputsActivationService::NewStub(server.channel());
  std::unique_ptr<protobuf::AudioOutputsService::Stub> outputsStub =
      protobuf::AudioOutputsService::NewStub(server.channel());
};

TEST_F(ObserveStreamTest, NewSubscriberMakesEveryStreamReceiveTheCurrentState) {
  auto first = observeVolume();
  ASSERT_TRUE(first->waitForCount(1));
  volume.updateVolume(12);
  volume.updateMute(true);
  ASSERT_TRUE(first->waitForCount(3));

  auto second = observeVolume();
  ASSERT_TRUE(second->waitForCount(1));
  ASSERT_TRUE(first->waitForCount(4));
  const auto seenByFirst = first->messages();
  const auto seenBySecond = second->messages();
  ASSERT_EQ(seenByFirst.size(), 4U);
  ASSERT_EQ(seenBySecond.size(), 1U);
  EXPECT_EQ(seenByFirst[3].volume(), 12);
  EXPECT_TRUE(seenByFirst[3].ismuted());
  EXPECT_EQ(seenBySecond[0].SerializeAsString(), seenByFirst[3].SerializeAsString());
}

TEST_F(ObserveStreamTest, CancelledStreamIsRemoved) {
  auto leaving = observeVolume();
  auto staying = observeVolume();
  ASSERT_TRUE(leaving->waitForCount(1));
  ASSERT_TRUE(staying->waitForCount(1));
  ASSERT_EQ(volume.observerCount(), 2U);
  ASSERT_EQ(StreamLimiter::instance().openStreams(), 2);

  leaving->cancel();
  EXPECT_EQ(leaving->status().error_code(), grpc::StatusCode::CANCELLED);
  EXPECT_TRUE(eventually([&] { return volume.observerCount() == 1U; }));
  EXPECT_TRUE(eventually([] { return StreamLimiter::instance().openStreams() == 1; }));

  // The one left still gets every broadcast.
  const std::size_t before = staying->count();
  volume.updateVolume(33);
  ASSERT_TRUE(staying->waitForCount(before + 1));
  EXPECT_EQ(staying->messages().back().volume(), 33);
}

// About 20 KB, with the counter first, so that a message out of order or missing shows.
std::string metadataText(int counter) {
  return std::to_string(counter) + ":" + std::string(20000, static_cast<char>('a' + counter % 26));
}

TEST_F(ObserveStreamTest, ClientThatStopsReadingBlocksNeitherTheBroadcasterNorOthers) {
  auto healthy = observeActiveInput();
  ASSERT_TRUE(healthy->waitForCount(1));

  // Another client on its own connection opens a stream and never reads from it.
  auto stalledStub = protobuf::AudioInputsActivationService::NewStub(server.channel());
  grpc::ClientContext stalledContext;
  auto stalled =
      stalledStub->ObserveActiveInput(&stalledContext, protobuf::ObserveActiveAudioInputRequest());
  // Its subscription resends the current state to the healthy stream.
  ASSERT_TRUE(healthy->waitForCount(2));
  ASSERT_EQ(activation.observerCount(), 2U);

  // Far more bytes than a stream may fall behind (12 MB against 256 KB, well beyond what
  // the connection's flow-control window lets the client's transport take in), in fewer
  // messages than its count limit: only the bound in bytes ends the stalled stream. The broadcast
  // runs here, as the main loop's reports would; it must never wait for the stalled client.
  constexpr int kMessages = 600;
  int sent = 0;
  {
    const testing::Watchdog watchdog("the broadcast loop", 5 * testing::kFailsafe);
    for (; sent < kMessages; ++sent) {
      activation.updateActiveMetadata(metadataText(sent));
      if (!healthy->waitForCount(3 + static_cast<std::size_t>(sent))) break;
    }
  }
  EXPECT_EQ(sent, kMessages);

  const auto messages = healthy->messages();
  ASSERT_EQ(messages.size(), 2U + kMessages);
  for (int i = 0; i < kMessages; ++i) {
    const std::string& text = messages[2 + i].activeinput().inputmetadata();
    ASSERT_EQ(text, metadataText(i)) << "message " << i << " starts " << text.substr(0, 8);
  }

  // The stalled stream was ended and unregistered; its thread and its place under the
  // stream cap came back.
  EXPECT_TRUE(eventually([&] { return activation.observerCount() == 1U; }));
  EXPECT_TRUE(eventually([] { return StreamLimiter::instance().openStreams() == 1; }));

  stalledContext.TryCancel();
  EXPECT_FALSE(stalled->Finish().ok());
}

// A stream whose handler queues messages of the given sizes before it writes any, as a
// stream whose client stopped reading would hold them, and notes the message (counted from
// 1) at which the stream was ended for falling behind; 0 when it never was.
class BacklogProbe final : public protobuf::AudioInputsActivationService::Service {
 public:
  using Response = protobuf::ObserveActiveAudioInputResponse;

  std::size_t run(const std::vector<std::size_t>& sizes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sizes_ = sizes;
      endedAt_ = 0;
    }
    LoopbackServer server{this};
    auto stub = protobuf::AudioInputsActivationService::NewStub(server.channel());
    grpc::ClientContext context;
    auto stream = stub->ObserveActiveInput(&context, protobuf::ObserveActiveAudioInputRequest());
    Response ignored;
    while (stream->Read(&ignored)) {
    }
    stream->Finish();
    std::lock_guard<std::mutex> lock(mutex_);
    return endedAt_;
  }

  grpc::Status ObserveActiveInput(grpc::ServerContext* context,
                                  const protobuf::ObserveActiveAudioInputRequest* /*request*/,
                                  grpc::ServerWriter<Response>* writer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    StreamObserver<Response> observer(context, writer);
    for (std::size_t i = 0; i < sizes_.size() && endedAt_ == 0; ++i) {
      observer.post(messageOfSize(sizes_[i]));
      if (observer.fellBehind()) endedAt_ = i + 1;
    }
    return grpc::Status::OK;
  }

  static Response messageOfSize(std::size_t size) {
    Response message;
    for (std::size_t text = size; text > 0; --text) {
      message.mutable_activeinput()->set_inputmetadata(std::string(text, 'm'));
      if (message.ByteSizeLong() == size) return message;
    }
    ADD_FAILURE() << "no message of " << size << " bytes";
    return message;
  }

 private:
  std::mutex mutex_;
  std::vector<std::size_t> sizes_;
  std::size_t endedAt_ = 0;
};

TEST(StreamBacklogTest, EachBoundEndsTheStreamOnItsOwnJustPastItsLimit) {
  using Observer = StreamObserver<protobuf::ObserveActiveAudioInputResponse>;
  static_assert(Observer::kMaxQueuedMessages == 1024 && Observer::kMaxQueuedBytes == 262144);
  const auto repeat = [](std::size_t count, std::size_t size) {
    return std::vector<std::size_t>(count, size);
  };
  const auto withLast = [](std::vector<std::size_t> sizes, std::size_t last) {
    sizes.push_back(last);
    return sizes;
  };
  struct Case {
    const char* what;
    std::vector<std::size_t> sizes;
    std::size_t endedAt;
  };
  // The count rows stay far below the byte bound (8 KB), the byte rows far below the count.
  const Case cases[] = {
      {"1023 messages", repeat(1023, 8), 0},
      {"1024 messages", repeat(1024, 8), 0},
      {"1025 messages", repeat(1025, 8), 1025},
      {"256 KB less a byte", withLast(repeat(255, 1024), 1023), 0},
      {"256 KB", repeat(256, 1024), 0},
      {"256 KB and a byte", withLast(repeat(255, 1024), 1025), 256},
  };
  BacklogProbe probe;
  for (const Case& c : cases) {
    EXPECT_EQ(probe.run(c.sizes), c.endedAt) << c.what;
  }
}

TEST(StreamCapTest, OnlyTheLibrarysOwnStreamsAreCapped) {
  const std::pair<const char*, bool> methods[] = {
      {"/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo", true},
      {"/grpc.reflection.v1.ServerReflection/ServerReflectionInfo", true},
      {"/grpc.health.v1.Health/Watch", true},
      // Unary calls are not; the API's own streams are counted by their handlers.
      {"/grpc.health.v1.Health/Check", false},
      {"/vantorellabs.protobuf.VolumeService/ObserveVolume", false},
      {"/grpc.health.v1.Health/Watc", false},
      {"/grpc.health.v1.Health/Watch/", false},
      {"", false},
  };
  for (const auto& [method, capped] : methods) {
    EXPECT_EQ(isCappedLibraryStream(method), capped) << method;
  }
}

template <typename Stream>
void expectRefused(Stream& stream) {
  ASSERT_TRUE(stream.waitForEnd());
  EXPECT_EQ(stream.status().error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
  EXPECT_EQ(stream.status().error_message(), "Too many open streams");
  EXPECT_EQ(stream.count(), 0U);
}

// Puts the process-wide cap back however the test ends.
class StreamLimit {
 public:
  explicit StreamLimit(int limit) { StreamLimiter::instance().setLimit(limit); }
  ~StreamLimit() { StreamLimiter::instance().setLimit(StreamLimiter::kMaxObserveStreams); }
  StreamLimit(const StreamLimit&) = delete;
  StreamLimit& operator=(const StreamLimit&) = delete;
};

TEST_F(ObserveStreamTest, StreamsBeyondTheCapAreRefusedWhileUnaryCallsGoOn) {
  ASSERT_EQ(StreamLimiter::instance().openStreams(), 0);
  StreamLimit limit(3);

  // The cap is for the whole process, whichever service the streams belong to.
  auto volumeStream = observeVolume();
  auto activeInputStream = observeActiveInput();
  auto outputsStream = observeOutputs();
  ASSERT_TRUE(volumeStream->waitForCount(1));
  ASSERT_TRUE(activeInputStream->waitForCount(1));
  ASSERT_TRUE(outputsStream->waitForCount(1));

  expectRefused(*observeVolume());
  expectRefused(*observeOutputs());
  EXPECT_EQ(volume.observerCount(), 1U);
  EXPECT_EQ(outputs.observerCount(), 1U);
  EXPECT_EQ(StreamLimiter::instance().openStreams(), 3);

  // Unary calls are not counted.
  {
    grpc::ClientContext context;
    protobuf::GetVolumeServiceSchemaResponse schema;
    EXPECT_TRUE(
        volumeStub->GetServiceSchema(&context, protobuf::GetVolumeServiceSchemaRequest(), &schema)
            .ok());
    EXPECT_EQ(schema.volume().range().max(), 100);
  }
  {
    grpc::ClientContext context;
    protobuf::GetAudioOutputsResponse response;
    EXPECT_TRUE(
        outputsStub->GetOutputs(&context, protobuf::GetAudioOutputsRequest(), &response).ok());
    EXPECT_EQ(response.outputs_size(), 4);
  }

  // A stream that ends frees its place.
  volumeStream->cancel();
  ASSERT_TRUE(eventually([] { return StreamLimiter::instance().openStreams() == 2; }));
  auto admitted = observeOutputs();
  ASSERT_TRUE(admitted->waitForCount(1));
  EXPECT_THAT(admitted->messages()[0].ids(), ::testing::ElementsAre(1U));
  EXPECT_EQ(outputs.observerCount(), 2U);
}

TEST_F(ObserveStreamTest, RequestsReportsAndSubscriptionsMeetSafely) {
  // Mainly for the ThreadSanitizer build: RPC threads, stream threads and the thread that
  // delivers reports all reach the same mirrors at once, as they do on the board.
  outputs.updateOutputSwitched(2, true);
  auto watcher = observeActiveInput();
  ASSERT_TRUE(watcher->waitForCount(1));

  std::atomic<bool> stop{false};
  std::atomic<int> failedCalls{0};
  std::atomic<int> clientRounds{0};
  std::atomic<int> visits{0};
  std::vector<std::thread> threads;
  // The controller's side of the link, so that commands never fill the terminal's buffer.
  threads.emplace_back([&] {
    while (!stop) pty.readAvailable();
  });
  threads.emplace_back([&] {
    auto volumeClient = protobuf::VolumeService::NewStub(server.channel());
    auto outputsClient = protobuf::AudioOutputsService::NewStub(server.channel());
    auto activationClient = protobuf::AudioInputsActivationService::NewStub(server.channel());
    for (int i = 0; !stop; ++i) {
      grpc::ClientContext setVolume;
      protobuf::SetVolumeRequest volumeRequest;
      volumeRequest.set_volume(i % 101);
      protobuf::SetVolumeResponse volumeResponse;
      if (!volumeClient->SetVolume(&setVolume, volumeRequest, &volumeResponse).ok()) ++failedCalls;

      grpc::ClientContext updateOutput;
      protobuf::UpdateAudioOutputRequest outputRequest;
      outputRequest.set_id(2);
      outputRequest.set_isactive(i % 2 == 0);
      protobuf::UpdateAudioOutputResponse outputResponse;
      if (!outputsClient->UpdateOutput(&updateOutput, outputRequest, &outputResponse).ok()) {
        ++failedCalls;
      }

      grpc::ClientContext getOutputs;
      protobuf::GetAudioOutputsResponse outputsResponse;
      if (!outputsClient
               ->GetOutputs(&getOutputs, protobuf::GetAudioOutputsRequest(), &outputsResponse)
               .ok()) {
        ++failedCalls;
      }

      grpc::ClientContext setActiveInput;
      protobuf::SetActiveAudioInputRequest inputRequest;
      inputRequest.set_id(1 + i % 16);
      protobuf::SetActiveAudioInputResponse inputResponse;
      if (!activationClient->SetActiveInput(&setActiveInput, inputRequest, &inputResponse).ok()) {
        ++failedCalls;
      }
      ++clientRounds;
    }
  });
  // A client that comes and goes a few times; each stream it leaves holds its server thread
  // for up to a second more.
  threads.emplace_back([&] {
    while (!stop && visits < 5) {
      auto passing = observeOutputs();
      passing->waitForCount(1);
      passing->cancel();
      ++visits;
    }
  });

  // Reports keep coming until every thread has been through its work a good number of times.
  // Each round waits for the watcher, which sees two messages a round, so that it never
  // falls far enough behind to be cut off.
  const auto deadline = std::chrono::steady_clock::now() + testing::kFailsafe;
  int round = 0;
  bool watcherKeptUp = true;
  for (; round < 300 || clientRounds < 50 || visits < 5; ++round) {
    if (std::chrono::steady_clock::now() > deadline) break;
    volume.updateVolume(round % 101);
    volume.checkPendingVolume(round % 7);
    volume.updateMute(round % 3 == 0);
    outputs.updateOutputActive(2 + round % 2, round % 5 == 0);
    outputs.updateHeadphonesActive(round % 2 == 0);
    activation.updateActiveInput(1 + round % 16, false);
    activation.updateActiveMetadata("Track " + std::to_string(round));
    watcherKeptUp = watcher->waitForCount(1 + 2 * static_cast<std::size_t>(round + 1));
    if (!watcherKeptUp) break;
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(watcherKeptUp);
  EXPECT_EQ(failedCalls, 0);
  EXPECT_GE(clientRounds, 50);
  EXPECT_EQ(visits, 5);
  const auto messages = watcher->messages();
  ASSERT_EQ(messages.size(), 1 + 2 * static_cast<std::size_t>(round));
  EXPECT_EQ(messages.back().activeinput().inputmetadata(), "Track " + std::to_string(round - 1));
}

}  // namespace
}  // namespace vantorellabs
