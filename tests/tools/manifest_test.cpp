// Manifests: every field reaches the ContainerSpec in the form the builder expects,
// and every mistake is reported with the field that holds it.
#include <gtest/gtest.h>

#include "core/bytes.h"
#include "pack_test_support.h"

namespace {

using namespace pack_test;

class ManifestTest : public ::testing::Test {
protected:
    // Writes the manifest text as m.json and reads it.
    bool read(const std::string& json, ContainerSpec* spec, std::string* error)
    {
        writeFile(dir.path() / "m.json", json);
        return ContainerBuilder_fromManifest(dir / "m.json", spec, error);
    }

    TempDir dir;
};

TEST_F(ManifestTest, EveryKindOfFieldReachesTheSpec)
{
    const Bytes gps = randomBytes(600, 1), voice = randomBytes(96, 2), image = randomBytes(200, 3);
    const Bytes records = randomBytes(16 * 10, 4), items = randomBytes(24, 5);
    writeFile(dir.path() / "data/gps.plain", gps);
    writeFile(dir.path() / "data/voice.bin", voice);
    writeFile(dir.path() / "data/app.bin", image);
    writeFile(dir.path() / "data/all.rec", records);
    writeFile(dir.path() / "items.bin", items);

    ContainerSpec spec;
    std::string error;
    ASSERT_TRUE(read(R"({
      "headerVersion": "3", "formatVersion": "0x5", "title": "数据更新", "magic": "0x12345679",
      "order": ["voice", "gps"], "alignment": 16,
      "sections": {
        "gps": {"file": "data/gps.plain", "encode": true, "stamp": "2024-05-17 08:30:00"},
        "voice": {"file": "data/voice.bin", "offset": 8, "size": "0x40", "stamp": 1700000000},
        "program": {"entries": [
          {"board": "MVT7", "image": {"file": "data/app.bin", "encode": true},
           "params": {"altLayout": 1, "trackDataSize": "0x10000", "writeMode": "7"}},
          {"board": "HB6", "params": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, "0xFFFFFFFF"]}
        ]},
        "gpsProvinceItems": {"stamp": "2023-01-02", "entries": [{"name": "天津", "items": "items.bin"}]},
        "gpsProvinceRecords": {"stamp": 86400, "secondWord": 7, "recordSize": 16, "entries": [
          {"name": "北京", "records": {"file": "data/all.rec", "size": 64}},
          {"name": "Guangdong", "records": {"file": "data/all.rec", "offset": 64}}
        ]}
      }
    })", &spec, &error)) << error;

    EXPECT_EQ(spec.headerVersion, 3u);
    EXPECT_EQ(spec.formatVersion, 5u);
    EXPECT_EQ(spec.title, "\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2"); /* 数据更新 */
    EXPECT_EQ(spec.magic, ZR_PACKAGE_MAGIC_BLOCK);
    EXPECT_EQ(spec.order, (std::vector<ZR_Section>{ZR_Section::voice, ZR_Section::gps}));
    EXPECT_EQ(spec.alignment, 16u);

    Bytes stampedGps = gps;
    bytes::putLe32(stampedGps.data(), *ContainerBuilder_secondsFromDate(2024, 5, 17, 8, 30, 0));
    EXPECT_EQ(spec.section(ZR_Section::gps), ContainerBuilder_rollingForm(stampedGps));
    Bytes voiceSlice(voice.begin() + 8, voice.begin() + 8 + 64);
    bytes::putLe32(voiceSlice.data() + 4, 1700000000);
    EXPECT_EQ(spec.section(ZR_Section::voice), voiceSlice);

    ASSERT_TRUE(spec.program);
    EXPECT_TRUE(spec.program->preHeader);
    ASSERT_EQ(spec.program->entries.size(), 2u);
    const ProgramEntrySpec& mvt7 = spec.program->entries[0];
    EXPECT_EQ(mvt7.image, ContainerBuilder_rollingForm(image));
    EXPECT_EQ(mvt7.params[int(ZR_ProgramParam::altLayout)], 1u);
    EXPECT_EQ(mvt7.params[int(ZR_ProgramParam::trackDataSize)], 0x10000u);
    EXPECT_EQ(mvt7.params[int(ZR_ProgramParam::writeMode)], 7u);
    EXPECT_EQ(mvt7.params[int(ZR_ProgramParam::serverDataSize)], 0u);
    const ProgramEntrySpec& hb6 = spec.program->entries[1];
    EXPECT_EQ(hb6.board, "HB6");
    EXPECT_TRUE(hb6.image.empty());
    EXPECT_EQ(hb6.params[0], 1u);
    EXPECT_EQ(hb6.params[12], 0xFFFFFFFFu);

    ASSERT_TRUE(spec.provinceItems);
    EXPECT_EQ(spec.provinceItems->stamp, *ContainerBuilder_secondsFromDate(2023, 1, 2));
    EXPECT_EQ(spec.provinceItems->entries[0].name, "\xCC\xEC\xBD\xF2"); /* 天津 */
    EXPECT_EQ(spec.provinceItems->entries[0].items, items);

