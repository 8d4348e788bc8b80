#include <cryptopp/tea.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/build_keys.h"
#include "core/bytes.h"
#include "core/ciphers.h"
#include "support/random_bytes.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

using test_support::randomBytes;

// Crypto++'s TEA (32 cycles, big-endian words and key) as an independent
// reference for the container key.
struct CryptoppTea {
    CryptoppTea()
    {
        uint8_t key[16];
        for (int i = 0; i < 4; ++i) bytes::putBe32(key + 4 * i, build_keys::kContainerKey[i]);
        dec.SetKey(key, sizeof key);
        enc.SetKey(key, sizeof key);
    }
    // The container's rule: a short last block is zero-padded, then cut back.
    void decipherBuffer(uint8_t* p, size_t length) const
    {
        for (size_t b = 0; b < length; b += 8) {
            uint8_t block[8] = {};
            const size_t n = std::min<size_t>(8, length - b);
            std::memcpy(block, p + b, n);
            dec.ProcessBlock(block);
            std::memcpy(p + b, block, n);
        }
    }
    CryptoPP::TEA::Decryption dec;
    CryptoPP::TEA::Encryption enc;
};

// Runs a (y, z) word function over one 8-byte big-endian block.
Bytes onBlock(void (*fn)(uint32_t*, uint32_t*), const uint8_t* in)
{
    uint32_t y = bytes::getBe32(in), z = bytes::getBe32(in + 4);
    fn(&y, &z);
    Bytes out(8);
    bytes::putBe32(out.data(), y);
    bytes::putBe32(out.data() + 4, z);
    return out;
}

constexpr TeaImpl kAllImpls[] = {TeaImpl::Scalar, TeaImpl::Avx2, TeaImpl::Avx512};

// The reader's byte rule for one group under `word`, checked byte by byte.
void expectGroupDecoded(const uint8_t* in, const uint8_t* out, uint32_t word)
{
    EXPECT_EQ(out[0], uint8_t(in[0] ^ word));
    EXPECT_EQ(out[1], uint8_t(in[1] ^ word >> 8));
    EXPECT_EQ(out[2], uint8_t(in[2] ^ in[0] ^ word >> 16));
    EXPECT_EQ(out[3], uint8_t(in[3] ^ in[1] ^ word >> 24));
}

TEST(HeaderXorTest, KeyRepeatsEveryEightBytesAndUndoesItself)
{
    uint8_t ten[10] = {};
    ZR_headerXor(10, ten);
    EXPECT_EQ(0, std::memcmp(ten, "KXRQTEPAKX", 10));

    const Bytes plain = randomBytes(520, 1);
    Bytes buf = plain;
    ZR_headerXor(520, buf.data());
    EXPECT_NE(buf, plain);
    ZR_headerXor(520, buf.data());
    EXPECT_EQ(buf, plain);
}

TEST(TeaTest, BothDirectionsMatchCryptoppOnRandomBlocks)
{
    const CryptoppTea ref;
    const Bytes data = randomBytes(8 * 500, 2);
    for (size_t b = 0; b < data.size(); b += 8) {
        Bytes plain(8), cipher(8);
        ref.dec.ProcessBlock(&data[b], plain.data());
        ref.enc.ProcessBlock(&data[b], cipher.data());
        ASSERT_EQ(onBlock(ZR_teaDecipher, &data[b]), plain);
        ASSERT_EQ(onBlock(ZR_teaEncipher, &data[b]), cipher);
    }
}

TEST(TeaTest, ThirteenBytesAreOneBlockAndAZeroPaddedTail)
{
    const CryptoppTea ref;
    const Bytes original = randomBytes(32, 3);
    uint8_t first[8], tail[8] = {};
    ref.dec.ProcessBlock(original.data(), first);
    std::memcpy(tail, &original[8], 5);
    ref.dec.ProcessBlock(tail);

    for (TeaImpl impl : kAllImpls) {
        Bytes buf = original;
        if (!ZR_blockDecipherWith(impl, buf.data(), 13)) continue;
        SCOPED_TRACE(int(impl));
        EXPECT_EQ(0, std::memcmp(buf.data(), first, 8));
        EXPECT_EQ(0, std::memcmp(&buf[8], tail, 5));
        EXPECT_TRUE(std::equal(buf.begin() + 13, buf.end(), original.begin() + 13)) << "wrote past the length";
    }
}

