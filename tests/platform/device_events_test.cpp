#include "platform/device_events.h"
#include "platform/sim_folder.h"

#include "support/wait.h"
#include "tests/platform/temp_tree.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The class GUID written out as Windows prints it, to check the byte order of
// the table independently: "{4D1E55B2-F16F-11CF-88CB-001111000030}".
std::vector<uint8_t> guidBytes(const char* text)
{
    unsigned d1, d2, d3, b[8];
    EXPECT_EQ(std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                          &b[4], &b[5], &b[6], &b[7]),
              11);
    std::vector<uint8_t> out{uint8_t(d1), uint8_t(d1 >> 8), uint8_t(d1 >> 16), uint8_t(d1 >> 24),
                             uint8_t(d2), uint8_t(d2 >> 8), uint8_t(d3),       uint8_t(d3 >> 8)};
    for (unsigned x : b) out.push_back(uint8_t(x));
    return out;
}

int classOf(const DeviceEvent& e) { return e.interfaceClass; }

// "+4 path" / "-2 path": kind, class and path in one comparable line.
std::string describe(const DeviceEvent& e)
{
    return std::string(e.kind == DEVICE_ARRIVAL ? "+" : "-") + std::to_string(classOf(e)) + " " + e.path;
}

// Collects events until `count` have come or the bound passes.
std::vector<std::string> collect(DeviceEventSource* source, size_t count, int boundMs = test_support::kPatienceMs)
{
    std::vector<std::string> seen;
    auto start = Clock::now();
    while (seen.size() < count && msSince(start) < boundMs) {
        std::vector<DeviceEvent> events;
        if (DeviceEvents_wait(source, 50, &events) < 0) break;
        for (const DeviceEvent& e : events) seen.push_back(describe(e));
    }
    return seen;
}

// Nothing arrives within a short while.
std::vector<std::string> quiet(DeviceEventSource* source, int ms = 150) { return collect(source, 1, ms); }

TEST(DeviceEventRecords, ClassTableMatchesTheWindowsGuids)
{
    const char* texts[kDeviceClassCount] = {
        "{A5DCBF10-6530-11D2-901F-00C04FB951ED}", "{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}",
        "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "{4D1E55B2-F16F-11CF-88CB-001111000030}",
        "{AD498944-762F-11D0-8DCB-00C04FC3358C}"};
    for (int i = 0; i < kDeviceClassCount; ++i) {
        std::vector<uint8_t> table(kDeviceClassGuids[i], kDeviceClassGuids[i] + kDeviceClassGuidSize);
        EXPECT_EQ(table, guidBytes(texts[i])) << texts[i];
    }
    EXPECT_EQ(classOf(DeviceEvent_make(DEVICE_ARRIVAL, DeviceInterfaceClass(9), "x")), DEVICE_CLASS_VOLUME);
}

// ---- simulation folder --------------------------------------------------------

class SimFolderEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = DeviceEvents_openSimFolder(sim.str().c_str());
        ASSERT_NE(source, nullptr);
    }
    void TearDown() override
    {
        DeviceEvents_close(source);
        for (int fd : sockets) close(fd);
    }
    std::string socketPath(const std::string& id) { return sim / SimFolder_socketName(0x0416, 0xb500, id); }
    void listen(const std::string& path)
    {
        int fd = testtree::bindSeqpacket(path);
        ASSERT_GE(fd, 0);
        sockets.push_back(fd);
    }

    testtree::TempDir sim;
    DeviceEventSource* source = nullptr;
    std::vector<int> sockets;
};

TEST_F(SimFolderEvents, SocketComingAndGoingIsAHidArrivalAndRemoval)
{
    listen(socketPath("a"));
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"+4 " + socketPath("a")});
    ASSERT_EQ(unlink(socketPath("a").c_str()), 0);
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"-4 " + socketPath("a")});

    // Published under a private name first and renamed in when listening.
    listen(sim / ".staging");
    ASSERT_EQ(rename((sim / ".staging").c_str(), socketPath("b").c_str()), 0);
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"+4 " + socketPath("b")});
    ASSERT_EQ(rename(socketPath("b").c_str(), (sim / ".leaving").c_str()), 0);
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"-4 " + socketPath("b")});
}

