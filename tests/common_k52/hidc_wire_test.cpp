// The channel's exact bytes on the wire, checked against a transport that
// records every report written and answers from a script.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <numeric>
#include <tuple>
#include <vector>

#include "common_k52/hidc.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Report = std::array<uint8_t, kHidReportSize>;
using Step = std::tuple<uint32_t, uint32_t, uint32_t>;  // phase, count, total

uint32_t byteSum(const uint8_t* p, size_t n) { return std::accumulate(p, p + n, 0u); }

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Written reports are recorded whole; reads pop the script and time out once
// it is empty, as a silent device would. `delivered` may be smaller than the
// bytes placed in the buffer, to catch a reader that looks past it.
struct ScriptedHid : HidDevice {
    struct Input {
        Report bytes;
        size_t delivered;
    };
    std::vector<std::vector<uint8_t>> written;
    std::deque<Input> script;
    size_t writesLeft = SIZE_MAX;  // further writes fail as if the device were gone

    ScriptedHid();
};

const HidTransportOps kScriptedOps = {
    "scripted",
    [](HidDevice* d, const uint8_t* report, size_t length, int, HidCancel*, size_t* taken) {
        auto* hid = static_cast<ScriptedHid*>(d);
        if (hid->writesLeft == 0) return HID_IO_ERROR;
        --hid->writesLeft;
        hid->written.emplace_back(report, report + length);
        *taken = length;
        return HID_IO_OK;
    },
    [](HidDevice* d, uint8_t* report, size_t capacity, int, HidCancel*, size_t* delivered) {
        auto* hid = static_cast<ScriptedHid*>(d);
        if (hid->script.empty()) return HID_IO_TIMEOUT;
        std::memcpy(report, hid->script.front().bytes.data(), std::min(capacity, kHidReportSize));
        *delivered = hid->script.front().delivered;
        hid->script.pop_front();
        return HID_IO_OK;
    },
    // The script stands for what the device sends after the next command,
    // so there is never anything stale to drop.
    [](HidDevice*) {},
    [](HidDevice*) {},
};

ScriptedHid::ScriptedHid() { ops = &kScriptedOps; }

// A command as sent: code, arguments 1 to 3, flag byte, argument 4.
using Fields = std::array<uint32_t, 6>;

class HidcWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.device = &hid;
        ch.port = &port;
        ch.timeoutMs = 100;
        ch.progress = [](void* user, uint32_t phase, uint32_t count, uint32_t total) {
            static_cast<std::vector<Step>*>(user)->emplace_back(phase, count, total);
        };
        ch.progressUser = &steps;
    }

    void TearDown() override
    {
        for (const auto& r : hid.written) {
            ASSERT_EQ(r.size(), kHidReportSize);
            EXPECT_EQ(r[0], 0) << "report id";
        }
    }

    static Report replyReport(uint8_t command, uint32_t arg1, uint32_t arg2)
    {
        Report r{};
        Hidc_buildPacket(r.data() + 1, command, arg1, arg2, 0, 0, 0);
        return r;
    }
    void scriptReply(uint8_t command, uint32_t arg1, uint32_t arg2)
    {
        hid.script.push_back({replyReport(command, arg1, arg2), kHidReportSize});
    }
    void scriptData(const uint8_t* payload)
    {
        Report r{};
        std::memcpy(r.data() + 1, payload, kHidcPayloadSize);
        hid.script.push_back({r, kHidReportSize});
    }

    // The command in written report i; the packet must be valid.
    Fields sent(size_t i)
    {
        const uint8_t* p = hid.written.at(i).data() + 1;
        EXPECT_TRUE(Hidc_packetValid(p));
        return {p[0], le32(p + 2), le32(p + 6), le32(p + 10), p[14], le32(p + 15)};
    }
    // Payload bytes 1..64 of the data reports that follow the command.
    std::vector<uint8_t> sentData()
    {
        std::vector<uint8_t> out;
        for (size_t i = 1; i < hid.written.size(); ++i)
            out.insert(out.end(), hid.written[i].begin() + 1, hid.written[i].end());
        return out;
    }

    ScriptedHid hid;
    HidcPort port{};
    HidcChannel ch{};
    std::vector<Step> steps;
};

