#include "core/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/log.h"
#include "core/stream.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kPlain = ZR_PACKAGE_MAGIC_PLAIN;
constexpr uint32_t kBlock = ZR_PACKAGE_MAGIC_BLOCK;
constexpr const char* kBeijing = "\xB1\xB1\xBE\xA9";  /* 北京 */
constexpr const char* kShanghai = "\xC9\xCF\xBA\xA3"; /* 上海 */
constexpr const char* kTianjin = "\xCC\xEC\xBD\xF2";  /* 天津 */

void put32(Bytes& b, uint32_t v)
{
    uint8_t w[4];
    bytes::putLe32(w, v);
    b.insert(b.end(), w, w + 4);
}

Bytes words(std::initializer_list<uint32_t> ws)
{
    Bytes b;
    for (uint32_t w : ws) put32(b, w);
    return b;
}

using test_support::randomBytes;

// Random section bytes whose word 0 or 1 is the date stamp.
Bytes stamped(uint32_t stamp, int word, size_t size, uint32_t seed)
{
    Bytes b = randomBytes(size, seed);
    bytes::putLe32(b.data() + 4 * word, stamp);
    return b;
}

// Writes containers the way the vendor's tool lays them out: section bodies
// first, the header trailer last.
struct ContainerWriter {
    Bytes body = Bytes(16, 0xEE); // sections never start at offset 0
    ZR_SectionPlace places[ZR_SECTION_COUNT] = {};

    void add(ZR_Section s, const Bytes& bytes)
    {
        places[int(s)] = {uint32_t(body.size()), uint32_t(bytes.size())};
        body.insert(body.end(), bytes.begin(), bytes.end());
    }
    void place(ZR_Section s, uint32_t offset, uint32_t size) { places[int(s)] = {offset, size}; }

    Bytes v3(uint32_t version = 5, uint32_t magic = kPlain) const
    {
        Bytes t(520, 0);
        bytes::putLe32(&t[0], 516);
        bytes::putLe32(&t[4], version);
        std::memcpy(&t[8], "Halcyon Path", 12);
        for (int i = 0; i < ZR_SECTION_COUNT; ++i) {
            bytes::putLe32(&t[264 + 8 * i], places[i].offset);
            bytes::putLe32(&t[268 + 8 * i], places[i].size);
        }
        bytes::putLe32(&t[512], magic);
        bytes::putLe32(&t[516], bytes::sum32(t.data(), 516));
        return withTrailer(t);
    }
    // Versions 1 and 2 differ in where the title and the five pairs sit.
    Bytes old(int version) const
    {
        const size_t n = version == 2 ? 320 : 304, titleAt = version == 2 ? 8 : 4, pairsAt = titleAt + 256;
        Bytes t(n, 0);
        bytes::putLe32(&t[0], uint32_t(n - 4));
        std::memcpy(&t[titleAt], "Old Client", 10);
        for (int i = 0; i < 5; ++i) {
            bytes::putLe32(&t[pairsAt + 8 * i], places[i].offset);
            bytes::putLe32(&t[pairsAt + 4 + 8 * i], places[i].size);
        }
        bytes::putLe32(&t[n - 4], bytes::sum32(t.data(), n - 4));
        return withTrailer(t);
    }
    Bytes withTrailer(Bytes t) const
    {
        ZR_headerXor(uint32_t(t.size()), t.data());
        Bytes file = body;
        file.insert(file.end(), t.begin(), t.end());
        return file;
    }
};

// Stands between the package and malloc: records the largest request, keeps
// count of blocks not yet released and fails the Nth request when asked.
struct CountingAllocator {
    size_t largest = 0;
    long calls = 0;
    long live = 0;
    long failAt = -1;
};
CountingAllocator gAlloc;

void* countingAllocate(void*, size_t size)
{
    if (gAlloc.calls++ == gAlloc.failAt)
        return nullptr;
    gAlloc.largest = std::max(gAlloc.largest, size);
    ++gAlloc.live;
    return std::malloc(size ? size : 1);
}

void countingRelease(void*, void* block)
{
    --gAlloc.live;
    std::free(block);
}

// However the file lies, no single allocation may exceed what it describes:
// section buffers and images are bounded by the file, tables by their entries
// in it (64 bytes in memory per 54-byte province entry is the widest ratio).
void expectBoundedBy(size_t fileSize)
{
    EXPECT_LE(gAlloc.largest * 54, std::max<size_t>(fileSize, sizeof(ZR_Package)) * 64);
}

PackagePtr loadFile(const Bytes& file)
{
    static std::atomic<int> serial{0};
    static const test_support::TempDir dir("tessaly-pkg-");
    const std::string path = dir / ("load-" + std::to_string(serial++) + ".dzr");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!file.empty())
        std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    gAlloc.largest = 0;
    PackagePtr p(ZR_Package_load(path.c_str()));
    expectBoundedBy(file.size());
    std::remove(path.c_str());
    return p;
}

