// Checks the compiled API descriptors against the published schema, written out below as
// tables that read like the schema document: field numbers, names, types and presence,
// enum values, methods with their custom option numbers, imports and file options. The
// clients compile the same .proto files, so any drift here breaks them on the wire.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "audio_core.pb.h"
#include "core.pb.h"
#include "name_service.pb.h"
#include "volume_service.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::MethodDescriptor;
using google::protobuf::ServiceDescriptor;

constexpr const char* kPackage = "vantorellabs.protobuf";
constexpr std::nullopt_t kNone = std::nullopt;

// Presence as the schema states it: "singular" is a plain proto3 field, "optional" carries
// the proto3 optional keyword (explicit presence), "repeated" is a list.
enum Label { kSingular, kOptional, kRepeated };

enum Kind { kUnary, kServerStreaming };

// Type is written as in the schema: a scalar ("uint32"), a message of the package by its
// bare name ("FloatRange"), an enum of the package with " (enum)" after its name, or a type
// of another package by its full name ("google.protobuf.Timestamp").
struct Field {
  int number;
  std::string name;
  std::string type;
  Label label;
};

struct MessageSchema {
  std::string name;
  std::vector<Field> fields;
};

struct EnumValue {
  std::string name;
  int number;
};

struct EnumSchema {
  std::string name;
  std::vector<EnumValue> values;
};

struct ExtensionSchema {
  std::string name;
  std::string extendee;
  int number;
  std::string type;
  Label label;
};

struct MethodSchema {
  std::optional<std::uint32_t> vlMethodId;
  std::string name;
  std::string request;
  std::string response;
  Kind kind;
};

struct ServiceSchema {
  std::string name;
  std::uint32_t vlServiceId;
  std::vector<MethodSchema> methods;
};

// Messages are declared first those with fields, then those without, each in the order
// listed; descriptor indexes follow that order.
struct FileSchema {
  std::string name;
  std::string package;
  std::vector<std::string> imports;
  std::optional<std::string> swiftPrefix;
  std::vector<MessageSchema> messages;
  std::vector<std::string> messagesWithoutFields;
  std::vector<EnumSchema> enums;
  std::vector<ExtensionSchema> extensions;
  std::vector<ServiceSchema> services;
};

