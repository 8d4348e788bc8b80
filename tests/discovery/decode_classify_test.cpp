// The decisions that need no device: vendor field decoding, the path test,
// the trigger bytes and the classification of notification records.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "common_k52/discovery.h"

namespace {

std::string decode(const std::string& field, uint32_t offset = 40, size_t outSize = 256)
{
    std::array<uint8_t, kDiscoveryDescriptorSize> descriptor{};
    if (offset < descriptor.size())
        std::memcpy(descriptor.data() + offset, field.data(), std::min(field.size(), descriptor.size() - offset));
    std::string out(outSize, '\x7F');
    Discovery_decodeStorageString(descriptor.data(), offset, out.data(), outSize);
    return out.c_str();
}

TEST(DecodeStorageString, TextHexAndTheFallbacksBetweenThem)
{
    EXPECT_EQ(decode("VEXALTO "), "VEXALTO");
    EXPECT_EQ(decode("  Vexalto  "), "Vexalto");
    EXPECT_EQ(decode("766578616c746f"), "vexalto");
    // Upper-case digits; blanks count as '0', and a zero byte ends the text.
    EXPECT_EQ(decode("564558414C544F20    "), "VEXALTO");
    EXPECT_EQ(decode("41004243"), "A");
    EXPECT_EQ(decode("4142434"), "ABC");  // a final unpaired digit is dropped
    // A non-digit, or a pair decoding to a control byte, makes it text.
    EXPECT_EQ(decode("41g4"), "41g4");
    EXPECT_EQ(decode("0141"), "0141");
    EXPECT_EQ(decode("ABCDEF"), "ABCDEF");
}

TEST(DecodeStorageString, UnusableFieldsAndOffsetsGiveEmpty)
{
    EXPECT_EQ(decode("VEX\x01LTO"), "");
    EXPECT_EQ(decode("VEX\xC3\xA9"), "");
    EXPECT_EQ(decode("VEXALTO\t"), "");  // white space to the hex pass, not printable text
    EXPECT_EQ(decode("        "), "");
    EXPECT_EQ(decode("VEXALTO", 0), "");
    EXPECT_EQ(decode("VEXALTO", 1024), "");
    EXPECT_EQ(decode("VEXALTO", 0xFFFFFFFFu), "");
    // A field without NUL ends with the buffer; the output is cut to fit.
    EXPECT_EQ(decode("XY", 1022), "XY");
    EXPECT_EQ(decode("VEXALTO", 40, 4), "VEX");
}

TEST(DeviceIdentity, VendorAndPathTests)
{
    auto vendor = [](const std::string& field) {
        std::array<uint8_t, kDiscoveryDescriptorSize> d{};
        std::memcpy(d.data() + 40, field.data(), field.size());
        return Discovery_isDeviceVendor(d.data(), 40);
    };
    EXPECT_EQ(vendor("VEXALTO "), 1);
    EXPECT_EQ(vendor("vExAlTo"), 1);
    EXPECT_EQ(vendor("766578616C746F"), 1);
    EXPECT_EQ(vendor("VEXALTO2"), 0);
    EXPECT_EQ(vendor("VEXALT"), 0);
    EXPECT_EQ(vendor("VEX ALTO"), 0);

    EXPECT_EQ(Discovery_isUpdateDevicePath("/dev/hidraw3#vid_0416&pid_b500"), 1);
    EXPECT_EQ(Discovery_isUpdateDevicePath("\\\\?\\HID#VID_0416&PID_B500#7&1a2b#{4d1e55b2}"), 1);
    EXPECT_EQ(Discovery_isUpdateDevicePath("/s/hid#vid_0416&pid_b501#a.sock"), 0);
    EXPECT_EQ(Discovery_isUpdateDevicePath("/s/hid#vid_0417&pid_b500#a.sock"), 0);
    EXPECT_EQ(Discovery_isUpdateDevicePath(nullptr), 0);
}

TEST(WriteTrigger, SevenBytesOrMinusOne)
{
    ZR_Stream* sink = ZR_Stream_openMemory(nullptr, 0);
    ASSERT_EQ(Discovery_writeTrigger(sink), 7);
    auto* block = static_cast<ZR_MemBlock*>(sink->handle);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block->start), block->cursor - block->start), "pnqazox");
    ZR_Stream_release(sink);

    EXPECT_EQ(Discovery_writeTrigger(nullptr), -1);
    ZR_StreamOps noWrite{};
    ZR_Stream stream{};
    EXPECT_EQ(Discovery_writeTrigger(&stream), -1);
    stream.ops = &noWrite;
    EXPECT_EQ(Discovery_writeTrigger(&stream), -1);
}

