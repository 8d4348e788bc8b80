#include "core/ciphers.h"

#include <cstddef>
#include <cstring>

#include "core/build_keys.h"
#include "core/bytes.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define TESSALY_TEA_SIMD 1
// Vector kernels, in ciphers_simd.cpp. Each deciphers the whole groups of its
// width (16 blocks for AVX-512, 8 for AVX2) at the front of `length` bytes in
// place and returns the number of bytes it did.
namespace tea_simd {
size_t decipherAvx2(uint8_t* data, size_t length, const uint32_t* roundSums);
size_t decipherAvx512(uint8_t* data, size_t length, const uint32_t* roundSums);
} // namespace tea_simd
#else
#define TESSALY_TEA_SIMD 0
#endif

namespace {

using build_keys::kContainerKey;

// ---------------------------------------------------------------------------
// TEA

// The sum each of the 32 cycles uses, from 32 x 0x9E3779B9 down by the TEA
// constant, so that no kernel carries the running sum in a register.
struct RoundSums {
    uint32_t sums[32];
};

constexpr RoundSums makeRoundSums()
{
    RoundSums r{};
    uint32_t sum = 0xC6EF3720;
    for (uint32_t& s : r.sums) {
        s = sum;
        sum += 0x61C88647;
    }
    return r;
}

constexpr RoundSums kRoundSums = makeRoundSums();

// Blocks per portable group: enough independent chains to hide the latency of
// one cycle, and a shape the compiler turns into 128-bit vector code (16 was
// three times as fast as 4 or 8, and 32 slower again).
constexpr size_t kScalarBlocks = 16;

size_t decipherScalar(uint8_t* data, size_t length, const uint32_t* roundSums)
{
    const uint32_t k0 = kContainerKey[0], k1 = kContainerKey[1];
    const uint32_t k2 = kContainerKey[2], k3 = kContainerKey[3];
    const size_t groups = length / (kScalarBlocks * 8);
    for (size_t g = 0; g < groups; ++g, data += kScalarBlocks * 8) {
        uint32_t y[kScalarBlocks], z[kScalarBlocks];
        for (size_t i = 0; i < kScalarBlocks; ++i) {
            y[i] = bytes::getBe32(data + 8 * i);
            z[i] = bytes::getBe32(data + 8 * i + 4);
        }
        for (int r = 0; r < 32; ++r) {
            const uint32_t sum = roundSums[r];
            for (size_t i = 0; i < kScalarBlocks; ++i) {
                z[i] -= ((y[i] << 4) + k2) ^ (y[i] + sum) ^ ((y[i] >> 5) + k3);
                y[i] -= ((z[i] << 4) + k0) ^ (z[i] + sum) ^ ((z[i] >> 5) + k1);
            }
        }
        for (size_t i = 0; i < kScalarBlocks; ++i) {
            bytes::putBe32(data + 8 * i, y[i]);
            bytes::putBe32(data + 8 * i + 4, z[i]);
        }
    }
    return groups * kScalarBlocks * 8;
}

using TeaKernel = size_t (*)(uint8_t* data, size_t length, const uint32_t* roundSums);

TeaKernel kernelFor(TeaImpl impl)
{
    switch (impl) {
    case TeaImpl::Scalar:
        return decipherScalar;
#if TESSALY_TEA_SIMD
    case TeaImpl::Avx2:
        return __builtin_cpu_supports("avx2") ? tea_simd::decipherAvx2 : nullptr;
    case TeaImpl::Avx512:
        // The byte swap needs the byte shuffle of AVX-512BW.
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
                   ? tea_simd::decipherAvx512
                   : nullptr;
#else
    case TeaImpl::Avx2:
    case TeaImpl::Avx512:
        return nullptr;
#endif
    }
    return nullptr;
}

TeaImpl bestImpl()
{
    if (kernelFor(TeaImpl::Avx512)) return TeaImpl::Avx512;
    if (kernelFor(TeaImpl::Avx2)) return TeaImpl::Avx2;
    return TeaImpl::Scalar;
}

TeaKernel bestKernel()
{
    static const TeaKernel kernel = kernelFor(bestImpl());
    return kernel;
}

// Larger than any kernel's group (128 bytes at most) and a multiple of every
// group width, so a kernel consumes the whole stage.
constexpr size_t kStageBytes = 256;
static_assert(kStageBytes % (kScalarBlocks * 8) == 0);

void decipherWith(TeaKernel kernel, uint8_t* buffer, uint32_t length)
{
    const size_t done = kernel(buffer, length, kRoundSums.sums);

    // The rest (whole blocks and a partial one) goes through a zero-filled
    // stage: zero padding of a partial block is what the container format
    // asks for, and the surplus padding blocks are simply thrown away.
    const size_t rest = length - done;
    if (rest == 0) return;
    alignas(64) uint8_t stage[kStageBytes] = {};
    std::memcpy(stage, buffer + done, rest);
    kernel(stage, kStageBytes, kRoundSums.sums);
    std::memcpy(buffer + done, stage, rest);
}

// ---------------------------------------------------------------------------
// Rolling XOR

constexpr uint32_t kStretchBytes = 256;

// Starts out reset, although every user resets it before a stream anyway.
ZR_RollingXor g_rolling = {build_keys::kRollingInitialWord, 0, 0};

// The byte step "g[2] ^= g[0]; g[3] ^= g[1]" on the little-endian word.
inline uint32_t mixHalves(uint32_t word) { return word ^ (word << 16); }

// One whole 256-byte stretch under a single running word; gives the sum of
// its output words. Four partial sums break the serial chain of additions.
uint32_t decodeStretch(uint8_t* p, uint32_t running)
{
    uint32_t lanes[4] = {};
    for (uint32_t i = 0; i < kStretchBytes; i += 16) {
        for (uint32_t k = 0; k < 4; ++k) {
            const uint32_t out = mixHalves(bytes::getLe32(p + i + 4 * k)) ^ running;
            bytes::putLe32(p + i + 4 * k, out);
            lanes[k] += out;
        }
    }
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

void decodeGroup(ZR_RollingXor* s, uint8_t* p)
{
    const uint32_t out = mixHalves(bytes::getLe32(p)) ^ s->runningWord;
    bytes::putLe32(p, out);
    s->accumulator += out;
    s->offset += 4;
    if (s->offset >= int32_t(kStretchBytes)) {
        s->runningWord = s->accumulator;
        s->accumulator = 0;
        s->offset = 0;
    }
}

} // namespace

// ---------------------------------------------------------------------------

void ZR_headerXor(uint32_t length, uint8_t* buffer)
{
    if (!buffer) return;
    for (uint32_t i = 0; i < length; ++i) buffer[i] ^= uint8_t(build_keys::kHeaderKey[i % 8]);
}

void ZR_teaDecipher(uint32_t* y, uint32_t* z)
{
    if (!y || !z) return;
    uint32_t vy = *y, vz = *z;
    for (uint32_t sum : kRoundSums.sums) {
        vz -= ((vy << 4) + kContainerKey[2]) ^ (vy + sum) ^ ((vy >> 5) + kContainerKey[3]);
        vy -= ((vz << 4) + kContainerKey[0]) ^ (vz + sum) ^ ((vz >> 5) + kContainerKey[1]);
    }
    *y = vy;
    *z = vz;
}

void ZR_blockDecipher(uint8_t* buffer, uint32_t length)
{
    if (!buffer || length == 0) return;
    decipherWith(bestKernel(), buffer, length);
}

bool ZR_blockDecipherWith(TeaImpl impl, uint8_t* buffer, uint32_t length)
{
    const TeaKernel kernel = kernelFor(impl);
    if (!kernel) return false;
    if (buffer && length != 0) decipherWith(kernel, buffer, length);
    return true;
}

TeaImpl ZR_blockDecipherImpl() { return bestImpl(); }

void ZR_rollingXorResetState(ZR_RollingXor* state)
{
    if (!state) return;
    state->runningWord = build_keys::kRollingInitialWord;
    state->accumulator = 0;
    state->offset = 0;
}

void ZR_rollingXorWith(ZR_RollingXor* state, uint32_t length, uint8_t* buffer)
{
    if (!state || !buffer) return;
    uint8_t* p = buffer;
    uint8_t* const end = buffer + (length & ~3u);

    // Finish a stretch that an earlier call left open, then whole stretches
    // on the fast path, then the start of the next one.
    while (state->offset != 0 && p != end) {
        decodeGroup(state, p);
        p += 4;
    }
    while (size_t(end - p) >= kStretchBytes) {
        state->runningWord = decodeStretch(p, state->runningWord);
        p += kStretchBytes;
    }
    for (; p != end; p += 4) decodeGroup(state, p);
}

void ZR_rollingXorReset() { ZR_rollingXorResetState(&g_rolling); }

void ZR_rollingXor(uint32_t length, uint8_t* buffer) { ZR_rollingXorWith(&g_rolling, length, buffer); }

void ZR_recordScramble(uint8_t x[8])
{
    if (!x) return;
    const uint32_t lo = bytes::getLe32(x);
    const uint32_t hi = bytes::getLe32(x + 4);
    uint8_t t[8];
    bytes::putLe32(t, (lo >> 6) | (lo << 26));
    bytes::putLe32(t + 4, (hi << 6) | (hi >> 26));
    for (int i = 0; i < 8; ++i) t[i] ^= build_keys::kScrambleBytes[i];
    static constexpr int kOrder[8] = {3, 2, 5, 7, 1, 4, 0, 6};
    for (int i = 0; i < 8; ++i) x[i] = t[kOrder[i]];
}

uint32_t ZR_recordKey(const uint8_t* record)
{
    if (!record) return 0;
    uint8_t copy[8];
    std::memcpy(copy, record, sizeof copy);
    ZR_recordScramble(copy);
    return (bytes::getBe32(copy + 4) & 0xFFFFF) * 10;
}
