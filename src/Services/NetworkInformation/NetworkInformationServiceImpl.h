#pragma once

#include <iostream>
#include <optional>
#include <ostream>
#include <string>

#include "network_information_service.grpc.pb.h"
#include "sys/Console.h"
#include "sys/Shell.h"

namespace vantorellabs {

// The state of the two network interfaces and the Wi-Fi network in use, read from vtl-net
// one value at a time. It keeps nothing: every call asks the tool again. RPCs that this
// class does not override answer UNIMPLEMENTED.
class NetworkInformationServiceImpl final : public protobuf::NetworkInformationService::Service {
 public:
  // Progress lines go to the console, a pipe that cannot be started to errors.
  NetworkInformationServiceImpl(Shell& shell, Console& console, std::ostream& errors = std::cerr)
      : shell_(shell), console_(console), errors_(errors) {}

  grpc::Status GetNetworkInformation(grpc::ServerContext* context,
                                     const protobuf::GetNetworkInformationRequest* request,
                                     protobuf::GetNetworkInformationResponse* response) override;

 private:
  // Exit status 0 of the tool's question.
  bool statusQuery(const std::string& command);
  // What the tool printed, exactly; nothing when its pipe could not be started.
  std::optional<std::string> valueQuery(const std::string& command);
  void readInterface(const std::string& interface, protobuf::NetworkStatus* status);

  Shell& shell_;
  Console& console_;
  std::ostream& errors_;
};

}  // namespace vantorellabs
