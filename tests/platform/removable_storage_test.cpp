#include "platform/removable_storage.h"
#include "platform/sim_folder.h"

#include "tests/platform/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testtree::TempDir;
using testtree::writeFile;

// A fake system tree: sys/block/<disk>/..., proc/self/mounts.
class FakeSysfs {
public:
    // A disk with its removable flag and, when given, its vendor attribute
    // (sysfs shows it with one line end).
    void disk(const std::string& name, const char* removable, const char* vendor = nullptr)
    {
        testtree::makeDirs(dir / ("sys/block/" + name));
        if (removable) writeFile(dir / ("sys/block/" + name + "/removable"), removable);
        if (vendor) writeFile(dir / ("sys/block/" + name + "/device/vendor"), vendor);
    }
    void partition(const std::string& disk, const std::string& name)
    {
        writeFile(dir / ("sys/block/" + disk + "/" + name + "/partition"), "1\n");
    }
    void mounts(const std::string& table) { writeFile(dir / "proc/self/mounts", table); }

    std::vector<RemovableDrive> list() const
    {
        std::unique_ptr<RemovableStorage, decltype(&RemovableStorage_release)> s(
            RemovableStorage_openSysfs(dir.str().c_str()), RemovableStorage_release);
        std::vector<RemovableDrive> drives;
        RemovableStorage_list(s.get(), &drives);
        return drives;
    }

    TempDir dir;
};

std::string vendorOf(const RemovableDrive& d)
{
    if (d.vendorOffset == 0) return "<none>";
    return std::string(reinterpret_cast<const char*>(d.descriptor.data() + d.vendorOffset));
}

std::vector<std::string> namesOf(const std::vector<RemovableDrive>& drives)
{
    std::vector<std::string> names;
    for (const RemovableDrive& d : drives) names.push_back(d.name);
    return names;
}

// ---- sysfs tree -------------------------------------------------------------

TEST(SysfsStorage, FixedDisksAndUnmountedRemovablesAreNotDrives)
{
    FakeSysfs fs;
    fs.disk("sda", "0\n", "ATA     \n");
    fs.partition("sda", "sda1");
    fs.disk("sdb", "1\n", "vexalto \n");  // removable but not mounted
    fs.disk("loop0", nullptr);            // no removable attribute at all
    fs.mounts("/dev/sda1 / ext4 rw 0 0\n/dev/loop0 /snap squashfs ro 0 0\n");
    EXPECT_TRUE(fs.list().empty());
}

TEST(SysfsStorage, DrivesComeInDescendingNameOrderWithTheirRoots)
{
    FakeSysfs fs;
    fs.disk("sdb", "1\n", "vexalto \n");
    fs.partition("sdb", "sdb1");
    fs.partition("sdb", "sdb2");
    fs.disk("sdc", "1\n", "Generic \n");
    fs.disk("sda", "0\n");
    fs.mounts("sysfs /sys sysfs rw 0 0\n"
              "/dev/sda2 / ext4 rw 0 0\n"
              "/dev/sdb1 /media/u/VEX\\040ALTO vfat rw 0 0\n"
              "/dev/sdc /media/u/tab\\011and\\134slash vfat rw 0 0\n"
              "/dev/sdb1 /mnt/again vfat rw 0 0\n");

    std::vector<RemovableDrive> drives = fs.list();
    ASSERT_EQ(namesOf(drives), (std::vector<std::string>{"sdc", "sdb1"}));
    EXPECT_EQ(drives[0].root, fs.dir / "media/u/tab\tand\\slash");
    EXPECT_EQ(drives[1].root, fs.dir / "media/u/VEX ALTO") << "first mount of a volume wins";
    EXPECT_EQ(vendorOf(drives[1]), "vexalto ");
    EXPECT_EQ(drives[1].node, fs.dir / "dev/sdb") << "the disk is what gets ejected";
    EXPECT_EQ(drives[0].node, fs.dir / "dev/sdc");
    for (const RemovableDrive& d : drives) EXPECT_NE(d.ops, nullptr);
}

