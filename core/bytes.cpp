#include "core/bytes.h"

namespace bytes {

uint32_t sum32(const uint8_t* data, size_t length)
{
    // Eight independent lanes let the compiler vectorise the loop; the wrap of
    // each lane adds up to the same wrapping total.
    uint32_t lanes[8] = {};
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        for (int k = 0; k < 8; ++k) lanes[k] += data[i + k];
    }
    uint32_t total = 0;
    for (uint32_t lane : lanes) total += lane;
    for (; i < length; ++i) total += data[i];
    return total;
}

} // namespace bytes
