// Reproducible test data: the same seed gives the same bytes on every run and
// every machine, so a failure can be replayed and pinned digests hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

using Bytes = std::vector<uint8_t>;

// n bytes, each the low byte of one draw of a std::mt19937 seeded with seed.
Bytes randomBytes(size_t n, uint32_t seed);

} // namespace test_support