const std::vector<FileSchema> kApiSchema = {
    {"core.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"google/protobuf/descriptor.proto"},
     /*swiftPrefix=*/"VL",
     /*messages=*/
     {
         {"UInt32Range",
          {
              {1, "min", "uint32", kSingular},
              {2, "max", "uint32", kSingular},
          }},
         {"Int32Range",
          {
              {1, "min", "int32", kSingular},
              {2, "max", "int32", kSingular},
          }},
         {"FloatRange",
          {
              {1, "min", "float", kSingular},
              {2, "max", "float", kSingular},
          }},
         {"FloatSchema",
          {
              {1, "range", "FloatRange", kSingular},
              {2, "increment", "float", kSingular},
              {3, "default", "float", kSingular},
              {4, "units", "string", kSingular},
              {5, "permission", "Permission (enum)", kSingular},
          }},
         {"UInt32Schema",
          {
              {1, "range", "UInt32Range", kSingular},
              {2, "increment", "uint32", kSingular},
              {3, "default", "uint32", kSingular},
              {4, "units", "string", kSingular},
              {5, "permission", "Permission (enum)", kSingular},
          }},
         {"UInt32SetSchema",
          {
              {1, "options", "uint32", kRepeated},
              {2, "default", "uint32", kSingular},
              {3, "units", "string", kSingular},
              {4, "permission", "Permission (enum)", kSingular},
          }},
         {"Int32Schema",
          {
              {1, "range", "Int32Range", kSingular},
              {2, "increment", "int32", kSingular},
              {3, "default", "int32", kSingular},
              {4, "units", "string", kSingular},
              {5, "permission", "Permission (enum)", kSingular},
          }},
         {"StringSchema",
          {
              {1, "lengthRange", "UInt32Range", kSingular},
              {2, "default", "string", kSingular},
              {3, "permission", "Permission (enum)", kSingular},
          }},
         {"BoolSchema",
          {
              {1, "default", "bool", kSingular},
              {2, "permission", "Permission (enum)", kSingular},
          }},
     },
     /*messagesWithoutFields=*/{},
     /*enums=*/
     {
         {"Permission",
          {
              {"PERMISSION_UNSPECIFIED", 0},
              {"PERMISSION_READ", 1},
              {"PERMISSION_READ_WRITE", 2},
              {"PERMISSION_NONE", 3},
          }},
     },
     /*extensions=*/
     {
         {"vl_service_id", "google.protobuf.ServiceOptions", 50000, "uint32", kOptional},
         {"vl_method_id", "google.protobuf.MethodOptions", 50001, "uint32", kOptional},
     },
     /*services=*/{}},
    {"audio_core.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"AudioTone",
          {
              {1, "isEnabled", "bool", kSingular},
              {2, "bassLevel", "int32", kSingular},
              {3, "trebleLevel", "int32", kSingular},
          }},
         {"AudioToneSchema",
          {
              {1, "isEnabled", "BoolSchema", kSingular},
              {2, "bassLevel", "Int32Schema", kSingular},
              {3, "trebleLevel", "Int32Schema", kSingular},
          }},
         {"AudioEQ",
          {
              {1, "isEnabled", "bool", kSingular},
          }},
         {"AudioEQSchema",
          {
              {2, "isEnabled", "BoolSchema", kSingular},
          }},
         {"AudioTrim",
          {
              {1, "balance", "int32", kSingular},
              {2, "trimLevel", "float", kSingular},
          }},
         {"AudioTrimSchema",
          {
              {1, "balance", "Int32Schema", kSingular},
              {2, "trimLevel", "FloatSchema", kSingular},
          }},
         {"ActiveAudioInput",
          {
              {1, "id", "uint32", kSingular},
              {2, "customName", "string", kOptional},
              {3, "inputMetadata", "string", kOptional},
              {4, "isPassthruActive", "bool", kSingular},
              {5, "audioTone", "AudioTone", kOptional},
              {6, "audioEQ", "AudioEQ", kOptional},
              {7, "audioTrim", "AudioTrim", kOptional},
          }},
     },
     /*messagesWithoutFields=*/{},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/{}},
    {"network_core.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"WiFiNetwork",
          {
              {1, "ssid", "string", kSingular},
              {2, "macAddress", "string", kSingular},
              {3, "securityType", "WiFiSecurityType (enum)", kSingular},
              {4, "signalStrength", "uint32", kOptional},
          }},
         {"NetworkConfiguration",
          {
              {1, "ipV4Configuration", "IPV4Configuration", kSingular},
              {2, "IPV4DNSConfig", "IPV4DNSConfiguration", kSingular},
          }},
         {"IPV4Configuration",
          {
              {1, "type", "IPConfigurationType (enum)", kSingular},
              {2, "ipAddress", "string", kOptional},
              {3, "subnetMask", "string", kOptional},
              {4, "gatewayIPAddress", "string", kOptional},
          }},
         {"NetworkStatus",
          {
              {1, "isConnected", "bool", kSingular},
              {2, "isInternetReachable", "bool", kSingular},
              {3, "ipV4Status", "IPV4Status", kOptional},
              {4, "ipV4DNSStatus", "IPV4DNSStatus", kOptional},
          }},
         {"IPV4Status",
          {
              {1, "type", "IPConfigurationType (enum)", kSingular},
              {2, "ipAddress", "string", kSingular},
              {3, "subnetMask", "string", kSingular},
              {4, "gatewayIPAddress", "string", kSingular},
          }},
         {"IPV4DNSStatus",
          {
              {1, "type", "DNSConfigurationType (enum)", kSingular},
              {2, "dnsAddress", "string", kSingular},
          }},
         {"IPV4DNSConfiguration",
          {
              {1, "type", "DNSConfigurationType (enum)", kSingular},
              {2, "dnsAddress", "string", kOptional},
          }},
     },
     /*messagesWithoutFields=*/{},
     /*enums=*/
     {
         {"WiFiSecurityType",
          {
              {"WIFI_SECURITY_TYPE_UNSPECIFIED", 0},
              {"WIFI_SECURITY_TYPE_NONE", 1},
              {"WIFI_SECURITY_TYPE_WEP", 2},
              {"WIFI_SECURITY_TYPE_WPA", 3},
              {"WIFI_SECURITY_TYPE_WPA2", 4},
              {"WIFI_SECURITY_TYPE_WPA3", 6},
          }},
         {"IPConfigurationType",
          {
              {"IP_CONFIGURATION_TYPE_UNPSECIFIED", 0},
              {"IP_CONFIGURATION_TYPE_AUTOMATIC", 1},
              {"IP_CONFIGURATION_TYPE_MANUAL", 2},
          }},
         {"DNSConfigurationType",
          {
              {"DNS_CONFIGURATION_TYPE_UNPSECIFIED", 0},
              {"DNS_CONFIGURATION_TYPE_AUTOMATIC", 1},
              {"DNS_CONFIGURATION_TYPE_MANUAL", 2},
          }},
     },
     /*extensions=*/{},
     /*services=*/{}},
    {"feature_availability_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetAvailableFeaturesResponse",
          {
              {1, "services", "ServiceType (enum)", kRepeated},
          }},
     },
     /*messagesWithoutFields=*/{"GetAvailableFeaturesRequest"},
     /*enums=*/
     {
         {"ServiceType",
          {
              {"SERVICE_TYPE_UNSPECIFIED", 0},
              {"SERVICE_TYPE_FEATURE_AVAILABILITY", 1},
              {"SERVICE_TYPE_INFORMATION", 2},
              {"SERVICE_TYPE_SYSTEM", 3},
              {"SERVICE_TYPE_NAME", 4},
              {"SERVICE_TYPE_NETWORK_INFORMATION", 5},
              {"SERVICE_TYPE_NETWORK_CONFIGURATION", 6},
              {"SERVICE_TYPE_FIRMWARE_UPDATE", 7},
              {"SERVICE_TYPE_VOLUME", 8},
              {"SERVICE_TYPE_AUDIO_INPUTS", 9},
              {"SERVICE_TYPE_AUDIO_INPUTS_ACTIVATION", 10},
              {"SERVICE_TYPE_AUDIO_OUTPUTS", 11},
              {"SERVICE_TYPE_AUDIO_INPUT_CONTROL", 12},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"FeatureAvailabilityService",
          /*vlServiceId=*/1,
          {
              {1, "GetAvailableFeatures", "GetAvailableFeaturesRequest",
               "GetAvailableFeaturesResponse", kUnary},
          }},
     }},
    {"information_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetInformationResponse",
          {
              {1, "uuid", "string", kSingular},
              {2, "modelId", "string", kSingular},
              {3, "serialNumber", "string", kSingular},
              {4, "firmwareVersion", "string", kSingular},
              {5, "daModuleInformation", "DAModuleInformation", kOptional},
          }},
         {"DAModuleInformation",
          {
              {1, "type", "DAModuleType (enum)", kSingular},
              {2, "firmwareVersion", "string", kSingular},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetInformationRequest", "NoOperationRequest", "NoOperationResponse"},
     /*enums=*/
     {
         {"DAModuleType",
          {
              {"DA_MODULE_TYPE_UNSPECIFIED", 0},
              {"DA_MODULE_TYPE_V1", 1},
              {"DA_MODULE_TYPE_V2", 2},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"InformationService",
          /*vlServiceId=*/2,
          {
              {1, "GetInformation", "GetInformationRequest", "GetInformationResponse", kUnary},
              {2, "NoOperation", "NoOperationRequest", "NoOperationResponse", kUnary},
          }},
     }},
    {"system_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetSystemServiceSchemaResponse",
          {
              {1, "powerSchema", "PowerSchema", kOptional},
              {2, "displaySchema", "DisplaySchema", kOptional},
          }},
         {"GetPowerResponse",
          {
              {1, "isPoweredOn", "bool", kSingular},
              {2, "isAutoOffEnabled", "bool", kSingular},
              {3, "autoOffDelay", "uint32", kSingular},
          }},
         {"PowerSchema",
          {
              {1, "isAutoOffEnabled", "BoolSchema", kOptional},
              {2, "autoOffDelay", "UInt32Schema", kOptional},
          }},
         {"ObservePowerResponse",
          {
              {1, "isPoweredOn", "bool", kSingular},
          }},
         {"SetPowerRequest",
          {
              {1, "isPoweredOn", "bool", kOptional},
              {2, "isAutoOffEnabled", "bool", kOptional},
              {3, "autoOffDelay", "uint32", kOptional},
          }},
         {"GetDisplayResponse",
          {
              {1, "isTubeLightsEnabled", "bool", kSingular},
              {2, "isMeterLightsEnabled", "bool", kSingular},
              {3, "displayBrightness", "uint32", kSingular},
          }},
         {"SetDisplayRequest",
          {
              {1, "isTubeLightsEnabled", "bool", kOptional},
              {2, "isMeterLightsEnabled", "bool", kOptional},
              {3, "displayBrightness", "uint32", kOptional},
          }},
         {"DisplaySchema",
          {
              {1, "isTubeLightsEnabled", "BoolSchema", kOptional},
              {2, "isMeterLightsEnabled", "BoolSchema", kOptional},
              {3, "displayBrightness", "UInt32Schema", kOptional},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetSystemServiceSchemaRequest", "GetPowerRequest", "ObservePowerRequest", "SetPowerResponse",
      "GetDisplayRequest", "SetDisplayResponse", "ResetDefaultsRequest", "ResetDefaultsResponse",
      "FactoryResetRequest", "FactoryResetResponse"},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/
     {
         {"SystemService",
          /*vlServiceId=*/3,
          {
              {1, "GetServiceSchema", "GetSystemServiceSchemaRequest",
               "GetSystemServiceSchemaResponse", kUnary},
              {2, "GetPower", "GetPowerRequest", "GetPowerResponse", kUnary},
              {3, "ObservePower", "ObservePowerRequest", "ObservePowerResponse", kServerStreaming},
              {4, "SetPower", "SetPowerRequest", "SetPowerResponse", kUnary},
              {kNone, "GetDisplay", "GetDisplayRequest", "GetDisplayResponse", kUnary},
              {kNone, "SetDisplay", "SetDisplayRequest", "SetDisplayResponse", kUnary},
              {kNone, "ResetDefaults", "ResetDefaultsRequest", "ResetDefaultsResponse", kUnary},
              {kNone, "FactoryReset", "FactoryResetRequest", "FactoryResetResponse", kUnary},
          }},
     }},
    {"name_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetNameSchemaResponse",
          {
              {1, "name", "StringSchema", kSingular},
          }},
         {"GetNameResponse",
          {
              {1, "name", "string", kSingular},
          }},
         {"SetNameRequest",
          {
              {1, "name", "string", kSingular},
          }},
     },
     /*messagesWithoutFields=*/{"GetNameSchemaRequest", "GetNameRequest", "SetNameResponse"},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/
     {
         {"NameService",
          /*vlServiceId=*/4,
          {
              {1, "GetNameSchema", "GetNameSchemaRequest", "GetNameSchemaResponse", kUnary},
              {2, "GetName", "GetNameRequest", "GetNameResponse", kUnary},
              {3, "SetName", "SetNameRequest", "SetNameResponse", kUnary},
          }},
     }},
    {"network_information_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto", "network_core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetNetworkInformationResponse",
          {
              {1, "wifiInformation", "WiFiNetworkInformation", kSingular},
              {2, "ethernetInformation", "EthernetNetworkInformation", kSingular},
          }},
         {"WiFiNetworkInformation",
          {
              {1, "wifiNetwork", "WiFiNetwork", kOptional},
              {2, "networkInformation", "NetworkInformation", kSingular},
          }},
         {"EthernetNetworkInformation",
          {
              {1, "networkInformation", "NetworkInformation", kSingular},
          }},
         {"NetworkInformation",
          {
              {1, "status", "NetworkStatus", kSingular},
              {2, "configuration", "NetworkConfiguration", kOptional},
          }},
     },
     /*messagesWithoutFields=*/{"GetNetworkInformationRequest"},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/
     {
         {"NetworkInformationService",
          /*vlServiceId=*/5,
          {
              {1, "GetNetworkInformation", "GetNetworkInformationRequest",
               "GetNetworkInformationResponse", kUnary},
          }},
     }},
    {"network_configuration_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto", "network_core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"ObserveAvailableWiFiNetworksResponse",
          {
              {1, "info", "WiFiNetwork", kRepeated},
          }},
         {"ConnectWiFiNetworkRequest",
          {
              {1, "ssid", "string", kSingular},
              {2, "password", "string", kOptional},
              {3, "networkConfiguration", "NetworkConfiguration", kSingular},
          }},
         {"ConnectWiFiNetworkResponse",
          {
              {1, "networkStatus", "NetworkStatus", kOptional},
              {2, "error", "ConnectWiFiNetworkError (enum)", kOptional},
          }},
         {"UpdateWiFiNetworkConfigurationRequest",
          {
              {1, "configuration", "NetworkConfiguration", kSingular},
          }},
         {"UpdateEthernetNetworkConfigurationRequest",
          {
              {1, "configuration", "NetworkConfiguration", kSingular},
          }},
     },
     /*messagesWithoutFields=*/
     {"ObserveAvailableWiFiNetworksRequest", "DisconnectWiFiNetworkRequest",
      "DisconnectWiFiNetworkResponse", "UpdateWiFiNetworkConfigurationResponse",
      "UpdateEthernetNetworkConfigurationResponse"},
     /*enums=*/
     {
         {"ConnectWiFiNetworkError",
          {
              {"CONNECT_WIFI_NETWORK_ERROR_UNSPECIFIED", 0},
              {"CONNECT_WIFI_NETWORK_ERROR_INVALID_PASSWORD", 1},
              {"CONNECT_WIFI_NETWORK_ERROR_INVALID_SSID", 2},
              {"CONNECT_WIFI_NETWORK_ERROR_INVALID_TIMEOUT", 3},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"NetworkConfigurationService",
          /*vlServiceId=*/6,
          {
              {1, "ObserveAvailableWiFiNetworks", "ObserveAvailableWiFiNetworksRequest",
               "ObserveAvailableWiFiNetworksResponse", kServerStreaming},
              {2, "ConnectWiFiNetwork", "ConnectWiFiNetworkRequest", "ConnectWiFiNetworkResponse",
               kUnary},
              {3, "DisconnectWiFiNetwork", "DisconnectWiFiNetworkRequest",
               "DisconnectWiFiNetworkResponse", kUnary},
              {4, "UpdateWiFiNetworkConfiguration", "UpdateWiFiNetworkConfigurationRequest",
               "UpdateWiFiNetworkConfigurationResponse", kUnary},
              {5, "UpdateEthernetNetworkConfiguration", "UpdateEthernetNetworkConfigurationRequest",
               "UpdateEthernetNetworkConfigurationResponse", kUnary},
          }},
     }},
    {"firmware_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto", "google/protobuf/timestamp.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetFirmwareUpdateConfigurationResponse",
          {
              {1, "isAutomaticFirmwareDownloadEnabled", "bool", kSingular},
              {2, "isAutomaticFirmwareUpdateEnabled", "bool", kSingular},
              {3, "updateTime", "google.protobuf.Timestamp", kSingular},
          }},
         {"SetFirmwareUpdateConfigurationRequest",
          {
              {1, "isAutomaticFirmwareDownloadEnabled", "bool", kOptional},
              {2, "isAutomaticFirmwareUpdateEnabled", "bool", kOptional},
              {3, "updateTime", "google.protobuf.Timestamp", kOptional},
          }},
         {"GetAvailableFirmwareUpdatesResponse",
          {
              {1, "availableUpdate", "FirmwareUpdate", kRepeated},
          }},
         {"FirmwareUpdate",
          {
              {1, "id", "string", kSingular},
              {2, "version", "string", kSingular},
              {3, "description", "string", kSingular},
              {4, "releaseDate", "google.protobuf.Timestamp", kSingular},
              {5, "releaseNotes", "string", kSingular},
              {6, "size", "uint32", kSingular},
          }},
         {"StartFirmwareUpdateRequest",
          {
              {1, "firmwareUpdateId", "string", kOptional},
          }},
         {"StartFirmwareUpdateResponse",
          {
              {1, "status", "FirmwareUpdateStatus (enum)", kSingular},
              {2, "progress", "float", kOptional},
              {3, "error", "FirmwareUpdateError (enum)", kOptional},
          }},
         {"GetFirmwareUpdateStatusResponse",
          {
              {1, "status", "FirmwareUpdateStatus (enum)", kSingular},
              {2, "progress", "float", kOptional},
              {3, "error", "FirmwareUpdateError (enum)", kOptional},
          }},
         {"GetFirmwareUpdateHistoryResponse",
          {
              {1, "updateInstallation", "FirmwareUpdateInstallation", kRepeated},
          }},
         {"FirmwareUpdateInstallation",
          {
              {1, "installDate", "google.protobuf.Timestamp", kSingular},
              {2, "installedUpdate", "FirmwareUpdate", kSingular},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetFirmwareUpdateConfigurationRequest", "SetFirmwareUpdateConfigurationResponse",
      "GetAvailableFirmwareUpdatesRequest", "GetFirmwareUpdateStatusRequest",
      "GetFirmwareUpdateHistoryRequest"},
     /*enums=*/
     {
         {"FirmwareUpdateStatus",
          {
              {"FIRMWARE_UPDATE_STATUS_UNSPECIFIED", 0},
              {"FIRMWARE_UPDATE_STATUS_DOWNLOADING", 1},
              {"FIRMWARE_UPDATE_STATUS_INSTALLING", 2},
              {"FIRMWARE_UPDATE_STATUS_RESTARTING", 3},
              {"FIRMWARE_UPDATE_STATUS_COMPLETE", 4},
              {"FIRMWARE_UPDATE_STATUS_ERROR", 5},
          }},
         {"FirmwareUpdateError",
          {
              {"FIRMWARE_UPDATE_ERROR_UNSPECIFIED", 0},
              {"FIRMWARE_UPDATE_ERROR_DOWNLOAD", 1},
              {"FIRMWARE_UPDATE_ERROR_INVALID_BINARY", 2},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"FirmwareUpdateService",
          /*vlServiceId=*/7,
          {
              {1, "GetFirmwareUpdateConfiguration", "GetFirmwareUpdateConfigurationRequest",
               "GetFirmwareUpdateConfigurationResponse", kUnary},
              {2, "SetFirmwareUpdateConfiguration", "SetFirmwareUpdateConfigurationRequest",
               "SetFirmwareUpdateConfigurationResponse", kUnary},
              {3, "GetAvailableFirmwareUpdates", "GetAvailableFirmwareUpdatesRequest",
               "GetAvailableFirmwareUpdatesResponse", kUnary},
              {4, "StartFirmwareUpdate", "StartFirmwareUpdateRequest",
               "StartFirmwareUpdateResponse", kServerStreaming},
              {5, "GetFirmwareUpdateStatus", "GetFirmwareUpdateStatusRequest",
               "GetFirmwareUpdateStatusResponse", kUnary},
              {6, "GetFirmwareUpdateHistory", "GetFirmwareUpdateHistoryRequest",
               "GetFirmwareUpdateHistoryResponse", kUnary},
          }},
     }},
    {"volume_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetVolumeServiceSchemaResponse",
          {
              {1, "volume", "Int32Schema", kSingular},
              {2, "isMuted", "BoolSchema", kSingular},
          }},
         {"ObserveVolumeResponse",
          {
              {1, "volume", "int32", kSingular},
              {2, "pendingVolume", "int32", kOptional},
              {3, "isMuted", "bool", kSingular},
          }},
         {"SetVolumeRequest",
          {
              {1, "volume", "int32", kOptional},
              {2, "isMuted", "bool", kOptional},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetVolumeServiceSchemaRequest", "ObserveVolumeRequest", "SetVolumeResponse"},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/
     {
         {"VolumeService",
          /*vlServiceId=*/8,
          {
              {1, "GetServiceSchema", "GetVolumeServiceSchemaRequest",
               "GetVolumeServiceSchemaResponse", kUnary},
              {2, "ObserveVolume", "ObserveVolumeRequest", "ObserveVolumeResponse",
               kServerStreaming},
              {3, "SetVolume", "SetVolumeRequest", "SetVolumeResponse", kUnary},
          }},
     }},
    {"audio_inputs_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto", "audio_core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetAudioInputsServiceSchemaResponse",
          {
              {1, "inputs", "AudioInputSchema", kRepeated},
          }},
         {"GetAudioInputsResponse",
          {
              {1, "inputs", "AudioInput", kRepeated},
          }},
         {"GetAudioInputRequest",
          {
              {1, "id", "uint32", kSingular},
          }},
         {"GetAudioInputResponse",
          {
              {1, "input", "AudioInput", kSingular},
          }},
         {"UpdateAudioInputRequest",
          {
              {1, "id", "uint32", kSingular},
              {2, "customName", "string", kOptional},
              {3, "isEnabled", "bool", kOptional},
              {4, "trim", "AudioTrim", kOptional},
              {5, "tone", "AudioTone", kOptional},
              {6, "equalizer", "AudioEQ", kOptional},
              {7, "isMonoModeEnabled", "bool", kOptional},
              {8, "phonoCartridge", "PhonoCartridge", kOptional},
              {9, "digitalGain", "uint32", kOptional},
              {10, "hdmiCEC", "HDMICEC", kOptional},
              {11, "hdmiLipSync", "HDMILipSync", kOptional},
          }},
         {"GetPassthruInputResponse",
          {
              {1, "id", "uint32", kOptional},
          }},
         {"SetPassthruInputRequest",
          {
              {1, "id", "uint32", kOptional},
          }},
         {"AudioInput",
          {
              {1, "id", "uint32", kSingular},
              {2, "type", "AudioInputType (enum)", kSingular},
              {3, "name", "string", kSingular},
              {4, "customName", "string", kOptional},
              {5, "isEnabled", "bool", kSingular},
              {6, "trim", "AudioTrim", kOptional},
              {7, "tone", "AudioTone", kOptional},
              {8, "equalizer", "AudioEQ", kOptional},
              {9, "isPassthruEnabled", "bool", kOptional},
              {10, "isMonoModeEnabled", "bool", kOptional},
              {11, "phonoCartridge", "PhonoCartridge", kOptional},
              {12, "digitalGain", "uint32", kOptional},
              {13, "hdmiCEC", "HDMICEC", kOptional},
              {14, "hdmiLipSync", "HDMILipSync", kOptional},
          }},
         {"AudioInputSchema",
          {
              {1, "id", "uint32", kSingular},
              {2, "customName", "StringSchema", kOptional},
              {3, "trim", "AudioTrimSchema", kOptional},
              {4, "tone", "AudioToneSchema", kOptional},
              {5, "equalizer", "AudioEQSchema", kOptional},
              {6, "isPassthruEnabled", "BoolSchema", kOptional},
              {7, "isMonoModeEnabled", "BoolSchema", kOptional},
              {8, "phonoCartridge", "PhonoCartridgeSchema", kOptional},
              {9, "digitalGain", "UInt32Schema", kOptional},
              {10, "hdmiCEC", "HDMICECSchema", kOptional},
              {11, "hdmiLipSync", "HDMILipSyncSchema", kOptional},
          }},
         {"PhonoCartridge",
          {
              {1, "cartridgeType", "PhonoCartridgeType (enum)", kOptional},
              {2, "resistance", "uint32", kOptional},
              {3, "capacitance", "uint32", kOptional},
              {4, "gain", "uint32", kOptional},
          }},
         {"PhonoCartridgeSchema",
          {
              {1, "cartridgeType", "PhonoCartridgeType (enum)", kRepeated},
              {2, "resistance", "UInt32SetSchema", kSingular},
              {3, "capacitance", "UInt32Schema", kSingular},
              {4, "gain", "UInt32Schema", kSingular},
          }},
         {"HDMICEC",
          {
              {1, "isVolumeEnabled", "bool", kSingular},
              {2, "isPowerEnabled", "bool", kSingular},
          }},
         {"HDMICECSchema",
          {
              {1, "isVolumeEnabled", "BoolSchema", kSingular},
              {2, "isPowerEnabled", "BoolSchema", kSingular},
          }},
         {"HDMILipSync",
          {
              {1, "isAutomaticEnabled", "bool", kSingular},
              {2, "delay", "uint32", kSingular},
          }},
         {"HDMILipSyncSchema",
          {
              {1, "isAutomaticEnabled", "BoolSchema", kSingular},
              {2, "delay", "UInt32Schema", kSingular},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetAudioInputsServiceSchemaRequest", "GetAudioInputsRequest", "UpdateAudioInputResponse",
      "GetPassthruInputRequest", "SetPassthruInputResponse"},
     /*enums=*/
     {
         {"AudioInputType",
          {
              {"AUDIO_INPUT_TYPE_UNSPECIFIED", 0},
              {"AUDIO_INPUT_TYPE_BALANCED", 1},
              {"AUDIO_INPUT_TYPE_UNBALANCED", 2},
              {"AUDIO_INPUT_TYPE_PHONO_MM", 3},
              {"AUDIO_INPUT_TYPE_PHONO_MC", 4},
              {"AUDIO_INPUT_TYPE_PHONO_MM_MC", 5},
              {"AUDIO_INPUT_TYPE_COAX", 6},
              {"AUDIO_INPUT_TYPE_OPTICAL", 7},
              {"AUDIO_INPUT_TYPE_USB", 8},
              {"AUDIO_INPUT_TYPE_HDMI", 9},
              {"AUDIO_INPUT_TYPE_VTX", 10},
          }},
         {"PhonoCartridgeType",
          {
              {"PHONO_CARTRIDGE_TYPE_UNSPECIFIED", 0},
              {"PHONO_CARTRIDGE_TYPE_MOVING_MAGNET", 1},
              {"PHONO_CARTRIDGE_TYPE_MOVING_COIL", 2},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"AudioInputsService",
          /*vlServiceId=*/9,
          {
              {1, "GetServiceSchema", "GetAudioInputsServiceSchemaRequest",
               "GetAudioInputsServiceSchemaResponse", kUnary},
              {2, "GetInputs", "GetAudioInputsRequest", "GetAudioInputsResponse", kUnary},
              {3, "GetInput", "GetAudioInputRequest", "GetAudioInputResponse", kUnary},
              {4, "UpdateInput", "UpdateAudioInputRequest", "UpdateAudioInputResponse", kUnary},
              {5, "GetPassthruInput", "GetPassthruInputRequest", "GetPassthruInputResponse",
               kUnary},
              {6, "SetPassthruInput", "SetPassthruInputRequest", "SetPassthruInputResponse",
               kUnary},
          }},
     }},
    {"audio_inputs_activation_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto", "audio_core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"SetActiveAudioInputRequest",
          {
              {1, "id", "uint32", kSingular},
          }},
         {"ObserveActiveAudioInputResponse",
          {
              {1, "activeInput", "ActiveAudioInput", kSingular},
          }},
     },
     /*messagesWithoutFields=*/{"SetActiveAudioInputResponse", "ObserveActiveAudioInputRequest"},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/
     {
         {"AudioInputsActivationService",
          /*vlServiceId=*/10,
          {
              {1, "SetActiveInput", "SetActiveAudioInputRequest", "SetActiveAudioInputResponse",
               kUnary},
              {2, "ObserveActiveInput", "ObserveActiveAudioInputRequest",
               "ObserveActiveAudioInputResponse", kServerStreaming},
          }},
     }},
    {"audio_outputs_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"GetAudioOutputsServiceSchemaResponse",
          {
              {1, "outputs", "AudioOutputSchema", kRepeated},
          }},
         {"GetAudioOutputsResponse",
          {
              {1, "outputs", "AudioOutput", kRepeated},
          }},
         {"GetAudioOutputRequest",
          {
              {1, "id", "uint32", kSingular},
          }},
         {"GetAudioOutputResponse",
          {
              {1, "output", "AudioOutput", kSingular},
          }},
         {"ObserveActiveAudioOutputsResponse",
          {
              {1, "ids", "uint32", kRepeated},
          }},
         {"UpdateAudioOutputRequest",
          {
              {1, "id", "uint32", kSingular},
              {2, "customName", "string", kOptional},
              {3, "isActive", "bool", kOptional},
          }},
         {"AudioOutputSchema",
          {
              {1, "id", "uint32", kSingular},
              {2, "customName", "StringSchema", kSingular},
              {3, "isActive", "BoolSchema", kSingular},
              {4, "isSwitched", "BoolSchema", kOptional},
          }},
         {"AudioOutput",
          {
              {1, "id", "uint32", kSingular},
              {2, "type", "AudioOutputType (enum)", kSingular},
              {3, "portTypes", "AudioPortType (enum)", kRepeated},
              {4, "name", "string", kSingular},
              {5, "customName", "string", kSingular},
              {6, "isActive", "bool", kSingular},
              {7, "isSwitched", "bool", kOptional},
          }},
     },
     /*messagesWithoutFields=*/
     {"GetAudioOutputsServiceSchemaRequest", "GetAudioOutputsRequest",
      "ObserveActiveAudioOutputsRequest", "UpdateAudioOutputResponse"},
     /*enums=*/
     {
         {"AudioOutputType",
          {
              {"AUDIO_OUTPUT_TYPE_UNSPECIFIED", 0},
              {"AUDIO_OUTPUT_TYPE_MAIN", 1},
              {"AUDIO_OUTPUT_TYPE_LOW_PASS", 2},
              {"AUDIO_OUTPUT_TYPE_SUBWOOFER", 3},
              {"AUDIO_OUTPUT_TYPE_FIXED", 4},
              {"AUDIO_OUTPUT_TYPE_PROCESSOR_LOOP", 5},
              {"AUDIO_OUTPUT_TYPE_HEADPHONE", 6},
              {"AUDIO_OUTPUT_TYPE_ZONE", 7},
          }},
         {"AudioPortType",
          {
              {"AUDIO_PORT_TYPE_UNSPECIFIED", 0},
              {"AUDIO_PORT_TYPE_UNBALANCED_STEREO", 1},
              {"AUDIO_PORT_TYPE_UNBALANCED_MONO", 2},
              {"AUDIO_PORT_TYPE_BALANCED_STEREO", 3},
              {"AUDIO_PORT_TYPE_BALANCED_MONO", 4},
              {"AUDIO_PORT_TYPE_635_MM", 5},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"AudioOutputsService",
          /*vlServiceId=*/11,
          {
              {1, "GetServiceSchema", "GetAudioOutputsServiceSchemaRequest",
               "GetAudioOutputsServiceSchemaResponse", kUnary},
              {2, "GetOutputs", "GetAudioOutputsRequest", "GetAudioOutputsResponse", kUnary},
              {3, "GetOutput", "GetAudioOutputRequest", "GetAudioOutputResponse", kUnary},
              {4, "UpdateOutput", "UpdateAudioOutputRequest", "UpdateAudioOutputResponse", kUnary},
              {5, "ObserveActiveOutputs", "ObserveActiveAudioOutputsRequest",
               "ObserveActiveAudioOutputsResponse", kServerStreaming},
          }},
     }},
    {"audio_input_control_service.proto",
     /*package=*/"vantorellabs.protobuf",
     /*imports=*/{"core.proto"},
     /*swiftPrefix=*/"Device",
     /*messages=*/
     {
         {"SendAudioInputCommandRequest",
          {
              {1, "command", "AudioInputCommand (enum)", kSingular},
          }},
     },
     /*messagesWithoutFields=*/{"SendAudioInputCommandResponse"},
     /*enums=*/
     {
         {"AudioInputCommand",
          {
              {"AUDIO_INPUT_COMMAND_UNSPECIFIED", 0},
              {"AUDIO_INPUT_COMMAND_STOP", 1},
              {"AUDIO_INPUT_COMMAND_PLAY_PAUSE", 2},
              {"AUDIO_INPUT_COMMAND_RECORD", 3},
              {"AUDIO_INPUT_COMMAND_SKIP_PREVIOUS", 4},
              {"AUDIO_INPUT_COMMAND_SKIP_NEXT", 5},
              {"AUDIO_INPUT_COMMAND_SEEK_PREVIOUS", 6},
              {"AUDIO_INPUT_COMMAND_SEEK_NEXT", 7},
              {"AUDIO_INPUT_COMMAND_AM", 8},
              {"AUDIO_INPUT_COMMAND_FM", 9},
              {"AUDIO_INPUT_COMMAND_BAND", 10},
          }},
     },
     /*extensions=*/{},
     /*services=*/
     {
         {"AudioInputControlService",
          /*vlServiceId=*/12,
          {
              {1, "SendInputCommand", "SendAudioInputCommandRequest",
               "SendAudioInputCommandResponse", kUnary},
          }},
     }},
    {"index.proto",
     /*package=*/"",
     /*imports=*/
     {"core.proto", "information_service.proto", "feature_availability_service.proto",
      "firmware_service.proto", "name_service.proto", "audio_core.proto", "volume_service.proto",
      "audio_inputs_service.proto", "audio_inputs_activation_service.proto",
      "audio_input_control_service.proto", "audio_outputs_service.proto", "network_core.proto",
      "network_information_service.proto", "network_configuration_service.proto",
      "system_service.proto"},
     /*swiftPrefix=*/kNone,
     /*messages=*/{},
     /*messagesWithoutFields=*/{},
     /*enums=*/{},
     /*extensions=*/{},
     /*services=*/{}},
};

