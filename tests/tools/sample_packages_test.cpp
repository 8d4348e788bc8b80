// The sample set: the same bytes on every run, and packages that load and
// make sense for the boards they name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "core/extract.h"
#include "core/stream.h"
#include "pack_test_support.h"
#include "tools/sample_packages.h"

namespace {

using namespace pack_test;

class SamplePackagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        std::string error;
        ASSERT_TRUE(SamplePackages_write(dir_->path().string(), &files_, &error)) << error;
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }

    static PackagePtr load(const std::string& name)
    {
        PackagePtr pkg = loadFile(*dir_ / name);
        EXPECT_TRUE(pkg) << name;
        if (pkg) {
            EXPECT_STREQ(pkg->title, "Halcyon Path") << name;
        }
        return pkg;
    }

    static const ZR_ProgramEntry* program(ZR_Package* pkg, const char* board)
    {
        const ZR_ProgramEntry* e = ZR_Package_findProgram(pkg, ZR_boardKey(board));
        EXPECT_TRUE(e && e->image && e->imageSize > 0) << board;
        return e;
    }

    static uint32_t param(const ZR_ProgramEntry* e, ZR_ProgramParam p) { return e ? ZR_ProgramEntry_param(e, p) : 0; }

    static TempDir* dir_;
    static std::vector<SampleFile> files_;
};

TempDir* SamplePackagesTest::dir_ = nullptr;
std::vector<SampleFile> SamplePackagesTest::files_;

TEST_F(SamplePackagesTest, ASecondRunWritesTheSameFilesByteForByte)
{
    TempDir again;
    std::vector<SampleFile> files;
    std::string error;
    ASSERT_TRUE(SamplePackages_write(again.path().string(), &files, &error)) << error;
    ASSERT_EQ(files.size(), files_.size());
    uint64_t total = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        EXPECT_EQ(files[i].name, files_[i].name);
        EXPECT_EQ(files[i].size, std::filesystem::file_size(again.path() / files[i].name));
        EXPECT_EQ(readBytes(again.path() / files[i].name), readBytes(dir_->path() / files_[i].name));
        total += files[i].size;
    }
    for (const char* name : {"mvt7-full.dzr", "mvt7-full.json", "k502-full.dzr", "program-only.dzr",
                             "provinces-4m.dzr", "provinces-4m.json", "mvt7-full.zip"})
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const SampleFile& f) { return f.name == name; }))
            << name;
    EXPECT_LT(total, 12u << 20) << "the sample set should stay small";
}

TEST_F(SamplePackagesTest, ClassicMapPackageCarriesEveryPartDated)
{
    PackagePtr pkg = load("mvt7-full.dzr");
    ASSERT_TRUE(pkg);
    EXPECT_EQ(pkg->header.magic, ZR_PACKAGE_MAGIC_BLOCK);
    EXPECT_EQ(pkg->header.version, 5u);
    EXPECT_EQ(pkg->program.layout, 1u);
    EXPECT_GT(pkg->boot.size, 0u);
    for (ZR_Section s : {ZR_Section::radarMute, ZR_Section::gps, ZR_Section::voice, ZR_Section::updateTool,
                         ZR_Section::oled})
        EXPECT_GT(ZR_Package_slot(pkg.get(), s)->size, 0u) << ZR_Section_name(s);

    const ZR_ProgramEntry* mvt7 = program(pkg.get(), "MVT7");
    EXPECT_EQ(param(mvt7, ZR_ProgramParam::altLayout), 0u);
    EXPECT_EQ(param(program(pkg.get(), "HB6T"), ZR_ProgramParam::oled), 1u);
    program(pkg.get(), "MVT5");

    expectDate(pkg->gps.date, 2024, 5, 17);
    expectDate(pkg->voice.date, 2024, 3, 2);
    expectDate(pkg->radarMute.date, 2024, 4, 10);
    expectDate(pkg->oled.date, 2024, 1, 20);
}