TEST_F(HidcWire, CommandReportsArePacketThenCCPadding)
{
    ASSERT_EQ(Hidc_sendCommand(&ch, HIDC_ERASE, 0, 0, 0, 0, 0), 1);
    std::vector<uint8_t> expected(kHidReportSize, 0xCC);
    const uint8_t head[] = {0, 0xF1, 23, 0, 0, 0, 0, 0, 0,   0,   0,   0,   0,    0,
                            0, 0,    0,  0, 0, 0, 'H', 'I', 'D', 'C', 0x20, 0x02, 0x00, 0x00};
    std::memcpy(expected.data(), head, sizeof head);
    EXPECT_EQ(hid.written.at(0), expected);

    // Flag bits above the low byte still mean "set".
    ASSERT_EQ(Hidc_sendCommand(&ch, HIDC_READ, 1, 2, 3, 0x100, 4), 1);
    EXPECT_EQ(sent(1), (Fields{HIDC_READ, 1, 2, 3, 1, 4}));

    scriptReply(HIDC_BOOT_VERSION, 0, 1046);
    EXPECT_EQ(Hidc_getBootVersion(&ch), 1046u);
    EXPECT_EQ(sent(2), (Fields{HIDC_BOOT_VERSION, 0x12345678, 0xABCDEF01, 0, 0, 0}));
    EXPECT_EQ(le32(hid.written[2].data() + 1 + HIDC_PKT_SUM), 0x5A2u);
    EXPECT_TRUE(std::all_of(hid.written[2].begin() + 28, hid.written[2].end(), [](uint8_t b) { return b == 0xCC; }));
    EXPECT_TRUE(steps.empty()) << "only data transfers report progress";
}

TEST_F(HidcWire, ReplyValidityIgnoresTheCommandByte)
{
    const std::pair<size_t, uint8_t> corruptions[] = {
        {HIDC_PKT_LENGTH, 22}, {HIDC_PKT_SIGNATURE + 3, 'D'}, {HIDC_PKT_SUM, 0x01}};
    for (uint8_t command : {uint8_t(0x00), uint8_t(HIDC_READ), uint8_t(0x7E)}) {
        SCOPED_TRACE(int(command));
        scriptReply(command, 0, 0xBEEF);
        uint8_t got[HIDC_PACKET_SIZE] = {};
        EXPECT_EQ(Hidc_readReply(&ch, got), 1);
        EXPECT_EQ(le32(got + HIDC_PKT_ARG2), 0xBEEFu);
        for (auto [offset, flip] : corruptions) {
            Report bad = replyReport(command, 0, 0);
            bad[1 + offset] ^= flip;
            hid.script.push_back({bad, kHidReportSize});
            EXPECT_EQ(Hidc_readReply(&ch, nullptr), 0) << "byte " << offset;
        }
    }
    EXPECT_EQ(Hidc_readReply(&ch, nullptr), 0) << "no reply at all";
}

// The whole reply sits in the buffer, but only `delivered` bytes count; the
// sum's second byte is not zero, so reading past the count would pass.
TEST_F(HidcWire, ShortReportsFailWithoutUsingBytesPastTheCount)
{
    Report full = replyReport(HIDC_BOOT_VERSION, 0, 1046);
    ASSERT_NE(full[1 + HIDC_PKT_SUM + 1], 0);
    for (size_t delivered : {0, 1, 13, 25}) {
        hid.script.push_back({full, delivered});
        EXPECT_EQ(Hidc_readReply(&ch, nullptr), 0) << delivered;
    }
    // A data report without payload can never finish a read.
    std::vector<uint8_t> dest(256);
    for (size_t delivered : {0, 1}) {
        hid.script.push_back({full, delivered});
        EXPECT_EQ(Hidc_read(0, &ch, dest.data(), 256, 0), HIDC_E_DATA) << delivered;
    }
}

TEST_F(HidcWire, StatusRuleStartsAtBoot1046)
{
    struct {
        uint32_t boot, status;
        int ok;
    } cases[] = {{0, 5, 1}, {1045, 5, 1}, {1046, 5, 0}, {1046, 0, 1}, {3000, 1, 0}};
    for (const auto& c : cases) {
        ch.bootVersion = c.boot;
        scriptReply(HIDC_DONE, c.status, 0);
        EXPECT_EQ(Hidc_done(&ch), c.ok) << "boot " << c.boot << " status " << c.status;
    }
}