// Services and their numbers: vl_service_id equals the ServiceType value of the service.
struct ServiceNumber {
  std::uint32_t vlServiceId;
  std::string serviceType;
  std::string service;
  std::string file;
};

const std::vector<ServiceNumber> kServiceNumbers = {
    {1, "SERVICE_TYPE_FEATURE_AVAILABILITY", "FeatureAvailabilityService",
     "feature_availability_service.proto"},
    {2, "SERVICE_TYPE_INFORMATION", "InformationService", "information_service.proto"},
    {3, "SERVICE_TYPE_SYSTEM", "SystemService", "system_service.proto"},
    {4, "SERVICE_TYPE_NAME", "NameService", "name_service.proto"},
    {5, "SERVICE_TYPE_NETWORK_INFORMATION", "NetworkInformationService",
     "network_information_service.proto"},
    {6, "SERVICE_TYPE_NETWORK_CONFIGURATION", "NetworkConfigurationService",
     "network_configuration_service.proto"},
    {7, "SERVICE_TYPE_FIRMWARE_UPDATE", "FirmwareUpdateService", "firmware_service.proto"},
    {8, "SERVICE_TYPE_VOLUME", "VolumeService", "volume_service.proto"},
    {9, "SERVICE_TYPE_AUDIO_INPUTS", "AudioInputsService", "audio_inputs_service.proto"},
    {10, "SERVICE_TYPE_AUDIO_INPUTS_ACTIVATION", "AudioInputsActivationService",
     "audio_inputs_activation_service.proto"},
    {11, "SERVICE_TYPE_AUDIO_OUTPUTS", "AudioOutputsService", "audio_outputs_service.proto"},
    {12, "SERVICE_TYPE_AUDIO_INPUT_CONTROL", "AudioInputControlService",
     "audio_input_control_service.proto"},
};