// Every length around the group widths and the tail stage, at an odd address,
// with guard bytes behind the buffer.
TEST(TeaTest, EveryImplementationMatchesTheReferenceAtAnyLength)
{
    const CryptoppTea ref;
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1023, 1024, 1025, 4103, 65536 + 129, (1 << 20) + 3}) lengths.push_back(n);

    int ran = 0;
    for (size_t n : lengths) {
        const Bytes original = randomBytes(1 + n + 64, uint32_t(n));
        Bytes expect = original;
        ref.decipherBuffer(&expect[1], n);
        for (TeaImpl impl : kAllImpls) {
            Bytes buf = original;
            if (!ZR_blockDecipherWith(impl, &buf[1], uint32_t(n))) continue;
            ++ran;
            ASSERT_EQ(buf, expect) << "impl " << int(impl) << ", length " << n;
        }
        Bytes buf = original;
        ZR_blockDecipher(&buf[1], uint32_t(n));
        ASSERT_EQ(buf, expect) << "dispatch, length " << n;
    }
    EXPECT_GE(ran, int(lengths.size())) << "the scalar path must always run";
    uint8_t probe[8] = {};
    EXPECT_TRUE(ZR_blockDecipherWith(ZR_blockDecipherImpl(), probe, 8));
}

TEST(RollingXorTest, OnlyWholeGroupsChange)
{
    ZR_RollingXor s;
    ZR_rollingXorResetState(&s);
    uint8_t three[3] = {1, 2, 3};
    ZR_rollingXorWith(&s, 3, three);
    EXPECT_EQ(0, std::memcmp(three, "\1\2\3", 3));
    EXPECT_EQ(s.offset, 0);

    // 01 02 03 04 -> 01 02 02 06 -> 0x06020201 ^ 0x3C5AA5C3 = 0x3A58A7C2.
    uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    ZR_rollingXorWith(&s, 6, six);
    EXPECT_EQ(0, std::memcmp(six, "\xC2\xA7\x58\x3A\5\6", 6));
    EXPECT_EQ(s.offset, 4);
    EXPECT_EQ(s.accumulator, 0x3A58A7C2u);
}

TEST(RollingXorTest, EachStretchUsesTheSumOfThePreviousOutput)
{
    const Bytes in = randomBytes(520, 4);
    Bytes out = in;
    ZR_RollingXor s;
    ZR_rollingXorResetState(&s);
    ZR_rollingXorWith(&s, 520, out.data());

    uint32_t word = build_keys::kRollingInitialWord;
    for (size_t stretch = 0; stretch < 520; stretch += 256) {
        uint32_t sum = 0;
        for (size_t g = stretch; g < std::min<size_t>(stretch + 256, 520); g += 4) {
            expectGroupDecoded(&in[g], &out[g], word);
            sum += bytes::getLe32(&out[g]);
        }
        if (stretch + 256 <= 520) {
            word = sum;
        } else {
            EXPECT_EQ(s.accumulator, sum);
        }
    }
    EXPECT_EQ(s.runningWord, word);
    EXPECT_EQ(s.offset, 8);
}

TEST(RollingXorTest, SplitCallsContinueWhereTheLastStopped)
{
    const Bytes in = randomBytes(1000, 5);
    Bytes whole = in;
    ZR_rollingXorReset();
    ZR_rollingXor(1000, whole.data());

    for (const std::vector<uint32_t>& cuts : {std::vector<uint32_t>{12, 508, 772, 1000}, {4, 8, 260, 264, 520, 1000}}) {
        Bytes split = in;
        ZR_RollingXor s;
        ZR_rollingXorResetState(&s);
        uint32_t from = 0;
        for (uint32_t to : cuts) {
            ZR_rollingXorWith(&s, to - from, &split[from]);
            from = to;
        }
        EXPECT_EQ(split, whole);
    }
}

