// Shared by the fuzz targets: the switch for the properties that today's code
// may still break, so a corpus can be grown while a fix is pending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// On unless TESSALY_FUZZ_PROPERTIES is set to "0". Sanitizer findings and the
// basic consistency checks stay on either way.
inline bool propertiesOn()
{
    static const bool on = [] {
        const char* v = std::getenv("TESSALY_FUZZ_PROPERTIES");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

// A broken property: named on stderr, then a crash the fuzzer records.
[[noreturn]] inline void violation(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A reply packet as the device lays it out, read independently of the
// channel's own check: 27 bytes, length byte 23, "HIDC" at 19, then the
// little-endian byte sum of the first 23 bytes.
inline bool wellFormedReply(const uint8_t* packet, size_t available)
{
    if (available < 27 || packet[1] != 23 || std::memcmp(packet + 19, "HIDC", 4) != 0) return false;
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i) sum += packet[i];
    return le32(packet + 23) == sum;
}

} // namespace fuzz
