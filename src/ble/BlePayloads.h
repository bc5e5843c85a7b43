#pragma once

#include <string>

namespace vantorellabs {

// The HCI commands that drive advertising, as the board's hcitool takes them: each byte as
// two upper-case hexadecimal digits, separated by single spaces.
inline constexpr const char* kHcitoolAdvertisingData = "hcitool -i hci0 cmd 0x08 0x0008";
inline constexpr const char* kHcitoolScanResponse = "hcitool -i hci0 cmd 0x08 0x0009";
inline constexpr const char* kHcitoolAdvertisingOff = "hcitool -i hci0 cmd 0x08 0x000a 00";
inline constexpr const char* kHcitoolAdvertisingOn = "hcitool -i hci0 cmd 0x08 0x000a 01";
// Interval 0x0020 (20 ms), connectable undirected: a phone can connect to set the product up.
inline constexpr const char* kHcitoolFastParameters =
    "hcitool -i hci0 cmd 0x08 0x0006 20 00 20 00 00 00 00 00 00 00 00 00 00 07 00";
// Interval 0x00F4 (152.5 ms), scannable but not connectable: the product stays visible
// without inviting connections.
inline constexpr const char* kHcitoolSlowParameters =
    "hcitool -i hci0 cmd 0x08 0x0006 F4 00 F4 00 02 00 00 00 00 00 00 00 00 07 00";

// LE Set Advertising Data: flags, TX power and the maker's data, which carries the API model
// number and the serial number so that the phone app knows the product before connecting.
std::string advertisingDataCommand(int model, const std::string& serialNumber);

// LE Set Scan Response Data: the Complete Local Name, model string "-" serial number.
std::string scanResponseCommand(int model, const std::string& serialNumber);

}  // namespace vantorellabs
