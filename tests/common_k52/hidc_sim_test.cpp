// Round trips through the simulated device: what the channel writes is what
// it reads back, at the protocol cost the link is sized for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim_channel.h"
#include "support/temp_dir.h"
#include "tools/encode/cipher_encode.h"

namespace {

using HidcRoundTrip = SimChannel;

TEST_F(HidcRoundTrip, IdentifiesBootVersionAndFlashSize)
{
    EXPECT_EQ(ch.bootVersion, 1046u);
    EXPECT_EQ(Hidc_getFlashSize(&ch), kSimDefaultFlashSize);
    EXPECT_EQ(Hidc_done(&ch), 1);
    EXPECT_EQ(Hidc_refuse(&ch), 1);

    SimDeviceOptions small;
    small.flashSize = 1u << 20;
    small.bootVersion = 1050;
    SimDevice other(small);
    HidcChannel och{};
    och.port = Hidc_portFromDevice(SimDevice_openTransport(&other));
    EXPECT_EQ(Hidc_getBootVersion(&och), 1050u);
    EXPECT_EQ(Hidc_getFlashSize(&och), 1u << 20);
    Hidc_closePort(och.port);
}

TEST_F(HidcRoundTrip, EraseBlanksExactlyTheSectorsAsked)
{
    std::vector<uint8_t> pattern = randomBytes(3 * 4096, 1);
    ASSERT_TRUE(dev.writeFlashDirect(0x10000, pattern.data(), uint32_t(pattern.size())));
    ASSERT_EQ(Hidc_erase(0x11000, 4096, &ch), HIDC_OK);

    std::vector<uint8_t> back(pattern.size());
    ASSERT_EQ(Hidc_readFlash(&ch, 0x10000, back.data(), uint32_t(back.size()), 0), 1);
    std::vector<uint8_t> expected = pattern;
    std::fill(expected.begin() + 4096, expected.begin() + 8192, 0xFF);
    EXPECT_EQ(back, expected);
}

TEST_F(HidcRoundTrip, PlainWritesReadBackAtAnyLength)
{
    uint32_t address = 0x20000;
    for (uint32_t length : {1u, 13u, 256u, 1000u, 65537u}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> data = randomBytes(length, length);
        ASSERT_EQ(Hidc_writeFlash(&ch, address, data.data(), length, false, 0), 1);
        std::vector<uint8_t> back(length);
        ASSERT_EQ(Hidc_readFlash(&ch, address, back.data(), length, 0), 1);
        EXPECT_EQ(back, data);
        // The padding up to the next unit is blank flash, not stale bytes.
        uint32_t pad = (256 - length % 256) % 256;
        EXPECT_EQ(dev.readFlashDirect(address + length, pad), std::vector<uint8_t>(pad, 0xFF));
        address += 0x20000;
    }
}

TEST_F(HidcRoundTrip, EncodedWritesStoreTheDecodedData)
{
    uint32_t address = 0x100000;
    for (uint32_t length : {13u, 256u, 1000u, 65537u}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> plain = randomBytes(length, 100 + length);
        std::vector<uint8_t> encoded = plain;
        ZR_rollingXorEncode(length, encoded.data());
        ASSERT_EQ(Hidc_writeFlash(&ch, address, encoded.data(), length, true, 0), 1);
        std::vector<uint8_t> back(length);
        ASSERT_EQ(Hidc_readFlash(&ch, address, back.data(), length, 0), 1);
        EXPECT_EQ(back, plain);
        address += 0x20000;
    }
}

// The sum of an encoded write is taken over a decoded copy on a state of its
// own: a stream left half-way on the shared state goes on unharmed.
TEST_F(HidcRoundTrip, EncodedWritesLeaveTheSharedRollingStateAlone)
{
    std::vector<uint8_t> plain = randomBytes(1024, 5);
    std::vector<uint8_t> work = plain;
    ZR_rollingXorEncode(uint32_t(work.size()), work.data());
    ZR_rollingXorReset();
    ZR_rollingXor(300, work.data());

    std::vector<uint8_t> image = randomBytes(1000, 6);
    ZR_rollingXorEncode(uint32_t(image.size()), image.data());
    ASSERT_EQ(Hidc_writeFlash(&ch, 0x100000, image.data(), uint32_t(image.size()), true, 0), 1);

    ZR_rollingXor(uint32_t(work.size() - 300), work.data() + 300);
    EXPECT_EQ(work, plain);
}

// One command and one reply per transfer, however long: the machine layer
// relies on this to move whole images in one call.
TEST_F(HidcRoundTrip, LongTransfersCostOneCommandAndOneReply)
{
    std::vector<uint8_t> image = randomBytes(1u << 20, 7);
    dev.resetCounters();
    ASSERT_EQ(Hidc_writeFlash(&ch, 0, image.data(), uint32_t(image.size()), false, 0), 1);
    EXPECT_EQ(dev.commandsIn(), 1u);
    EXPECT_EQ(dev.reportsIn(), 1u + 16384u);
    EXPECT_EQ(dev.reportsOut(), 1u);

    dev.resetCounters();
    std::vector<uint8_t> back(65536);
    ASSERT_EQ(Hidc_readFlash(&ch, 0, back.data(), uint32_t(back.size()), 0), 1);
    EXPECT_EQ(dev.reportsIn(), 1u);
    EXPECT_EQ(dev.reportsOut(), 1024u + 1u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin()));

