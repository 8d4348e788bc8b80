// HID discovery and the main window's reactions, with in-process devices
// behind a HID back end whose enumeration order the test fixes.
#include <gtest/gtest.h>

#include "core/timer.h"
#include "sim/presets.h"
#include "tests/discovery/discovery_support.h"

namespace {

using namespace disc_test;

constexpr uint16_t kVid = kDiscoveryVendorId, kPid = kDiscoveryProductId;

class Reactions : public NoSystemDrives {
protected:
    void SetUp() override
    {
        NoSystemDrives::SetUp();
        RemovableStorage_register(storage);
    }
    void TearDown() override
    {
        ZR_timerServiceStop();
        RemovableStorage_unregister(storage);
        RemovableStorage_release(storage);
        NoSystemDrives::TearDown();
    }
    void change(DeviceEventKind kind, DeviceInterfaceClass cls, const std::string& path)
    {
        EXPECT_EQ(Discovery_handleEvent(&window.hooks, DeviceEvent_make(kind, cls, path)), 0);
    }
    bool triggered(const std::string& id) const
    {
        return fs::exists(fs::path(folder.str()) / SimFolder_diskName(id) / kSimRootFolder / "1.txt");
    }

    TempDir folder;
    RemovableStorage* storage = RemovableStorage_openSimFolder(folder.str().c_str());
    std::unique_ptr<SimDevice> classic = SimPreset_make("classic"), other502 = SimPreset_make("502");
    FakeHid hid;
    RecordingWindow window;
};

TEST_F(Reactions, OnlyTheFirstMatchingInterfaceIsOpened)
{
    hid.add("mouse", 0x046D, 0xC077, classic.get());
    hid.add("b", kVid, 0xB501, classic.get());
    std::string first = hid.add("c", kVid, kPid, classic.get());
    hid.add("d", kVid, kPid, other502.get());

    EXPECT_EQ(Discovery_openUpdateDevice(window.machine), 1);
    EXPECT_EQ(hid.opened, std::vector<std::string>{first});
    EXPECT_EQ(window.machine->is502, 0);
    // On arrival too the enumeration, not the record's path, picks it.
    change(DEVICE_ARRIVAL, DEVICE_CLASS_HID, hid.entries[3].first);
    EXPECT_EQ(hid.opened, (std::vector<std::string>{first, first}));
    EXPECT_EQ(hid.closes, 1);  // the earlier port, never two at once
    EXPECT_EQ(window.refreshedWithPort, std::vector<bool>{true});
}

TEST_F(Reactions, OpenChannelFailures)
{
    std::string path = hid.add("a", kVid, kPid, classic.get());
    EXPECT_EQ(Discovery_openChannel(nullptr, path.c_str()), 0);
    ASSERT_EQ(Discovery_openChannel(window.machine, path.c_str()), 1);
    // A path that does not open leaves the channel empty.
    EXPECT_EQ(Discovery_openChannel(window.machine, "fake:gone#vid_0416&pid_b500"), 0);
    EXPECT_FALSE(window.connected());
    EXPECT_EQ(hid.closes, 1);
    // A refused device is not identified, but its port stays.
    window.machine->accept = [](void*, const uint8_t*) { return 0; };
    EXPECT_EQ(Discovery_openChannel(window.machine, path.c_str()), 0);
    EXPECT_TRUE(window.connected());
}

TEST_F(Reactions, OtherIdsComingAndGoingChangeNothing)
{
    std::string ours = hid.add("a", kVid, kPid, classic.get());
    const std::string mouse = hid.add("mouse", 0x046D, 0xC077, other502.get());
    ASSERT_EQ(Discovery_openUpdateDevice(window.machine), 1);

    change(DEVICE_ARRIVAL, DEVICE_CLASS_HID, mouse);
    change(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_HID, mouse);
    change(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_USB_DEVICE, ours);  // our token, not a HID record
    EXPECT_EQ(window.refreshes.load(), 0);
    EXPECT_EQ(hid.opened.size(), 1u);
    EXPECT_EQ(hid.closes, 0);

    change(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_HID, ours);
    EXPECT_EQ(hid.closes, 1);
    EXPECT_EQ(window.refreshedWithPort, std::vector<bool>{false});
}

// A run bound to one device: the other device's arrival, its removal and its
// volume neither reopen, close nor switch anything; ours still does.
TEST_F(Reactions, BoundToAnIdOtherDevicesChangeNothing)
{
    const std::string ours = hid.add("ours", kVid, kPid, classic.get());
    const std::string theirs = hid.add("theirs", kVid, kPid, other502.get());
    ASSERT_EQ(Discovery_openUpdateDevice(window.machine, "fake:ours"), 1);
    EXPECT_EQ(hid.opened, std::vector<std::string>{ours});
    makeDisk(folder.str(), "stick", "VEXALTO ");

    const struct {
        DeviceEventKind kind;
        DeviceInterfaceClass cls;
        std::string path;
    } ignored[] = {
        {DEVICE_ARRIVAL, DEVICE_CLASS_HID, theirs},
        {DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_HID, theirs},  // ours is still listed
        {DEVICE_ARRIVAL, DEVICE_CLASS_VOLUME, folder.str() + "/disk#stick"},
    };
    for (const auto& e : ignored)
        EXPECT_EQ(Discovery_handleEvent(&window.hooks, DeviceEvent_make(e.kind, e.cls, e.path), "fake:ours"), 0);
    EXPECT_EQ(hid.opened.size(), 1u);
    EXPECT_EQ(hid.closes, 0);
    EXPECT_FALSE(triggered("stick"));
    EXPECT_EQ(window.refreshes.load(), 0);

    // Our own interface re-arriving opens ours, though another comes first.
    hid.entries.erase(hid.entries.begin());
    hid.add("ours", kVid, kPid, classic.get());
    Discovery_handleEvent(&window.hooks, DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_HID, ours), "fake:ours");
    EXPECT_EQ(hid.opened, (std::vector<std::string>{ours, ours}));
    // Gone from the list: its removal closes the port.
    hid.entries.pop_back();
    Discovery_handleEvent(&window.hooks, DeviceEvent_make(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_HID, ours),
                          "fake:ours");
    EXPECT_FALSE(window.connected());
    // The disk of the id a run waits for is switched.
    Discovery_handleEvent(&window.hooks,
                          DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_VOLUME, folder.str() + "/disk#stick"),
                          "stick");
    EXPECT_TRUE(triggered("stick"));
}

