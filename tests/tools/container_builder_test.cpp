// Builder <-> loader round trips: whatever the builder is given comes back
// from ZR_Package_load byte for byte, and what could not come back is
// refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "pack_test_support.h"

namespace {

using namespace pack_test;

constexpr ZR_Section kPlainSections[] = {
    ZR_Section::radarMute, ZR_Section::voice,  ZR_Section::gps,    ZR_Section::updateTool, ZR_Section::voice2,
    ZR_Section::voice3,    ZR_Section::voice4, ZR_Section::voice5, ZR_Section::voice6,     ZR_Section::gps2,
    ZR_Section::oled,      ZR_Section::voice7, ZR_Section::gps3,   ZR_Section::voice8,
};

bool isRollingForm(ZR_Section s) { return s == ZR_Section::gps || s == ZR_Section::gps2 || s == ZR_Section::oled; }

uint32_t stampFor(int i) { return *ContainerBuilder_secondsFromDate(2018 + i % 7, 1 + i % 12, 1 + i, 1 + i, i, i); }

// A container using every section. Sizes are multiples of 8 so that the
// same spec builds under either magic; the province tables are not, to
// exercise their padding.
ContainerSpec fullSpec(uint32_t magic)
{
    ContainerSpec spec;
    spec.headerVersion = 3;
    spec.formatVersion = 5;
    spec.magic = magic;
    spec.title = "Halcyon Path \xCA\xFD\xBE\xDD"; /* 数据 */
    spec.section(ZR_Section::boot) = ContainerBuilder_rollingForm(randomBytes(1000, 1));
    for (int i = 0; i < int(std::size(kPlainSections)); ++i) {
        const ZR_Section s = kPlainSections[i];
        Bytes data = randomBytes(8 * (40 + 37 * i), 100 + i);
        if (isRollingForm(s)) data = ContainerBuilder_rollingForm(std::move(data));
        std::string error;
        if (s != ZR_Section::updateTool) {
            EXPECT_TRUE(ContainerBuilder_stamp(s, stampFor(i), &data, &error)) << error;
        }
        spec.section(s) = std::move(data);
    }

    ProgramTableSpec& program = spec.program.emplace();
    for (int e = 0; e < 3; ++e) {
        ProgramEntrySpec entry;
        entry.board = std::string("MVT7HB6TK5").substr(size_t(e) * 4, 4);
        entry.image = e == 1 ? Bytes() : ContainerBuilder_rollingForm(randomBytes(300 + 77 * size_t(e), 20 + e));
        for (int p = 0; p < ZR_PROGRAM_PARAM_COUNT; ++p) entry.params[size_t(p)] = uint32_t(0x1000 * e + p + 1);
        program.entries.push_back(entry);
    }

    ProvinceItemsSpec& items = spec.provinceItems.emplace();
    items.stamp = *ContainerBuilder_secondsFromDate(2023, 7, 9);
    items.entries = {{"\xB1\xB1\xBE\xA9" /* 北京 */, randomBytes(24, 30)},
                     {"Tianjin", {}},
                     {std::string(50, 'x'), randomBytes(36, 31)}};

    ProvinceRecordsSpec& records = spec.provinceRecords.emplace();
    records.stamp = *ContainerBuilder_secondsFromDate(2023, 8, 10);
    records.secondWord = 0xA5A5;
    records.recordSize = 16;
    records.entries = {{"\xC9\xCF\xBA\xA3" /* 上海 */, randomBytes(16, 40)},
                       {"\xB1\xB1\xBE\xA9" /* 北京 */, randomBytes(64, 41)},
                       {"guangdong", randomBytes(32, 42)}};
    return spec;
}

template <typename Entry, typename BlockOf>
void expectProvinceEntries(const ZR_ProvinceSlot& slot, const std::vector<Entry>& entries, size_t unit, BlockOf blockOf)
{
    ASSERT_EQ(slot.count, entries.size());
    for (size_t e = 0; e < slot.count; ++e) {
        char name[52] = {};
        std::memcpy(name, entries[e].name.data(), entries[e].name.size());
        EXPECT_EQ(std::memcmp(slot.entries[e].name, name, sizeof name), 0) << "entry " << e;
        const Bytes& block = blockOf(entries[e]);
        EXPECT_EQ(slot.entries[e].count, block.size() / unit);
        EXPECT_EQ(slotBytes(slot.entries[e].block, uint32_t(block.size())), block) << "entry " << e;
    }
}

// Checks every section of the package against the ContainerSpec it was built from.
void expectPackageMatches(const ContainerSpec& spec, const ZR_Package& pkg)
{
    Bytes title(ZR_PACKAGE_TITLE_SIZE, 0);
    std::memcpy(title.data(), spec.title.data(), spec.title.size());
    EXPECT_EQ(slotBytes(reinterpret_cast<const uint8_t*>(pkg.title), ZR_PACKAGE_TITLE_SIZE), title);

    EXPECT_EQ(slotBytes(pkg.boot.buffer, pkg.boot.size), spec.section(ZR_Section::boot));
    for (int i = 0; i < kContainerSectionCount; ++i) {
        const ZR_SectionSlot* slot = ZR_Package_slot(&pkg, ZR_Section(i));
        if (!slot) continue;
        SCOPED_TRACE(ZR_Section_name(ZR_Section(i)));
        EXPECT_EQ(slotBytes(slot->buffer, slot->size), spec.section(ZR_Section(i)));
    }

    const ZR_ProgramSlot& program = pkg.program;
    if (!spec.program) {
        EXPECT_EQ(program.count, 0u);
    } else {
        EXPECT_EQ(program.layout, spec.program->preHeader ? 1u : 0u);
        ASSERT_EQ(program.count, spec.program->entries.size());
        for (size_t e = 0; e < program.count; ++e) {
            const ProgramEntrySpec& want = spec.program->entries[e];
            const ZR_ProgramEntry& got = program.entries[e];
            SCOPED_TRACE(want.board);
            EXPECT_EQ(std::string(got.boardKey), want.board);
            EXPECT_EQ(slotBytes(got.image, got.imageSize), want.image);
            for (int p = 0; p < ZR_PROGRAM_PARAM_COUNT; ++p)
                EXPECT_EQ(got.params[p], want.params[size_t(p)]) << ZR_ProgramParam_name(ZR_ProgramParam(p));
        }
    }

    if (spec.provinceItems) {
        SCOPED_TRACE("gpsProvinceItems");
        EXPECT_EQ(pkg.gpsProvinceItems.stamp, spec.provinceItems->stamp);
        EXPECT_TRUE(sameDate(pkg.gpsProvinceItems.date, dateOf(spec.provinceItems->stamp)));
        expectProvinceEntries(pkg.gpsProvinceItems, spec.provinceItems->entries, 12,
                              [](const ProvinceItemsEntrySpec& e) -> const Bytes& { return e.items; });
    }
    if (spec.provinceRecords) {
        SCOPED_TRACE("gpsProvinceRecords");
        const ZR_ProvinceSlot& slot = pkg.gpsProvinceRecords;
        EXPECT_EQ(slot.stamp, spec.provinceRecords->stamp);
        EXPECT_EQ(slot.secondWord, spec.provinceRecords->secondWord);
        EXPECT_EQ(slot.recordSize, spec.provinceRecords->recordSize);
        expectProvinceEntries(slot, spec.provinceRecords->entries, spec.provinceRecords->recordSize,
                              [](const ProvinceRecordsEntrySpec& e) -> const Bytes& { return e.records; });
    }
}

class RoundTripTest : public ::testing::TestWithParam<uint32_t> {
protected:
    TempDir dir;
};

TEST_P(RoundTripTest, EverySectionOfAVersion3ContainerComesBackUnchanged)
{
    const ContainerSpec spec = fullSpec(GetParam());
    Bytes file;
    PackagePtr pkg = buildAndLoad(spec, dir, &file);
    ASSERT_TRUE(pkg);
    EXPECT_EQ(ZR_PackageHeader_trailerVersion(&pkg->header), 3);
    EXPECT_EQ(pkg->header.version, 5u);
    EXPECT_EQ(pkg->header.magic, GetParam());
    expectPackageMatches(spec, *pkg);

    // The dates come out where the device reads them.
    for (int i = 0; i < int(std::size(kPlainSections)); ++i) {
        if (kPlainSections[i] == ZR_Section::updateTool) continue;
        SCOPED_TRACE(ZR_Section_name(kPlainSections[i]));
        EXPECT_TRUE(sameDate(ZR_Package_slot(pkg.get(), kPlainSections[i])->date, dateOf(stampFor(i))));
    }
}

TEST_P(RoundTripTest, BlockSectionsAreEncipheredInTheFileOnlyUnderTheBlockMagic)
{
    const ContainerSpec spec = fullSpec(GetParam());
    Bytes file;
    PackagePtr pkg = buildAndLoad(spec, dir, &file);
    ASSERT_TRUE(pkg);
    const bool block = GetParam() == ZR_PACKAGE_MAGIC_BLOCK;
    for (ZR_Section s : {ZR_Section::radarMute, ZR_Section::gps, ZR_Section::gps3, ZR_Section::voice}) {
        SCOPED_TRACE(ZR_Section_name(s));
        const ZR_SectionPlace place = pkg->header.sections[int(s)];
        Bytes stored(file.begin() + place.offset, file.begin() + place.offset + place.size);
        const bool enciphered = block && s != ZR_Section::voice;
        EXPECT_EQ(stored == spec.section(s), !enciphered);
        ZR_blockDecipher(stored.data(), uint32_t(stored.size()));
        if (enciphered) {
            EXPECT_EQ(stored, spec.section(s));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Magic, RoundTripTest, ::testing::Values(ZR_PACKAGE_MAGIC_PLAIN, ZR_PACKAGE_MAGIC_BLOCK),
                         [](const auto& info) { return info.param == ZR_PACKAGE_MAGIC_BLOCK ? "Block" : "Plain"; });

// Versions 1 and 2 carry five sections and the short program table.
TEST(LegacyRoundTripTest, Version1And2ContainersLoadWithTheirFiveSections)
{
    TempDir dir;
    for (uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(version);
        ContainerSpec spec;
        spec.headerVersion = version;
        spec.title = "Lumen Drive";
        spec.section(ZR_Section::boot) = randomBytes(0x8000, 1); // the largest boot the old headers take
        spec.section(ZR_Section::radarMute) = randomBytes(1001, 2);
        spec.section(ZR_Section::voice) = randomBytes(777, 3);
        spec.section(ZR_Section::gps) = ContainerBuilder_rollingForm(randomBytes(3003, 4));
        spec.program = ProgramTableSpec{false, {{"MVT7", randomBytes(123, 5), {}}, {"HB6W", randomBytes(64, 6), {}}}};
        PackagePtr pkg = buildAndLoad(spec, dir);
        ASSERT_TRUE(pkg);
        EXPECT_EQ(ZR_PackageHeader_trailerVersion(&pkg->header), int(version));
        expectPackageMatches(spec, *pkg);
        EXPECT_EQ(ZR_Package_findProgram(pkg.get(), ZR_boardKey("HB6T")), &pkg->program.entries[1]);
    }
}

TEST(PlacementTest, SectionsFollowTheGivenOrderAtAlignedOffsets)
{
    TempDir dir;
    ContainerSpec spec = fullSpec(ZR_PACKAGE_MAGIC_BLOCK);
    spec.order = {ZR_Section::gpsProvinceRecords, ZR_Section::oled, ZR_Section::boot};
    spec.alignment = 256;
    PackagePtr pkg = buildAndLoad(spec, dir);
    ASSERT_TRUE(pkg);
    expectPackageMatches(spec, *pkg);

    const ZR_SectionPlace* places = pkg->header.sections;
    EXPECT_EQ(places[int(ZR_Section::gpsProvinceRecords)].offset, 0u);
    EXPECT_LT(places[int(ZR_Section::gpsProvinceRecords)].offset, places[int(ZR_Section::oled)].offset);
    EXPECT_LT(places[int(ZR_Section::oled)].offset, places[int(ZR_Section::boot)].offset);
    EXPECT_LT(places[int(ZR_Section::boot)].offset, places[int(ZR_Section::program)].offset);
    for (int i = 0; i < kContainerSectionCount; ++i) EXPECT_EQ(places[i].offset % 256, 0u) << i;
}

TEST(FormatVersionTest, Version4ContainersHaveNoVoice2To6VariantsOfVersion5)
{
    TempDir dir;
    ContainerSpec spec;
    spec.formatVersion = 4;
    spec.section(ZR_Section::voice3) = randomBytes(40, 1);
    spec.section(ZR_Section::voice5) = randomBytes(40, 2);
    PackagePtr pkg = buildAndLoad(spec, dir);
    ASSERT_TRUE(pkg);
    EXPECT_EQ(pkg->header.version, 4u);
    expectPackageMatches(spec, *pkg);

    std::string error;
    Bytes out;
    spec.section(ZR_Section::voice4) = randomBytes(40, 3);
    EXPECT_FALSE(ContainerBuilder_build(spec, &out, &error));
    EXPECT_NE(error.find("voice4"), std::string::npos) << error;
}

TEST(BuilderLimitsTest, AVersion3BootOf32768BytesLoadsAndOneMoreIsRefused)
{
    TempDir dir;
    ContainerSpec spec;
    spec.section(ZR_Section::boot) = randomBytes(32768, 1);
    PackagePtr pkg = buildAndLoad(spec, dir);
    ASSERT_TRUE(pkg);
    EXPECT_EQ(pkg->boot.size, 32768u);

    spec.section(ZR_Section::boot).push_back(0);
    Bytes out;
    std::string error;
    EXPECT_FALSE(ContainerBuilder_build(spec, &out, &error));
    EXPECT_NE(error.find("boot"), std::string::npos) << error;
}

// Specs the loader could not give back unchanged are refused, and the error
// names what is wrong.
TEST(BuilderLimitsTest, RefusesWhatTheLoaderWouldReadDifferently)
{
    struct Case {
        const char* what;
        std::function<void(ContainerSpec&)> change;
        const char* errorMentions;
    };
    const Case cases[] = {
        {"block section not whole blocks", [](ContainerSpec& s) { s.section(ZR_Section::gps3).resize(1001); },
         "gps3"},
        {"parameter words without pre-header",
         [](ContainerSpec& s) { s.program->preHeader = false; }, "pre-header"},
        {"empty program table", [](ContainerSpec& s) { s.program->entries.clear(); }, "program"},
        {"board key too long", [](ContainerSpec& s) { s.program->entries[0].board = "MVT77"; }, "board"},
        {"title too long", [](ContainerSpec& s) { s.title.assign(257, 'A'); }, "title"},
        {"header version 4", [](ContainerSpec& s) { s.headerVersion = 4; }, "headerVersion"},
        {"unknown magic", [](ContainerSpec& s) { s.magic = 0x1234567A; }, "magic"},
        {"province name too long",
         [](ContainerSpec& s) { s.provinceItems->entries[0].name.assign(51, 'n'); }, "gpsProvinceItems"},
        {"items not whole", [](ContainerSpec& s) { s.provinceItems->entries[0].items.resize(13); }, "12"},
        {"empty items table", [](ContainerSpec& s) { s.provinceItems->entries.clear(); }, "gpsProvinceItems"},
        {"records not whole", [](ContainerSpec& s) { s.provinceRecords->entries[1].records.resize(40); },
         "gpsProvinceRecords"},
        {"province without records",
         [](ContainerSpec& s) { s.provinceRecords->entries[2].records.clear(); }, "gpsProvinceRecords"},
        {"records not whole blocks",
         [](ContainerSpec& s) {
             s.provinceRecords->recordSize = 12;
             s.provinceRecords->entries = {{"x", randomBytes(36, 1)}};
         },
         "multiple of 8"},
        {"table given as bytes", [](ContainerSpec& s) { s.section(ZR_Section::program) = {1, 2, 3}; }, "program"},
        {"section listed twice", [](ContainerSpec& s) { s.order = {ZR_Section::gps, ZR_Section::gps}; }, "twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ContainerSpec spec = fullSpec(ZR_PACKAGE_MAGIC_BLOCK);
        c.change(spec);
        Bytes out = {42};
        std::string error;
        EXPECT_FALSE(ContainerBuilder_build(spec, &out, &error));
        EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
        EXPECT_EQ(out, Bytes{42}) << "output touched on failure";
    }
}

TEST(BuilderLimitsTest, OldHeadersRefuseNewSectionsTheBlockMagicAndOversizeSections)
{
    const std::pair<std::function<void(ContainerSpec&)>, const char*> cases[] = {
        {[](ContainerSpec& s) { s.section(ZR_Section::gps2) = randomBytes(8, 1); }, "gps2"},
        {[](ContainerSpec& s) { s.provinceRecords = ProvinceRecordsSpec{1, 0, 16, {{"x", randomBytes(16, 1)}}}; },
         "gpsProvinceRecords"},
        {[](ContainerSpec& s) { s.magic = ZR_PACKAGE_MAGIC_BLOCK; }, "magic"},
        {[](ContainerSpec& s) { s.section(ZR_Section::voice).resize(0x200001); }, "voice"},
        {[](ContainerSpec& s) { s.section(ZR_Section::radarMute).resize(819201); }, "radarMute"},
        {[](ContainerSpec& s) { s.section(ZR_Section::gps).resize(0x522001); }, "gps"},
    };
    for (uint32_t version : {1u, 2u})
        for (const auto& [change, mention] : cases) {
            SCOPED_TRACE(mention);
            ContainerSpec spec;
            spec.headerVersion = version;
            spec.section(ZR_Section::voice) = randomBytes(16, 1);
            change(spec);
            Bytes out;
            std::string error;
            EXPECT_FALSE(ContainerBuilder_build(spec, &out, &error));
            EXPECT_NE(error.find(mention), std::string::npos) << error;
        }
}

// ---------------------------------------------------------------------------
// Helpers for data in the device's forms

TEST(RollingFormTest, TheProductsRollingXorRestoresItAtEveryLength)
{
    for (size_t n : {0, 3, 4, 6, 255, 256, 257, 1000, 4099}) {
        SCOPED_TRACE(n);
        const Bytes plain = randomBytes(n, uint32_t(n));
        Bytes stored = ContainerBuilder_rollingForm(plain);
        EXPECT_EQ(ContainerBuilder_plainForm(stored), plain);
        if (n >= 4) {
            EXPECT_NE(stored, plain);
        }
        ZR_rollingXorReset();
        ZR_rollingXor(uint32_t(stored.size()), stored.data());
        EXPECT_EQ(stored, plain);
    }
}

TEST(StampTest, EachSectionIsStampedWhereTheLoaderReadsItsDate)
{
    const uint32_t when = *ContainerBuilder_secondsFromDate(2024, 5, 17, 8, 30, 0);
    const Bytes original = randomBytes(1024, 9);

    Bytes voice = original;
    ASSERT_TRUE(ContainerBuilder_stamp(ZR_Section::voice, when, &voice, nullptr));
    EXPECT_EQ(bytes::getLe32(voice.data() + 4), when);
    EXPECT_TRUE(std::equal(voice.begin() + 8, voice.end(), original.begin() + 8));

    Bytes voice8 = original;
    ASSERT_TRUE(ContainerBuilder_stamp(ZR_Section::voice8, when, &voice8, nullptr));
    EXPECT_EQ(bytes::getLe32(voice8.data()), when);

    // A rolling-XOR section changes after the stamp too (every later stretch
    // is keyed by the one before), but its plain form only in word 0.
    Bytes gps = ContainerBuilder_rollingForm(original);
    ASSERT_TRUE(ContainerBuilder_stamp(ZR_Section::gps, when, &gps, nullptr));
    const Bytes plain = ContainerBuilder_plainForm(gps);
    EXPECT_EQ(bytes::getLe32(plain.data()), when);
    EXPECT_TRUE(std::equal(plain.begin() + 4, plain.end(), original.begin() + 4));

    std::string error;
    Bytes tool = original, tiny = {1, 2, 3};
    EXPECT_FALSE(ContainerBuilder_stamp(ZR_Section::updateTool, when, &tool, &error));
    EXPECT_EQ(tool, original);
    EXPECT_FALSE(ContainerBuilder_stamp(ZR_Section::voice, when, &tiny, &error));
    EXPECT_FALSE(ContainerBuilder_stamp(ZR_Section::gps2, when, &tiny, &error));
}

TEST(DateTest, SecondsFromDateIsTheInverseOfTheLoadersConversion)
{
    EXPECT_EQ(ContainerBuilder_secondsFromDate(1970, 1, 1), 0u);
    EXPECT_EQ(ContainerBuilder_secondsFromDate(2000, 2, 29), 951782400u);
    EXPECT_EQ(ContainerBuilder_secondsFromDate(2106, 2, 7, 6, 28, 15), 4294967295u);
    EXPECT_FALSE(ContainerBuilder_secondsFromDate(2106, 2, 7, 6, 28, 16));
    EXPECT_FALSE(ContainerBuilder_secondsFromDate(2023, 2, 29));
    EXPECT_FALSE(ContainerBuilder_secondsFromDate(1900, 2, 28));
    EXPECT_FALSE(ContainerBuilder_secondsFromDate(1969, 12, 31));
    EXPECT_FALSE(ContainerBuilder_secondsFromDate(2024, 4, 31));

    std::mt19937 rng(5);
    for (int i = 0; i < 2000; ++i) {
        const uint32_t s = rng();
        const ZR_Date d = dateOf(s);
        EXPECT_EQ(ContainerBuilder_secondsFromDate(d.year, d.month, d.day, d.hour, d.minute, d.second), s);
    }
}

TEST(SectionNameTest, NamesMatchTheLoadersAndUnknownNamesAreRejected)
{
    for (int i = 0; i < kContainerSectionCount; ++i) {
        ZR_Section s{};
        ASSERT_TRUE(ContainerSection_fromName(ZR_Section_name(ZR_Section(i)), &s));
        EXPECT_EQ(s, ZR_Section(i));
    }
    ZR_Section s{};
    EXPECT_FALSE(ContainerSection_fromName("Voice", &s));
    EXPECT_FALSE(ContainerSection_fromName("", &s));
}

} // namespace