const DescriptorPool& pool() { return *DescriptorPool::generated_pool(); }

std::string fullName(const std::string& name) { return std::string(kPackage) + "." + name; }

std::string typeText(const FieldDescriptor* field) {
  switch (field->type()) {
    case FieldDescriptor::TYPE_MESSAGE:
    case FieldDescriptor::TYPE_GROUP: {
      const std::string& full = field->message_type()->full_name();
      return full == fullName(field->message_type()->name()) ? field->message_type()->name() : full;
    }
    case FieldDescriptor::TYPE_ENUM: {
      const std::string& full = field->enum_type()->full_name();
      return (full == fullName(field->enum_type()->name()) ? field->enum_type()->name() : full) +
             " (enum)";
    }
    default:
      return FieldDescriptor::TypeName(field->type());
  }
}

Label labelOf(const FieldDescriptor* field) {
  if (field->is_repeated()) {
    return kRepeated;
  }
  return field->has_optional_keyword() ? kOptional : kSingular;
}

// The names of a file's declarations of one kind, in declaration order.
template <typename NameAt>
std::vector<std::string> declaredNames(int count, NameAt nameAt) {
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    names.push_back(nameAt(i));
  }
  return names;
}

template <typename Row>
std::vector<std::string> listedNames(const std::vector<Row>& rows) {
  std::vector<std::string> names;
  names.reserve(rows.size());
  for (const Row& row : rows) {
    names.push_back(row.name);
  }
  return names;
}

