// Device ids: the USB port read out of a sysfs path, and the ids of the two
// personalities, which must agree for a simulated device.
#include <gtest/gtest.h>

#include "tests/discovery/discovery_support.h"

namespace {

using namespace disc_test;

TEST(DeviceId, UsbPortOfASysfsPath)
{
    const struct {
        const char* path;
        const char* port;
    } cases[] = {
        // hidraw and block device below the same port: the same id.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/0003:0416:B500.0005/hidraw/hidraw3", "1-4"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host6/target6:0:0/6:0:0:0", "1-4"},
        // Behind hubs the deepest port counts.
        {"/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.3/2-1.3.2/2-1.3.2:1.0", "2-1.3.2"},
        {"/sys/devices/usb3/13-10/13-10:1.1", "13-10"},
        // No USB port in the path.
        {"/sys/devices/virtual/misc/uhid/0003:0416:B500.0001", ""},
        {"/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0", ""},
        {"", ""},
        // Near misses.
        {"/a/1-/b", ""},
        {"/a/-4/b", ""},
        {"/a/1-4./b", ""},
        {"/a/1-.4/b", ""},
        {"/a/x1-4/b", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Discovery_usbPortOf(c.path), c.port) << c.path;
}

TEST(DeviceId, BothPersonalitiesOfASimulatedDeviceShareTheId)
{
    const std::string socket = SimFolder_socketName(kDiscoveryVendorId, kDiscoveryProductId, "shop-7");
    EXPECT_EQ(Discovery_hidDeviceId("/run/user/1000/tessaly-sim/" + socket), "shop-7");
    RemovableDrive drive;
    drive.name = SimFolder_diskName("shop-7");
    drive.node = "/run/user/1000/tessaly-sim/" + drive.name;
    EXPECT_EQ(Discovery_driveId(drive), "shop-7");

    // Without a port to read, the interface's own node stands in.
    EXPECT_EQ(Discovery_hidDeviceId("/dev/hidraw977#vid_0416&pid_b500"), "/dev/hidraw977");
    EXPECT_EQ(Discovery_hidDeviceId("fake:a#vid_0416&pid_b500"), "fake:a");
    RemovableDrive real;
    real.name = "sdz9";
    real.node = "/dev/sdz";
    EXPECT_EQ(Discovery_driveId(real), "sdz9");
}

} // namespace
