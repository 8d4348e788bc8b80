// Vector TEA decipher kernels. Blocks are independent, so each vector lane
// carries one block: the y words of 8 or 16 blocks in one register, their z
// words in another. Each function is compiled for its instruction set through
// a target attribute, so the rest of the program stays baseline x86-64 and
// ciphers.cpp picks a kernel at run time.
#if defined(__x86_64__) && defined(__GNUC__)

// GCC 12 warns about the deliberately undefined source operand inside its own
// AVX-512 intrinsics once they are inlined (GCC bug 105593, fixed in 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/build_keys.h"

#define TESSALY_AVX2 __attribute__((target("avx2")))
#define TESSALY_AVX512 __attribute__((target("avx512f,avx512bw")))

namespace tea_simd {
size_t decipherAvx2(uint8_t* data, size_t length, const uint32_t* roundSums);
size_t decipherAvx512(uint8_t* data, size_t length, const uint32_t* roundSums);
} // namespace tea_simd

namespace {

using build_keys::kContainerKey;

// Independent groups interleaved in the main loop. One cycle is a chain of
// four dependent operations, so a single group leaves most of the vector
// units idle; four was the best measured for both widths (six gains nothing,
// two loses a fifth with AVX-512 and a quarter with AVX2).
constexpr int kAvx512InFlight = 4;
constexpr int kAvx2InFlight = 4;

// ---------------------------------------------------------------------------
// AVX-512: 16 blocks (128 bytes) per group

struct Avx512Keys {
    __m512i k0, k1, k2, k3, byteSwap;
};

template <int N>
TESSALY_AVX512 inline void decipherGroups512(uint8_t* data, const uint32_t* roundSums, const Avx512Keys& c)
{
    __m512i y[N], z[N];
    for (int i = 0; i < N; ++i) {
        // a = y0 z0 y1 z1 ..., b = the next 8 blocks. The in-lane shuffles
        // split even and odd words with a lane order that is not the block
        // order, but the unpacks on the way out undo exactly that.
        const __m512i a = _mm512_shuffle_epi8(_mm512_loadu_si512(data + 128 * i), c.byteSwap);
        const __m512i b = _mm512_shuffle_epi8(_mm512_loadu_si512(data + 128 * i + 64), c.byteSwap);
        const __m512 af = _mm512_castsi512_ps(a), bf = _mm512_castsi512_ps(b);
        y[i] = _mm512_castps_si512(_mm512_shuffle_ps(af, bf, _MM_SHUFFLE(2, 0, 2, 0)));
        z[i] = _mm512_castps_si512(_mm512_shuffle_ps(af, bf, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    for (int r = 0; r < 32; ++r) {
        const __m512i sum = _mm512_set1_epi32(int(roundSums[r]));
        for (int i = 0; i < N; ++i) {
            const __m512i t = _mm512_ternarylogic_epi32(_mm512_add_epi32(_mm512_slli_epi32(y[i], 4), c.k2),
                                                        _mm512_add_epi32(y[i], sum),
                                                        _mm512_add_epi32(_mm512_srli_epi32(y[i], 5), c.k3), 0x96);
            z[i] = _mm512_sub_epi32(z[i], t);
        }
        for (int i = 0; i < N; ++i) {
            const __m512i t = _mm512_ternarylogic_epi32(_mm512_add_epi32(_mm512_slli_epi32(z[i], 4), c.k0),
                                                        _mm512_add_epi32(z[i], sum),
                                                        _mm512_add_epi32(_mm512_srli_epi32(z[i], 5), c.k1), 0x96);
            y[i] = _mm512_sub_epi32(y[i], t);
        }
    }
    for (int i = 0; i < N; ++i) {
        const __m512 yf = _mm512_castsi512_ps(y[i]), zf = _mm512_castsi512_ps(z[i]);
        const __m512i a = _mm512_castps_si512(_mm512_unpacklo_ps(yf, zf));
        const __m512i b = _mm512_castps_si512(_mm512_unpackhi_ps(yf, zf));
        _mm512_storeu_si512(data + 128 * i, _mm512_shuffle_epi8(a, c.byteSwap));
        _mm512_storeu_si512(data + 128 * i + 64, _mm512_shuffle_epi8(b, c.byteSwap));
    }
}

// ---------------------------------------------------------------------------
// AVX2: 8 blocks (64 bytes) per group

struct Avx2Keys {
    __m256i k0, k1, k2, k3, byteSwap;
};

TESSALY_AVX2 inline __m256i teaMix256(__m256i v, __m256i sum, __m256i ka, __m256i kb)
{
    const __m256i hi = _mm256_add_epi32(_mm256_slli_epi32(v, 4), ka);
    const __m256i lo = _mm256_add_epi32(_mm256_srli_epi32(v, 5), kb);
    return _mm256_xor_si256(_mm256_xor_si256(hi, _mm256_add_epi32(v, sum)), lo);
}

template <int N>
TESSALY_AVX2 inline void decipherGroups256(uint8_t* data, const uint32_t* roundSums, const Avx2Keys& c)
{
    __m256i y[N], z[N];
    for (int i = 0; i < N; ++i) {
        const __m256i a =
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 64 * i)), c.byteSwap);
        const __m256i b =
            _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 64 * i + 32)), c.byteSwap);
        const __m256 af = _mm256_castsi256_ps(a), bf = _mm256_castsi256_ps(b);
        y[i] = _mm256_castps_si256(_mm256_shuffle_ps(af, bf, _MM_SHUFFLE(2, 0, 2, 0)));
        z[i] = _mm256_castps_si256(_mm256_shuffle_ps(af, bf, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    for (int r = 0; r < 32; ++r) {
        const __m256i sum = _mm256_set1_epi32(int(roundSums[r]));
        for (int i = 0; i < N; ++i) z[i] = _mm256_sub_epi32(z[i], teaMix256(y[i], sum, c.k2, c.k3));
        for (int i = 0; i < N; ++i) y[i] = _mm256_sub_epi32(y[i], teaMix256(z[i], sum, c.k0, c.k1));
    }
    for (int i = 0; i < N; ++i) {
        const __m256 yf = _mm256_castsi256_ps(y[i]), zf = _mm256_castsi256_ps(z[i]);
        const __m256i a = _mm256_castps_si256(_mm256_unpacklo_ps(yf, zf));
        const __m256i b = _mm256_castps_si256(_mm256_unpackhi_ps(yf, zf));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + 64 * i), _mm256_shuffle_epi8(a, c.byteSwap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + 64 * i + 32), _mm256_shuffle_epi8(b, c.byteSwap));
    }
}

} // namespace