// The number of fields set in an options record, custom options included; a stray option
// (deprecated, packed, allow_alias, ...) would change how clients generate or encode.
std::size_t optionCount(const Message& options) {
  std::vector<const FieldDescriptor*> set;
  options.GetReflection()->ListFields(options, &set);
  return set.size() + options.GetReflection()->GetUnknownFields(options).field_count();
}

// Keeps test output readable: GoogleTest would otherwise dump the record as raw bytes.
void PrintTo(const FileSchema& schema, std::ostream* os) { *os << schema.name; }

class ApiFileTest : public testing::TestWithParam<FileSchema> {
 protected:
  static const FileDescriptor* file() { return pool().FindFileByName(GetParam().name); }
};

INSTANTIATE_TEST_SUITE_P(AllFiles, ApiFileTest, testing::ValuesIn(kApiSchema),
                         [](const testing::TestParamInfo<FileSchema>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

TEST(ApiSchemaTest, SixteenFilesAreCompiledIn) {
  ASSERT_EQ(kApiSchema.size(), 16U);
  for (const FileSchema& schema : kApiSchema) {
    EXPECT_NE(pool().FindFileByName(schema.name), nullptr) << schema.name;
  }
}

TEST_P(ApiFileTest, PackageImportsAndFileOptions) {
  const FileSchema& schema = GetParam();
  const FileDescriptor* descriptor = file();
  ASSERT_NE(descriptor, nullptr);

  EXPECT_EQ(descriptor->syntax(), FileDescriptor::SYNTAX_PROTO3);
  EXPECT_EQ(descriptor->package(), schema.package);

  EXPECT_EQ(declaredNames(descriptor->dependency_count(),
                          [&](int i) { return descriptor->dependency(i)->name(); }),
            schema.imports);

  google::protobuf::FileDescriptorProto proto;
  descriptor->CopyTo(&proto);
  if (schema.swiftPrefix) {
    EXPECT_TRUE(descriptor->options().has_swift_prefix());
    EXPECT_EQ(descriptor->options().swift_prefix(), *schema.swiftPrefix);
    EXPECT_EQ(optionCount(descriptor->options()), 1U);
  } else {
    EXPECT_FALSE(proto.has_options());
  }
}

TEST_P(ApiFileTest, DeclaresExactlyTheListedTypesInOrder) {
  const FileSchema& schema = GetParam();
  const FileDescriptor* descriptor = file();
  ASSERT_NE(descriptor, nullptr);

  std::vector<std::string> expectedMessages = listedNames(schema.messages);
  expectedMessages.insert(expectedMessages.end(), schema.messagesWithoutFields.begin(),
                          schema.messagesWithoutFields.end());
  EXPECT_EQ(declaredNames(descriptor->message_type_count(),
                          [&](int i) { return descriptor->message_type(i)->name(); }),
            expectedMessages);
  EXPECT_EQ(declaredNames(descriptor->enum_type_count(),
                          [&](int i) { return descriptor->enum_type(i)->name(); }),
            listedNames(schema.enums));
  EXPECT_EQ(declaredNames(descriptor->extension_count(),
                          [&](int i) { return descriptor->extension(i)->name(); }),
            listedNames(schema.extensions));
  EXPECT_EQ(declaredNames(descriptor->service_count(),
                          [&](int i) { return descriptor->service(i)->name(); }),
            listedNames(schema.services));
}

void expectFieldMatches(const FieldDescriptor* field, const Field& row) {
  SCOPED_TRACE(field->full_name());
  EXPECT_EQ(field->number(), row.number);
  EXPECT_EQ(field->name(), row.name);
  EXPECT_EQ(typeText(field), row.type);
  EXPECT_EQ(labelOf(field), row.label);
  EXPECT_EQ(field->real_containing_oneof(), nullptr);
  EXPECT_EQ(optionCount(field->options()), 0U);
  if (row.label == kOptional) {
    EXPECT_TRUE(field->has_presence());
  }
  if (row.label == kRepeated && field->cpp_type() != FieldDescriptor::CPPTYPE_STRING &&
      field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
    EXPECT_TRUE(field->is_packed());
  }
}

TEST_P(ApiFileTest, MessagesHaveExactlyTheListedFields) {
  const FileSchema& schema = GetParam();
  ASSERT_NE(file(), nullptr);

  auto check = [&](const std::string& name, const std::vector<Field>& rows) {
    SCOPED_TRACE(name);
    const Descriptor* message = pool().FindMessageTypeByName(fullName(name));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->file()->name(), schema.name);
    EXPECT_EQ(message->nested_type_count(), 0);
    EXPECT_EQ(message->enum_type_count(), 0);
    EXPECT_EQ(message->real_oneof_decl_count(), 0);
    EXPECT_EQ(message->extension_range_count(), 0);
    EXPECT_EQ(message->reserved_range_count(), 0);
    EXPECT_EQ(optionCount(message->options()), 0U);
    ASSERT_EQ(message->field_count(), static_cast<int>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      expectFieldMatches(message->field(static_cast<int>(i)), rows[i]);
    }
  };
  for (const MessageSchema& message : schema.messages) {
    check(message.name, message.fields);
  }
  for (const std::string& name : schema.messagesWithoutFields) {
    check(name, {});
  }
}

TEST_P(ApiFileTest, EnumsHaveExactlyTheListedValues) {
  const FileSchema& schema = GetParam();
  for (const EnumSchema& enumSchema : schema.enums) {
    SCOPED_TRACE(enumSchema.name);
    const EnumDescriptor* descriptor = pool().FindEnumTypeByName(fullName(enumSchema.name));
    ASSERT_NE(descriptor, nullptr);
    EXPECT_EQ(descriptor->file()->name(), schema.name);
    EXPECT_EQ(optionCount(descriptor->options()), 0U);
    ASSERT_EQ(descriptor->value_count(), static_cast<int>(enumSchema.values.size()));
    for (std::size_t i = 0; i < enumSchema.values.size(); ++i) {
      EXPECT_EQ(descriptor->value(static_cast<int>(i))->name(), enumSchema.values[i].name);
      EXPECT_EQ(descriptor->value(static_cast<int>(i))->number(), enumSchema.values[i].number);
    }
  }
}

TEST_P(ApiFileTest, ExtensionsAreTheListedCustomOptions) {
  const FileSchema& schema = GetParam();
  for (const ExtensionSchema& extension : schema.extensions) {
    SCOPED_TRACE(extension.name);
    const FieldDescriptor* field = pool().FindExtensionByName(fullName(extension.name));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->file()->name(), schema.name);
    EXPECT_EQ(field->extension_scope(), nullptr);
    EXPECT_EQ(field->containing_type()->full_name(), extension.extendee);
    EXPECT_EQ(field->number(), extension.number);
    EXPECT_EQ(typeText(field), extension.type);
    EXPECT_EQ(labelOf(field), extension.label);
  }
}

