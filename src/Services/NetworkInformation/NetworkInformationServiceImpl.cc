#include "Services/NetworkInformation/NetworkInformationServiceImpl.h"

#include "sys/Utf8.h"

namespace vantorellabs {

namespace {
const std::string kWifi = "wlan0";
const std::string kEthernet = "eth0";
// Only this exact answer means a fixed setting; "Manual\n" does not.
const std::string kManual = "Manual";
}  // namespace

bool NetworkInformationServiceImpl::statusQuery(const std::string& command) {
  return shell_.run(command) == 0;
}

std::optional<std::string> NetworkInformationServiceImpl::valueQuery(const std::string& command) {
  auto output = shell_.capture(command);
  if (!output) {
    errors_ << std::string("Error: popen() failed!\n") << std::flush;
    return std::nullopt;
  }
  // Addresses and network names come from the board's tools as bytes; a protobuf string
  // must be UTF-8.
  return toValidUtf8(*output);
}

void NetworkInformationServiceImpl::readInterface(const std::string& interface,
                                                  protobuf::NetworkStatus* status) {
  const std::string query = "vtl-net GetStatus " + interface;
  console_.print("Reading Network Status on " + interface + "\n");
  status->set_isconnected(statusQuery(query + " connected"));
  status->set_isinternetreachable(statusQuery(query + " internet"));
  if (!status->isconnected()) return;

  console_.print("Reading IPv4 Status on " + interface + "\n");
  auto* ip = status->mutable_ipv4status();
  if (auto type = valueQuery(query + " type")) {
    ip->set_type(*type == kManual ? protobuf::IP_CONFIGURATION_TYPE_MANUAL
                                  : protobuf::IP_CONFIGURATION_TYPE_AUTOMATIC);
  }
  if (auto address = valueQuery(query + " address")) ip->set_ipaddress(*address);
  if (auto mask = valueQuery(query + " netmask")) ip->set_subnetmask(*mask);
  if (auto gateway = valueQuery(query + " gateway")) ip->set_gatewayipaddress(*gateway);

  console_.print("Reading IPv4 DNS Status on " + interface + "\n");
  auto* dns = status->mutable_ipv4dnsstatus();
  if (auto type = valueQuery(query + " dns-type")) {
    dns->set_type(*type == kManual ? protobuf::DNS_CONFIGURATION_TYPE_MANUAL
                                   : protobuf::DNS_CONFIGURATION_TYPE_AUTOMATIC);
  }
  if (auto address = valueQuery(query + " dns-addr")) dns->set_dnsaddress(*address);
}

grpc::Status NetworkInformationServiceImpl::GetNetworkInformation(
    grpc::ServerContext* /*context*/, const protobuf::GetNetworkInformationRequest* /*request*/,
    protobuf::GetNetworkInformationResponse* response) {
  console_.print("Reading Network Info on " + kWifi + "\n");
  auto* wifi = response->mutable_wifiinformation();
  auto* wifiStatus = wifi->mutable_networkinformation()->mutable_status();
  readInterface(kWifi, wifiStatus);
  if (wifiStatus->isconnected()) {
    if (auto ssid = valueQuery("vtl-net GetWifi")) wifi->mutable_wifinetwork()->set_ssid(*ssid);
  }

  console_.print("Reading Network Info on " + kEthernet + "\n");
  readInterface(
      kEthernet,
      response->mutable_ethernetinformation()->mutable_networkinformation()->mutable_status());
  return grpc::Status::OK;
}

}  // namespace vantorellabs