namespace tea_simd {

TESSALY_AVX512 size_t decipherAvx512(uint8_t* data, size_t length, const uint32_t* roundSums)
{
    const Avx512Keys c = {
        _mm512_set1_epi32(int(kContainerKey[0])),
        _mm512_set1_epi32(int(kContainerKey[1])),
        _mm512_set1_epi32(int(kContainerKey[2])),
        _mm512_set1_epi32(int(kContainerKey[3])),
        _mm512_broadcast_i32x4(_mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12)),
    };
    constexpr size_t kGroupBytes = 128;
    const size_t groups = length / kGroupBytes;
    size_t g = 0;
    for (; g + kAvx512InFlight <= groups; g += kAvx512InFlight)
        decipherGroups512<kAvx512InFlight>(data + g * kGroupBytes, roundSums, c);
    for (; g < groups; ++g) decipherGroups512<1>(data + g * kGroupBytes, roundSums, c);
    return groups * kGroupBytes;
}

TESSALY_AVX2 size_t decipherAvx2(uint8_t* data, size_t length, const uint32_t* roundSums)
{
    const Avx2Keys c = {
        _mm256_set1_epi32(int(kContainerKey[0])),
        _mm256_set1_epi32(int(kContainerKey[1])),
        _mm256_set1_epi32(int(kContainerKey[2])),
        _mm256_set1_epi32(int(kContainerKey[3])),
        _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8,
                         15, 14, 13, 12),
    };
    constexpr size_t kGroupBytes = 64;
    const size_t groups = length / kGroupBytes;
    size_t g = 0;
    for (; g + kAvx2InFlight <= groups; g += kAvx2InFlight)
        decipherGroups256<kAvx2InFlight>(data + g * kGroupBytes, roundSums, c);
    for (; g < groups; ++g) decipherGroups256<1>(data + g * kGroupBytes, roundSums, c);
    return groups * kGroupBytes;
}

} // namespace tea_simd

#endif
