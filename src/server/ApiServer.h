#pragma once

#include <grpcpp/server.h>

#include <memory>
#include <optional>
#include <string>

#include "sys/Console.h"

namespace vantorellabs {

class FeatureAvailabilityServiceImpl;
class InformationServiceImpl;
class NameServiceImpl;
class SystemServiceImpl;
class NetworkInformationServiceImpl;
class FirmwareUpdateServiceImpl;
class VolumeServiceImpl;
class AudioInputsServiceImpl;
class AudioInputsActivationServiceImpl;
class AudioOutputsServiceImpl;
class AudioInputControlServiceImpl;

// The eleven service objects, in the order they are registered.
struct ApiServices {
  FeatureAvailabilityServiceImpl& featureAvailability;
  InformationServiceImpl& information;
  NameServiceImpl& name;
  SystemServiceImpl& system;
  NetworkInformationServiceImpl& networkInformation;
  FirmwareUpdateServiceImpl& firmwareUpdate;
  VolumeServiceImpl& volume;
  AudioInputsServiceImpl& audioInputs;
  AudioInputsActivationServiceImpl& audioInputsActivation;
  AudioOutputsServiceImpl& audioOutputs;
  AudioInputControlServiceImpl& audioInputControl;
};

inline constexpr const char* kApiAddress = "0.0.0.0:50051";
// Where the daemon reaches its own API as a client would.
inline constexpr const char* kApiLoopbackTarget = "127.0.0.1:50051";

// Builds the gRPC server, hands it to the holder, says where it listens and serves until
// the server shuts down. A server that cannot be built (its port taken) ends the process.
void runApiServer(std::unique_ptr<grpc::Server>& holder, const std::string& address,
                  ApiServices& services, Console& console);

// One grpc.health.v1.Health/Check of the whole server on a connection made for it alone,
// with a 5 s deadline: the reason it failed, or nothing when the server answered (SERVING,
// or NOT_SERVING while the controller port fails).
std::optional<std::string> checkApiHealth(const std::string& target);

}  // namespace vantorellabs