TEST_F(SamplePackagesTest, Map502PackageHasTheVariantsItsBoardsAskFor)
{
    PackagePtr pkg = load("k502-full.dzr");
    ASSERT_TRUE(pkg);
    for (const char* board : {"K502", "K512"}) {
        SCOPED_TRACE(board);
        const ZR_ProgramEntry* e = program(pkg.get(), board);
        EXPECT_EQ(param(e, ZR_ProgramParam::altLayout), 1u);
        // Each flag the entry sets names a section the package holds.
        EXPECT_EQ(param(e, ZR_ProgramParam::secondVoice), 1u);
        EXPECT_GT(pkg->voice2.size, 0u);
        EXPECT_EQ(param(e, ZR_ProgramParam::gps2), 1u);
        EXPECT_GT(pkg->gps2.size, 0u);
        EXPECT_EQ(param(e, ZR_ProgramParam::oled), 1u);
        EXPECT_GT(pkg->oled.size, 0u);
    }
    EXPECT_EQ(ZR_Package_findProgram(pkg.get(), ZR_boardKey("MVT7")), nullptr);
    expectDate(pkg->gps2.date, 2024, 6, 3);
    expectDate(pkg->voice2.date, 2024, 2, 28);
    for (int i = 0; i < kContainerSectionCount; ++i) EXPECT_EQ(pkg->header.sections[i].offset % 256, 0u);
}

TEST_F(SamplePackagesTest, ProgramOnlyPackageHoldsOneImageInAVersion2Header)
{
    PackagePtr pkg = load("program-only.dzr");
    ASSERT_TRUE(pkg);
    EXPECT_EQ(ZR_PackageHeader_trailerVersion(&pkg->header), 2);
    EXPECT_EQ(pkg->program.layout, 0u);
    EXPECT_EQ(pkg->program.count, 1u);
    EXPECT_EQ(pkg->boot.size, 0u);
    for (int i = 0; i < kContainerSectionCount; ++i)
        if (ZR_Section(i) != ZR_Section::program) {
            EXPECT_EQ(pkg->header.sections[i].size, 0u) << i;
        }
    program(pkg.get(), "MVT7");
}

TEST_F(SamplePackagesTest, ProvincePackageIsOver4MiBAndItsProvincesReassembleGps3)
{
    EXPECT_GT(std::filesystem::file_size(dir_->path() / "provinces-4m.dzr"), 4u << 20);
    PackagePtr pkg = load("provinces-4m.dzr");
    ASSERT_TRUE(pkg);
    const ZR_ProgramEntry* e = program(pkg.get(), "K502");
    EXPECT_EQ(param(e, ZR_ProgramParam::gps3), 1u);
    EXPECT_EQ(param(e, ZR_ProgramParam::voice7), 1u);
    EXPECT_GT(pkg->voice8.size, 0u);
    expectDate(pkg->voice8.date, 2024, 5, 25);
    expectDate(pkg->gps3.date, 2024, 6, 1);

    const ZR_ProvinceSlot& records = pkg->gpsProvinceRecords;
    ASSERT_EQ(records.count, 6u);
    EXPECT_EQ(records.recordSize, 16u);
    uint8_t all[PROVINCE_COUNT] = {};
    for (uint32_t i = 0; i < records.count; ++i) {
        int p = 0;
        while (p < PROVINCE_COUNT && std::strcmp(ProvinceTable[p], records.entries[i].name) != 0) ++p;
        ASSERT_LT(p, PROVINCE_COUNT) << "entry " << i << " is not a province of the table";
        all[p] = 1;
    }

    // Every province chosen gives the records of gps3 (equal keys may swap).
    ASSERT_EQ(ZR_Package_assembleProvinceGps(pkg.get(), all), 1);
    const ZR_AssembledImage& image = records.assembled;
    ASSERT_EQ(image.size, pkg->gps3.size);
    EXPECT_EQ(std::memcmp(image.buffer, pkg->gps3.buffer, 16), 0);
    auto sortedRecords = [](const uint8_t* p, uint32_t size) {
        std::vector<std::array<uint8_t, 16>> r((size - 16) / 16);
        std::memcpy(r.data(), p + 16, size - 16);
        std::sort(r.begin(), r.end());
        return r;
    };
    EXPECT_EQ(sortedRecords(image.buffer, image.size), sortedRecords(pkg->gps3.buffer, pkg->gps3.size));
}

TEST_F(SamplePackagesTest, ZipArchiveCarriesTheClassicPackage)
{
    const std::string extracted = *dir_ / "extracted.dzr";
    ZR_Stream* sink = ZR_Stream_openFile(extracted.c_str(), ZR_STREAM_WRITE);
    ASSERT_TRUE(sink);
    EXPECT_EQ(ZR_extractContainer((*dir_ / "mvt7-full.zip").c_str(), nullptr, nullptr, sink), 1);
    ZR_Stream_release(sink);
    EXPECT_EQ(readBytes(extracted), readBytes(dir_->path() / "mvt7-full.dzr"));
    std::filesystem::remove(extracted);
}

} // namespace