    dev.resetCounters();
    EXPECT_EQ(Hidc_readFlash(&ch, 0x80, back.data(), 256, 0), 0);
    EXPECT_EQ(Hidc_writeFlash(&ch, 0x80, back.data(), 256, false, 0), 0);
    EXPECT_EQ(dev.reportsIn(), 0u) << "misaligned transfers send nothing";
}

// Before boot 1046 argument 1 of a reply is whatever the device left there
// (here the command's own argument 1), never a status.
TEST_F(HidcRoundTrip, OldBootDeviceWorksWithoutStatusReplies)
{
    dev.setBootVersion(1010);
    openPort();
    ASSERT_EQ(ch.bootVersion, 1010u);

    std::vector<uint8_t> data = randomBytes(4096, 3);
    ASSERT_EQ(Hidc_erase(0x30000, 4096, &ch), HIDC_OK);
    ASSERT_EQ(Hidc_writeFlash(&ch, 0x30000, data.data(), 4096, false, 1), 1);
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(Hidc_readFlash(&ch, 0x30000, back.data(), 4096, 1), 1);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Hidc_done(&ch), 1);

    ch.bootVersion = 1046;  // judged as a status, the same replies would fail
    EXPECT_EQ(Hidc_done(&ch), 0);
}

TEST(HidcSimImage, FlashPersistsAcrossSessions)
{
    test_support::TempDir dir;
    ASSERT_TRUE(dir.ok());
    SimDeviceOptions options;
    options.flashSize = 256u << 10;
    options.imagePath = dir / "flash.bin";

    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i % 251);
    {
        SimDevice first(options);
        HidcChannel ch{};
        ch.port = Hidc_portFromDevice(SimDevice_openTransport(&first));
        EXPECT_EQ(Hidc_writeFlash(&ch, 0x8000, data.data(), uint32_t(data.size()), false, 0), 1);
        Hidc_closePort(ch.port);
    }
    {
        SimDevice second(options);
        HidcChannel ch{};
        ch.port = Hidc_portFromDevice(SimDevice_openTransport(&second));
        std::vector<uint8_t> back(data.size());
        EXPECT_EQ(Hidc_readFlash(&ch, 0x8000, back.data(), uint32_t(back.size()), 0), 1);
        EXPECT_EQ(back, data);
        EXPECT_EQ(second.readFlashDirect(0, 4), std::vector<uint8_t>(4, 0xFF)) << "untouched flash stays blank";
        Hidc_closePort(ch.port);
    }
}

} // namespace
