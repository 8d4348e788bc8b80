#include "support/random_bytes.h"

#include <random>

namespace test_support {

Bytes randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (uint8_t& b : out) b = uint8_t(rng());
    return out;
}

} // namespace test_support