// Seeks to the end first: a memory stream's size is its cursor.
PackagePtr loadMemory(const Bytes& file)
{
    ZR_Stream* s = ZR_Stream_openMemory(file.data(), uint32_t(file.size()));
    ZR_Stream_seekTo(s, uint32_t(file.size()));
    gAlloc.largest = 0;
    PackagePtr p(ZR_Package_loadFromStream(s));
    expectBoundedBy(file.size());
    ZR_Stream_release(s);
    return p;
}

Bytes contents(const uint8_t* p, uint32_t n) { return p ? Bytes(p, p + n) : Bytes{}; }
Bytes contents(const ZR_SectionSlot& s) { return contents(s.buffer, s.size); }

void expectDate(const ZR_Date& d, int year, int month, int day, int hour, int minute, int second)
{
    EXPECT_EQ(d.year, year);
    EXPECT_EQ(d.month, month);
    EXPECT_EQ(d.day, day);
    EXPECT_EQ(d.hour, hour);
    EXPECT_EQ(d.minute, minute);
    EXPECT_EQ(d.second, second);
}

struct ProvinceSpec {
    std::string name;
    uint32_t count;
    Bytes plain; // items or records, decoded
};

// A province table section in stored form: items are rolling-XOR encoded per
// entry; with the block cipher, record blocks are enciphered on their own and
// then the whole section (padded to whole TEA blocks) once more.
Bytes provinceSection(bool records, uint32_t recordSize, const std::vector<ProvinceSpec>& entries, bool encipher,
                      uint32_t stamp = 951782400)
{
    Bytes s = records ? words({stamp, 0xA5A5F00D, recordSize, uint32_t(entries.size())})
                      : words({stamp, uint32_t(entries.size())});
    for (const auto& e : entries) {
        Bytes name(50, 0);
        std::memcpy(name.data(), e.name.data(), e.name.size());
        s.insert(s.end(), name.begin(), name.end());
        put32(s, e.count);
    }
    for (const auto& e : entries) {
        Bytes block = e.plain;
        if (!records)
            ZR_rollingXorEncode(uint32_t(block.size()), block.data());
        else if (encipher)
            ZR_blockEncipher(block.data(), uint32_t(block.size()));
        s.insert(s.end(), block.begin(), block.end());
    }
    if (encipher) {
        s.resize((s.size() + 7) / 8 * 8, 0);
        ZR_blockEncipher(s.data(), uint32_t(s.size()));
    }
    return s;
}

class PackageTest : public testing::Test {
protected:
    // Failed sections are logged; keep the test output readable.
    void SetUp() override
    {
        ZR_logSetSink(nullptr, nullptr);
        gAlloc = CountingAllocator{};
        const ZR_PackageAllocator counting = {countingAllocate, countingRelease, nullptr};
        ZR_Package_setAllocator(&counting);
    }
    void TearDown() override
    {
        EXPECT_EQ(gAlloc.live, 0) << "blocks the package did not release";
        ZR_Package_setAllocator(nullptr);
        ZR_logSetSink(ZR_logConsoleSink, nullptr);
    }
};

// ---------------------------------------------------------------------------
// Header

TEST_F(PackageTest, HeaderVersionsNormaliseToTheLongLayout)
{
    ContainerWriter w;
    w.add(ZR_Section::boot, Bytes(32, 1));
    w.add(ZR_Section::gps, Bytes(64, 2));

    auto p3 = loadFile(w.v3(7, kBlock));
    ASSERT_TRUE(p3);
    EXPECT_EQ(ZR_PackageHeader_trailerVersion(&p3->header), 3);
    EXPECT_EQ(p3->header.length, 516u);
    EXPECT_EQ(p3->header.version, 7u);
    EXPECT_EQ(p3->header.magic, kBlock);
    EXPECT_STREQ(p3->title, "Halcyon Path");

    for (int version : {2, 1}) {
        SCOPED_TRACE(version);
        auto p = loadFile(w.old(version));
        ASSERT_TRUE(p);
        EXPECT_EQ(ZR_PackageHeader_trailerVersion(&p->header), version);
        EXPECT_EQ(p->header.length, version == 2 ? 520u : 304u);
        EXPECT_EQ(p->header.version, version == 2 ? 3u : 1u);
        EXPECT_EQ(p->header.magic, 0u);
        EXPECT_EQ(p->header.check, 0u);
        EXPECT_STREQ(p->title, "Old Client");
        EXPECT_EQ(p->header.sections[int(ZR_Section::gps)].size, 64u);
        EXPECT_EQ(p->boot.size, 32u);
    }
}

// The three trailers end in the same check word, and the sums they check
// differ by the bytes of the length word at least, so no file passes as two
// versions at once: what is left to check is the version 3 boot limit and
// that the stream is left where it was.
TEST_F(PackageTest, Version3BootLimitAndStreamPosition)
{
    ContainerWriter w;
    w.place(ZR_Section::boot, 0, 32768);
    Bytes v3 = w.v3();
    ZR_Stream* s = ZR_Stream_openMemory(v3.data(), uint32_t(v3.size()));
    ZR_Stream_seekTo(s, uint32_t(v3.size())); // memory size is the cursor
    ZR_PackageHeader h;
    char title[256];
    EXPECT_EQ(ZR_Package_readHeader(s, &h, title), 1);
    EXPECT_EQ(ZR_PackageHeader_trailerVersion(&h), 3);
    EXPECT_EQ(ZR_Stream_tell(s), int32_t(v3.size())); // left where it was
    ZR_Stream_release(s);

    w.place(ZR_Section::boot, 0, 32769);
    EXPECT_FALSE(loadFile(w.v3()));
    // Version 1 draws the line at the same place.
    w.place(ZR_Section::boot, 0, 32768);
    EXPECT_TRUE(loadFile(w.old(1)));
    w.place(ZR_Section::boot, 0, 32769);
    EXPECT_FALSE(loadFile(w.old(1)));
}