TEST_F(HidcWire, EraseCountsWholeSectors)
{
    scriptReply(HIDC_ERASE, 0, 0);
    EXPECT_EQ(Hidc_erase(0x16000, 4096, &ch), HIDC_OK);
    EXPECT_EQ(sent(0), (Fields{HIDC_ERASE, 0x16, 1, 0, 0, 0}));
    EXPECT_EQ(Hidc_erase(0x16000, 1000, &ch), HIDC_E_LENGTH);
    EXPECT_EQ(hid.written.size(), 1u);
    EXPECT_EQ(Hidc_erase(0x16000, 8192, &ch), HIDC_E_DATA) << "no reply";
    EXPECT_EQ(sent(1)[2], 2u);
    EXPECT_TRUE(steps.empty());
}

TEST_F(HidcWire, ReadTakesFourReportsPerUnit)
{
    std::vector<uint8_t> image(256);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 3);
    for (size_t i = 0; i < 4; ++i) scriptData(image.data() + 64 * i);
    scriptReply(HIDC_READ, 0, 0xC0FFEE);
    std::vector<uint8_t> dest(256);
    ASSERT_EQ(Hidc_read(0x1E000, &ch, dest.data(), 256, 1), HIDC_OK);
    EXPECT_EQ(dest, image);
    EXPECT_EQ(sent(0), (Fields{HIDC_READ, 0x1E0, 1, 0, 1, 0}));
    EXPECT_EQ(hid.written.size(), 1u) << "a read writes only its command";
    EXPECT_EQ(steps, (std::vector<Step>{{0, 0, 256}, {1, 64, 64}, {1, 64, 128}, {1, 64, 192}, {1, 64, 256},
                                        {2, 0xC0FFEE, 256}}));

    // Failures still end the progress, with 0 as the end value.
    steps.clear();
    scriptData(image.data());
    EXPECT_EQ(Hidc_read(0, &ch, dest.data(), 256, 0), HIDC_E_DATA);
    EXPECT_EQ(steps.back(), Step(2, 0, 256));
    steps.clear();
    for (size_t i = 0; i < 4; ++i) scriptData(image.data());
    EXPECT_EQ(Hidc_read(0, &ch, dest.data(), 256, 0), HIDC_E_REPLY);
    EXPECT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps.back(), Step(2, 0, 256));

    size_t before = hid.written.size();
    EXPECT_EQ(Hidc_read(0x180, &ch, dest.data(), 256, 0), HIDC_E_ADDRESS);
    EXPECT_EQ(Hidc_read(0x100, &ch, dest.data(), 300, 0), HIDC_E_LENGTH);
    EXPECT_EQ(hid.written.size(), before) << "rejected reads send nothing";
}

TEST_F(HidcWire, WriteSendsFourDataReportsPerUnit)
{
    std::vector<uint8_t> data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(255 - i);
    scriptReply(HIDC_WRITE, 0, 0);
    ASSERT_EQ(Hidc_write(0x100, &ch, data.data(), 256, 7, 2, 0x1234), HIDC_OK);
    EXPECT_EQ(sent(0), (Fields{HIDC_WRITE, 1, 1, 7, 1, 0x1234}));
    ASSERT_EQ(hid.written.size(), 5u);
    EXPECT_EQ(sentData(), data);
    EXPECT_EQ(steps, (std::vector<Step>{{0, 0, 256}, {1, 64, 64}, {1, 64, 128}, {1, 64, 192}, {1, 64, 256},
                                        {2, 256, 256}}));

    hid.written.clear();
    EXPECT_EQ(Hidc_write(0x180, &ch, data.data(), 256, 0, 0, 0), HIDC_E_ADDRESS);
    EXPECT_EQ(Hidc_write(0x100, &ch, data.data(), 200, 0, 0, 0), HIDC_E_LENGTH);
    EXPECT_TRUE(hid.written.empty());

    // A data report that cannot be written ends the write; no reply is read.
    steps.clear();
    scriptReply(HIDC_WRITE, 0, 0);
    hid.writesLeft = 3;  // the command and two data reports
    EXPECT_EQ(Hidc_write(0, &ch, data.data(), 256, 0, 0, 0), HIDC_E_DATA);
    EXPECT_EQ(hid.script.size(), 1u);
    EXPECT_EQ(steps.back(), Step(2, 128, 128));
    hid.writesLeft = 0;
    EXPECT_EQ(Hidc_write(0, &ch, data.data(), 256, 0, 0, 0), HIDC_E_COMMAND);
}

