#pragma once

namespace vantorellabs {

// Where the board keeps what the daemon reads and writes. Objects that own one of these
// files take the path at construction, so tests can point them elsewhere.
inline constexpr const char* kControllerPortPath = "/dev/ttyS3";
inline constexpr const char* kDaPortPath = "/dev/ttyS2";
inline constexpr const char* kIssuePath = "/etc/issue";
inline constexpr const char* kIioRawPath = "/sys/bus/iio/devices/iio:device0/in_voltage6_raw";
inline constexpr const char* kIioScalePath = "/sys/bus/iio/devices/iio:device0/in_voltage_scale";
inline constexpr const char* kProductNamePath = "/data/vtl_name.txt";
inline constexpr const char* kAvahiServiceTemplatePath = "/opt/vtl/sys/vantorel-link-grpc.service";
inline constexpr const char* kAvahiServicePath = "/config/vantorel-link-grpc.service";
inline constexpr const char* kConfigDirectoryPath = "/config";
inline constexpr const char* kBleHelperSocketPath = "/tmp/main_socket";

}  // namespace vantorellabs