TEST_F(PackageTest, OldHeadersEnforceTheFixedAreaLimits)
{
    struct Limit {
        ZR_Section section;
        uint32_t max;
    };
    for (Limit l : {Limit{ZR_Section::radarMute, 819200}, Limit{ZR_Section::voice, 0x200000},
                    Limit{ZR_Section::gps, 0x522000}}) {
        SCOPED_TRACE(ZR_Section_name(l.section));
        ContainerWriter w;
        w.place(l.section, 0, l.max);
        EXPECT_TRUE(loadFile(w.old(2))); // valid header, the section itself is not in the file
        w.place(l.section, 0, l.max + 1);
        EXPECT_FALSE(loadFile(w.old(2)));
        EXPECT_FALSE(loadFile(w.old(1)));
        EXPECT_TRUE(loadFile(w.v3())); // version 3 does not limit them
    }
}

TEST_F(PackageTest, DamagedTrailersAreRejected)
{
    ContainerWriter w;
    w.add(ZR_Section::boot, Bytes(8, 1));
    Bytes good = w.v3();
    Bytes bad = good;
    bad[bad.size() - 100] ^= 1; // breaks the sum
    EXPECT_TRUE(loadFile(good));
    EXPECT_FALSE(loadFile(bad));
    EXPECT_FALSE(loadFile(Bytes(good.end() - 300, good.end()))); // shorter than every trailer
    EXPECT_FALSE(loadFile(Bytes{}));
    EXPECT_FALSE(ZR_Package_load("/nonexistent/tessaly.dzr"));
}

// ---------------------------------------------------------------------------
// Plain sections

TEST_F(PackageTest, Version2CarriesOnlyTheFirstFiveSections)
{
    ContainerWriter w;
    const Bytes voice = stamped(951782400, 1, 40, 3);
    w.add(ZR_Section::voice, voice);
    w.add(ZR_Section::voice2, Bytes(40, 9)); // in the body, but a version 2 header cannot name it
    auto p = loadFile(w.old(2));
    ASSERT_TRUE(p);
    EXPECT_EQ(contents(p->voice), voice);
    expectDate(p->voice.date, 2000, 2, 29, 0, 0, 0);
    for (int s = 5; s < ZR_SECTION_COUNT; ++s) EXPECT_EQ(p->header.sections[s].size, 0u) << s;
    EXPECT_EQ(p->voice2.size, 0u);
}

TEST_F(PackageTest, Voice246NeedFormatVersion5)
{
    ContainerWriter w;
    for (ZR_Section s : {ZR_Section::voice2, ZR_Section::voice3, ZR_Section::voice4, ZR_Section::voice6})
        w.add(s, stamped(86400, 1, 24, int(s)));
    auto v4 = loadFile(w.v3(4));
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->voice2.size, 0u);
    EXPECT_EQ(v4->voice4.size, 0u);
    EXPECT_EQ(v4->voice6.size, 0u);
    EXPECT_EQ(v4->voice3.size, 24u);

    auto v5 = loadFile(w.v3(5));
    ASSERT_TRUE(v5);
    EXPECT_EQ(v5->voice2.size, 24u);
    EXPECT_EQ(v5->voice4.size, 24u);
    expectDate(v5->voice6.date, 1970, 1, 2, 0, 0, 0);
}

TEST_F(PackageTest, BlockMagicDeciphersOnlyGpsTypeSections)
{
    const Bytes plainMute = stamped(951782400, 0, 64, 4), voice = stamped(951782400, 1, 64, 5);
    Bytes storedMute = plainMute;
    ZR_blockEncipher(storedMute.data(), uint32_t(storedMute.size()));
    ContainerWriter w;
    w.add(ZR_Section::radarMute, storedMute);
    w.add(ZR_Section::voice, voice);
    w.add(ZR_Section::boot, Bytes(16, 0x42));

    auto kept = loadFile(w.v3(5, kPlain));
    ASSERT_TRUE(kept);
    EXPECT_EQ(contents(kept->radarMute), storedMute);
    EXPECT_EQ(kept->radarMute.encoded, 0u);

    auto deciphered = loadFile(w.v3(5, kBlock));
    ASSERT_TRUE(deciphered);
    EXPECT_EQ(contents(deciphered->radarMute), plainMute);
    expectDate(deciphered->radarMute.date, 2000, 2, 29, 0, 0, 0);
    EXPECT_EQ(contents(deciphered->voice), voice); // voice is never enciphered
    EXPECT_EQ(deciphered->boot.encoded, 1u);
    EXPECT_EQ(deciphered->boot.secondTransfer, 0u);
}

