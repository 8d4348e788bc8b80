// The mode switch over simulation-folder drives and over a recording back
// end: which drive is switched, and what its medium holds when it is ejected.
#include <gtest/gtest.h>

#include "platform/removable_storage_backend.h"
#include "tests/discovery/discovery_support.h"

namespace {

using namespace disc_test;

class ModeSwitch : public NoSystemDrives {
protected:
    void SetUp() override
    {
        NoSystemDrives::SetUp();
        RemovableStorage_register(storage);
    }
    void TearDown() override
    {
        RemovableStorage_unregister(storage);
        RemovableStorage_release(storage);
        NoSystemDrives::TearDown();
    }
    fs::path disk(const std::string& id) const { return fs::path(folder.str()) / SimFolder_diskName(id); }
    // 1 switched (eject request and trigger), 0 untouched, -1 half done.
    int state(const std::string& id) const
    {
        bool eject = fs::exists(disk(id) / kSimEjectFile);
        std::string trigger = readText(disk(id) / kSimRootFolder / "1.txt");
        if (eject && trigger == "pnqazox") return 1;
        return !eject && !fs::exists(disk(id) / kSimRootFolder / "1.txt") ? 0 : -1;
    }

    TempDir folder;
    RemovableStorage* storage = RemovableStorage_openSimFolder(folder.str().c_str());
};

TEST_F(ModeSwitch, NoDriveNoSwitch) { EXPECT_EQ(Discovery_switchToUpdateMode(), 0); }

TEST_F(ModeSwitch, OneDevicePerCallInProbingOrder)
{
    makeDisk(folder.str(), "a", "VEXALTO ");
    makeDisk(folder.str(), "b", "VEXALTO ");
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    EXPECT_EQ(state("b"), 1);
    EXPECT_EQ(state("a"), 0);
    // The switched device leaves; the next call takes the other one.
    fs::remove_all(disk("b"));
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    EXPECT_EQ(state("a"), 1);
}

TEST_F(ModeSwitch, VendorFieldsAreComparedDecoded)
{
    makeDisk(folder.str(), "e", "SanDisk ");
    makeDisk(folder.str(), "d", "766578616C746F");  // hex pairs of "vexalto"
    makeDisk(folder.str(), "c", "VEX\x01LTO");
    makeDisk(folder.str(), "b", "        ");
    makeDisk(folder.str(), "a", "vexalto");
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    EXPECT_EQ(state("e"), 0);
    EXPECT_EQ(state("d"), 1);
    fs::remove_all(disk("d"));
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    EXPECT_EQ(state("c"), 0);
    EXPECT_EQ(state("b"), 0);
    EXPECT_EQ(state("a"), 1);
    fs::remove_all(disk("a"));
    EXPECT_EQ(Discovery_switchToUpdateMode(), 0);
}

// A back end that records what the switch does to its volumes.
struct FakeDrive {
    std::string name, root;
    bool opens = true;
    int ejectResult = 1;
};
std::vector<FakeDrive> g_drives;
std::vector<std::string> g_calls;

struct FakeVolume {
    RemovableVolume head;
    FakeDrive drive;
};
RemovableVolume* fakeOpen(const RemovableDrive* drive);
int fakeEject(RemovableVolume* volume)
{
    auto* v = reinterpret_cast<FakeVolume*>(volume);
    // What the medium holds the moment it goes.
    g_calls.push_back("eject " + v->drive.name + " " + readText(fs::path(v->drive.root) / "1.txt"));
    return v->drive.ejectResult;
}
void fakeClose(RemovableVolume* volume)
{
    g_calls.push_back("close " + reinterpret_cast<FakeVolume*>(volume)->drive.name);
    delete reinterpret_cast<FakeVolume*>(volume);
}
const RemovableStorageOps kFakeOps = {"fake", fakeOpen, fakeEject, fakeClose};
RemovableVolume* fakeOpen(const RemovableDrive* drive)
{
    g_calls.push_back("open " + drive->name);
    for (const FakeDrive& d : g_drives)
        if (d.name == drive->name && d.opens) return &(new FakeVolume{{&kFakeOps}, d})->head;
    return nullptr;
}
void fakeList(const RemovableStorage*, std::vector<RemovableDrive>* out)
{
    for (const FakeDrive& d : g_drives) {
        RemovableDrive drive;
        drive.name = d.name;
        drive.root = d.root;
        RemovableDrive_setVendorField(&drive, reinterpret_cast<const uint8_t*>("VEXALTO "), 8);
        drive.ops = &kFakeOps;
        out->push_back(std::move(drive));
    }
}

class RecordedSwitch : public NoSystemDrives {
protected:
    void SetUp() override
    {
        NoSystemDrives::SetUp();
        g_calls.clear();
        RemovableStorage_register(&fake);
    }
    void TearDown() override
    {
        RemovableStorage_unregister(&fake);
        NoSystemDrives::TearDown();
    }
    std::string root(const std::string& name)
    {
        fs::create_directories(fs::path(folder.str()) / name);
        return folder.str() + "/" + name;
    }
    TempDir folder;
    RemovableStorage fake{fakeList, ""};
};

TEST_F(RecordedSwitch, TriggerIsOnTheMediumBeforeTheEject)
{
    g_drives = {{"sdc1", root("sdc1"), false}, {"sdb1", root("sdb1")}};
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    // A drive that will not open is passed over.
    EXPECT_EQ(g_calls, (std::vector<std::string>{"open sdc1", "open sdb1", "eject sdb1 pnqazox", "close sdb1"}));
}

TEST_F(RecordedSwitch, FailuresAfterTheMatchStillCountAsSwitched)
{
    // No root to write into and the eject refused: still the device, and the
    // probe ends there.
    g_drives = {{"sdc1", folder.str() + "/gone", true, 0}, {"sdb1", root("sdb1")}};
    EXPECT_EQ(Discovery_switchToUpdateMode(), 1);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"open sdc1", "eject sdc1 ", "close sdc1"}));
}

} // namespace