TEST_F(SimFolderEvents, DiskFolderComingAndGoingIsAVolumeArrivalAndRemoval)
{
    testtree::makeDirs(sim / ".new/root");
    testtree::writeFile(sim / ".new/vendor", "vexalto");
    ASSERT_EQ(rename((sim / ".new").c_str(), (sim / "disk#a").c_str()), 0);
    testtree::makeDirs(sim / "disk#b");
    EXPECT_EQ(collect(source, 2), (std::vector<std::string>{"+2 " + (sim / "disk#a"), "+2 " + (sim / "disk#b")}));
    std::filesystem::remove_all(sim / "disk#a");
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"-2 " + (sim / "disk#a")});
    // What happens inside a disk folder is the device's business.
    testtree::writeFile(sim / "disk#b/eject", "");
    EXPECT_TRUE(quiet(source).empty());
}

TEST_F(SimFolderEvents, StrangersLinksAndOtherNamesAreIgnored)
{
    testtree::TempDir elsewhere;
    testtree::writeFile(sim / "notes.txt", "x");
    testtree::writeFile(socketPath("file"), "");  // a plain file with a socket's name
    ASSERT_EQ(symlink(elsewhere.str().c_str(), (sim / "disk#link").c_str()), 0);
    listen(sim / "hid#nonsense.sock");
    EXPECT_TRUE(quiet(source).empty());
    // A removal is reported only for what was announced.
    ASSERT_EQ(unlink((sim / "disk#link").c_str()), 0);
    ASSERT_EQ(unlink(socketPath("file").c_str()), 0);
    EXPECT_TRUE(quiet(source).empty());
}

TEST_F(SimFolderEvents, EntriesOfAnotherUserAreIgnored)
{
    if (!testtree::canChown()) GTEST_SKIP() << "needs root to hand an entry to another user";
    testtree::TempDir staging;
    testtree::makeDirs(staging / "disk#theirs");
    ASSERT_EQ(chown((staging / "disk#theirs").c_str(), testtree::kForeignUid, testtree::kForeignUid), 0);
    ASSERT_EQ(rename((staging / "disk#theirs").c_str(), (sim / "disk#theirs").c_str()), 0);
    EXPECT_TRUE(quiet(source).empty());

    // An announced entry handed to someone else is gone as far as we care.
    testtree::makeDirs(sim / "disk#mine");
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"+2 " + (sim / "disk#mine")});
    ASSERT_EQ(chown((sim / "disk#mine").c_str(), testtree::kForeignUid, testtree::kForeignUid), 0);
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"-2 " + (sim / "disk#mine")});
}

TEST(SimFolderEventsStart, PresentEntriesAreTheBaselineAndFolderLossRemovesThem)
{
    testtree::TempDir base;
    std::string dir = base / "sim";
    ASSERT_TRUE(SimFolder_prepare(dir, nullptr));
    testtree::makeDirs(dir + "/disk#old");
    DeviceEventSource* source = DeviceEvents_openSimFolder(dir.c_str());
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(quiet(source).empty());
    std::filesystem::remove_all(dir);
    EXPECT_EQ(collect(source, 1), std::vector<std::string>{"-2 " + dir + "/disk#old"});
    DeviceEvents_close(source);

    EXPECT_EQ(DeviceEvents_openSimFolder((base / "missing").c_str()), nullptr);
    if (testtree::canChown()) {
        testtree::TempDir foreign;
        ASSERT_EQ(chown(foreign.str().c_str(), testtree::kForeignUid, testtree::kForeignUid), 0);
        EXPECT_EQ(DeviceEvents_openSimFolder(foreign.str().c_str()), nullptr);
    }
}

// ---- polling ----------------------------------------------------------------

// A scan whose answer the test changes between rescans.
struct FakeScan {
    std::mutex lock;
    DeviceSnapshot snapshot;
    std::atomic<int> scans{0};

    static void run(void* user, DeviceSnapshot* out)
    {
        auto* self = static_cast<FakeScan*>(user);
        std::lock_guard<std::mutex> guard(self->lock);
        *out = self->snapshot;
        ++self->scans;
    }
    void set(std::vector<std::string> hid, std::vector<std::string> volumes)
    {
        std::lock_guard<std::mutex> guard(lock);
        snapshot.hidPaths = std::move(hid);
        snapshot.volumePaths = std::move(volumes);
    }
};