TEST_F(PackageTest, EncodedSectionsDateFromADecodedCopy)
{
    // gps is deciphered and still rolling-XOR encoded; oled only encoded.
    Bytes plainGps = stamped(4294967295u, 0, 512, 6), plainOled = stamped(951782400, 0, 100, 7);
    Bytes gps = plainGps, oled = plainOled;
    ZR_rollingXorEncode(uint32_t(gps.size()), gps.data());
    ZR_rollingXorEncode(uint32_t(oled.size()), oled.data());
    const Bytes encodedGps = gps;
    ZR_blockEncipher(gps.data(), uint32_t(gps.size()));
    Bytes tiny = {0xAB, 0xCD}; // shorter than a word: zero-filled, not read past

    ContainerWriter w;
    w.add(ZR_Section::gps, gps);
    w.add(ZR_Section::oled, oled);
    w.add(ZR_Section::gps2, tiny);
    auto p = loadFile(w.v3(5, kBlock));
    ASSERT_TRUE(p);
    EXPECT_EQ(contents(p->gps), encodedGps);
    EXPECT_EQ(p->gps.encoded, 1u);
    expectDate(p->gps.date, 2106, 2, 7, 6, 28, 15);
    EXPECT_EQ(contents(p->oled), oled);
    EXPECT_EQ(p->oled.encoded, 1u);
    expectDate(p->oled.date, 2000, 2, 29, 0, 0, 0);
    EXPECT_EQ(p->gps2.size, 2u);
}

TEST_F(PackageTest, SecondsToDate)
{
    ZR_Date d;
    ZR_secondsToDate(0, &d);
    expectDate(d, 1970, 1, 1, 0, 0, 0);
    ZR_secondsToDate(951782400, &d);
    expectDate(d, 2000, 2, 29, 0, 0, 0);
    ZR_secondsToDate(951782400 + 86400 - 1, &d);
    expectDate(d, 2000, 2, 29, 23, 59, 59);
    ZR_secondsToDate(4294967295u, &d);
    expectDate(d, 2106, 2, 7, 6, 28, 15);
    ZR_secondsToDate(4102444800u - 1, &d); // 2100 is not a leap year
    expectDate(d, 2099, 12, 31, 23, 59, 59);
    ZR_secondsToDate(4107542400u, &d);
    expectDate(d, 2100, 3, 1, 0, 0, 0);
    ZR_secondsToDate(1, nullptr);
}

// ---------------------------------------------------------------------------
// Program table

struct ProgramSpec {
    const char* key;
    Bytes image;
};

Bytes programSection(const std::vector<ProgramSpec>& entries, bool preHeader)
{
    const uint32_t entrySize = preHeader ? 220 : 16, tableStart = preHeader ? 60 : 4;
    Bytes s(tableStart + entrySize * entries.size(), 0);
    if (preHeader) {
        bytes::putLe32(&s[4], 0x12345678);
        bytes::putLe32(&s[12], uint32_t(entries.size()));
        bytes::putLe32(&s[56], bytes::sum32(s.data(), 56));
    } else {
        bytes::putLe32(&s[0], uint32_t(entries.size()));
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        uint8_t* e = &s[tableStart + entrySize * i];
        std::memcpy(e, entries[i].key, 4);
        bytes::putLe32(e + 4, uint32_t(s.size()));
        bytes::putLe32(e + 8, uint32_t(entries[i].image.size()));
        if (preHeader)
            for (int k = 0; k < ZR_PROGRAM_PARAM_COUNT; ++k) bytes::putLe32(e + 16 + 4 * k, uint32_t(100 * i + k));
        s.insert(s.end(), entries[i].image.begin(), entries[i].image.end());
    }
    return s;
}

TEST_F(PackageTest, ProgramTableWithPreHeader)
{
    const Bytes a = randomBytes(300, 8), b = randomBytes(77, 9);
    const Bytes section = programSection({{"HB6W", a}, {"ZX01", b}, {"NOIM", {}}}, true);
    ContainerWriter w;
    w.add(ZR_Section::program, section);
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->program.layout, 1u);
    ASSERT_EQ(p->program.count, 3u);
    EXPECT_EQ(contents(p->program.raw, p->program.rawSize), section);
    const ZR_ProgramEntry& e1 = p->program.entries[1];
    EXPECT_STREQ(e1.boardKey, "ZX01");
    EXPECT_EQ(contents(e1.image, e1.imageSize), b);
    EXPECT_EQ(e1.encoded, 1u);
    EXPECT_EQ(ZR_ProgramEntry_param(&e1, ZR_ProgramParam::serverDataSize), 100u);
    EXPECT_EQ(ZR_ProgramEntry_param(&e1, ZR_ProgramParam::writeMode), 112u);
    EXPECT_EQ(p->program.entries[2].image, nullptr);
    EXPECT_EQ(p->program.entries[2].encoded, 0u);

    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("ZX01")), &e1);
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("HB6T")), &p->program.entries[0]);
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("HB6X")), nullptr);
}