TEST_F(HidcWire, WriteFlashPadsPlainDataWithFF)
{
    const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 200};
    scriptReply(HIDC_WRITE, 0, 0);
    ASSERT_EQ(Hidc_writeFlash(&ch, 0x2000, data, sizeof data, false, 0), 1);
    EXPECT_EQ(sent(0), (Fields{HIDC_WRITE, 0x20, 1, 0, 0, byteSum(data, 12) + 244u * 255u}));
    std::vector<uint8_t> expected(256, 0xFF);
    std::copy(data, data + sizeof data, expected.begin());
    EXPECT_EQ(sentData(), expected);
}

// Encoded data goes out untouched; the device is told the sum of what it
// will store, i.e. the decoded bytes, plus the padding.
TEST_F(HidcWire, WriteFlashSendsEncodedDataWithTheDecodedSum)
{
    const uint8_t plain[12] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0, 0xB0, 0xC0};
    std::vector<uint8_t> encoded(plain, plain + 12);
    ZR_rollingXorEncode(12, encoded.data());
    ASSERT_NE(byteSum(encoded.data(), 12), byteSum(plain, 12)) << "the sum must tell the forms apart";
    encoded.push_back(0x7B);  // a tail byte outside every whole word

    scriptReply(HIDC_WRITE, 0, 0);
    ASSERT_EQ(Hidc_writeFlash(&ch, 0, encoded.data(), 13, true, 1), 1);
    EXPECT_EQ(sent(0), (Fields{HIDC_WRITE, 0, 1, 13, 1, byteSum(plain, 12) + 0x7Bu + 243u * 255u}));
    std::vector<uint8_t> expected(256, 0xFF);
    std::copy(encoded.begin(), encoded.end(), expected.begin());
    EXPECT_EQ(sentData(), expected);
}

TEST_F(HidcWire, ReadFlashRoundsUpAndCopiesOnlyTheAskedLength)
{
    std::vector<uint8_t> chunk(64, 0x42);
    for (int i = 0; i < 8; ++i) scriptData(chunk.data());
    scriptReply(HIDC_READ, 0, 0);
    std::vector<uint8_t> dest(300, 0xEE);
    ASSERT_EQ(Hidc_readFlash(&ch, 0x400, dest.data(), 257, 0), 1);
    EXPECT_EQ(sent(0)[2], 2u);
    EXPECT_EQ(std::count(dest.begin(), dest.begin() + 257, 0x42), 257);
    EXPECT_EQ(dest[257], 0xEE);

    for (int i = 0; i < 4; ++i) scriptData(chunk.data());
    scriptReply(HIDC_READ, 0, 0);
    ASSERT_EQ(Hidc_readFlash(&ch, 0x400, dest.data(), 256, 0), 1);
    EXPECT_EQ(sent(1)[2], 1u);
    EXPECT_TRUE(hid.script.empty());

    EXPECT_EQ(Hidc_readFlash(&ch, 0x480, dest.data(), 256, 0), 0);
    EXPECT_EQ(hid.written.size(), 2u);
}

TEST_F(HidcWire, EverythingFailsWithoutAPort)
{
    ch.port = nullptr;
    uint8_t buf[256] = {};
    uint32_t count = 99;
    EXPECT_EQ(Hidc_readReport(&ch, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Hidc_writeReport(&ch, nullptr), 0);
    EXPECT_EQ(Hidc_sendCommand(&ch, HIDC_DONE, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(Hidc_readReply(&ch, nullptr), 0);
    EXPECT_EQ(Hidc_erase(0, 4096, &ch), HIDC_E_COMMAND);
    EXPECT_EQ(Hidc_read(0, &ch, buf, 256, 0), HIDC_E_COMMAND);
    EXPECT_EQ(Hidc_write(0, &ch, buf, 256, 0, 0, 0), HIDC_E_COMMAND);
    EXPECT_EQ(Hidc_done(&ch) + Hidc_refuse(&ch), 0);
    EXPECT_EQ(Hidc_getBootVersion(&ch) + Hidc_getFlashSize(&ch), 0u);
    EXPECT_EQ(Hidc_readFlash(&ch, 0, buf, 10, 0), 0);
    EXPECT_EQ(Hidc_writeFlash(&ch, 0, buf, 10, false, 0), 0);
    EXPECT_EQ(Hidc_done(nullptr), 0);
    EXPECT_TRUE(steps.empty());
    EXPECT_TRUE(hid.written.empty());
}

} // namespace
