// The gRPC host, end to end: when it starts, what it serves, how it treats idle clients.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <google/protobuf/descriptor.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/client_unary_call.h>
#include <grpcpp/impl/codegen/rpc_method.h>
#include <grpcpp/impl/codegen/sync_stream.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

#include "AmpSimulator.h"
#include "E2eHarness.h"

namespace vantorellabs::e2e {
namespace {

using ::testing::HasSubstr;

constexpr const char* kTarget = "127.0.0.1:50051";

struct ApiMethod {
  std::string path;
  bool serverStreaming;
};

// Every method of every service in the API package, from the compiled schema.
std::vector<ApiMethod> allApiMethods() {
  const auto* pool = google::protobuf::DescriptorPool::generated_pool();
  const auto* index = pool->FindFileByName("index.proto");
  std::vector<ApiMethod> methods;
  for (int d = 0; d < index->dependency_count(); ++d) {
    const auto* file = index->dependency(d);
    for (int s = 0; s < file->service_count(); ++s) {
      const auto* service = file->service(s);
      for (int m = 0; m < service->method_count(); ++m) {
        const auto* method = service->method(m);
        methods.push_back(
            {"/" + service->full_name() + "/" + method->name(), method->server_streaming()});
      }
    }
  }
  return methods;
}

// Calls a method by its path with an empty request and returns the final status.
grpc::Status callByPath(const std::shared_ptr<grpc::Channel>& channel, const ApiMethod& m) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(5));
  grpc::Slice empty("");
  const grpc::ByteBuffer request(&empty, 1);
  if (!m.serverStreaming) {
    grpc::ByteBuffer response;
    const grpc::internal::RpcMethod method(m.path.c_str(), grpc::internal::RpcMethod::NORMAL_RPC);
    return grpc::internal::BlockingUnaryCall(channel.get(), method, &context, request, &response);
  }
  const grpc::internal::RpcMethod method(m.path.c_str(),
                                         grpc::internal::RpcMethod::SERVER_STREAMING);
  std::unique_ptr<grpc::ClientReader<grpc::ByteBuffer>> reader(
      grpc::internal::ClientReaderFactory<grpc::ByteBuffer>::Create(channel.get(), method, &context,
                                                                    request));
  grpc::ByteBuffer message;
  if (reader->Read(&message)) context.TryCancel();  // a live stream answers: enough
  return reader->Finish();
}