TEST_F(PackageTest, DamagedPreHeaderFallsBackToShortEntriesFromByte4)
{
    Bytes section = programSection({{"AAAA", Bytes(8, 1)}, {"BBBB", Bytes(8, 2)}}, true);
    section[56] ^= 1;               // the sum no longer matches
    bytes::putLe32(&section[0], 1); // read as the count
    bytes::putLe32(&section[8], 60); // entry 0's image offset: the first long entry's key
    ContainerWriter w;
    w.add(ZR_Section::program, section);
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->program.layout, 0u);
    ASSERT_EQ(p->program.count, 1u);
    const ZR_ProgramEntry& e = p->program.entries[0];
    EXPECT_EQ(e.boardKeyValue, 0x12345678u); // the pre-header's magic word
    EXPECT_EQ(e.imageSize, 2u);              // its count word
    EXPECT_EQ(contents(e.image, e.imageSize), Bytes({'A', 'A'}));
    EXPECT_EQ(e.params[0], 0u);
    // A one-entry table serves every board.
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("ANY!")), &e);
}

TEST_F(PackageTest, FindProgramTakesTheFirstMatchAndHb6wOnlyForHb6t)
{
    ContainerWriter w;
    w.add(ZR_Section::program, programSection({{"AB12", {}}, {"HB6T", {}}, {"HB6W", {}}, {"AB12", {}}}, false));
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    ASSERT_EQ(p->program.count, 4u);
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("AB12")), &p->program.entries[0]);
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("HB6T")), &p->program.entries[1]);
    EXPECT_EQ(ZR_Package_findProgram(p.get(), ZR_boardKey("HB6W")), &p->program.entries[2]);
    EXPECT_EQ(ZR_Package_findProgram(nullptr, 0), nullptr);
}

// ---------------------------------------------------------------------------
// Province tables

TEST_F(PackageTest, ProvinceTablesDecodeEachEntryInPlace)
{
    const Bytes items1 = randomBytes(12 * 30, 10), items2 = randomBytes(12 * 3, 11);
    const Bytes recs1 = randomBytes(16 * 5, 12), recs2 = randomBytes(16 * 9, 13);
    ContainerWriter w;
    w.add(ZR_Section::gpsProvinceItems,
          provinceSection(false, 0, {{kBeijing, 30, items1}, {kShanghai, 0, {}}, {kTianjin, 3, items2}}, true));
    w.add(ZR_Section::gpsProvinceRecords,
          provinceSection(true, 16, {{kBeijing, 5, recs1}, {kTianjin, 9, recs2}}, true, 86400));
    auto p = loadFile(w.v3(5, kBlock));
    ASSERT_TRUE(p);
    const ZR_ProvinceSlot& items = p->gpsProvinceItems;
    ASSERT_EQ(items.count, 3u);
    EXPECT_STREQ(items.entries[2].name, kTianjin);
    EXPECT_EQ(contents(items.entries[0].block, 12 * 30), items1);
    EXPECT_EQ(items.entries[1].block, nullptr);
    EXPECT_EQ(contents(items.entries[2].block, 12 * 3), items2);
    expectDate(items.date, 2000, 2, 29, 0, 0, 0);

    const ZR_ProvinceSlot& recs = p->gpsProvinceRecords;
    ASSERT_EQ(recs.count, 2u);
    EXPECT_EQ(recs.recordSize, 16u);
    EXPECT_EQ(recs.secondWord, 0xA5A5F00Du);
    EXPECT_EQ(contents(recs.entries[0].block, 16 * 5), recs1);
    EXPECT_EQ(contents(recs.entries[1].block, 16 * 9), recs2);
    expectDate(recs.date, 1970, 1, 2, 0, 0, 0);
}

TEST_F(PackageTest, ProvinceTableFaultsEmptyOnlyTheirSection)
{
    const Bytes radar = stamped(1, 0, 16, 14);
    const Bytes recs = randomBytes(32, 15);
    Bytes wrappingTable = words({1, 2, 16, 0x04BDA130}); // x 54 wraps 32 bits to 32
    wrappingTable.resize(64, 0);
    struct Case {
        const char* what;
        Bytes items;
        Bytes records;
        bool itemsLoad;
    } cases[] = {
        {"zero entry counts", words({1, 0}), words({1, 2, 16, 0}), false},
        {"entry table past the end", words({1, 3}), wrappingTable, false},
        // count x 12 and count x 16 wrap 32 bits to 8 and 16, which the section holds
        {"wrapping block sizes", provinceSection(false, 0, {{kBeijing, 0x15555556, Bytes(8, 1)}}, false),
         provinceSection(true, 16, {{kBeijing, 0x10000001, recs}}, false), false},
        {"block past the end", provinceSection(false, 0, {{kBeijing, 5, Bytes(48, 1)}}, false),
         provinceSection(true, 16, {{kBeijing, 3, recs}}, false), false},
        // an entry without items is fine, an entry without records is not
        {"empty blocks", provinceSection(false, 0, {{kBeijing, 0, {}}, {kTianjin, 0, {}}}, false),
         provinceSection(true, 16, {{kBeijing, 2, recs}, {kTianjin, 0, {}}}, false), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ContainerWriter w;
        w.add(ZR_Section::gpsProvinceItems, c.items);
        w.add(ZR_Section::radarMute, radar);
        w.add(ZR_Section::gpsProvinceRecords, c.records);
        auto p = loadFile(w.v3());
        ASSERT_TRUE(p);
        EXPECT_EQ(p->gpsProvinceRecords.size, 0u);
        EXPECT_EQ(p->gpsProvinceRecords.entries, nullptr);
        EXPECT_EQ(contents(p->radarMute), radar);
        EXPECT_EQ(p->gpsProvinceItems.count, c.itemsLoad ? 2u : 0u);
        EXPECT_EQ(p->gpsProvinceItems.size != 0, c.itemsLoad);
    }
}

std::vector<uint32_t> keysOf(const uint8_t* records, uint32_t count)
{
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < count; ++i) keys.push_back(ZR_recordKey(records + 16 * i));
    return keys;
}

