// What a run leaves in the temporary directory and what it takes from it:
// one private folder per run, gone however the run ends; packages that are
// not regular files refused before anything waits; names planted by another
// user never followed; container texts that cannot harm the terminal.
#include <nlohmann/json.hpp>

#include <pwd.h>

#include <algorithm>
#include <optional>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

class TempFiles : public CliTest {
protected:
    // Entries directly in the CLI's TMPDIR (files and folders alike).
    std::vector<std::string> tmpEntries() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(tmpDir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The run folder of a running CLI once the unpacked container is in it.
    std::optional<fs::path> waitForRunFolder(Child& child)
    {
        std::optional<fs::path> found;
        waitUntil(
            [&] {
                for (const auto& e : fs::directory_iterator(tmpDir))
                    if (e.path().filename().string().rfind("tessaly-", 0) == 0 && fs::exists(e.path() / "tmp.dzr"))
                        found = e.path();
                return found.has_value() || !child.running();
            },
            kRunMs);
        return found;
    }

    // An update of the zipped sample with no device to find: the container is
    // unpacked first, then the run waits (for an hour) for a device.
    std::unique_ptr<Child> startWaitingUpdate()
    {
        return startCli({"--wait", "3600", "update", "--package", Samples::get().k502Zip().string()});
    }
};

// A FIFO, folder or device as the package ends the run at once with its
// reason, also when the run would otherwise wait an hour for a device; a run
// that blocked would meet the run's deadline instead.
TEST_F(TempFiles, PackagesThatAreNotRegularFilesAreRefusedAtOnce)
{
    const fs::path fifo = workDir() / "package.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        fs::path package;
        std::string reason;
    };
    const Case cases[] = {
        {fifo, "a FIFO, not a regular file"},
        {workDir(), "a folder, not a regular file"},
        {"/dev/zero", "a device, not a regular file"},
        {workDir() / "missing.dzr", "no such file"},
    };
    for (const Case& c : cases) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"--wait", "3600", "update", "--package", c.package.string()},
              std::vector<std::string>{"--wait", "0", "update", "--package", c.package.string()},
              std::vector<std::string>{"inspect", c.package.string()}}) {
            SCOPED_TRACE(command[command.size() - 2] + " " + c.package.string());
            RunResult r = cli(command);
            EXPECT_EQ(r.status, 1) << r;
            EXPECT_NE(r.err.find(c.package.string() + ": " + c.reason), std::string::npos) << r;
        }
    }
    EXPECT_EQ(tmpEntries(), std::vector<std::string>{});
}

// SIGINT, SIGTERM and SIGHUP end the run with the signal's own status and
// take the run folder along; SIGKILL cannot, so the next start removes what
// the killed run left.
TEST_F(TempFiles, EveryEndingTakesTheRunFolderAlong)
{
    // A shell that started the tests in the background may have left SIGINT
    // ignored, and children inherit that.
    ::signal(SIGINT, SIG_DFL);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        auto child = startWaitingUpdate();
        ASSERT_TRUE(child->started());
        std::optional<fs::path> folder = waitForRunFolder(*child);
        ASSERT_TRUE(folder) << finish(*child);
        child->signal(sig);
        RunResult r = finish(*child);
        EXPECT_EQ(r.status, 128 + sig) << r;
        if (sig == SIGKILL) {
            EXPECT_TRUE(fs::exists(*folder / "tmp.dzr"));
            RunResult next = cli({"inspect", Samples::get().file("program-only.dzr").string()});
            EXPECT_EQ(next.status, 0) << next;
        }
        EXPECT_EQ(tmpEntries(), std::vector<std::string>{});
    }
}

// As root, another user prepares what the fixed names of the past would
// have used: the folder named after the package with links in it, a link
// for the version file and a run folder of a dead process. The update uses
// none of them, removes none of them, writes through no link, and leaves
// nothing of its own.
TEST_F(TempFiles, NamesPlantedByAnotherUserAreNeverUsed)
{
    const passwd* nobody = getuid() == 0 ? getpwnam("nobody") : nullptr;
    if (!nobody) GTEST_SKIP() << "needs root and a user 'nobody'";
    UpdateServer server;
    ASSERT_NE(plugIn("planted", "hid", "k502-4m"), nullptr);
    ASSERT_EQ(chmod(tmpDir.c_str(), 01777), 0);
    const fs::path victim = workDir() / "victim";
    std::ofstream(victim) << "root's file";

    const fs::path planted = tmpDir / "pkg";
    const std::vector<fs::path> links = {planted / "tmp.dzr", planted / "pkg.zip", tmpDir / "Tmp"};
    fs::create_directory(planted);
    for (const fs::path& link : links) ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const fs::path foreignRun = tmpDir / ("tessaly-" + std::to_string(dead) + "-AbCdEf");
    fs::create_directory(foreignRun);
    for (const fs::path& p : {planted, foreignRun, links[0], links[1], links[2]})
        ASSERT_EQ(lchown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << p;

    RunResult r = cli({"update", "--version-url", server.versionUrl("20250101")});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, kSuccess) << r;
    EXPECT_EQ(test_support::readText(victim), "root's file");
    EXPECT_EQ(tmpEntries(), (std::vector<std::string>{"Tmp", "pkg", foreignRun.filename().string()}));
    for (const fs::path& link : links) EXPECT_TRUE(fs::is_symlink(link)) << link;
}

// A board key that is not text (bytes 4 to 7 of the sample, the first
// program entry's key) shows escaped in both forms.
TEST_F(TempFiles, InspectEscapesWhatTheContainerHolds)
{
    std::string bytes = test_support::readText(Samples::get().file("program-only.dzr"));
    ASSERT_EQ(bytes.substr(4, 4), "MVT7");
    bytes.replace(4, 4, "M\xff\x1b" "7");
    const fs::path file = workDir() / "odd-board.dzr";
    std::ofstream(file, std::ios::binary) << bytes;

    RunResult json = cli({"inspect", "--json", file.string()});
    ASSERT_EQ(json.status, 0) << json;
    nlohmann::json parsed = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << json.out;
    EXPECT_EQ(parsed["programs"][0]["board"], "M\\xFF\\x1B7");

    RunResult text = cli({"inspect", file.string()});
    ASSERT_EQ(text.status, 0) << text;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos) << text;
    EXPECT_NE(text.out.find("M\\xFF\\x1B7"), std::string::npos) << text;
}

} // namespace
