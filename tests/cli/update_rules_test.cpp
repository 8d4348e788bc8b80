// The update's terminal rules as plain functions: the progress line, what a
// Ctrl-C means, province lists against the room, and the plan's warnings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/interrupt.h"
#include "cli/progress_line.h"
#include "cli/province_pick.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

TEST(ProgressLine, RateUnitsAndTimeLeft)
{
    const struct {
        double bytesPerSecond;
        const char* text;
    } rates[] = {
        {512, "0.5 KiB/s"},       {1023.9 * 1024, "1023.9 KiB/s"}, {1023.96 * 1024, "1.0 MiB/s"},
        {250 * kMiB, "250.0 MiB/s"}, {-1, "-- KiB/s"},             {1.0 / 0.0, "-- KiB/s"},
    };
    for (const auto& c : rates) EXPECT_EQ(ProgressLine_rate(c.bytesPerSecond), c.text) << c.bytesPerSecond;
    const struct {
        double seconds;
        const char* text;
    } durations[] = {{0, "0:00"}, {0.1, "0:01"}, {59.5, "1:00"}, {754, "12:34"}, {3723, "1:02:03"}, {-1, "--:--"}};
    for (const auto& c : durations) EXPECT_EQ(ProgressLine_duration(c.seconds), c.text) << c.seconds;
}

TEST(ProgressLine, PhaseFollowsTheWindowTexts)
{
    const struct {
        const char* text;
        ProgressPhase current, expected;
    } cases[] = {
        {"\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8" "12.00% ", ProgressPhase::none, ProgressPhase::download}, /* 下载进度 */
        {"\xD5\xFD\xD4\xDA\xBD\xE2\xD1\xB9\xCA\xFD\xBE\xDD...", ProgressPhase::download, ProgressPhase::unpack}, /* 正在解压数据... */
        {"GPS\xD2\xD1\xB8\xFC\xD0\xC2 10.00%", ProgressPhase::unpack, ProgressPhase::write},  /* GPS已更新 */
        {"\xD5\xFD\xD4\xDA\xD0\xA3\xD1\xE9 5.00%", ProgressPhase::write, ProgressPhase::check}, /* 正在校验 */
        {"\xD5\xFD\xD4\xDA\xB8\xFC\xD0\xC2", ProgressPhase::write, ProgressPhase::write},       /* 正在更新 */
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgressLine_phaseOf(c.text, c.current), c.expected) << ProgressPhase_name(c.expected);
}

TEST(ProgressLine, LineHoldsPhaseBarPercentRateAndTimeLeft)
{
    const struct {
        ProgressSample sample;
        int width;
        const char* text;
    } cases[] = {
        // Half of 2 MiB in 2 s: 512 KiB/s, 2 s left; the bar fills the 60 columns.
        {{ProgressPhase::write, 1 << 20, 2 << 20, 2.0}, 60,
         "write    [########.........]  50.0%  512.0 KiB/s   0:02 left"},
        // A narrow terminal keeps ten cells.
        {{ProgressPhase::download, 3 << 20, 4 << 20, 1.0}, 20,
         "download [#######...]  75.0%    3.0 MiB/s   0:01 left"},
        // Nothing measured yet: no rate, no time left.
        {{ProgressPhase::check, 0, 1000, 0.0}, 50, "check    [..........]   0.0%     -- KiB/s  --:-- left"},
        // More than the total (a last report rounded up) is the whole.
        {{ProgressPhase::unpack, 5000, 4000, 1.0}, 50, "unpack   [##########] 100.0%    3.9 KiB/s   0:00 left"},
        // Without a total only the bytes so far.
        {{ProgressPhase::download, 1536, 0, 1.0}, 80, "download 1.5 KiB"},
    };
    for (const auto& c : cases) {
        std::string line = ProgressLine_format(c.sample, c.width);
        EXPECT_EQ(line, c.text);
    }
    // The bar never grows past 40 cells, however wide the terminal.
    std::string wide = ProgressLine_format({ProgressPhase::write, 1, 2, 1.0}, 400);
    EXPECT_EQ(wide.find(']') - wide.find('['), 41u) << wide;
}

TEST(Interrupts, OnlyASecondSignalSoonAfterStopsAWrite)
{
    struct Step {
        bool writing;
        double at;
        InterruptAction action;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"waiting or downloading stops at once", {{false, 0, InterruptAction::stop}}},
        {"second within the grace time", {{true, 0, InterruptAction::warn}, {true, 4.9, InterruptAction::cancel}}},
        {"too late: warned again, and the next one counts",
         {{true, 0, InterruptAction::warn}, {true, 5.1, InterruptAction::warn}, {true, 9, InterruptAction::cancel}}},
        {"once the write is over nothing holds it", {{true, 0, InterruptAction::warn}, {false, 1, InterruptAction::stop}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InterruptRule rule;
        for (const Step& step : c.steps) EXPECT_EQ(rule.onSignal(step.writing, step.at), step.action) << step.at;
    }
}

ProvinceSizes sizes(std::initializer_list<std::pair<int, uint32_t>> entries)
{
    ProvinceSizes s(PROVINCE_COUNT, 0);
    for (auto [p, size] : entries) s[size_t(p)] = size;
    return s;
}

TEST(ProvincePick, AllTakesTheLargestThatStillFit)
{
    const ProvinceSizes package = sizes({{0, 100}, {1, 300}, {2, 200}, {27, 100}});
    const struct {
        uint64_t room;
        std::vector<int> chosen;
    } cases[] = {
        {10000, {1, 2, 0, 27}}, // everything; equal sizes by position
        {500, {1, 2}},
        {450, {1, 0}},          // 200 is skipped, 100 still fits
        {150, {0}},
        {99, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ProvincePick_all(package, c.room), c.chosen) << c.room;
}

TEST(ProvincePick, ListsAreRefusedByNameBeforeAnythingIsWritten)
{
    // 0 北京, 1 上海 and 27 广东 carry data; 33 does not.
    const ProvinceSizes package = sizes({{0, 2048}, {1, 1024}, {27, 4096}});
    const struct {
        const char* list;
        uint64_t room;
        std::vector<int> positions;
        const char* problem; // a part of it; "" none
    } cases[] = {
        {"北京, 上海", 8192, {0, 1}, ""},
        {"0,1,27", 8192, {0, 1, 27}, ""},
        {" all ", 5120, {27, 1}, ""},
        {"火星,北京", 8192, {0}, "unknown province '火星'"},
        {"北京,台湾,33,天津", 8192, {0}, "the package holds no data for 台湾, 天津"},
        {"", 8192, {}, "no province chosen"},
        {"all", 512, {}, "no province of the package fits the room of 0 K"},
        {"北京,广东", 5120, {0, 27}, "need 6 K, the device has room for 5 K"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        ProvincePick pick = ProvincePick_parse(c.list, package, c.room);
        EXPECT_EQ(pick.positions, c.positions);
        std::string problem = ProvincePick_problem(pick, package, c.room);
        if (c.problem[0] == 0)
            EXPECT_EQ(problem, "");
        else
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
}

} // namespace
