#pragma once

#include <cstdint>

namespace vantorellabs {

// Signed levels travel as one byte offset so that no payload byte is zero (a zero would end
// the frame). Reports are decoded and commands encoded with the same offsets.
inline constexpr int kLevelOffset = 13;    // tone levels -12..12, trim in half steps -6..6
inline constexpr int kBalanceOffset = 51;  // balance -50..50

inline int decodeLevel(std::uint8_t b) { return b - kLevelOffset; }
inline double decodeHalfStepLevel(std::uint8_t b) { return (b - kLevelOffset) * 0.5; }
inline int decodeBalance(std::uint8_t b) { return b - kBalanceOffset; }

inline std::uint8_t encodeLevel(int level) {
  return static_cast<std::uint8_t>(level + kLevelOffset);
}
inline std::uint8_t encodeBalance(int balance) {
  return static_cast<std::uint8_t>(balance + kBalanceOffset);
}
// The low byte of 2 × level + 13, truncated toward zero (a negative result becomes 0).
inline std::uint8_t encodeHalfStepLevel(float level) {
  return static_cast<std::uint8_t>(
      static_cast<unsigned>(level * 2.0F + static_cast<float>(kLevelOffset)));
}

}  // namespace vantorellabs