    ASSERT_TRUE(spec.provinceRecords);
    EXPECT_EQ(spec.provinceRecords->stamp, 86400u);
    EXPECT_EQ(spec.provinceRecords->secondWord, 7u);
    ASSERT_EQ(spec.provinceRecords->entries.size(), 2u);
    EXPECT_EQ(spec.provinceRecords->entries[0].name, "\xB1\xB1\xBE\xA9"); /* 北京 */
    EXPECT_EQ(spec.provinceRecords->entries[0].records, Bytes(records.begin(), records.begin() + 64));
    EXPECT_EQ(spec.provinceRecords->entries[1].records, Bytes(records.begin() + 64, records.end()));

    // And the whole manifest makes a container the loader accepts.
    PackagePtr pkg = buildAndLoad(spec, dir);
    ASSERT_TRUE(pkg);
    expectDate(pkg->gps.date, 2024, 5, 17);
    expectDate(pkg->gpsProvinceItems.date, 2023, 1, 2);
    EXPECT_EQ(pkg->gpsProvinceRecords.count, 2u);
}

TEST_F(ManifestTest, TitleLengthIsCountedInGbkBytes)
{
    std::string title;
    for (int i = 0; i < 128; ++i) title += "数"; // 384 bytes of UTF-8, 256 of GBK
    ContainerSpec spec;
    std::string error;
    writeFile(dir.path() / "v.bin", randomBytes(8, 1));
    EXPECT_TRUE(read(R"({"title": ")" + title + R"(", "sections": {"voice": "v.bin"}})", &spec, &error)) << error;
    EXPECT_EQ(spec.title.size(), 256u);
    EXPECT_FALSE(read(R"({"title": ")" + title + R"(x", "sections": {"voice": "v.bin"}})", &spec, &error));
    EXPECT_NE(error.find("title"), std::string::npos) << error;
}

TEST_F(ManifestTest, ErrorsNameTheManifestAndTheField)
{
    writeFile(dir.path() / "v.bin", randomBytes(64, 1));
    struct Case {
        const char* json;
        std::vector<const char*> mentions;
    };
    const Case cases[] = {
        {R"({"sections": {"voice": "missing.bin"}})", {"sections.voice", "missing.bin"}},
        {R"({"sections": {"voice": {"file": "v.bin", "offset": 60, "size": 8}}})", {"sections.voice", "offset"}},
        {R"({"headerVersion": 4, "sections": {"voice": "v.bin"}})", {"headerVersion"}},
        {R"({"headerVersion": -3, "sections": {"voice": "v.bin"}})", {"headerVersion"}},
        {R"({"title": 5, "sections": {"voice": "v.bin"}})", {"title"}},
        {R"({"magic": "block", "headerVersion": 2, "sections": {"voice": "v.bin"}})", {"magic"}},
        {R"({"magic": 305419898, "sections": {"voice": "v.bin"}})", {"magic"}},
        {R"({"alignment": "0x1G", "sections": {"voice": "v.bin"}})", {"alignment", "0x1G"}},
        {R"({"alignment": "0x100000000", "sections": {"voice": "v.bin"}})", {"alignment", "32 bits"}},
        {R"({"sections": {"voice": {"file": "v.bin", "stmp": 1}}})", {"sections.voice.stmp", "unknown"}},
        {R"({"sections": {"voice": {"file": "v.bin", "encode": true}}})", {"sections.voice.encode"}},
        {R"({"sections": {"updateTool": {"file": "v.bin", "stamp": 1}}})", {"sections.updateTool.stamp"}},
        {R"({"sections": {"voice": {"file": "v.bin", "stamp": "2023-02-29"}}})", {"sections.voice.stamp"}},
        {R"({"sections": {"voices": "v.bin"}})", {"sections.voices", "unknown section"}},
        {R"({"sections": {}})", {"sections"}},
        {R"({"sections": {"program": {"entries": [{"board": "MVT7", "params": {"oledd": 1}}]}}})",
         {"sections.program.entries[0].params.oledd"}},
        {R"({"sections": {"program": {"entries": [{"board": "MVT77"}]}}})", {"entries[0].board"}},
        {R"({"sections": {"gpsProvinceRecords": {"entries": [{"name": "北京"}]}}})",
         {"gpsProvinceRecords.entries[0].records"}},
        {R"({"order": ["gps", "nothing"], "sections": {"voice": "v.bin"}})", {"order[1]"}},
        {R"({"sections": {"voice": "v.bin"}, "extra": 1})", {"extra", "unknown"}},
        {R"({"sections": {"voice": "v.bin"})", {"not valid JSON"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        ContainerSpec spec;
        spec.title = "untouched";
        std::string error;
        EXPECT_FALSE(read(c.json, &spec, &error));
        EXPECT_EQ(error.rfind(dir / "m.json", 0), 0u) << error;
        for (const char* m : c.mentions) EXPECT_NE(error.find(m), std::string::npos) << error;
        EXPECT_EQ(spec.title, "untouched");
    }

    ContainerSpec spec;
    std::string error;
    EXPECT_FALSE(ContainerBuilder_fromManifest(dir / "absent.json", &spec, &error));
    EXPECT_NE(error.find("absent.json"), std::string::npos) << error;
}

} // namespace
