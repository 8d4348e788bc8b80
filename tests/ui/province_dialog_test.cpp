// The province dialog over the recording host: captions, places, the room
// rule on the boxes, clearing and confirming.
#include <cstring>

#include "ui/province_dialog.h"
#include "ui/window_fixture.h"

namespace {

constexpr int kBeijing = 0, kShanghai = 1, kGuangdong = 27;

std::string status(uint64_t roomK, uint64_t selectedK)
{
    return gbk("分省数据包，最多可储存（" + std::to_string(roomK) + "K)数据，超过无法升级，请在地图上勾选。已勾选(" +
               std::to_string(selectedK) + "K)。");
}

class ProvinceDialogTest : public ::testing::Test {
protected:
    // 北京 300 KiB, 上海 200 KiB, 广东 500 KiB and 1000 bytes in a room of 1000 KiB.
    void SetUp() override
    {
        for (auto [name, kib] : {std::pair{"北京", 300}, {"上海", 200}, {"广东", 500}}) {
            entries_.push_back(ZR_ProvinceEntry{});
            const std::string n = gbk(name);
            std::memcpy(entries_.back().name, n.data(), n.size());
            entries_.back().count = uint32_t(kib) * 1024;
        }
        entries_.back().count += 1000;
        package_.gpsProvinceRecords.recordSize = 1;
        package_.gpsProvinceRecords.count = uint32_t(entries_.size());
        package_.gpsProvinceRecords.entries = entries_.data();
        dialog_.endDialog = [this](int result) { ended_.push_back(result); };
        show(1000 * 1024);
    }
    void show(int64_t room)
    {
        dialog_.setPackage(&package_, room);
        ASSERT_TRUE(dialog_.OnInitDialog());
    }
    // An automatic check box: it toggles, then reports the click.
    void click(int position)
    {
        const int id = Province_boxId(position);
        host_.setChecked(id, !host_.isChecked(id));
        dialog_.OnCommand(id);
    }
    std::vector<int> checkedBoxes() const
    {
        std::vector<int> out;
        for (int p = 0; p < PROVINCE_COUNT; ++p)
            if (host_.isChecked(Province_boxId(p))) out.push_back(p);
        return out;
    }
    std::vector<std::string> boxTexts() const
    {
        std::vector<std::string> out;
        for (const FakeHost::Box& box : host_.boxes()) out.push_back(box.text + "|" + box.caption);
        return out;
    }
    static std::string box(const char* utf8) { return gbk(utf8) + "|" + gbk("省份选择"); }

    FakeHost host_;
    CDialogProvince dialog_{host_};
    ZR_Package package_{};
    std::vector<ZR_ProvinceEntry> entries_;
    std::vector<int> ended_;
};

TEST_F(ProvinceDialogTest, EveryBoxHasItsIdCaptionAndPlace)
{
    struct Row {
        int id;
        const char* caption;
        ProvinceUnits units;
    };
    const Row rows[PROVINCE_COUNT] = {
        {2000, "北京300K", {461, 125, 57, 10}}, {2001, "上海200K", {539, 204, 56, 10}},
        {2002, "天津0K", {475, 136, 54, 10}},   {2003, "重庆0K", {363, 220, 55, 10}},
        {2004, "黑龙江0K", {555, 47, 56, 10}},  {2005, "吉林0K", {549, 79, 49, 10}},
        {2006, "辽宁0K", {523, 102, 53, 10}},   {2007, "内蒙古0K", {358, 124, 73, 10}},
        {2008, "河北0K", {444, 145, 54, 10}},   {2009, "山西0K", {408, 155, 47, 10}},
        {2010, "陕西0K", {367, 185, 32, 10}},   {2011, "山东0K", {478, 156, 69, 10}},
        {2012, "新疆0K", {119, 102, 68, 10}},   {2013, "西藏0K", {100, 196, 61, 10}},
        {2014, "青海0K", {208, 167, 67, 10}},   {2015, "甘肃0K", {320, 177, 61, 10}},
        {2016, "宁夏0K", {344, 156, 50, 10}},   {2017, "河南0K", {425, 186, 64, 10}},
        {2018, "江苏0K", {511, 188, 64, 10}},   {2019, "湖北0K", {413, 211, 60, 10}},
        {2020, "浙江0K", {516, 227, 59, 10}},   {2021, "安徽0K", {476, 206, 60, 10}},
        {2022, "福建0K", {495, 258, 65, 10}},   {2023, "江西0K", {463, 244, 58, 10}},
        {2024, "湖南0K", {409, 246, 51, 10}},   {2025, "贵州0K", {349, 258, 57, 10}},
        {2026, "四川0K", {297, 220, 54, 10}},   {2027, "广东500K", {443, 284, 59, 10}},
        {2028, "云南0K", {275, 280, 58, 10}},   {2029, "广西0K", {375, 283, 58, 10}},
        {2030, "海南0K", {396, 328, 62, 10}},   {2031, "香港0K", {459, 299, 56, 10}},
        {2032, "澳门0K", {444, 308, 68, 10}},   {2033, "台湾0K", {542, 274, 55, 10}},
    };
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        const Row& row = rows[p];
        SCOPED_TRACE(row.caption);
        EXPECT_EQ(Province_boxId(p), row.id);
        EXPECT_EQ(Province_positionOf(row.id), p);
        EXPECT_EQ(host_.text(row.id), gbk(row.caption));
        const ProvinceUnits& u = kProvinceBoxUnits[p];
        EXPECT_EQ(std::vector<int>({u.left, u.top, u.width, u.height}),
                  std::vector<int>({row.units.left, row.units.top, row.units.width, row.units.height}));
    }
    EXPECT_EQ(Province_positionOf(1999), -1);
    EXPECT_EQ(Province_positionOf(2034), -1);
    EXPECT_EQ(host_.text(IDC_PROVINCE_STATUS), status(1000, 0));
    EXPECT_TRUE(checkedBoxes().empty());
}

