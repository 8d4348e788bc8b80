// Private run folders and the regular-file check: what another user or a
// killed run may have left in the temporary directory must never be used,
// followed or removed by mistake.
#include "core/regular_file.h"
#include "core/run_folder.h"
#include "core/stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The id of a process that has ended and been collected.
pid_t endedPid()
{
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// The uid of "nobody" when the test may act as another user (runs as root).
std::optional<uid_t> secondUser()
{
    if (geteuid() != 0) return std::nullopt;
    const passwd* pw = getpwnam("nobody");
    if (!pw) return std::nullopt;
    return pw->pw_uid;
}

// Each test points TMPDIR at a folder of its own and puts it back after.
class RunFolder : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(testing::TempDir()) / "tessaly_run_folder_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        if (const char* old = std::getenv("TMPDIR")) saved_ = old;
        setenv("TMPDIR", base_.c_str(), 1);
    }
    void TearDown() override
    {
        saved_ ? setenv("TMPDIR", saved_->c_str(), 1) : unsetenv("TMPDIR");
        std::error_code ec;
        fs::remove_all(base_, ec);
    }

    std::vector<std::string> entries(const fs::path& dir) const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path base_;
    std::optional<std::string> saved_;
};

TEST_F(RunFolder, IsPrivateNamedAfterTheProcessAndGoesWithItsFiles)
{
    ZR_RunFolder* folder = ZR_RunFolder_create();
    ASSERT_NE(folder, nullptr);
    const fs::path dir = ZR_RunFolder_path(folder);
    EXPECT_EQ(dir.parent_path(), base_);
    const std::string name = dir.filename().string(), stem = "tessaly-" + std::to_string(getpid()) + "-";
    EXPECT_EQ(name.rfind(stem, 0), 0u) << name;
    EXPECT_EQ(name.size(), stem.size() + 6) << name;
    struct stat st {};
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // Two runs never share a folder.
    ZR_RunFolderPtr other(ZR_RunFolder_create());
    ASSERT_TRUE(other);
    EXPECT_NE(fs::path(ZR_RunFolder_path(other.get())), dir);

    ZR_Stream* stream = ZR_RunFolder_createStream(folder, "tmp.dzr");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(ZR_Stream_writeBytes(stream, 3, "abc"), 3);
    ZR_Stream_release(stream);
    EXPECT_EQ(contents(dir / "tmp.dzr"), "abc");
    ASSERT_EQ(lstat((dir / "tmp.dzr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // A file a library wrote under a name it was given, and one nobody announced.
    std::ofstream(ZR_RunFolder_pathOf(folder, "Tmp")) << "20250101";
    std::ofstream(dir / "stray") << "x";

    ZR_RunFolder_release(folder);
    EXPECT_FALSE(fs::exists(dir));
    ZR_RunFolder_release(nullptr);
}

TEST_F(RunFolder, NamesNeverLeadOutOfTheFolderAndExistingNamesAreNotReused)
{
    ZR_RunFolderPtr folder(ZR_RunFolder_create());
    ASSERT_TRUE(folder);
    const fs::path dir = ZR_RunFolder_path(folder.get());
    const fs::path victim = base_ / "victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(symlink(victim.c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((base_ / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    std::ofstream(dir / "there") << "old";

    struct Case {
        std::string name;
        int error; // 0: created
    };
    const Case cases[] = {
        {"tmp.dzr", 0},
        {"", EINVAL},
        {".", EINVAL},
        {"..", EINVAL},
        {"../escape", EINVAL},
        {"a/b", EINVAL},
        {std::string(256, 'n'), EINVAL},
        {std::string(255, 'n'), 0},
        {"link", EEXIST},
        {"dangling", EEXIST},
        {"there", EEXIST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        errno = 0;
        int fd = ZR_RunFolder_createFile(folder.get(), c.name.c_str());
        if (c.error == 0) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(ZR_RunFolder_pathOf(folder.get(), c.name.c_str()), (dir / c.name).string());
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, c.error);
        }
        if (fd >= 0) close(fd);
        if (c.error == EINVAL) {
            EXPECT_EQ(ZR_RunFolder_pathOf(folder.get(), c.name.c_str()), "");
        }
    }
    EXPECT_EQ(contents(victim), "precious");
    EXPECT_FALSE(fs::exists(base_ / "nowhere"));
    EXPECT_FALSE(fs::exists(base_ / "escape"));

    EXPECT_EQ(ZR_RunFolder_removeFile(folder.get(), "there"), 1);
    EXPECT_EQ(ZR_RunFolder_removeFile(folder.get(), "there"), 1); // gone already
    EXPECT_EQ(ZR_RunFolder_removeFile(folder.get(), "../victim"), 0);
    folder.reset();
    EXPECT_EQ(contents(victim), "precious");
}

// Only this user's real folders of ended runs go; nothing is followed.
TEST_F(RunFolder, StaleFoldersOfEndedRunsAreRemovedAndNothingElse)
{
    const std::string dead = std::to_string(endedPid());
    const std::string alive = std::to_string(getppid());
    const std::optional<uid_t> nobody = secondUser();
    const fs::path outside = base_ / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "keep") << "kept";

    enum Kind { Folder, Link, File };
    struct Case {
        std::string name;
        Kind kind;
        bool foreign; // owned by a second user (only where the test runs as root)
        bool removed;
    };
    std::vector<Case> cases = {
        {"tessaly-" + dead + "-aB3dE9", Folder, false, true},
        {"tessaly-" + alive + "-aB3dE9", Folder, false, false},
        {"tessaly-" + std::to_string(getpid()) + "-aB3dE9", Folder, false, false},
        {"tessaly-" + dead + "-abc", Folder, false, false},    // not mkdtemp's pattern
        {"tessaly-" + dead + "x-aB3dE9", Folder, false, false},
        {"other-" + dead + "-aB3dE9", Folder, false, false},
        {"tessaly-" + dead + "-link01", Link, false, false}, // points at a folder outside
        {"tessaly-" + dead + "-file01", File, false, false},
    };
    if (nobody) cases.push_back({"tessaly-" + dead + "-nobody", Folder, true, false});

    for (const Case& c : cases) {
        const fs::path p = base_ / c.name;
        switch (c.kind) {
        case Folder:
            ASSERT_EQ(mkdir(p.c_str(), 0700), 0) << c.name;
            std::ofstream(p / "tmp.dzr") << "left";
            ASSERT_EQ(symlink(outside.c_str(), (p / "link").c_str()), 0);
            if (c.foreign) {
                ASSERT_EQ(lchown(p.c_str(), *nobody, *nobody), 0);
                ASSERT_EQ(lchown((p / "tmp.dzr").c_str(), *nobody, *nobody), 0);
            }
            break;
        case Link:
            ASSERT_EQ(symlink(outside.c_str(), p.c_str()), 0);
            break;
        case File:
            std::ofstream(p) << "file";
            break;
        }
    }

    int expected = 0;
    for (const Case& c : cases) expected += c.removed;
    EXPECT_EQ(ZR_RunFolder_removeStale(), expected);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(!fs::exists(fs::symlink_status(base_ / c.name)), c.removed);
    }
    EXPECT_EQ(entries(outside), std::vector<std::string>{"keep"});
    EXPECT_EQ(contents(outside / "keep"), "kept");
}

