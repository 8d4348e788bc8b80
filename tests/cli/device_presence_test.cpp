// `tessaly-cli update` and the device's presence: pulled out in the middle
// of the write, never there at all; and command lines the CLI refuses.
#include <algorithm>
#include <cstdlib>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

class DevicePresence : public CliTest {};

// The percentage of the last write progress line on stderr, -1 before any.
double writeProgress(const std::string& err)
{
    static const std::string kWord = "已更新 ";
    size_t at = err.rfind(kWord);
    return at == std::string::npos ? -1 : std::strtod(err.c_str() + at + kWord.size(), nullptr);
}

TEST_F(DevicePresence, PulledOutMidWriteFailsPromptlyAndTheNextRunSucceeds)
{
    const std::string package = Samples::get().file("provinces-4m.dzr").string();
    const std::vector<std::string> update = {"update", "--package", package, "--provinces", "北京,上海,广东"};

    // 200 µs a report: the write takes several seconds, the identification
    // well under one.
    Devsim* slow = plugIn("pull", "hid", "k502-4m", {"--latency-us", "200"});
    ASSERT_NE(slow, nullptr);
    auto run = startCli(update);
    ASSERT_TRUE(run->started());
    ASSERT_TRUE(waitUntil([&] { return writeProgress(run->err()) >= 10 || !run->running(); }, 20000))
        << run->err();
    const double progress = writeProgress(run->err());
    ASSERT_TRUE(run->running()) << "the write ended before the device could be pulled out: " << finish(*run);
    ASSERT_LT(progress, 90) << "the write went too fast to be cut in the middle";

    const Clock::time_point pulled = Clock::now();
    slow->kill(SIGKILL);
    RunResult failed = finish(*run, 10000);
    const double afterPull = secondsSince(pulled);
    EXPECT_EQ(failed.status, 1) << failed;
    EXPECT_EQ(failed.out.rfind(kFailedPrefix, 0), 0u) << failed;
    EXPECT_EQ(std::count(failed.out.begin(), failed.out.end(), '\n'), 1) << failed;
    EXPECT_LT(afterPull, 3.0) << "the CLI took " << afterPull << " s to notice the device was gone";

    // Plugged in again, straight in update mode and without the slow link;
    // the socket the killed device left behind is replaced.
    ASSERT_NE(plugIn("pull", "hid", "k502-4m"), nullptr);
    RunResult again = cli(update);
    EXPECT_EQ(again.status, 0) << again;
    EXPECT_EQ(again.out, kSuccess) << again;
    EXPECT_EQ(dateOf(deviceInfo(), "gps version"), "20240601");
}

// An empty simulation folder: every command that needs the device says so
// with exit status 3 once the wait is over, not before and not much later.
TEST_F(DevicePresence, NoDeviceEndsWithStatusThreeAfterTheWait)
{
    const std::string package = Samples::get().file("k502-full.dzr").string();
    const std::vector<std::vector<std::string>> commands = {
        {"--wait", "1", "update", "--package", package},
        {"--wait", "1", "info"},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args[2]);
        RunResult r = cli(args, 10000);
        EXPECT_EQ(r.status, 3) << r;
        EXPECT_GE(r.seconds, 0.9) << r;
        EXPECT_LT(r.seconds, 5.0) << r;
        EXPECT_EQ(r.out.find(kSuccess), std::string::npos) << r;
    }
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
}

// Usage errors end with status 2 at once, before any device is looked for.
TEST_F(DevicePresence, ServerAreaIsSavedWholeOrRefused)
{
    // The 502 preset holds an 8 KiB server-data area; a blank device has none.
    const fs::path image = workDir() / "server.bin";
    RunResult r = cli({"--simulate=502", "dump-server", "-o", image.string()});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "Write Ok!\n") << r;
    EXPECT_EQ(fs::exists(image) ? fs::file_size(image) : 0u, 0x2000u);

    r = cli({"--simulate=blank", "dump-server", "-o", (workDir() / "none.bin").string()});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "Write Error!\n") << r;
}

TEST_F(DevicePresence, UsageErrorsEndWithStatusTwo)
{
    // A 30 s wait for the device: ending well before it shows the device was never looked for.
    const std::vector<std::vector<std::string>> commands = {
        {"--wait", "30", "update", "--no-such-option"},
        {"--wait", "30", "update", "--provinces"},
        {"--wait", "-1", "update"},
        {"--wait", "soon", "update"},
        {"--wait", "30", "no-such-command"},
        {"--wait", "30"},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args.front() + " " + args.back());
        RunResult r = cli(args, 40000);
        EXPECT_EQ(r.status, 2) << r;
        EXPECT_EQ(r.out, "") << r;
        EXPECT_LT(r.seconds, 15.0) << r;
    }
}

} // namespace
