// The checked-in sample containers (tests/data/containers) load to the
// sections their data files hold. The containers are frozen files, so this
// checks the loader against bytes that no code in this build produced.
#include <gtest/gtest.h>

#include <cryptopp/sha.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/ciphers.h"
#include "core/log.h"
#include "core/package.h"
#include "core/package_format.h"
#include "core/stream.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kSampleDir = std::string(TESSALY_TEST_DATA) + "/containers/";

Bytes readSample(const std::string& name)
{
    std::ifstream in(kSampleDir + name, std::ios::binary);
    EXPECT_TRUE(in) << "missing sample file " << name;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sha256Hex(const Bytes& data)
{
    CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, data.data(), data.size());
    std::string hex;
    for (CryptoPP::byte b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", unsigned(b));
        hex += two;
    }
    return hex;
}

Bytes bytesOf(const uint8_t* p, uint32_t n) { return p ? Bytes(p, p + n) : Bytes{}; }

struct Day {
    uint16_t year;
    uint8_t month, day;
};

void expectDay(const ZR_Date& d, Day want)
{
    EXPECT_EQ(d.year, want.year);
    EXPECT_EQ(d.month, want.month);
    EXPECT_EQ(d.day, want.day);
    EXPECT_EQ(d.hour + d.minute + d.second, 0);
}

struct Sample {
    const char* file;
    const char* sha256;
    int trailerVersion;
    uint32_t formatVersion; // as normalised
    uint32_t magic;         // as normalised
    const char* title;
};

const Sample kSamples[] = {
    {"v3-block.dzr", "84535146c2ea4df15ee4bb358d041a5fddd823565135dfe5ccca5a03d8645493", 3, 5,
     ZR_PACKAGE_MAGIC_BLOCK, "Halcyon Path"},
    {"v3-plain.dzr", "283d470fb12bed9bbe83a5d04ffb2dc4825a0775f91229054b0d91d44b08693e", 3, 4,
     ZR_PACKAGE_MAGIC_PLAIN, "Lumen Drive"},
    {"v1.dzr", "ab25e1a0f30c51f067a2d822e389b68b82230a18d0d58079e1ae852fe639f757", 1, 1, 0, "Old Client"},
};

// A section with a plain slot, and the data file it must hold. A "plain"
// file holds the decoded form of a section kept in rolling-XOR form.
struct SlotExpect {
    const char* sample;
    ZR_Section section;
    const char* data;
    bool plainFile;
    std::optional<Day> date;
};

const SlotExpect kSlots[] = {
    {"v3-block.dzr", ZR_Section::radarMute, "radar-mute.bin", false, Day{2024, 4, 10}},
    {"v3-block.dzr", ZR_Section::voice, "voice.bin", false, Day{2024, 3, 2}},
    {"v3-block.dzr", ZR_Section::voice2, "voice2.bin", false, Day{2024, 3, 3}},
    {"v3-block.dzr", ZR_Section::gps, "gps-plain.bin", true, Day{2024, 5, 17}},
    {"v3-block.dzr", ZR_Section::oled, "oled-plain.bin", true, Day{2024, 2, 1}},
    {"v3-plain.dzr", ZR_Section::updateTool, "update-tool.bin", false, std::nullopt},
    {"v3-plain.dzr", ZR_Section::voice3, "voice3.bin", false, Day{2023, 12, 24}},
    {"v3-plain.dzr", ZR_Section::voice7, "voice7.bin", false, Day{2023, 11, 11}},
    {"v3-plain.dzr", ZR_Section::gps2, "gps2-plain.bin", true, Day{2024, 1, 30}},
    {"v3-plain.dzr", ZR_Section::gps3, "gps3.bin", false, Day{2024, 1, 31}},
    {"v1.dzr", ZR_Section::radarMute, "radar-mute.bin", false, Day{2024, 4, 10}},
    {"v1.dzr", ZR_Section::voice, "voice.bin", false, Day{2024, 3, 2}},
    {"v1.dzr", ZR_Section::gps, "gps-plain.bin", true, Day{2024, 5, 17}},
};