// The GUIDs as Windows writes them, turned into memory order here so the test
// does not lean on the table it checks.
DiscoveryNotification record(const char* guid, uint32_t deviceType = kDiscoveryDeviceInterfaceType)
{
    unsigned d1, d2, d3, d4[8];
    EXPECT_EQ(std::sscanf(guid, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &d4[0], &d4[1], &d4[2],
                          &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]),
              11);
    DiscoveryNotification n{};
    n.deviceType = deviceType;
    for (int i = 0; i < 4; ++i) n.classGuid[i] = uint8_t(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i) n.classGuid[4 + i] = uint8_t(d2 >> (8 * i));
    for (int i = 0; i < 2; ++i) n.classGuid[6 + i] = uint8_t(d3 >> (8 * i));
    for (int i = 0; i < 8; ++i) n.classGuid[8 + i] = uint8_t(d4[i]);
    return n;
}

TEST(ClassifyInterface, TablePositionElseVolume)
{
    const char* table[] = {"A5DCBF10-6530-11D2-901F-00C04FB951ED", "53F5630D-B6BF-11D0-94F2-00A0C91EFB8B",
                           "53F56307-B6BF-11D0-94F2-00A0C91EFB8B", "4D1E55B2-F16F-11CF-88CB-001111000030",
                           "AD498944-762F-11D0-8DCB-00C04FC3358C"};
    for (int i = 0; i < 5; ++i) {
        DiscoveryNotification n = record(table[i]);
        EXPECT_EQ(Discovery_classifyInterface(&n), i + 1) << table[i];
    }
    DiscoveryNotification unknown = record("00000000-0000-0000-0000-000000000001");
    DiscoveryNotification driveLetter = record(table[3], 2);  // not an interface record
    EXPECT_EQ(Discovery_classifyInterface(&unknown), 2);
    EXPECT_EQ(Discovery_classifyInterface(&driveLetter), 2);
    EXPECT_EQ(Discovery_classifyInterface(nullptr), 2);
}

// A delivered record laid out by hand: size, type 5, reserved, the GUID, the path.
std::vector<uint8_t> deliveredRecord(const DiscoveryNotification& n, const std::string& path)
{
    std::vector<uint8_t> bytes(28 + path.size() + 1, 0);
    for (int i = 0; i < 4; ++i) {
        bytes[size_t(i)] = uint8_t(bytes.size() >> (8 * i));
        bytes[size_t(4 + i)] = uint8_t(n.deviceType >> (8 * i));
    }
    std::memcpy(bytes.data() + 12, n.classGuid, 16);
    std::memcpy(bytes.data() + 28, path.data(), path.size());
    return bytes;
}

TEST(ClassifyInterface, DeliveredRecords)
{
    const std::string path = "/s/hid#vid_0416&pid_b500#x.sock";
    std::vector<uint8_t> bytes = deliveredRecord(record("4D1E55B2-F16F-11CF-88CB-001111000030"), path);
    DiscoveryNotification n;
    ASSERT_EQ(Discovery_parseNotification(bytes.data(), bytes.size(), &n), 1);
    EXPECT_EQ(n.size, bytes.size());
    EXPECT_EQ(Discovery_classifyInterface(&n), DEVICE_CLASS_HID);
    EXPECT_STREQ(n.path, path.c_str());

    EXPECT_EQ(Discovery_parseNotification(bytes.data(), 27, &n), 0);  // short of header and GUID
    EXPECT_EQ(Discovery_parseNotification(bytes.data(), 28 + 2, &n), 1);
    EXPECT_STREQ(n.path, "/s");  // a path without NUL ends with the record
}

// The one test of "our update interface": the class and the path must both fit.
TEST(ClassifyInterface, UpdateInterfaceNeedsHidClassAndDevicePath)
{
    struct Case {
        DeviceInterfaceClass cls;
        const char* path;
        int expected;
    } cases[] = {
        {DEVICE_CLASS_HID, "/dev/hidraw1#vid_0416&pid_b500", 1},
        {DEVICE_CLASS_HID, "/S/HID#VID_0416&PID_B500#A.SOCK", 1},
        {DEVICE_CLASS_HID, "/dev/hidraw1#vid_0416&pid_b501", 0},
        {DEVICE_CLASS_VOLUME, "/media/x/vid_0416&pid_b500", 0},
        {DEVICE_CLASS_USB_DEVICE, "/dev/bus#vid_0416&pid_b500", 0},
        {DeviceInterfaceClass(9), "/dev/hidraw1#vid_0416&pid_b500", 0},  // made into a volume
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Discovery_isUpdateInterface(DeviceEvent_make(DEVICE_ARRIVAL, c.cls, c.path)), c.expected) << c.path;
        EXPECT_EQ(Discovery_isUpdateInterface(c.cls, c.path), c.expected) << c.path;
    }
    EXPECT_EQ(Discovery_isUpdateInterface(DEVICE_CLASS_HID, nullptr), 0);
}

} // namespace