TEST_F(Reactions, VolumeArrivalRunsTheSwitch)
{
    makeDisk(folder.str(), "stick", "SanDisk ");
    change(DEVICE_ARRIVAL, DEVICE_CLASS_VOLUME, folder.str() + "/disk#stick");
    EXPECT_TRUE(window.titles.empty());

    makeDisk(folder.str(), "dev", "VEXALTO ");
    for (DeviceInterfaceClass cls : {DEVICE_CLASS_USB_DEVICE, DEVICE_CLASS_DISK, DEVICE_CLASS_NDIS_LAN})
        change(DEVICE_ARRIVAL, cls, "/dev/sdb");
    EXPECT_FALSE(triggered("dev"));

    change(DEVICE_ARRIVAL, DEVICE_CLASS_VOLUME, folder.str() + "/disk#dev");
    EXPECT_TRUE(triggered("dev"));
    EXPECT_EQ(window.titles, std::vector<std::string>{RecordingWindow::connectingTitle()});
    EXPECT_EQ(window.refreshes.load(), 0);  // the HID arrival will connect
}

TEST_F(Reactions, StartupConnectsAtOnceOrAfterTheSwitch)
{
    hid.add("a", kVid, kPid, classic.get());
    EXPECT_EQ(Discovery_onStartup(&window.hooks), 0);
    EXPECT_EQ(window.refreshedWithPort, std::vector<bool>{true});
    EXPECT_TRUE(window.titles.empty());

    makeDisk(folder.str(), "dev", "VEXALTO ");
    window.hooks.connectDelayMs = 50;
    EXPECT_EQ(Discovery_onStartup(&window.hooks), 1);
    EXPECT_EQ(window.titles, std::vector<std::string>{RecordingWindow::connectingTitle()});
    EXPECT_EQ(window.refreshes.load(), 1);
    ASSERT_TRUE(waitUntil([&] { return window.refreshes.load() == 2; }));
    EXPECT_EQ(hid.opened.size(), 2u);
}

TEST_F(Reactions, DelayedConnectionGoesToTheWindowThreadWhenOffered)
{
    static std::atomic<void (*)(void*)> posted;
    static void* postedArg;
    posted = nullptr;
    window.hooks.runOnWindowThread = [](void*, void (*job)(void*), void* arg) {
        postedArg = arg;
        posted.store(job);
    };
    window.hooks.connectDelayMs = 20;
    makeDisk(folder.str(), "dev", "VEXALTO ");
    hid.add("a", kVid, kPid, classic.get());

    ASSERT_EQ(Discovery_onStartup(&window.hooks), 1);
    ASSERT_TRUE(waitUntil([&] { return posted.load() != nullptr; }));
    EXPECT_EQ(window.refreshes.load(), 0);
    posted.load()(postedArg);
    EXPECT_EQ(window.refreshedWithPort, std::vector<bool>{true});
}

TEST(RegisterNotifications, SimulationFolderEventsArrive)
{
    TempDir folder;
    DeviceEventSource* source = nullptr;
    EXPECT_EQ(Discovery_registerNotifications(folder.str().c_str(), &source), 1);
    makeDisk(folder.str(), "n", "VEXALTO");
    std::vector<DeviceEvent> got;
    for (int i = 0; i < 40 && got.empty(); ++i) DeviceEvents_wait(source, 50, &got);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].interfaceClass, DEVICE_CLASS_VOLUME);
    // What it reports can be opened: the folder's back ends came with it.
    EXPECT_EQ(SimFolder_registeredFolders(), std::vector<std::string>{folder.str()});
    DeviceEvents_close(source);
    SimFolder_unregisterBackends(folder.str());

    // A folder that cannot be watched fails, the system's source stays.
    EXPECT_EQ(Discovery_registerNotifications((folder.str() + "/missing").c_str(), &source), 0);
    EXPECT_NE(source, nullptr);
    DeviceEvents_close(source);
}

} // namespace