TEST(CipherEncodeTest, RollingXorRoundTrips)
{
    for (uint32_t n : {0u, 3u, 4u, 6u, 255u, 256u, 257u, 259u, 1000u, 70001u}) {
        const Bytes plain = randomBytes(n, n + 10);
        Bytes buf = plain;
        ZR_rollingXorEncode(n, buf.data());
        EXPECT_EQ(buf == plain, n < 4);
        ZR_rollingXorReset();
        ZR_rollingXor(n, buf.data());
        EXPECT_EQ(buf, plain) << "length " << n;
    }
}

// Tools and the simulated device encode in the same process as the product's
// decoder, so encoding must not disturb the product's shared state.
TEST(CipherEncodeTest, EncodingLeavesTheSharedRollingStateAlone)
{
    const Bytes in = randomBytes(512, 7);
    Bytes expect = in, interrupted = in;
    ZR_RollingXor own;
    ZR_rollingXorResetState(&own);
    ZR_rollingXorWith(&own, 512, expect.data());

    ZR_rollingXorReset();
    ZR_rollingXor(200, interrupted.data());
    Bytes other = randomBytes(300, 8);
    ZR_rollingXorEncode(300, other.data());
    ZR_rollingXor(312, &interrupted[200]);
    EXPECT_EQ(interrupted, expect);
}

TEST(CipherEncodeTest, BlockEncipherRoundTripsWholeBlocksOnly)
{
    for (uint32_t n : {8u, 64u, 136u, 4096u}) {
        const Bytes plain = randomBytes(n, n);
        Bytes buf = plain;
        ZR_blockEncipher(buf.data(), n);
        ZR_blockDecipher(buf.data(), n);
        EXPECT_EQ(buf, plain) << "length " << n;
    }
    // A 5-byte tail is left for the builder to pad; padded, all 13 bytes return.
    Bytes plain = randomBytes(16, 9);
    Bytes buf = plain;
    ZR_blockEncipher(buf.data(), 13);
    EXPECT_TRUE(std::equal(buf.begin() + 8, buf.end(), plain.begin() + 8));
    std::fill(plain.begin() + 13, plain.end(), 0);
    buf = plain;
    ZR_blockEncipher(buf.data(), 16);
    ZR_blockDecipher(buf.data(), 16);
    EXPECT_EQ(buf, plain);
}

TEST(RecordKeyTest, ScrambleMatchesHandWorkedExamples)
{
    // Zero input isolates the XOR and the byte order from the rotations.
    uint8_t zero[8] = {};
    ZR_recordScramble(zero);
    EXPECT_EQ(0, std::memcmp(zero, "\x3B\xA7\x68\x92\x1E\xD4\x5C\x0F", 8));

    // 0x78563412 ror 6 = 0x49E158D0, 0xF0DEBC9A rol 6 = 0x37AF26BC.
    uint8_t x[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    ZR_recordScramble(x);
    EXPECT_EQ(0, std::memcmp(x, "\x72\x46\x4E\xA5\x46\x68\x8C\xA0", 8));
}

TEST(RecordKeyTest, KeyIsTheLowTwentyBitsTimesTenOfTheScrambledTail)
{
    const Bytes record = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 1, 2, 3, 4};
    Bytes copy = record;
    EXPECT_EQ(ZR_recordKey(copy.data()), 0x88CA0u * 10); // from 46 68 8C A0
    EXPECT_EQ(copy, record);

    const Bytes records = randomBytes(8 * 20000, 11);
    uint32_t highest = 0;
    for (size_t r = 0; r < records.size(); r += 8) {
        const uint32_t key = ZR_recordKey(&records[r]);
        EXPECT_EQ(key % 10, 0u);
        highest = std::max(highest, key);
    }
    EXPECT_LE(highest, 10485750u);
    EXPECT_GT(highest, 10000000u) << "keys should spread over the whole range";
}

} // namespace