TEST_P(ApiFileTest, ServicesHaveTheListedMethodsAndOptionValues) {
  const FileSchema& schema = GetParam();
  for (const ServiceSchema& serviceSchema : schema.services) {
    SCOPED_TRACE(serviceSchema.name);
    const ServiceDescriptor* service = pool().FindServiceByName(fullName(serviceSchema.name));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->file()->name(), schema.name);
    EXPECT_TRUE(service->options().HasExtension(vantorellabs::protobuf::vl_service_id));
    EXPECT_EQ(service->options().GetExtension(vantorellabs::protobuf::vl_service_id),
              serviceSchema.vlServiceId);
    EXPECT_EQ(optionCount(service->options()), 1U);

    ASSERT_EQ(service->method_count(), static_cast<int>(serviceSchema.methods.size()));
    for (std::size_t i = 0; i < serviceSchema.methods.size(); ++i) {
      const MethodSchema& row = serviceSchema.methods[i];
      const MethodDescriptor* method = service->method(static_cast<int>(i));
      SCOPED_TRACE(row.name);
      EXPECT_EQ(method->name(), row.name);
      EXPECT_EQ(method->input_type()->full_name(), fullName(row.request));
      EXPECT_EQ(method->output_type()->full_name(), fullName(row.response));
      EXPECT_FALSE(method->client_streaming());
      EXPECT_EQ(method->server_streaming(), row.kind == kServerStreaming);

      const bool hasId = method->options().HasExtension(vantorellabs::protobuf::vl_method_id);
      if (row.vlMethodId) {
        EXPECT_TRUE(hasId);
        EXPECT_EQ(method->options().GetExtension(vantorellabs::protobuf::vl_method_id),
                  *row.vlMethodId);
        EXPECT_EQ(optionCount(method->options()), 1U);
      } else {
        // Absent, not zero: clients tell the two apart. The options record itself is present
        // and empty.
        EXPECT_FALSE(hasId);
        google::protobuf::MethodDescriptorProto proto;
        method->CopyTo(&proto);
        EXPECT_TRUE(proto.has_options());
        EXPECT_EQ(optionCount(proto.options()), 0U);
      }
    }
  }
}