TEST(SysfsStorage, VendorFieldIsHandedOverRawAndBounded)
{
    FakeSysfs fs;
    // Blanks, a control byte and a high byte stay; only sysfs's own line end
    // goes.
    fs.disk("sdb", "1\n", std::string(" VeX\x01\xfe  \n").c_str());
    fs.disk("sdc", "1\n", std::string(3000, 'A').c_str());
    fs.disk("sdd", "1\n");  // no vendor attribute
    fs.mounts("/dev/sdb /b vfat rw 0 0\n/dev/sdc /c vfat rw 0 0\n/dev/sdd /d vfat rw 0 0\n");

    std::vector<RemovableDrive> drives = fs.list();
    ASSERT_EQ(namesOf(drives), (std::vector<std::string>{"sdd", "sdc", "sdb"}));

    EXPECT_EQ(drives[0].vendorOffset, 0u);

    const RemovableDrive& longOne = drives[1];
    EXPECT_EQ(longOne.vendorOffset, kStorageVendorOffset);
    EXPECT_EQ(vendorOf(longOne), std::string(kStorageVendorMax, 'A'));
    EXPECT_EQ(longOne.descriptor.back(), 0) << "the field stays NUL-terminated inside the buffer";

    const RemovableDrive& raw = drives[2];
    EXPECT_EQ(vendorOf(raw), std::string(" VeX\x01\xfe  "));
    for (uint32_t i = 0; i < raw.vendorOffset; ++i) ASSERT_EQ(raw.descriptor[i], 0) << "byte " << i;
}

TEST(SysfsStorage, MissingMountTableOrSysBlockGivesNoDrives)
{
    FakeSysfs noMounts;
    noMounts.disk("sdb", "1\n", "vexalto \n");
    EXPECT_TRUE(noMounts.list().empty());

    FakeSysfs noSys;
    noSys.mounts("/dev/sdb /media/x vfat rw 0 0\n");
    EXPECT_TRUE(noSys.list().empty());
}

TEST(SysfsStorage, FakeTreeCannotBeEjectedAndVanishedDriveCannotBeOpened)
{
    FakeSysfs fs;
    fs.disk("sdb", "1\n", "vexalto \n");
    fs.mounts("/dev/sdb /media/x vfat rw 0 0\n");
    std::vector<RemovableDrive> drives = fs.list();
    ASSERT_EQ(drives.size(), 1u);

    RemovableVolume* volume = RemovableVolume_open(&drives[0]);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(RemovableVolume_eject(volume), 0) << "nothing real behind a fake tree";
    RemovableVolume_close(volume);

    fs.mounts("");
    EXPECT_EQ(RemovableVolume_open(&drives[0]), nullptr);

    EXPECT_EQ(RemovableVolume_open(nullptr), nullptr);
    EXPECT_EQ(RemovableVolume_eject(nullptr), 0);
    RemovableVolume_close(nullptr);
    RemovableDrive orphan;
    EXPECT_EQ(RemovableVolume_open(&orphan), nullptr);
}

// ---- simulation folder --------------------------------------------------------

class SimStorage : public ::testing::Test {
protected:
    void disk(const std::string& id, const char* vendor, bool withRoot = true)
    {
        std::string folder = sim / ("disk#" + id);
        testtree::makeDirs(folder);
        if (vendor) writeFile(folder + "/vendor", vendor);
        if (withRoot) testtree::makeDirs(folder + "/root");
    }
    std::vector<RemovableDrive> list()
    {
        RemovableStorage* s = RemovableStorage_openSimFolder(sim.str().c_str());
        std::vector<RemovableDrive> drives;
        RemovableStorage_list(s, &drives);
        RemovableStorage_release(s);
        return drives;
    }
    TempDir sim;
};

TEST_F(SimStorage, DiskFoldersWithARootAreDrivesInDescendingOrder)
{
    // The vendor file is the field as a descriptor holds it: its line end is
    // part of it.
    disk("a", "VEXALTO \n");
    disk("b", nullptr);
    disk("c", "vexalto", false);  // still appearing: no root yet
    testtree::makeDirs(sim / "somethingelse/root");

    std::vector<RemovableDrive> drives = list();
    ASSERT_EQ(namesOf(drives), (std::vector<std::string>{"disk#b", "disk#a"}));
    EXPECT_EQ(drives[1].root, sim / "disk#a/root");
    EXPECT_EQ(vendorOf(drives[1]), "VEXALTO \n");
    EXPECT_EQ(drives[0].vendorOffset, 0u);
}

