// `tessaly-cli update --version-url`: a disk-mode device switched, the
// version file looked up on a loopback server, the package downloaded,
// unpacked and written; downloads cut short; a device that already holds
// the newest data.
#include <algorithm>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

class NetworkUpdate : public CliTest {
protected:
    UpdateServer server;
};

TEST_F(NetworkUpdate, SwitchesDownloadsWritesAndTheDeviceShowsTheNewData)
{
    ASSERT_NE(plugIn("net", "disk", "k502-4m"), nullptr);

    RunResult r = cli({"update", "--version-url", server.versionUrl("20250101")});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, kSuccess) << r;
    EXPECT_TRUE(server.requested("/pkg.zip"));

    // The K502 program and the dates of k502-full, in place of the preset's.
    DeviceInfo info = deviceInfo();
    EXPECT_EQ(valueOf(info, "broad name"), "K502");
    EXPECT_EQ(valueOf(info, "program version"), "5021");
    EXPECT_EQ(dateOf(info, "gps version"), "20240603");
    EXPECT_EQ(dateOf(info, "voice version"), "20240228");
    EXPECT_EQ(dateOf(info, "radar mute version"), "20240214");
    EXPECT_EQ(dateOf(info, "update version"), "有");

    // The downloaded archive and the container unpacked from it are gone.
    EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
}

// A server that announces a length and closes early: the run ends with an
// error line, nothing is written, no partial file stays in TMPDIR, and the
// next run, through the same temporary folder, succeeds.
TEST_F(NetworkUpdate, DownloadsCutShortFailCleanly)
{
    ASSERT_NE(plugIn("cut", "hid", "k502-4m"), nullptr);
    const DeviceInfo before = deviceInfo();
    ASSERT_EQ(valueOf(before, "program version"), "5022");

    {
        SCOPED_TRACE("package cut short");
        RunResult r = cli({"update", "--version-url", server.versionUrl("20250101", "cut/pkg.zip")});
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(r.out, kDownloadFailed) << r;
        EXPECT_TRUE(server.requested("/cut/pkg.zip"));
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
        EXPECT_EQ(deviceInfo(), before);
    }
    {
        SCOPED_TRACE("version file cut short");
        RunResult r = cli({"update", "--version-url", server.url("/cut/version.txt")});
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r;
        EXPECT_NE(r.out, kSuccess) << r;
        EXPECT_FALSE(server.requested("/pkg.zip"));
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
        EXPECT_EQ(deviceInfo(), before);
    }
    {
        SCOPED_TRACE("whole package after the cut ones");
        RunResult r = cli({"update", "--version-url", server.versionUrl("20250101")});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, kSuccess) << r;
        EXPECT_EQ(valueOf(deviceInfo(), "program version"), "5021");
        EXPECT_EQ(tempFilesLeft(), std::vector<std::string>{});
    }
}

// The device's GPS date (2024-11-02) is the version the server names: the
// update is a question, which only --yes answers when nobody can be asked.
TEST_F(NetworkUpdate, AlreadyNewestIsKeptUnlessYes)
{
    ASSERT_NE(plugIn("same", "hid", "k502-4m"), nullptr);
    const DeviceInfo before = deviceInfo();
    ASSERT_EQ(dateOf(before, "gps version"), "20241102");

    RunResult declined = cli({"update", "--version-url", server.versionUrl("20241102")});
    EXPECT_EQ(declined.status, 0) << declined;
    EXPECT_EQ(declined.out, "") << declined;
    EXPECT_FALSE(server.requested("/pkg.zip")) << "nothing to update, yet the package was fetched";
    EXPECT_EQ(deviceInfo(), before);

    RunResult confirmed = cli({"update", "--yes", "--version-url", server.versionUrl("20241102")});
    EXPECT_EQ(confirmed.status, 0) << confirmed;
    EXPECT_EQ(confirmed.out, kSuccess) << confirmed;
    DeviceInfo after = deviceInfo();
    EXPECT_EQ(valueOf(after, "program version"), "5021");
    EXPECT_EQ(dateOf(after, "gps version"), "20240603");
}

} // namespace
