// The four transforms that protect an update container, in the reading
// direction only (stored form to plain form): the header XOR, the TEA block
// cipher, the rolling XOR and the GPS record scramble. The encoding directions
// live in tools/encode/cipher_encode.h; the product never needs them.
//
// Every function works in place on the caller's buffer and accepts a null
// buffer or a zero length as "nothing to do".
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Header XOR

// buffer[i] ^= "KXRQTEPA"[i % 8] for i = 0 .. length-1. Its own inverse.
void ZR_headerXor(uint32_t length, uint8_t* buffer);

// ---------------------------------------------------------------------------
// TEA under the container key

// Replaces (y, z) with their 32-cycle TEA decryption under the container key.
void ZR_teaDecipher(uint32_t* y, uint32_t* z);

// Deciphers the buffer in place, 8 bytes at a time, each block read as two
// big-endian words. A last block of fewer than 8 bytes is deciphered as if
// padded with zero bytes, and only the bytes inside the buffer are written.
// Picks the fastest implementation the CPU offers (once, on first use).
void ZR_blockDecipher(uint8_t* buffer, uint32_t length);

// The implementations behind ZR_blockDecipher. All give identical output; the
// choice only matters for speed, and tests use it to check each against the
// others.
enum class TeaImpl {
    Scalar, // portable, a few blocks in flight
    Avx2,   // 8 blocks per vector
    Avx512, // 16 blocks per vector (needs AVX-512F and AVX-512BW)
};

// ZR_blockDecipher through the given implementation. Returns false, leaving
// the buffer untouched, when this CPU (or this build) cannot run it.
bool ZR_blockDecipherWith(TeaImpl impl, uint8_t* buffer, uint32_t length);

// The implementation ZR_blockDecipher uses on this machine.
TeaImpl ZR_blockDecipherImpl();

// ---------------------------------------------------------------------------
// Rolling XOR

// State of the rolling XOR. Each decoding keeps its own (the "With" form);
// one process-wide instance remains for the functions without "With".
struct ZR_RollingXor {
    uint32_t runningWord; // XORed into every 4-byte group of the current stretch
    uint32_t accumulator; // wrapping sum of the output groups of the current 256-byte stretch
    int32_t offset;       // bytes done in the current stretch, 0 to 252
};

// runningWord = rolling initial word, accumulator = 0, offset = 0.
void ZR_rollingXorResetState(ZR_RollingXor* state);

// Decodes the whole 4-byte groups of the buffer in place, continuing from
// where the state stopped; 1 to 3 trailing bytes are left as they are, so a
// stream split over several calls must be split at multiples of 4.
void ZR_rollingXorWith(ZR_RollingXor* state, uint32_t length, uint8_t* buffer);

// Decodes the buffer as one whole stream from its start, on a state of its
// own: what every caller in this system needs, and safe whatever else runs.
inline void ZR_rollingXorFromStart(uint32_t length, uint8_t* buffer)
{
    ZR_RollingXor state;
    ZR_rollingXorResetState(&state);
    ZR_rollingXorWith(&state, length, buffer);
}

// The same over one process-wide state, for callers that continue a stream
// across calls. Not locked, and shared by every such caller: prefer a state of
// your own.
void ZR_rollingXorReset();
void ZR_rollingXor(uint32_t length, uint8_t* buffer);

// ---------------------------------------------------------------------------
// GPS record sort key

// Rotates, XORs with the scramble bytes and reorders the 8 bytes in place.
void ZR_recordScramble(uint8_t x[8]);

// Sort key of a GPS record (reads its first 8 bytes, does not change them):
// a multiple of 10 between 0 and 10,485,750.
uint32_t ZR_recordKey(const uint8_t* record);