using Record = std::array<uint8_t, 16>;

std::vector<Record> split(const uint8_t* records, uint32_t count)
{
    std::vector<Record> out(count);
    for (uint32_t i = 0; i < count; ++i) std::memcpy(out[i].data(), records + 16 * i, 16);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(PackageTest, AssemblySortsTheSelectedProvincesRecords)
{
    const Bytes tianjin = randomBytes(16 * 700, 16), beijing = randomBytes(16 * 500, 17),
                shanghai = randomBytes(16 * 40, 18);
    const std::string latinFolded = "\xE9\xCF\xBA\xA3"; // 上海 with its lead byte "lower-cased" as Latin-1
    ContainerWriter w;
    w.add(ZR_Section::gpsProvinceRecords,
          provinceSection(true, 16,
                          {{latinFolded, 40, shanghai}, {kTianjin, 700, tianjin}, {kBeijing, 500, beijing}}, true));
    auto p = loadFile(w.v3(5, kBlock));
    ASSERT_TRUE(p);

    uint8_t selection[PROVINCE_COUNT] = {};
    selection[0] = selection[2] = 1;     // 北京, 天津
    selection[1] = selection[33] = 0x80; // 上海 has no entry of its own; 台湾 none at all
    ASSERT_EQ(ZR_Package_assembleProvinceGps(p.get(), selection), 1);
    const ZR_AssembledImage& img = p->gpsProvinceRecords.assembled;
    ASSERT_EQ(img.size, 16u + 16 * 1200);
    EXPECT_EQ(img.encoded, 0u);
    EXPECT_EQ(bytes::getLe32(img.buffer), 951782400u);
    EXPECT_EQ(bytes::getLe32(img.buffer + 4), 0xA5A5F00Du);
    EXPECT_EQ(bytes::getLe32(img.buffer + 8), 16u);
    EXPECT_EQ(bytes::getLe32(img.buffer + 12), 1200u);
    const auto keys = keysOf(img.buffer + 16, 1200);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    Bytes both = beijing;
    both.insert(both.end(), tianjin.begin(), tianjin.end());
    EXPECT_EQ(split(img.buffer + 16, 1200), split(both.data(), 1200));

    // A second call replaces the image; no selection leaves the head alone.
    const uint8_t none[PROVINCE_COUNT] = {};
    ASSERT_EQ(ZR_Package_assembleProvinceGps(p.get(), none), 1);
    ASSERT_EQ(img.size, 16u);
    EXPECT_EQ(bytes::getLe32(img.buffer + 8), 16u);
    EXPECT_EQ(bytes::getLe32(img.buffer + 12), 0u);
    EXPECT_EQ(ZR_Package_assembleProvinceGps(nullptr, none), 0);
}

TEST_F(PackageTest, AssemblyKeysShortRecordsWithoutReadingPastThem)
{
    // 5-byte records: the key's 8 bytes would reach into the next record, and
    // past the image for the last one.
    const Bytes recs = randomBytes(5 * 64, 19);
    ContainerWriter w;
    w.add(ZR_Section::gpsProvinceRecords, provinceSection(true, 5, {{kBeijing, 64, recs}}, false));
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    uint8_t selection[PROVINCE_COUNT] = {1};
    ASSERT_EQ(ZR_Package_assembleProvinceGps(p.get(), selection), 1);
    ASSERT_EQ(p->gpsProvinceRecords.assembled.size, 16u + 5 * 64);
    uint32_t last = 0;
    for (uint32_t i = 0; i < 64; ++i) {
        uint8_t padded[8] = {};
        std::memcpy(padded, p->gpsProvinceRecords.assembled.buffer + 16 + 5 * i, 5);
        EXPECT_LE(last, ZR_recordKey(padded));
        last = ZR_recordKey(padded);
    }
}

// ---------------------------------------------------------------------------
// Untrusted offsets and sizes

TEST_F(PackageTest, OutOfFileRangesFailOnlyTheirSectionOrEntry)
{
    const Bytes voice = stamped(1, 1, 32, 20);
    ContainerWriter w;
    w.add(ZR_Section::voice, voice);
    const uint32_t end = uint32_t(w.body.size()) + 520; // the file's length
    w.place(ZR_Section::gps, end - 16, 17);             // one byte past the end
    w.place(ZR_Section::gps2, 0xFFFFFFF0u, 0x20);       // wraps 32 bits
    w.place(ZR_Section::voice3, 1, 0xFFFFFFFFu);
    auto p = loadFile(w.v3(5));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->gps.size, 0u);
    EXPECT_EQ(p->gps.buffer, nullptr);
    EXPECT_EQ(p->gps2.size, 0u);
    EXPECT_EQ(p->voice3.size, 0u);
    EXPECT_EQ(contents(p->voice), voice);

    w.place(ZR_Section::gps, end - 16, 16); // the trailer's last bytes: in the file, so loaded
    EXPECT_EQ(loadFile(w.v3(5))->gps.size, 16u);
}

