// Key material the container ciphers are built with. Containers made with
// other values do not decode.
#pragma once

#include <cstdint>

namespace build_keys {

inline constexpr char kHeaderKey[9] = "KXRQTEPA";
inline constexpr uint32_t kContainerKey[4] = {0x4B1D2E3F, 0x9A0C5D71, 0x13E7B4C8, 0x6F2A8D05};
inline constexpr uint32_t kRollingInitialWord = 0x3C5AA5C3;
inline constexpr uint8_t kScrambleBytes[8] = {0x5C, 0x1E, 0xA7, 0x3B, 0xD4, 0x68, 0x0F, 0x92};

} // namespace build_keys