struct ProgramExpect {
    const char* sample;
    uint32_t layout;
    const char* board;
    const char* image;
    ZR_ProgramParam param; // one word the entry sets
    uint32_t value;
};

const ProgramExpect kPrograms[] = {
    {"v3-block.dzr", 1, "MVT7", "mvt7.bin", ZR_ProgramParam::paramWord, 3107},
    {"v3-block.dzr", 1, "K502", "k502.bin", ZR_ProgramParam::serverDataSize, 0x2000},
    {"v3-block.dzr", 1, "K502", "k502.bin", ZR_ProgramParam::altLayout, 1},
    {"v3-plain.dzr", 0, "HB6T", "hb6t.bin", ZR_ProgramParam::writeMode, 0},
    {"v1.dzr", 1, "MVT5", "mvt7.bin", ZR_ProgramParam::writeMode, 1},
};

struct ProvinceExpect {
    const char* sample;
    bool records;
    const char* name; // GBK
    const char* data; // null: no items
};

const ProvinceExpect kProvinces[] = {
    {"v3-block.dzr", true, "\xB1\xB1\xBE\xA9" /* 北京 */, "records-bj.bin"},
    {"v3-block.dzr", true, "\xC9\xCF\xBA\xA3" /* 上海 */, "records-sh.bin"},
    {"v3-plain.dzr", false, "\xCC\xEC\xBD\xF2" /* 天津 */, "items-tj.bin"},
    {"v3-plain.dzr", false, "\xD6\xD8\xC7\xEC" /* 重庆 */, nullptr},
};

class SampleContainer : public testing::Test {
protected:
    void SetUp() override { ZR_logSetSink(nullptr, nullptr); }
    void TearDown() override { ZR_logSetSink(ZR_logConsoleSink, nullptr); }

    static PackagePtr load(const std::string& name)
    {
        PackagePtr p(ZR_Package_load((kSampleDir + name).c_str()));
        EXPECT_TRUE(p) << name;
        return p;
    }
};

TEST_F(SampleContainer, FilesAreTheOnesThePinnedDigestsName)
{
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        const Bytes file = readSample(s.file);
        EXPECT_LE(file.size(), 4096u) << "samples stay small";
        EXPECT_EQ(sha256Hex(file), s.sha256);
    }
}

TEST_F(SampleContainer, HeadersNormaliseAsTheirVersionSays)
{
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        PackagePtr p = load(s.file);
        ASSERT_TRUE(p);
        EXPECT_EQ(ZR_PackageHeader_trailerVersion(&p->header), s.trailerVersion);
        EXPECT_EQ(p->header.version, s.formatVersion);
        EXPECT_EQ(p->header.magic, s.magic);
        EXPECT_STREQ(p->title, s.title);
    }
}

TEST_F(SampleContainer, PlainSectionsHoldTheirDataFilesAndDates)
{
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        PackagePtr p = load(s.file);
        ASSERT_TRUE(p);
        for (int i = 0; i < ZR_SECTION_COUNT; ++i) {
            const auto section = ZR_Section(i);
            const ZR_SectionSlot* slot = ZR_Package_slot(p.get(), section);
            if (!slot)
                continue; // boot, program and the province tables below
            SCOPED_TRACE(ZR_Section_name(section));
            const SlotExpect* want = nullptr;
            for (const SlotExpect& e : kSlots)
                if (std::string(e.sample) == s.file && e.section == section)
                    want = &e;
            if (!want) {
                EXPECT_EQ(slot->size, 0u) << "a section the container does not carry";
                continue;
            }
            Bytes held = bytesOf(slot->buffer, slot->size);
            EXPECT_EQ(slot->encoded, ZR_sectionFormat(section).rollingForm ? 1u : 0u);
            if (want->plainFile)
                ZR_rollingXorFromStart(uint32_t(held.size()), held.data());
            EXPECT_EQ(held, readSample(std::string("data/") + want->data));
            if (want->date)
                expectDay(slot->date, *want->date);
        }
    }
}

