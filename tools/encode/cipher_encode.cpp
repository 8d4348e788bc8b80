#include "tools/encode/cipher_encode.h"

#include "core/build_keys.h"
#include "core/bytes.h"

namespace {

using build_keys::kContainerKey;

// The reader's "g[2] ^= g[0]; g[3] ^= g[1]" on the little-endian word. It is
// its own inverse: applying it twice XORs in (word << 32), which is zero.
inline uint32_t mixHalves(uint32_t word) { return word ^ (word << 16); }

} // namespace

void ZR_teaEncipher(uint32_t* y, uint32_t* z)
{
    if (!y || !z) return;
    uint32_t vy = *y, vz = *z, sum = 0;
    for (int cycle = 0; cycle < 32; ++cycle) {
        sum += 0x9E3779B9;
        vy += ((vz << 4) + kContainerKey[0]) ^ (vz + sum) ^ ((vz >> 5) + kContainerKey[1]);
        vz += ((vy << 4) + kContainerKey[2]) ^ (vy + sum) ^ ((vy >> 5) + kContainerKey[3]);
    }
    *y = vy;
    *z = vz;
}

void ZR_blockEncipher(uint8_t* buffer, uint32_t length)
{
    if (!buffer) return;
    for (uint32_t b = 0; b + 8 <= length; b += 8) {
        uint32_t y = bytes::getBe32(buffer + b), z = bytes::getBe32(buffer + b + 4);
        ZR_teaEncipher(&y, &z);
        bytes::putBe32(buffer + b, y);
        bytes::putBe32(buffer + b + 4, z);
    }
}

void ZR_rollingXorEncodeWith(ZR_RollingXor* state, uint32_t length, uint8_t* buffer)
{
    if (!state || !buffer) return;
    for (uint32_t i = 0; i + 4 <= length; i += 4) {
        // The reader sums its output, which is the plain word we start from.
        const uint32_t plain = bytes::getLe32(buffer + i);
        bytes::putLe32(buffer + i, mixHalves(plain ^ state->runningWord));
        state->accumulator += plain;
        state->offset += 4;
        if (state->offset == 256) {
            state->runningWord = state->accumulator;
            state->accumulator = 0;
            state->offset = 0;
        }
    }
}

void ZR_rollingXorEncode(uint32_t length, uint8_t* buffer)
{
    ZR_RollingXor state;
    ZR_rollingXorResetState(&state);
    ZR_rollingXorEncodeWith(&state, length, buffer);
}