TEST(PollingEvents, ReportsDifferencesRemovalsFirst)
{
    FakeScan scan;
    scan.set({"/dev/hidraw0#vid_046d&pid_c52b"}, {"/media/old"});
    DeviceEventSource* source = DeviceEvents_openPolling(15, FakeScan::run, &scan);
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(quiet(source, 100).empty()) << "what is there at the start is no news";
    EXPECT_GE(scan.scans.load(), 2);

    scan.set({"/dev/hidraw0#vid_046d&pid_c52b", "/dev/hidraw1#vid_0416&pid_b500"}, {"/media/new"});
    EXPECT_EQ(collect(source, 3), (std::vector<std::string>{"-2 /media/old", "+4 /dev/hidraw1#vid_0416&pid_b500",
                                                            "+2 /media/new"}));
    scan.set({}, {"/media/new"});
    EXPECT_EQ(collect(source, 2), (std::vector<std::string>{"-4 /dev/hidraw0#vid_046d&pid_c52b",
                                                            "-4 /dev/hidraw1#vid_0416&pid_b500"}));
    DeviceEvents_close(source);
}

// ---- waiting, waking, groups ------------------------------------------------------

TEST(DeviceEventWait, WakeEndsAnUnboundedWaitAndIsConsumed)
{
    testtree::TempDir sim;
    DeviceEventSource* source = DeviceEvents_openSimFolder(sim.str().c_str());
    ASSERT_NE(source, nullptr);

    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        std::vector<DeviceEvent> events;
        EXPECT_EQ(DeviceEvents_wait(source, -1, &events), 0);
        returned = true;
    });
    EXPECT_FALSE(test_support::waitUntil([&] { return returned.load(); }, 30)) << "an unbounded wait ended by itself";
    DeviceEvents_wake(source);
    waiter.join();

    // The wakeup was used up: the next wait runs its time.
    std::vector<DeviceEvent> events;
    auto start = Clock::now();
    EXPECT_EQ(DeviceEvents_wait(source, 60, &events), 0);
    EXPECT_GE(msSince(start), 50);

    // A wake with no one waiting ends the next wait at once.
    DeviceEvents_wake(source);
    start = Clock::now();
    EXPECT_EQ(DeviceEvents_wait(source, test_support::kPatienceMs, &events), 0);
    EXPECT_LT(msSince(start), test_support::kPatienceMs / 2) << "the wait ran its time";
    DeviceEvents_close(source);

    EXPECT_EQ(DeviceEvents_wait(nullptr, 0, &events), -1);
    EXPECT_EQ(DeviceEvents_read(nullptr, &events), -1);
    EXPECT_EQ(DeviceEvents_fd(nullptr), -1);
    DeviceEvents_wake(nullptr);
    DeviceEvents_close(nullptr);
}

TEST(DeviceEventWait, GroupMergesItsSourcesBehindOneDescriptor)
{
    testtree::TempDir sim;
    FakeScan scan;
    DeviceEventSource* group = DeviceEvents_openGroup(
        {DeviceEvents_openSimFolder(sim.str().c_str()), nullptr, DeviceEvents_openPolling(15, FakeScan::run, &scan)});
    ASSERT_NE(group, nullptr);

    testtree::makeDirs(sim / "disk#g");
    pollfd p{DeviceEvents_fd(group), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, test_support::kPatienceMs), 1) << "the descriptor shows a member's news";
    std::vector<DeviceEvent> events;
    ASSERT_EQ(DeviceEvents_read(group, &events), 1);
    EXPECT_EQ(describe(events[0]), "+2 " + (sim / "disk#g"));

    scan.set({"/dev/hidraw5#vid_0416&pid_b500"}, {});
    EXPECT_EQ(collect(group, 1), std::vector<std::string>{"+4 /dev/hidraw5#vid_0416&pid_b500"});
    DeviceEvents_close(group);
}

TEST(DeviceEventWait, UdevSourceStartsAndStopsWhereNetlinkIsAllowed)
{
    DeviceEventSource* source = DeviceEvents_openUdev();
    if (!source) GTEST_SKIP() << "no uevent socket in this environment";
    std::vector<DeviceEvent> events;
    EXPECT_GE(DeviceEvents_wait(source, 20, &events), 0);
    DeviceEvents_wake(source);
    EXPECT_GE(DeviceEvents_wait(source, 1000, &events), 0);
    DeviceEvents_close(source);
}

} // namespace