TEST(ApiSchemaTest, ServiceIdsEqualTheirServiceTypeValues) {
  const EnumDescriptor* serviceType = pool().FindEnumTypeByName(fullName("ServiceType"));
  ASSERT_NE(serviceType, nullptr);
  ASSERT_EQ(kServiceNumbers.size(), 12U);
  for (const ServiceNumber& row : kServiceNumbers) {
    SCOPED_TRACE(row.service);
    const auto* value = serviceType->FindValueByName(row.serviceType);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(static_cast<std::uint32_t>(value->number()), row.vlServiceId);
    const ServiceDescriptor* service = pool().FindServiceByName(fullName(row.service));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->file()->name(), row.file);
    EXPECT_EQ(service->options().GetExtension(vantorellabs::protobuf::vl_service_id),
              row.vlServiceId);
  }
}

TEST(ApiSchemaTest, FortyThreeRpcsOfWhichSixStreamFromTheServer) {
  std::set<std::string> streaming;
  int rpcs = 0;
  for (const FileSchema& schema : kApiSchema) {
    for (const ServiceSchema& service : schema.services) {
      const ServiceDescriptor* descriptor = pool().FindServiceByName(fullName(service.name));
      ASSERT_NE(descriptor, nullptr);
      for (int i = 0; i < descriptor->method_count(); ++i) {
        ++rpcs;
        if (descriptor->method(i)->server_streaming()) {
          streaming.insert(service.name + "." + descriptor->method(i)->name());
        }
      }
    }
  }
  EXPECT_EQ(rpcs, 43);
  EXPECT_EQ(streaming, (std::set<std::string>{
                           "FirmwareUpdateService.StartFirmwareUpdate",
                           "SystemService.ObservePower",
                           "NetworkConfigurationService.ObserveAvailableWiFiNetworks",
                           "VolumeService.ObserveVolume",
                           "AudioInputsActivationService.ObserveActiveInput",
                           "AudioOutputsService.ObserveActiveOutputs",
                       }));
}

TEST(ApiSchemaTest, SystemDisplayAndResetMethodsHaveNoMethodId) {
  const ServiceDescriptor* service = pool().FindServiceByName(fullName("SystemService"));
  ASSERT_NE(service, nullptr);
  for (const char* name : {"GetDisplay", "SetDisplay", "ResetDefaults", "FactoryReset"}) {
    const MethodDescriptor* method = service->FindMethodByName(name);
    ASSERT_NE(method, nullptr) << name;
    EXPECT_FALSE(method->options().HasExtension(vantorellabs::protobuf::vl_method_id)) << name;
  }
  EXPECT_EQ(service->FindMethodByName("SetPower")
                ->options()
                .GetExtension(vantorellabs::protobuf::vl_method_id),
            4U);
}

TEST(ApiSchemaTest, AudioEQSchemaIsEnabledTravelsAsFieldTwo) {
  EXPECT_EQ(pool().FindMessageTypeByName(fullName("AudioEQSchema"))->FindFieldByNumber(1), nullptr);

  vantorellabs::protobuf::AudioEQSchema schema;
  schema.mutable_isenabled()->set_default_(true);
  // Tag 0x12 is field 2, length-delimited; inside, 0x08 is BoolSchema.default.
  EXPECT_EQ(schema.SerializeAsString(), std::string("\x12\x02\x08\x01", 4));

  vantorellabs::protobuf::AudioEQ eq;
  eq.set_isenabled(true);
  EXPECT_EQ(eq.SerializeAsString(), std::string("\x08\x01", 2));
}