TEST_F(SimStorage, EjectLeavesAnEmptyRequestFileBesideTheRoot)
{
    disk("a", "vexalto");
    std::vector<RemovableDrive> drives = list();
    ASSERT_EQ(drives.size(), 1u);

    RemovableVolume* volume = RemovableVolume_open(&drives[0]);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(RemovableVolume_eject(volume), 1);
    // The trigger goes in after the request, while the volume is open.
    writeFile(drives[0].root + "/1.txt", "pnqazox");
    RemovableVolume_close(volume);

    struct stat st;
    ASSERT_EQ(lstat((sim / "disk#a/eject").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(testtree::readText(sim / "disk#a/root/1.txt"), "pnqazox");
}

TEST_F(SimStorage, PlantedLinksAreNotFollowed)
{
    TempDir elsewhere;
    testtree::makeDirs(elsewhere / "root");
    writeFile(elsewhere / "vendor", "vexalto");

    ASSERT_EQ(symlink(elsewhere.str().c_str(), (sim / "disk#link").c_str()), 0);
    disk("rootlink", "vexalto", false);
    ASSERT_EQ(symlink((elsewhere / "root").c_str(), (sim / "disk#rootlink/root").c_str()), 0);
    disk("vendorlink", nullptr);
    ASSERT_EQ(symlink((elsewhere / "vendor").c_str(), (sim / "disk#vendorlink/vendor").c_str()), 0);

    std::vector<RemovableDrive> drives = list();
    ASSERT_EQ(namesOf(drives), (std::vector<std::string>{"disk#vendorlink"}));
    EXPECT_EQ(drives[0].vendorOffset, 0u) << "a linked vendor file counts as none";

    // The eject request is not written through a link either.
    ASSERT_EQ(symlink((elsewhere / "planted").c_str(), (sim / "disk#vendorlink/eject").c_str()), 0);
    RemovableVolume* volume = RemovableVolume_open(&drives[0]);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(RemovableVolume_eject(volume), 0);
    RemovableVolume_close(volume);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "planted"));
}

TEST_F(SimStorage, ForeignDiskFolderIsIgnored)
{
    if (!testtree::canChown()) GTEST_SKIP() << "needs root to hand a folder to another user";
    disk("mine", "vexalto");
    disk("theirs", "vexalto");
    ASSERT_EQ(lchown((sim / "disk#theirs").c_str(), testtree::kForeignUid, testtree::kForeignUid), 0);
    EXPECT_EQ(namesOf(list()), (std::vector<std::string>{"disk#mine"}));
}

// ---- the process-wide list ----------------------------------------------------

TEST(RemovableStorageList, RegisteredFoldersComeFirstLatestFirstThenTheSystem)
{
    FakeSysfs fs;
    fs.disk("sdz", "1\n", "vexalto \n");
    fs.mounts("/dev/sdz /media/z vfat rw 0 0\n");
    TempDir first, second;
    testtree::makeDirs(first / "disk#a/root");
    testtree::makeDirs(second / "disk#b/root");
    testtree::makeDirs(second / "disk#a/root");

    RemovableStorage_setSystemRoot(fs.dir.str().c_str());
    ASSERT_TRUE(SimFolder_registerBackends(first.str()));
    ASSERT_TRUE(SimFolder_registerBackends(second.str() + "/"));
    ASSERT_TRUE(SimFolder_registerBackends(first.str())) << "a second registration is harmless";

    std::vector<RemovableDrive> drives = RemovableStorage_listAll();
    ASSERT_EQ(namesOf(drives), (std::vector<std::string>{"disk#b", "disk#a", "disk#a", "sdz"}));
    EXPECT_EQ(drives[1].root, second / "disk#a/root");
    EXPECT_EQ(drives[2].root, first / "disk#a/root");

    SimFolder_unregisterBackends(second.str());
    RemovableStorage_setSystemRoot(nullptr);
    EXPECT_EQ(namesOf(RemovableStorage_listAll()), (std::vector<std::string>{"disk#a"}));

    SimFolder_unregisterBackends(first.str());
    EXPECT_TRUE(RemovableStorage_listAll().empty());
    RemovableStorage_setSystemRoot("/");
}

} // namespace
