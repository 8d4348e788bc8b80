// The province choice's rules: sizes by name, the room rule, the texts.
#include <cstring>

#include "ui/province_model.h"
#include "ui/window_fixture.h"

namespace {

constexpr int kBeijing = 0, kShanghai = 1, kJiangsu = 18, kTaiwan = 33;

// A package record with province entries only, as the loader leaves them.
struct Provinces {
    Provinces(uint32_t recordSize, std::vector<std::pair<std::string, uint32_t>> list)
    {
        for (auto& [name, count] : list) {
            entries.push_back(ZR_ProvinceEntry{});
            std::memcpy(entries.back().name, name.data(), name.size());
            entries.back().count = count;
        }
        package.gpsProvinceRecords.recordSize = recordSize;
        package.gpsProvinceRecords.count = uint32_t(entries.size());
        package.gpsProvinceRecords.entries = entries.data();
    }
    ZR_Package package{};
    std::vector<ZR_ProvinceEntry> entries;
};

std::string status(uint64_t roomK, uint64_t selectedK)
{
    return gbk("分省数据包，最多可储存（" + std::to_string(roomK) + "K)数据，超过无法升级，请在地图上勾选。已勾选(" +
               std::to_string(selectedK) + "K)。");
}

TEST(ProvinceModel, SizesByNameFirstEntryWinningSummedIn64Bits)
{
    Provinces p(16, {{gbk("上海"), 10}, {gbk("北京"), 64}, {gbk("北京"), 999}, {gbk("北京市"), 5}});
    EXPECT_EQ(Province_size(&p.package, kBeijing), 1024u);
    EXPECT_EQ(Province_size(&p.package, kTaiwan), 0u);
    EXPECT_EQ(Province_size(&p.package, PROVINCE_COUNT), 0u);
    int checked[PROVINCE_COUNT] = {};
    checked[kBeijing] = checked[kShanghai] = checked[kTaiwan] = 1;
    EXPECT_EQ(Province_selectedSize(&p.package, checked), 1184u);

    // Two provinces of 2 GiB: a 32-bit sum would be 0 and seem to fit.
    Provinces big(256, {{gbk("北京"), 0x800000}, {gbk("上海"), 0x800000}});
    ProvinceChoice choice;
    ProvinceChoice_begin(&choice, &big.package, 0x80000000ll);
    EXPECT_EQ(ProvinceChoice_set(&choice, kBeijing, true), 1);
    EXPECT_EQ(ProvinceChoice_set(&choice, kShanghai, true), 0);
    choice.checked[kShanghai] = 1;
    EXPECT_EQ(ProvinceChoice_statusText(&choice), status(2097152, 4194304));
}

TEST(ProvinceModel, TextsShowWholeKiB)
{
    EXPECT_EQ(Province_statusText(1380 * 1024 + 1023, 1023), status(1380, 0));
    EXPECT_EQ(Province_labelText(gbk("北京").c_str(), 1234 * 1024 + 5), gbk("北京1234K"));
    EXPECT_EQ(Province_labelText(gbk("台湾").c_str(), 1023), gbk("台湾0K"));
    EXPECT_EQ(std::string(kProvinceCaption) + kProvinceTooLargeText + kProvinceNoneChosenText,
              gbk("省份选择选择的省份数据已超过设备可保存大小。至少需选择一个省数据！"));
}

TEST(ProvinceModel, RoomRuleUndoesOnlyTheCheckThatOverflows)
{
    Provinces p(1, {{gbk("北京"), 600}, {gbk("上海"), 400}, {gbk("江苏"), 1}});
    ProvinceChoice choice;
    ProvinceChoice_begin(&choice, &p.package, 1000);
    EXPECT_EQ(ProvinceChoice_set(&choice, kBeijing, true), 1);
    EXPECT_EQ(ProvinceChoice_set(&choice, kShanghai, true), 1); // exactly the room
    EXPECT_EQ(ProvinceChoice_set(&choice, kJiangsu, true), 0);  // one byte over: undone
    EXPECT_EQ(choice.checked[kJiangsu], 0);
    EXPECT_EQ(ProvinceChoice_set(&choice, kTaiwan, true), 1); // no data always fits
    EXPECT_EQ(ProvinceChoice_set(&choice, kShanghai, false), 1);
    EXPECT_EQ(ProvinceChoice_set(&choice, kJiangsu, true), 1);

    for (int64_t room : {int64_t(0), int64_t(-4096)}) { // the plan's room may be negative
        ProvinceChoice_begin(&choice, &p.package, room);
        EXPECT_EQ(ProvinceChoice_set(&choice, kBeijing, true), 0);
        EXPECT_EQ(ProvinceChoice_set(&choice, kTaiwan, true), 1);
        // Checked, but holding no records: confirming it would write an empty GPS area.
        EXPECT_EQ(ProvinceChoice_confirm(&choice), 0);
        EXPECT_EQ(choice.accepted, 1);
        EXPECT_EQ(choice.flags[kTaiwan], 1);
    }
}

TEST(ProvinceModel, ConfirmNeedsAProvinceAndClearEmptiesTheChoice)
{
    Provinces p(1024, {{gbk("北京"), 3}});
    ProvinceChoice choice;
    ProvinceChoice_begin(&choice, &p.package, 1 << 20);
    EXPECT_EQ(ProvinceChoice_confirm(&choice), 0); // stays open
    ProvinceChoice_set(&choice, kBeijing, true);
    EXPECT_EQ(ProvinceChoice_statusText(&choice), status(1024, 3));
    ProvinceChoice_clear(&choice);
    EXPECT_EQ(ProvinceChoice_statusText(&choice), status(1024, 0));
    ProvinceChoice_set(&choice, kBeijing, true);
    EXPECT_EQ(ProvinceChoice_confirm(&choice), 1);
    int expected[PROVINCE_COUNT] = {1};
    EXPECT_EQ(std::memcmp(choice.flags, expected, sizeof expected), 0);
}

} // namespace