TEST_F(ProvinceDialogTest, TaiwanAndMacauBoxesChooseTheirPositions)
{
    click(33); // 台湾
    click(32); // 澳门
    click(kBeijing);
    EXPECT_EQ(dialog_.choice().checked[33], 1);
    EXPECT_EQ(dialog_.choice().checked[32], 1);
    dialog_.OnCommand(IDC_PROVINCE_CONFIRM);
    EXPECT_EQ(ended_, std::vector<int>{HOST_IDOK});
    int expected[PROVINCE_COUNT] = {};
    expected[kBeijing] = expected[32] = expected[33] = 1;
    EXPECT_EQ(std::memcmp(dialog_.choice().flags, expected, sizeof expected), 0);
    EXPECT_EQ(dialog_.choice().accepted, 1);
}

TEST_F(ProvinceDialogTest, RefusedCheckLeavesOnlyThatBoxUncheckedAndClearShowsNothing)
{
    click(kBeijing);
    click(kShanghai);
    click(33);
    const std::string before = host_.text(IDC_PROVINCE_STATUS);
    EXPECT_EQ(before, status(1000, 500));
    click(kGuangdong); // 500 KiB and 1000 bytes: one step too far
    EXPECT_EQ(checkedBoxes(), (std::vector<int>{kBeijing, kShanghai, 33}));
    EXPECT_EQ(dialog_.choice().checked[kGuangdong], 0);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{box("选择的省份数据已超过设备可保存大小。")});
    EXPECT_EQ(host_.text(IDC_PROVINCE_STATUS), before);

    click(kShanghai); // unchecking makes room
    click(kGuangdong);
    EXPECT_EQ(checkedBoxes(), (std::vector<int>{kBeijing, kGuangdong, 33}));
    EXPECT_EQ(host_.text(IDC_PROVINCE_STATUS), status(1000, 800));

    click(kShanghai); // refused again, then cleared
    dialog_.OnCommand(IDC_PROVINCE_CLEAR);
    EXPECT_TRUE(checkedBoxes().empty());
    EXPECT_EQ(host_.text(IDC_PROVINCE_STATUS), status(1000, 0));
    EXPECT_EQ(boxTexts().size(), 2u);
    EXPECT_TRUE(ended_.empty());
}

TEST_F(ProvinceDialogTest, ConfirmingNothingOrOnlyEmptyProvincesStaysOpen)
{
    const std::vector<std::vector<int>> refused = {{}, {33}, {2, 32, 33}}; // nothing; 台湾; 天津, 澳门, 台湾
    for (const auto& chosen : refused) {
        dialog_.OnCommand(IDC_PROVINCE_CLEAR);
        for (int p : chosen) click(p);
        dialog_.OnCommand(IDC_PROVINCE_CONFIRM);
        EXPECT_TRUE(ended_.empty());
        EXPECT_EQ(boxTexts().back(), box("至少需选择一个省数据！"));
    }
    EXPECT_EQ(boxTexts().size(), refused.size());
    click(kShanghai);
    dialog_.OnCommand(IDC_PROVINCE_CONFIRM);
    EXPECT_EQ(ended_, std::vector<int>{HOST_IDOK});
}

TEST_F(ProvinceDialogTest, EachShowingStartsUncheckedWithTheMapOrWithoutIt)
{
    const ZR_Ximage* map = dialog_.picture();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->header.width, PROVINCE_MAP_WIDTH);
    EXPECT_EQ(map->header.height, PROVINCE_MAP_HEIGHT);
    EXPECT_EQ(map->header.bitCount, 32);

    click(kBeijing);
    dialog_.OnCommand(IDC_PROVINCE_CONFIRM);
    // Shown again in a smaller room and with a damaged picture: nothing is
    // checked, the last choice is kept for the caller, the boxes still work.
    const uint8_t damaged[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H'};
    dialog_.setPictureBytes(damaged, sizeof damaged);
    show(-4096);
    EXPECT_EQ(dialog_.picture(), nullptr);
    EXPECT_TRUE(checkedBoxes().empty());
    EXPECT_EQ(dialog_.choice().flags[kBeijing], 1);
    EXPECT_EQ(host_.text(IDC_PROVINCE_STATUS), status(0, 0));
    click(kBeijing);
    EXPECT_TRUE(checkedBoxes().empty());
    EXPECT_EQ(host_.text(Province_boxId(kGuangdong)), gbk("广东500K"));
}

} // namespace
