// The encoding directions of the container ciphers (plain form to stored
// form), for the package builder, the simulated device and the tests. The
// product itself only ever decodes; see core/ciphers.h.
#pragma once

#include <cstdint>

#include "core/ciphers.h"

// Replaces (y, z) with their 32-cycle TEA encryption under the container key;
// ZR_teaDecipher undoes it.
void ZR_teaEncipher(uint32_t* y, uint32_t* z);

// Enciphers the whole 8-byte blocks of the buffer in place (big-endian words),
// so that ZR_blockDecipher restores them exactly.
//
// A trailing block of n = 1 to 7 bytes is left as it is. The reader deciphers
// such a tail as a zero-padded block cut back to n bytes, and that map from n
// stored bytes to n plain bytes is not one-to-one: about a third of the plain
// tails have no stored form at all, and the rest could only be found by a
// search over 2^(8n) candidates. A builder that needs every byte back pads
// the plain section with zeros to a multiple of 8 before enciphering it.
void ZR_blockEncipher(uint8_t* buffer, uint32_t length);

// Encodes the whole 4-byte groups of the buffer in place, continuing from the
// state, so that ZR_rollingXorWith over a state at the same point restores
// them; 1 to 3 trailing bytes are left as they are.
void ZR_rollingXorEncodeWith(ZR_RollingXor* state, uint32_t length, uint8_t* buffer);

// Encodes a whole stream in one call from a fresh state of its own, so that
// ZR_rollingXorReset followed by ZR_rollingXor restores it. Leaves the
// product's process-wide state alone.
void ZR_rollingXorEncode(uint32_t length, uint8_t* buffer);