TEST_F(PackageTest, ProgramTableBoundsAgainstTheFile)
{
    // An image reaching past the file, or wrapping 32 bits, leaves its entry
    // without image; the others load.
    Bytes section = programSection({{"OKAY", Bytes(40, 3)}, {"LONG", Bytes(8, 4)}, {"WRAP", Bytes(8, 5)}}, true);
    bytes::putLe32(&section[60 + 220 + 8], 1u << 20);
    bytes::putLe32(&section[60 + 440 + 4], 0xFFFFFFF8u);
    ContainerWriter w;
    w.add(ZR_Section::program, section);
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    ASSERT_EQ(p->program.count, 3u);
    EXPECT_EQ(contents(p->program.entries[0].image, 40), Bytes(40, 3));
    for (int i : {1, 2}) {
        EXPECT_EQ(p->program.entries[i].image, nullptr) << i;
        EXPECT_EQ(p->program.entries[i].encoded, 0u) << i;
    }

    // Counts whose table the file cannot hold. 0x0129E413 x 220 and
    // 0x10000001 x 16 wrap 32 bits to 84 and 16 bytes, which the file has;
    // 1000 short entries are in the file, but would take several times its
    // size in memory.
    struct Case {
        uint32_t count;
        bool preHeader;
    };
    for (Case c : {Case{0x0129E413u, true}, Case{0x10000001u, false}, Case{0xFFFFFFFFu, false}, Case{1000u, false}}) {
        SCOPED_TRACE(c.count);
        Bytes table = programSection({}, c.preHeader);
        bytes::putLe32(&table[c.preHeader ? 12 : 0], c.count);
        if (c.preHeader)
            bytes::putLe32(&table[56], bytes::sum32(table.data(), 56));
        table.resize(16 * 1000 + 60, 0);
        ContainerWriter w2;
        w2.add(ZR_Section::program, table);
        w2.add(ZR_Section::voice, Bytes(8, 6));
        auto q = loadFile(w2.v3());
        ASSERT_TRUE(q);
        EXPECT_EQ(q->program.count, 0u);
        EXPECT_EQ(q->program.entries, nullptr);
        EXPECT_EQ(q->program.raw, nullptr);
        EXPECT_EQ(q->voice.size, 8u);
    }
}

// Hostile tables name the same bytes over and over: inside the section they
// cost nothing, outside it no more than the file in all.
TEST_F(PackageTest, ProgramImagesShareTheRawCopyAndOutsideImagesAreBudgeted)
{
    const Bytes image = randomBytes(4000, 31);
    std::vector<ProgramSpec> specs(40, ProgramSpec{"SAME", {}});
    specs[0].image = image;
    Bytes section = programSection(specs, true);
    for (int i = 1; i < 40; ++i) { // every entry names entry 0's image
        bytes::putLe32(&section[60 + 220 * i + 4], bytes::getLe32(&section[60 + 4]));
        bytes::putLe32(&section[60 + 220 * i + 8], 4000);
    }
    ContainerWriter w;
    w.add(ZR_Section::program, section);
    const Bytes outside = randomBytes(6000, 32);
    w.add(ZR_Section::voice, outside);
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    ASSERT_EQ(p->program.count, 40u);
    for (uint32_t i = 0; i < 40; ++i) {
        EXPECT_EQ(contents(p->program.entries[i].image, p->program.entries[i].imageSize), image) << i;
        EXPECT_EQ(p->program.entries[i].ownsImage, 0u);
    }
    EXPECT_EQ(gAlloc.live, 1 + 1 + 1 + 1); // record, raw copy, table, voice

    // Now each entry names the voice section behind the program section.
    for (int i = 0; i < 40; ++i)
        bytes::putLe32(&section[60 + 220 * i + 4], uint32_t(section.size()));
    ContainerWriter w2;
    w2.add(ZR_Section::program, section);
    w2.add(ZR_Section::voice, outside);
    const Bytes file = w2.v3();
    auto q = loadFile(file);
    ASSERT_TRUE(q);
    uint64_t owned = 0;
    for (uint32_t i = 0; i < 40; ++i) {
        const ZR_ProgramEntry& e = q->program.entries[i];
        if (e.image) {
            EXPECT_EQ(contents(e.image, e.imageSize), Bytes(outside.begin(), outside.begin() + 4000));
            owned += e.imageSize;
        }
    }
    EXPECT_GE(owned, 4000u);
    EXPECT_LE(owned, file.size());
}