TEST(RegularFile, OnlyRegularFilesOpenAndNothingBlocks)
{
    std::string pattern = (fs::path(testing::TempDir()) / "tessaly_regular_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "plain") << "data";
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);

    struct Case {
        fs::path path;
        bool regular;
        const char* reason;
    };
    const Case cases[] = {
        {dir / "plain", true, ""},
        {dir / "link", true, ""}, // a link the user named is theirs to follow
        {dir / "fifo", false, "a FIFO, not a regular file"},
        {dir, false, "a folder, not a regular file"},
        {"/dev/null", false, "a device, not a regular file"},
        {dir / "missing", false, "no such file"},
        {"", false, "no such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        std::string reason;
        EXPECT_EQ(ZR_isRegularFile(c.path.c_str(), &reason), c.regular);
        EXPECT_EQ(reason, c.reason);
        // Streams that read (a package being loaded) refuse the same files.
        ZR_Stream* stream = ZR_Stream_openFile(c.path.c_str(), ZR_STREAM_READ);
        EXPECT_EQ(stream != nullptr, c.regular);
        ZR_Stream_release(stream);
    }
    int fd = ZR_openRegularFile((dir / "plain").c_str(), nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    char buffer[8] = {};
    EXPECT_EQ(read(fd, buffer, sizeof buffer), 4);
    close(fd);
    fs::remove_all(dir);
}

} // namespace