bool portAcceptsConnections(int port) {
  const int fd = connectTcp(port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

using ApiHostE2eTest = BoardTest;

TEST_F(ApiHostE2eTest, ServerStartsOnlyAfterTheHandshake) {
  boot();
  const std::string out = daemon.output();
  EXPECT_LT(out.find("\033[35m<<< 0x02"), out.find("Server listening on"));
  EXPECT_TRUE(portAcceptsConnections(50051));
}

TEST_F(ApiHostE2eTest, NothingListensWhileTheControllerIsSilent) {
  ampsim::AmpSimOptions options;
  options.answerHandshake = false;
  boot(options, "");
  ASSERT_TRUE(daemon.waitForOutput(">>> 0x01"));
  ASSERT_GE(sim->waitForFrame([](const std::string& f) { return f == "\x01"; }, 2), 0);
  EXPECT_FALSE(portAcceptsConnections(50051));
  EXPECT_THAT(daemon.output(), ::testing::Not(HasSubstr("Server listening")));
}

TEST_F(ApiHostE2eTest, EveryApiPathAnswers) {
  boot();
  auto channel = grpc::CreateChannel(kTarget, grpc::InsecureChannelCredentials());
  const auto methods = allApiMethods();
  ASSERT_EQ(methods.size(), 43U);
  // Every other method answers UNIMPLEMENTED: those no service of this build implements
  // yet, the two passthrough methods, and the network configuration service, which is
  // never served.
  const std::string p = "/vantorellabs.protobuf.";
  const std::set<std::string> served = {
      p + "VolumeService/GetServiceSchema",
      p + "VolumeService/ObserveVolume",
      p + "VolumeService/SetVolume",
      p + "AudioInputsService/GetServiceSchema",
      p + "AudioInputsService/GetInputs",
      p + "AudioInputsService/GetInput",
      p + "AudioInputsService/UpdateInput",
      p + "AudioInputsActivationService/SetActiveInput",
      p + "AudioInputsActivationService/ObserveActiveInput",
      p + "AudioOutputsService/GetServiceSchema",
      p + "AudioOutputsService/GetOutputs",
      p + "AudioOutputsService/GetOutput",
      p + "AudioOutputsService/UpdateOutput",
      p + "AudioOutputsService/ObserveActiveOutputs",
      p + "AudioInputControlService/SendInputCommand",
      p + "NetworkInformationService/GetNetworkInformation",
      p + "FirmwareUpdateService/GetFirmwareUpdateConfiguration",
      p + "FirmwareUpdateService/SetFirmwareUpdateConfiguration",
      p + "FirmwareUpdateService/GetAvailableFirmwareUpdates",
      p + "FirmwareUpdateService/StartFirmwareUpdate",
      p + "FirmwareUpdateService/GetFirmwareUpdateStatus",
      p + "FeatureAvailabilityService/GetAvailableFeatures",
      p + "InformationService/GetInformation",
      p + "InformationService/NoOperation",
      p + "NameService/GetNameSchema",
      p + "NameService/GetName",
      p + "NameService/SetName",
      p + "SystemService/GetServiceSchema",
      p + "SystemService/GetPower",
      p + "SystemService/ObservePower",
      p + "SystemService/SetPower",
      p + "SystemService/FactoryReset",
  };
  for (const auto& m : methods) {
    const grpc::Status status = callByPath(channel, m);
    const bool mustBeUnimplemented =
        served.count(m.path) == 0 ||
        m.path.rfind("/vantorellabs.protobuf.NetworkConfigurationService/", 0) == 0;
    if (mustBeUnimplemented) {
      EXPECT_EQ(status.error_code(), grpc::StatusCode::UNIMPLEMENTED) << m.path;
    } else {
      EXPECT_NE(status.error_code(), grpc::StatusCode::UNIMPLEMENTED) << m.path;
      EXPECT_NE(status.error_code(), grpc::StatusCode::UNAVAILABLE) << m.path;
    }
  }
}

TEST_F(ApiHostE2eTest, IdleClientThatPingsEveryFiveSecondsStaysConnected) {
  boot();
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 5000);
  args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, 10000);
  args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  args.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
  auto channel = grpc::CreateCustomChannel(kTarget, grpc::InsecureChannelCredentials(), args);
  ASSERT_TRUE(
      channel->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(10)));
  // 32 s without a call: six pings or more. A server that objected to them would close the
  // connection (GOAWAY) and the channel would leave READY. Waiting for a state change also
  // polls the connection, so the client reads the pings' acknowledgements: a synchronous
  // client with no call open would not.
  const auto end = std::chrono::system_clock::now() + std::chrono::seconds(32);
  const bool changed = channel->WaitForStateChange(GRPC_CHANNEL_READY, end);
  EXPECT_FALSE(changed) << "the connection was dropped";
  EXPECT_EQ(channel->GetState(false), GRPC_CHANNEL_READY);
}

TEST_F(ApiHostE2eTest, TakenPortEndsTheDaemonWithAClearMessage) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(50051);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  // The daemon leaves from the API thread while the main loop and the library's threads
  // run: every time, the status is 1 and the message is there (no crash on the way out).
  for (int run = 0; run < 8; ++run) {
    sim = std::make_unique<ampsim::AmpSimulator>();
    sim->start();
    DaemonProcess attempt{AMP_BRIDGE_PATH};
    attempt.start();
    EXPECT_EQ(attempt.waitExit(seconds(60)), 1) << "run " << run;
    EXPECT_THAT(attempt.output(), HasSubstr("ERROR: cannot serve the API on 0.0.0.0:50051\n"))
        << "run " << run;
  }
  ::close(fd);
}

}  // namespace
}  // namespace vantorellabs::e2e