TEST_F(SampleContainer, BootAndProgramTablesHoldTheirImages)
{
    const Bytes boot = readSample("data/boot.bin");
    for (const char* name : {"v3-block.dzr", "v1.dzr"}) {
        SCOPED_TRACE(name);
        PackagePtr p = load(name);
        ASSERT_TRUE(p);
        EXPECT_EQ(bytesOf(p->boot.buffer, p->boot.size), boot);
        EXPECT_EQ(p->boot.encoded, 1u);
    }
    for (const ProgramExpect& e : kPrograms) {
        SCOPED_TRACE(std::string(e.sample) + " " + e.board + " " + ZR_ProgramParam_name(e.param));
        PackagePtr p = load(e.sample);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->program.layout, e.layout);
        const ZR_ProgramEntry* entry = ZR_Package_findProgram(p.get(), ZR_boardKey(e.board));
        ASSERT_TRUE(entry);
        EXPECT_STREQ(entry->boardKey, e.board);
        EXPECT_EQ(bytesOf(entry->image, entry->imageSize), readSample(std::string("data/") + e.image));
        EXPECT_EQ(entry->encoded, 1u);
        EXPECT_EQ(ZR_ProgramEntry_param(entry, e.param), e.value);
    }
}

TEST_F(SampleContainer, ProvinceTablesHoldTheirItemsAndRecords)
{
    for (const ProvinceExpect& e : kProvinces) {
        SCOPED_TRACE(std::string(e.sample) + (e.records ? " records " : " items ") + (e.data ? e.data : "none"));
        PackagePtr p = load(e.sample);
        ASSERT_TRUE(p);
        const ZR_ProvinceSlot& slot = e.records ? p->gpsProvinceRecords : p->gpsProvinceItems;
        const ZR_ProvinceSlot& other = e.records ? p->gpsProvinceItems : p->gpsProvinceRecords;
        EXPECT_EQ(other.count, 0u);
        EXPECT_EQ(slot.count, 2u);
        expectDay(slot.date, e.records ? Day{2024, 5, 17} : Day{2024, 1, 31});
        const ZR_ProvinceEntry* entry = nullptr;
        for (uint32_t i = 0; i < slot.count; ++i)
            if (std::strcmp(slot.entries[i].name, e.name) == 0)
                entry = &slot.entries[i];
        ASSERT_TRUE(entry);
        const Bytes want = e.data ? readSample(std::string("data/") + e.data) : Bytes{};
        const uint32_t unit = e.records ? slot.recordSize : kZrProvinceItemSize;
        EXPECT_EQ(entry->count * unit, want.size());
        EXPECT_EQ(bytesOf(entry->block, entry->count * unit), want);
        if (e.records) {
            EXPECT_EQ(slot.recordSize, 16u);
            EXPECT_EQ(slot.secondWord, 1u);
        }
    }
}

// Loading decodes rolling-XOR data (the dates of gps, gps2 and oled, the
// province items) on a state of its own: a stream another caller has left
// half-way on the shared state carries on as if no load had happened.
TEST_F(SampleContainer, LoadingLeavesTheSharedRollingStateAlone)
{
    Bytes plain(1024);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = uint8_t(i * 7 + 3);
    Bytes encoded = plain;
    ZR_rollingXorEncode(uint32_t(encoded.size()), encoded.data());

    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        Bytes work = encoded;
        ZR_rollingXorReset();
        ZR_rollingXor(300, work.data()); // a stretch and a bit: mid-stream state
        EXPECT_TRUE(load(s.file));
        ZR_rollingXor(uint32_t(work.size() - 300), work.data() + 300);
        EXPECT_EQ(work, plain);
    }
}

} // namespace
