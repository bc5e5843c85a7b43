#include "ble/BlePayloads.h"

#include <cstdio>

#include "core/DeviceState.h"
#include "core/Identity.h"

namespace vantorellabs {

namespace {

// 24 significant bytes of the 31 the command always carries.
constexpr unsigned kAdvertisingLength = 0x18;
// Flags 0x05 (LE Limited Discoverable, no BR/EDR), TX power 20 dBm, then the header of the
// manufacturer data: 17 bytes of type 0xFF for company 0xFFFF, and a fixed 00.
constexpr const char* kAdvertisingHead = "02 01 05 02 0A 14 11 FF FF FF 00";
constexpr const char* kManufacturerFixed = "01 00 00 00 00";
constexpr const char* kAdvertisingTail = "00 00 00 00 00 00 00";

constexpr std::size_t kPayloadBytes = 32;  // the length byte and 31 data bytes
constexpr unsigned kLocalNameType = 0x09;
// The AD structure's length byte counts its type byte; the command's own length byte
// counts that length byte as well.
constexpr std::size_t kNameStructureOverhead = 2;

// The characters as hexadecimal bytes separated by spaces. The serial number is always
// seven characters; a shorter one is padded with zero bytes so that the payload keeps
// its size.
std::string hexBytes(const std::string& text, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    const unsigned value = i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    std::snprintf(byte, sizeof byte, "%02X", value);
    if (i > 0) out += ' ';
    out += byte;
  }
  return out;
}

std::string hexByte(unsigned value) {
  return hexBytes(std::string(1, static_cast<char>(value)), 1);
}

}  // namespace

std::string advertisingDataCommand(int model, const std::string& serialNumber) {
  return std::string(kHcitoolAdvertisingData) + " " + hexByte(kAdvertisingLength) + " " +
         kAdvertisingHead + " " + hexByte(static_cast<unsigned>(apiModelNumber(model))) + " " +
         kManufacturerFixed + " " + hexBytes(serialNumber, DeviceState::kSerialNumberLength) + " " +
         kAdvertisingTail;
}

std::string scanResponseCommand(int model, const std::string& serialNumber) {
  const std::string modelText = modelString(model);
  std::string bytes;
  if (modelText.empty()) {
    // Without a model there is no name to give: an empty Complete Local Name.
    bytes = hexByte(kNameStructureOverhead) + " " + hexByte(kNameStructureOverhead - 1) + " " +
            hexByte(kLocalNameType);
  } else {
    // The name is the model string, "-" and the seven characters of the serial number.
    const std::size_t nameLength = modelText.size() + 1 + DeviceState::kSerialNumberLength;
    const std::size_t length = nameLength + kNameStructureOverhead;
    bytes = hexByte(static_cast<unsigned>(length)) + " " +
            hexByte(static_cast<unsigned>(length - 1)) + " " + hexByte(kLocalNameType) + " " +
            hexBytes(modelText, modelText.size()) + " 2D " +
            hexBytes(serialNumber, DeviceState::kSerialNumberLength);
  }
  // The rest of the 32 bytes are zero.
  const std::size_t used = (bytes.size() + 1) / 3;
  for (std::size_t i = used; i < kPayloadBytes; ++i) bytes += " 00";
  return std::string(kHcitoolScanResponse) + " " + bytes;
}

}  // namespace vantorellabs