TEST(ApiSchemaTest, WiFiSecurityTypeHasNoValueFive) {
  const EnumDescriptor* type = pool().FindEnumTypeByName(fullName("WiFiSecurityType"));
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->FindValueByNumber(5), nullptr);
  EXPECT_EQ(type->FindValueByName("WIFI_SECURITY_TYPE_WPA2")->number(), 4);
  EXPECT_EQ(type->FindValueByName("WIFI_SECURITY_TYPE_WPA3")->number(), 6);
}

TEST(ApiSchemaTest, ZeroValueIsUnspecifiedExceptTwoMisspeltOnes) {
  const std::set<std::string> misspelt = {"IPConfigurationType", "DNSConfigurationType"};
  int enums = 0;
  for (const FileSchema& schema : kApiSchema) {
    for (const EnumSchema& enumSchema : schema.enums) {
      ++enums;
      const EnumDescriptor* descriptor = pool().FindEnumTypeByName(fullName(enumSchema.name));
      ASSERT_NE(descriptor, nullptr) << enumSchema.name;
      const std::string zero = descriptor->FindValueByNumber(0)->name();
      const std::string suffix =
          misspelt.count(enumSchema.name) != 0 ? "_UNPSECIFIED" : "_UNSPECIFIED";
      EXPECT_EQ(descriptor->value(0)->number(), 0) << enumSchema.name;
      ASSERT_GT(zero.size(), suffix.size());
      EXPECT_EQ(zero.substr(zero.size() - suffix.size()), suffix) << enumSchema.name;
    }
  }
  EXPECT_EQ(enums, 14);
  EXPECT_EQ(pool().FindEnumValueByName(fullName("IP_CONFIGURATION_TYPE_UNPSECIFIED"))->number(), 0);
  EXPECT_EQ(pool().FindEnumValueByName(fullName("DNS_CONFIGURATION_TYPE_UNPSECIFIED"))->number(),
            0);
}

TEST(ApiSchemaTest, SetVolumeRequestPresenceSurvivesARoundTrip) {
  using vantorellabs::protobuf::SetVolumeRequest;

  SetVolumeRequest nothing;
  const std::string nothingBytes = nothing.SerializeAsString();
  EXPECT_TRUE(nothingBytes.empty());
  SetVolumeRequest parsedNothing;
  ASSERT_TRUE(parsedNothing.ParseFromString(nothingBytes));
  EXPECT_FALSE(parsedNothing.has_volume());
  EXPECT_FALSE(parsedNothing.has_ismuted());

  // Zero and false are real requests ("volume 0", "unmute") and must be sent.
  SetVolumeRequest zeros;
  zeros.set_volume(0);
  zeros.set_ismuted(false);
  const std::string zeroBytes = zeros.SerializeAsString();
  EXPECT_EQ(zeroBytes, std::string("\x08\x00\x10\x00", 4));
  SetVolumeRequest parsedZeros;
  ASSERT_TRUE(parsedZeros.ParseFromString(zeroBytes));
  EXPECT_TRUE(parsedZeros.has_volume());
  EXPECT_EQ(parsedZeros.volume(), 0);
  EXPECT_TRUE(parsedZeros.has_ismuted());
  EXPECT_FALSE(parsedZeros.ismuted());

  SetVolumeRequest muteOnly;
  muteOnly.set_ismuted(true);
  SetVolumeRequest parsedMuteOnly;
  ASSERT_TRUE(parsedMuteOnly.ParseFromString(muteOnly.SerializeAsString()));
  EXPECT_FALSE(parsedMuteOnly.has_volume());
  EXPECT_TRUE(parsedMuteOnly.has_ismuted());
  EXPECT_TRUE(parsedMuteOnly.ismuted());
}

TEST(ApiSchemaTest, FieldsUnknownToTheSchemaAreSkipped) {
  // What a newer client might send: field 15 (varint 7) before the known volume field, and
  // field 16 (length-delimited "new") after it.
  const std::string bytes =
      std::string("\x78\x07", 2) + std::string("\x08\x28", 2) + std::string("\x82\x01\x03new", 6);
  vantorellabs::protobuf::SetVolumeRequest request;
  ASSERT_TRUE(request.ParseFromString(bytes));
  EXPECT_TRUE(request.has_volume());
  EXPECT_EQ(request.volume(), 40);
  EXPECT_FALSE(request.has_ismuted());

  vantorellabs::protobuf::SetVolumeResponse response;
  EXPECT_TRUE(response.ParseFromString(bytes));
}

std::string gLastLogMessage;

TEST(ApiSchemaTest, InvalidUtf8InARequestStringFailsToParseAndNamesTheField) {
  gLastLogMessage.clear();
  google::protobuf::LogHandler* previous = google::protobuf::SetLogHandler(
      [](google::protobuf::LogLevel /*level*/, const char* /*filename*/, int /*line*/,
         const std::string& message) { gLastLogMessage = message; });
  vantorellabs::protobuf::SetNameRequest request;
  const bool parsed = request.ParseFromString(std::string("\x0a\x01\xff", 3));
  google::protobuf::SetLogHandler(previous);

  EXPECT_FALSE(parsed);
  EXPECT_NE(gLastLogMessage.find("vantorellabs.protobuf.SetNameRequest.name"), std::string::npos)
      << gLastLogMessage;
}

TEST(ApiSchemaTest, IndexDeclaresNothingAndImportsTheFifteenOthers) {
  const FileDescriptor* index = pool().FindFileByName("index.proto");
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->package(), "");
  EXPECT_EQ(index->message_type_count(), 0);
  EXPECT_EQ(index->enum_type_count(), 0);
  EXPECT_EQ(index->service_count(), 0);
  EXPECT_EQ(index->extension_count(), 0);
  ASSERT_EQ(index->dependency_count(), 15);

  std::set<std::string> others;
  for (const FileSchema& schema : kApiSchema) {
    if (schema.name != "index.proto") {
      others.insert(schema.name);
    }
  }
  const std::vector<std::string> imported =
      declaredNames(index->dependency_count(), [&](int i) { return index->dependency(i)->name(); });
  EXPECT_EQ(std::set<std::string>(imported.begin(), imported.end()), others);
}

// A client that loads index.proto alone must end up with the whole API: rebuilding it in an
// empty pool from its own descriptors and those it imports, transitively, must succeed and
// resolve every service.
TEST(ApiSchemaTest, IndexAndItsImportsFormACompleteSet) {
  DescriptorPool fresh;
  std::set<std::string> built;
  std::function<bool(const FileDescriptor*)> build = [&](const FileDescriptor* file) {
    if (built.count(file->name()) != 0) {
      return true;
    }
    for (int i = 0; i < file->dependency_count(); ++i) {
      if (!build(file->dependency(i))) {
        return false;
      }
    }
    google::protobuf::FileDescriptorProto proto;
    file->CopyTo(&proto);
    built.insert(file->name());
    return fresh.BuildFile(proto) != nullptr;
  };
  const FileDescriptor* index = pool().FindFileByName("index.proto");
  ASSERT_NE(index, nullptr);
  ASSERT_TRUE(build(index));

  for (const ServiceNumber& row : kServiceNumbers) {
    EXPECT_NE(fresh.FindServiceByName(fullName(row.service)), nullptr) << row.service;
  }
}

}  // namespace
