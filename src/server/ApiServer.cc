#include "server/ApiServer.h"

#include <grpcpp/create_channel.h>
#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/resource_quota.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server_builder.h>

#include <chrono>
#include <future>
#include <vector>

#include "Services/AudioInputControl/AudioInputControlServiceImpl.h"
#include "Services/AudioInputs/AudioInputsServiceImpl.h"
#include "Services/AudioInputsActivation/AudioInputsActivationServiceImpl.h"
#include "Services/AudioOutputs/AudioOutputsServiceImpl.h"
#include "Services/FeatureAvailability/FeatureAvailabilityServiceImpl.h"
#include "Services/FirmwareUpdate/FirmwareUpdateServiceImpl.h"
#include "Services/Information/InformationServiceImpl.h"
#include "Services/Name/NameServiceImpl.h"
#include "Services/NetworkInformation/NetworkInformationServiceImpl.h"
#include "Services/StreamObserver.h"
#include "Services/System/SystemServiceImpl.h"
#include "Services/Volume/VolumeServiceImpl.h"
#include "server/ApiHealth.h"
#include "server/StreamCap.h"

namespace vantorellabs {

namespace {
constexpr int kServerKeepaliveMs = 30000;
constexpr int kServerKeepaliveTimeoutMs = 20000;
constexpr int kThreadsForUnaryCalls = 32;
constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kMaxConnectionIdleMs = 300000;
constexpr auto kHealthCheckDeadline = std::chrono::seconds(5);
constexpr const char* kHealthCheckMethod = "/grpc.health.v1.Health/Check";
// HealthCheckResponse { status: SERVING } and { status: NOT_SERVING }: field 1, varint 1
// or 2.
constexpr char kServingResponse[] = {0x08, 0x01};
constexpr char kNotServingResponse[] = {0x08, 0x02};
// The health service answers SERVING for the server as a whole ("") and for each of these.
namespace pb = vantorellabs::protobuf;
const char* const kHealthReportedServices[] = {
    pb::FeatureAvailabilityService::service_full_name(),
    pb::InformationService::service_full_name(),
    pb::NameService::service_full_name(),
    pb::SystemService::service_full_name(),
    pb::NetworkInformationService::service_full_name(),
    pb::FirmwareUpdateService::service_full_name(),
    pb::VolumeService::service_full_name(),
    pb::AudioInputsService::service_full_name(),
    pb::AudioInputsActivationService::service_full_name(),
    pb::AudioOutputsService::service_full_name(),
    pb::AudioInputControlService::service_full_name(),
};
}  // namespace

void runApiServer(std::unique_ptr<grpc::Server>& holder, const std::string& address,
                  ApiServices& services, Console& console) {
  // Generic clients (grpcurl, Postman, home-automation bridges) list and call every method
  // through server reflection, without the .proto files, and check the module through the
  // standard health service. Both come in addition to the eleven API services; the feature
  // availability list does not name them.
  grpc::reflection::InitProtoReflectionServerBuilderPlugin();
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  // Phone apps hold streams open for long periods and ping to keep NAT and Wi-Fi power
  // saving from dropping them: allow pings at any time, as often as every 5 s.
  builder.AddChannelArgument("grpc.keepalive_permit_without_calls", 1);
  builder.AddChannelArgument("grpc.http2.min_ping_interval_without_data_ms", 5000);
  builder.AddChannelArgument("grpc.http2.max_pings_without_data", 0);
  builder.AddChannelArgument("grpc.http2.max_ping_strikes", 0);
  // A phone that leaves the network without closing its connection would keep its streams,
  // their threads and observers for hours: ping idle connections and drop those that do not
  // answer, so such a stream is gone within about a minute.
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIME_MS, kServerKeepaliveMs);
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, kServerKeepaliveTimeoutMs);
  // Every connection holds a descriptor. One that never completes its HTTP/2 set-up (a port
  // scanner, a peer that only opens sockets) gives it back after 10 s instead of 120, and
  // one that carries no call for five minutes is closed (clients connect again when they
  // need to). No limit on a connection's age: it would cut the observe streams that apps
  // hold open for hours.
  builder.AddChannelArgument(GRPC_ARG_SERVER_HANDSHAKE_TIMEOUT_MS, kHandshakeTimeoutMs);
  builder.AddChannelArgument(GRPC_ARG_MAX_CONNECTION_IDLE_MS, kMaxConnectionIdleMs);
  // Streams are capped below this, so unary calls always find a thread.
  grpc::ResourceQuota quota("amp-bridge");
  quota.SetMaxThreads(StreamLimiter::kMaxObserveStreams + kThreadsForUnaryCalls);
  builder.SetResourceQuota(quota);
  std::vector<std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface>> interceptors;
  interceptors.push_back(std::make_unique<StreamCapInterceptorFactory>());
  builder.experimental().SetInterceptorCreators(std::move(interceptors));

  int boundPort = 0;
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &boundPort);

  builder.RegisterService(&services.featureAvailability);
  builder.RegisterService(&services.information);
  builder.RegisterService(&services.name);
  builder.RegisterService(&services.system);
  builder.RegisterService(&services.networkInformation);
  builder.RegisterService(&services.firmwareUpdate);
  builder.RegisterService(&services.volume);
  builder.RegisterService(&services.audioInputs);
  builder.RegisterService(&services.audioInputsActivation);
  builder.RegisterService(&services.audioOutputs);
  builder.RegisterService(&services.audioInputControl);

  holder = builder.BuildAndStart();
  if (!holder || boundPort == 0) {
    // Without its API the module is useless to every client: end, so that the board's
    // init system can start it again, rather than run on serving nothing.
    fatalError(console, "ERROR: cannot serve the API on " + address + "\n");
  }
  if (grpc::HealthCheckServiceInterface* health = holder->GetHealthCheckService()) {
    for (const char* service : kHealthReportedServices) health->SetServingStatus(service, true);
    apiHealth().attach(health);
  }
  console.print("Server listening on " + address + "\n");
  holder->Wait();
}

std::optional<std::string> checkApiHealth(const std::string& target) {
  // A channel of its own, with a subchannel pool of its own: a connection shared with an
  // earlier check would still answer after the listener has stopped taking new ones. The
  // channel and its connection go when this returns.
  grpc::ChannelArguments arguments;
  arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  grpc::GenericStub stub(
      grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), arguments));
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + kHealthCheckDeadline);
  // An empty HealthCheckRequest: the server as a whole.
  grpc::Slice empty;
  const grpc::ByteBuffer request(&empty, 1);
  grpc::ByteBuffer response;
  std::promise<grpc::Status> done;
  stub.UnaryCall(&context, kHealthCheckMethod, grpc::StubOptions(), &request, &response,
                 [&done](const grpc::Status& status) { done.set_value(status); });
  const grpc::Status status = done.get_future().get();
  if (!status.ok()) return status.error_message();
  std::vector<grpc::Slice> slices;
  std::string bytes;
  if (response.Dump(&slices).ok()) {
    for (const grpc::Slice& slice : slices) {
      bytes.append(reinterpret_cast<const char*>(slice.begin()), slice.size());
    }
  }
  // NOT_SERVING is an answer too: the daemon says it while its controller port fails, and
  // that watch ends the process on its own time; this check is whether clients are taken.
  if (bytes != std::string(kServingResponse, sizeof kServingResponse) &&
      bytes != std::string(kNotServingResponse, sizeof kNotServingResponse)) {
    return "no health status";
  }
  return std::nullopt;
}

}  // namespace vantorellabs
