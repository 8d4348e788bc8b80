#include "platform/sim_folder.h"

#include "platform/device_events.h"
#include "platform/hid_transport.h"

#include "tests/platform/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using testtree::TempDir;

// Sets or clears an environment variable for one test and puts it back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SimFolderLocation, VariableThenRuntimeFolderThenTmpPerUser)
{
    {
        ScopedEnv sim("TESSALY_SIM_DIR", "/srv/sim/");
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(SimFolder_defaultPath(), "/srv/sim");
    }
    {
        ScopedEnv sim("TESSALY_SIM_DIR", "");
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(SimFolder_defaultPath(), "/run/user/1000/tessaly-sim");
    }
    {
        ScopedEnv sim("TESSALY_SIM_DIR", nullptr);
        ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(SimFolder_defaultPath(), "/tmp/tessaly-sim-" + std::to_string(geteuid()));
    }
}

TEST(SimFolderTrust, PrepareMakesAPrivateFolderAndRefusesUnsafeOnes)
{
    TempDir base;
    std::string error;
    std::string dir = base / "sim";
    ASSERT_TRUE(SimFolder_prepare(dir, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(SimFolder_prepare(dir, nullptr)) << "an existing private folder is fine";

    std::string shared = base / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    EXPECT_FALSE(SimFolder_isUsable(shared));
    EXPECT_FALSE(SimFolder_prepare(shared, &error));
    EXPECT_FALSE(error.empty());

    std::string link = base / "link";
    ASSERT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    EXPECT_FALSE(SimFolder_isUsable(link)) << "a link could be re-pointed by whoever owns its folder";

    EXPECT_FALSE(SimFolder_prepare(base / "no/such/parent", nullptr));
    EXPECT_FALSE(SimFolder_isUsable(""));
}

TEST(SimFolderTrust, FolderOfAnotherUserIsIgnored)
{
    if (!testtree::canChown()) GTEST_SKIP() << "needs root to hand a folder to another user";
    TempDir sim;
    testtree::makeDirs(sim / "disk#a/root");
    int fd = testtree::bindSeqpacket(sim / SimFolder_socketName(0x0416, 0xb500, "a"));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(chown(sim.str().c_str(), testtree::kForeignUid, testtree::kForeignUid), 0);

    EXPECT_FALSE(SimFolder_isUsable(sim.str()));
    EXPECT_FALSE(SimFolder_prepare(sim.str(), nullptr));
    EXPECT_TRUE(SimFolder_scan(sim.str()).empty());
    EXPECT_FALSE(SimFolder_registerBackends(sim.str()));
    EXPECT_TRUE(SimFolder_registeredFolders().empty());
    close(fd);
}

// One call makes a folder's devices both seen and openable; a folder that
// cannot be used gives nothing and registers nothing.
TEST(SimFolderAttach, ArrivalsCanBeOpened)
{
    TempDir sim;
    EXPECT_EQ(SimFolder_attach(sim / "missing"), nullptr);
    EXPECT_TRUE(SimFolder_registeredFolders().empty());

    DeviceEventSource* events = SimFolder_attach(sim.path());
    ASSERT_NE(events, nullptr);
    std::string socket = sim / SimFolder_socketName(0x0416, 0xb500, "a");
    int fd = testtree::bindSeqpacket(socket);
    ASSERT_GE(fd, 0);
    std::vector<DeviceEvent> got;
    for (int i = 0; i < 60 && got.empty(); ++i) DeviceEvents_wait(events, 50, &got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].interfaceClass, DEVICE_CLASS_HID);
    HidDevice* device = HidTransport_open(got[0].path.c_str());
    EXPECT_NE(device, nullptr) << got[0].path;
    HidDevice_close(device);

    DeviceEvents_close(events);
    SimFolder_unregisterBackends(sim.path());
    close(fd);
}

TEST(SimFolderNames, SocketNamesCarryTheLowerCaseIdTokenAndRoundTrip)
{
    std::string name = SimFolder_socketName(0x0416, 0xB500, "dev-1");
    EXPECT_EQ(name, "hid#vid_0416&pid_b500#dev-1.sock");
    uint16_t vid = 0, pid = 0;
    std::string id;
    ASSERT_TRUE(SimFolder_parseSocketName(name, &vid, &pid, &id));
    EXPECT_EQ(vid, 0x0416);
    EXPECT_EQ(pid, 0xB500);
    EXPECT_EQ(id, "dev-1");
    ASSERT_TRUE(SimFolder_parseSocketName("hid#vid_abcd&pid_0001#x.y.sock", &vid, &pid, &id));
    EXPECT_EQ(vid, 0xabcd);
    EXPECT_EQ(id, "x.y");

    for (const char* bad : {"hid#vid_0416&pid_B500#a.sock",  // upper case: the path test would miss it
                            "hid#vid_0416&pid_b500#.sock", "hid#vid_0416&pid_b500#a#b.sock",
                            "hid#vid_0416&pid_b500#a.sok", "hid#vid_416&pid_b500#a.sock",
                            "hid#vid_0416-pid_b500#a.sock", "hid#vid_0416&pid_b500.sock", "disk#a", ""})
        EXPECT_FALSE(SimFolder_parseSocketName(bad, nullptr, nullptr, nullptr)) << bad;

    EXPECT_EQ(SimFolder_diskName("a"), "disk#a");
    ASSERT_TRUE(SimFolder_parseDiskName("disk#7", &id));
    EXPECT_EQ(id, "7");
    for (const char* bad : {"disk#", "disk#a#b", "disk#..", "disk", "Disk#a"})
        EXPECT_FALSE(SimFolder_parseDiskName(bad, nullptr)) << bad;

    EXPECT_EQ(SimFolder_entryPath("/x/sim//", "disk#a"), "/x/sim/disk#a");
}

TEST(SimFolderScan, ListsOnlyTrustedEntriesOfTheRightKind)
{
    TempDir sim, elsewhere;
    int live = testtree::bindSeqpacket(sim / SimFolder_socketName(0x0416, 0xb500, "live"));
    ASSERT_GE(live, 0);
    testtree::makeDirs(sim / "disk#d");
    testtree::writeFile(sim / SimFolder_socketName(0x0416, 0xb500, "plainfile"), "");  // not a socket
    testtree::makeDirs(sim / SimFolder_socketName(0x0416, 0xb500, "folder"));         // not a socket
    testtree::writeFile(sim / "disk#file", "");                                        // not a folder
    int remote = testtree::bindSeqpacket(elsewhere / "real.sock");
    ASSERT_GE(remote, 0);
    ASSERT_EQ(symlink((elsewhere / "real.sock").c_str(), (sim / SimFolder_socketName(0x0416, 0xb500, "link")).c_str()),
              0);

    int foreign = -1;
    if (testtree::canChown()) {
        foreign = testtree::bindSeqpacket(sim / SimFolder_socketName(0x0416, 0xb500, "foreign"));
        ASSERT_GE(foreign, 0);
        ASSERT_EQ(lchown((sim / SimFolder_socketName(0x0416, 0xb500, "foreign")).c_str(), testtree::kForeignUid,
                         testtree::kForeignUid),
                  0);
    }

    std::vector<SimFolderEntry> entries = SimFolder_scan(sim.str());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].kind, SIM_ENTRY_DISK);
    EXPECT_EQ(entries[0].id, "d");
    EXPECT_EQ(entries[0].path, sim / "disk#d");
    EXPECT_EQ(entries[1].kind, SIM_ENTRY_SOCKET);
    EXPECT_EQ(entries[1].id, "live");
    EXPECT_EQ(entries[1].vendorId, 0x0416);
    EXPECT_EQ(entries[1].productId, 0xb500);

    close(live);
    close(remote);
    if (foreign >= 0) close(foreign);
}

} // namespace