TEST_F(PackageTest, MemoryStreamLoadMatchesFileLoad)
{
    ContainerWriter w;
    w.add(ZR_Section::program, programSection({{"HB6W", randomBytes(50, 21)}}, true));
    w.add(ZR_Section::gpsProvinceRecords, provinceSection(true, 16, {{kBeijing, 4, randomBytes(64, 22)}}, true));
    w.place(ZR_Section::gps, 0, 1u << 30); // a memory stream must not be read past its end either
    const Bytes file = w.v3(5, kBlock);
    auto a = loadFile(file), b = loadMemory(file);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(contents(a->program.entries[0].image, 50), contents(b->program.entries[0].image, 50));
    EXPECT_EQ(contents(a->gpsProvinceRecords.buffer, a->gpsProvinceRecords.size),
              contents(b->gpsProvinceRecords.buffer, b->gpsProvinceRecords.size));
    EXPECT_EQ(b->gps.size, 0u);

    // A body cut short under an intact trailer: sections now reaching past
    // the end fail, and nothing is read beyond it (the sanitizer build checks).
    const Bytes trailer(file.end() - 520, file.end());
    for (size_t keep = 0; keep < file.size() - 520; keep += 37) {
        Bytes cut(file.begin(), file.begin() + keep);
        cut.insert(cut.end(), trailer.begin(), trailer.end());
        auto t = loadMemory(cut);
        ASSERT_TRUE(t);
        EXPECT_LE(t->gpsProvinceRecords.size, cut.size());
        EXPECT_LE(t->program.rawSize, cut.size());
    }
}

// Every allocation of a load and an assembly, failed in turn: the load goes
// on without the section (or entry image) it was for, and nothing leaks.
TEST_F(PackageTest, EveryFailedAllocationIsSurvived)
{
    ContainerWriter w;
    w.add(ZR_Section::boot, Bytes(64, 1));
    w.add(ZR_Section::program, programSection({{"HB6W", randomBytes(50, 25)}, {"ZX01", randomBytes(70, 26)}}, true));
    w.add(ZR_Section::gps, randomBytes(256, 27));
    w.add(ZR_Section::gpsProvinceItems, provinceSection(false, 0, {{kTianjin, 2, randomBytes(24, 28)}}, true));
    w.add(ZR_Section::gpsProvinceRecords,
          provinceSection(true, 16, {{kBeijing, 300, randomBytes(4800, 29)}, {kTianjin, 1, randomBytes(16, 30)}},
                          true));
    const Bytes file = w.v3(5, kBlock);
    uint8_t all[PROVINCE_COUNT];
    std::memset(all, 1, sizeof all);

    gAlloc.calls = 0;
    {
        auto p = loadMemory(file);
        ASSERT_TRUE(p);
        ASSERT_EQ(ZR_Package_assembleProvinceGps(p.get(), all), 1);
    }
    const long calls = gAlloc.calls;
    EXPECT_GE(calls, 12);
    for (long k = 0; k < calls; ++k) {
        SCOPED_TRACE(k);
        gAlloc.calls = 0;
        gAlloc.failAt = k;
        auto p = loadMemory(file);
        if (!p) {
            EXPECT_EQ(k, 0); // the record itself
            continue;
        }
        for (int s = 0; s < ZR_SECTION_COUNT; ++s) {
            ZR_SectionView v;
            ZR_Package_sectionView(p.get(), ZR_Section(s), &v);
            EXPECT_EQ(v.buffer == nullptr, v.size == 0) << ZR_Section_name(ZR_Section(s));
        }
        for (uint32_t i = 0; i < p->program.count; ++i)
            EXPECT_EQ(p->program.entries[i].image == nullptr, p->program.entries[i].encoded == 0);
        const int assembled = ZR_Package_assembleProvinceGps(p.get(), all);
        EXPECT_EQ(assembled == 1, p->gpsProvinceRecords.assembled.buffer != nullptr);
    }
    gAlloc.failAt = -1;
}

TEST_F(PackageTest, SectionNamesAndViews)
{
    EXPECT_STREQ(ZR_Section_name(ZR_Section(18)), "?");

    ContainerWriter w;
    w.add(ZR_Section::voice7, stamped(951782400, 0, 16, 23));
    w.add(ZR_Section::updateTool, stamped(951782400, 0, 16, 24));
    auto p = loadFile(w.v3());
    ASSERT_TRUE(p);
    ZR_SectionView v;
    ASSERT_EQ(ZR_Package_sectionView(p.get(), ZR_Section::voice7, &v), 1);
    EXPECT_EQ(v.size, 16u);
    EXPECT_EQ(v.hasDate, 1);
    expectDate(v.date, 2000, 2, 29, 0, 0, 0);
    ASSERT_EQ(ZR_Package_sectionView(p.get(), ZR_Section::updateTool, &v), 1);
    EXPECT_EQ(v.hasDate, 0);
    EXPECT_EQ(v.date.year, 0);
    EXPECT_EQ(ZR_Package_slot(p.get(), ZR_Section::program), nullptr);
    ZR_Package_free(nullptr);
}

} // namespace
