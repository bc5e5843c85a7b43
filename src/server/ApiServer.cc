#include "server/ApiServer.h"

#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/resource_quota.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server_builder.h>

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

}  // namespace vantorellabs
