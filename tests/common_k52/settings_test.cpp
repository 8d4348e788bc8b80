// The settings view's reading and editing rules over hand-made images, and the
// settings image's way back to the simulated device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common_k52/machine_blocks.h"
#include "common_k52/settings_view.h"
#include "sim/presets.h"

namespace {

ZR_SettingsView viewOf(int32_t layout)
{
    ZR_SettingsView v{};
    v.layoutVersion = layout;
    return v;
}
uint8_t& at(ZR_SettingsView& v, size_t offset) { return ZR_Settings_payload(v.image)[offset]; }

// Layout-5 view with the given band counts (X, KU, K, KA, laser) and Mtr count.
ZR_SettingsView bandView(int32_t layout, std::initializer_list<int8_t> counts, uint8_t mtr)
{
    ZR_SettingsView v = viewOf(layout);
    size_t i = 0;
    for (int8_t c : counts) at(v, ZR_S35_BAND_COUNTS + i++) = uint8_t(c);
    at(v, ZR_S35_MTR_COUNT) = mtr;
    return v;
}

void putWindow(ZR_SettingsView& v, size_t windows, int band, uint16_t low, uint16_t high)
{
    bytes::putLe16(ZR_Settings_payload(v.image) + windows + 4 * band, low);
    bytes::putLe16(ZR_Settings_payload(v.image) + windows + 4 * band + 2, high);
}

std::string label(const ZR_SettingsView& v, int index)
{
    ZR_Band band;
    return ZR_SettingsView_band(&v, index, &band) ? band.label : "<none>";
}

std::string netText(const ZR_SettingsView& v, ZR_NetField field)
{
    char text[ZR_NET_TEXT_CAPACITY];
    return ZR_SettingsView_netText(&v, field, text, sizeof text);
}

// ---------------------------------------------------------------------------
// Time zone and option bits

TEST(SettingsView, Layout5TimeZoneIsAFiveBitSignedNumber)
{
    ZR_SettingsView v = viewOf(5);
    const struct {
        uint8_t stored;
        bool offered;
        int zone;
    } cases[] = {{0xE1, true, 1}, {0xFD, true, -3}, {0xEF, false, 15}, {0x0D, true, 13}, {0xF4, true, -12},
                 {0x13, false, -13}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        at(v, ZR_S35_TIME_ZONE) = c.stored;
        EXPECT_EQ(ZR_SettingsView_hasTimeZone(&v), c.offered);
        EXPECT_EQ(ZR_SettingsView_timeZone(&v), c.zone);
    }
    // Out of range: neither the zone nor the 12-hour clock may be changed.
    at(v, ZR_S35_TIME_ZONE) = 0xEF;
    EXPECT_FALSE(ZR_SettingsView_setTimeZone(&v, 2));
    EXPECT_FALSE(ZR_SettingsView_setClock12h(&v, true));
    EXPECT_EQ(at(v, ZR_S35_TIME_ZONE), 0xEF);
    EXPECT_EQ(at(v, ZR_S35_CLOCK_FLAGS), 0);
}

TEST(SettingsView, SavingATimeZoneKeepsTheBitsItDoesNotOwn)
{
    for (int32_t layout : {4, 5}) {
        SCOPED_TRACE(layout);
        ZR_SettingsView v = viewOf(layout);
        at(v, ZR_S35_TIME_ZONE) = 0xE0;  // layout 4: -32, out of range
        if (layout == 4) {
            EXPECT_FALSE(ZR_SettingsView_setTimeZone(&v, 13));
            at(v, ZR_S35_TIME_ZONE) = 0;
        }
        ASSERT_TRUE(ZR_SettingsView_setTimeZone(&v, 13));
        EXPECT_EQ(at(v, ZR_S35_TIME_ZONE), layout == 5 ? 0xED : 0x0D);
        EXPECT_FALSE(ZR_SettingsView_setTimeZone(&v, 14));
        EXPECT_FALSE(ZR_SettingsView_setTimeZone(&v, -13));
        for (int zone = -12; zone <= 13; ++zone) {
            ASSERT_TRUE(ZR_SettingsView_setTimeZone(&v, zone));
            EXPECT_EQ(ZR_SettingsView_timeZone(&v), zone);
        }
        if (layout == 5) {
            EXPECT_EQ(at(v, ZR_S35_TIME_ZONE) & 0xE0, 0xE0);
        }
    }
}

TEST(SettingsView, FlagSettersTouchOnlyTheirBit)
{
    ZR_SettingsView v = bandView(3, {1, 0, 0, 0, 0}, 0);
    at(v, ZR_S35_CLOCK_FLAGS) = 0x9F;  // supported, other bits set
    at(v, ZR_S35_MILES_FLAGS) = 0x7F;
    at(v, ZR_S35_RADAR_STATE) = 1;
    ASSERT_TRUE(ZR_SettingsView_setClock12h(&v, true));
    ASSERT_TRUE(ZR_SettingsView_setShowNumber(&v, true));
    ASSERT_TRUE(ZR_SettingsView_setMiles(&v, true));
    EXPECT_EQ(at(v, ZR_S35_CLOCK_FLAGS), 0xFF);
    EXPECT_EQ(at(v, ZR_S35_MILES_FLAGS), 0xFF);
    ASSERT_TRUE(ZR_SettingsView_setClock12h(&v, false));
    ASSERT_TRUE(ZR_SettingsView_setShowNumber(&v, false));
    ASSERT_TRUE(ZR_SettingsView_setMiles(&v, false));
    EXPECT_EQ(at(v, ZR_S35_CLOCK_FLAGS), 0x9F);
    EXPECT_EQ(at(v, ZR_S35_MILES_FLAGS), 0x7F);

    // Miles belong to layout 3 only.
    ZR_SettingsView five = bandView(5, {1, 0, 0, 0, 0}, 0);
    EXPECT_FALSE(ZR_SettingsView_setMiles(&five, true));
    EXPECT_EQ(at(five, ZR_S35_MILES_FLAGS), 0);
}

TEST(SettingsView, ShowNumberNeedsRadarBandsSupportAndAConnectedRadar)
{
    const struct {
        int32_t layout;
        int8_t x, laser;
        uint8_t mtr, flags;
        int8_t radarState;
        bool offered;
    } cases[] = {
        {5, 1, 0, 0, ZR_CLOCK_SHOW_NUMBER_SUPPORTED, 1, true},
        {5, 0, 1, 0, ZR_CLOCK_SHOW_NUMBER_SUPPORTED, -1, true},
        {5, 1, 0, 0, ZR_CLOCK_SHOW_NUMBER_SUPPORTED, 0, false},
        {5, 1, 0, 0, 0, 1, false},
        {5, 0, 0, 1, ZR_CLOCK_SHOW_NUMBER_SUPPORTED, 1, false},  // only the Mtr band
        {2, 0, 0, 0, 0, 0, true},
        {0, 1, 0, 0, ZR_CLOCK_SHOW_NUMBER_SUPPORTED, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        ZR_SettingsView v = c.layout >= 3 ? bandView(c.layout, {c.x, 0, 0, 0, c.laser}, c.mtr) : viewOf(c.layout);
        if (c.layout >= 3) {
            at(v, ZR_S35_CLOCK_FLAGS) = c.flags;
            at(v, ZR_S35_RADAR_STATE) = uint8_t(c.radarState);
        }
        EXPECT_EQ(ZR_SettingsView_hasShowNumber(&v), c.offered);
        EXPECT_EQ(ZR_SettingsView_setShowNumber(&v, true), c.offered);
    }
}

TEST(SettingsView, NegativeBrightnessHoursAreNotOffered)
{
    ZR_SettingsView v = viewOf(2);
    at(v, ZR_S12_BRIGHT_START) = 0xFF;
    at(v, ZR_S12_BRIGHT_END) = 19;
    EXPECT_EQ(ZR_SettingsView_brightStartHour(&v), -1);
    EXPECT_FALSE(ZR_SettingsView_setBrightStartHour(&v, 6));
    EXPECT_EQ(at(v, ZR_S12_BRIGHT_START), 0xFF);
    EXPECT_FALSE(ZR_SettingsView_setBrightEndHour(&v, 24));
    ASSERT_TRUE(ZR_SettingsView_setBrightEndHour(&v, 20));
    EXPECT_EQ(ZR_SettingsView_brightEndHour(&v), 20);
}

// ---------------------------------------------------------------------------
// Bands

TEST(SettingsView, BandCountsFollowTheGroupsAndAnMtrCountOfOneOnly)
{
    ZR_SettingsView mtr7 = bandView(5, {1, 1, 4, 5, 1}, 7);
    EXPECT_EQ(ZR_SettingsView_bandCount(&mtr7), 12);
    ZR_SettingsView v = bandView(5, {1, 1, 4, 5, 1}, 1);
    EXPECT_EQ(ZR_SettingsView_bandCount(&v), 13);
    ZR_Band last;
    ASSERT_TRUE(ZR_SettingsView_band(&v, 12, &last));
    EXPECT_EQ(last.group, ZR_BAND_MTR);
    EXPECT_STREQ(last.label, "Mtr\xC6\xB5\xB6\xCE");
    EXPECT_FALSE(ZR_SettingsView_band(&v, 13, &last));

    ZR_SettingsView negative = bandView(4, {-3, 2, 0, 0, 1}, 0);
    EXPECT_EQ(ZR_SettingsView_bandCount(&negative), 3);
    EXPECT_EQ(label(negative, 0), "Ku1\xC6\xB5\xB6\xCE");

    // However many bands the counts claim, enabling them never reaches the
    // Mtr count behind the enable bytes.
    ZR_SettingsView many = bandView(5, {10, 10, 10, 0, 0}, 1);
    ASSERT_EQ(ZR_SettingsView_bandCount(&many), ZR_MAX_BANDS);
    for (int i = 0; i < ZR_MAX_BANDS; ++i) ASSERT_TRUE(ZR_SettingsView_setBandEnabled(&many, i, true));
    EXPECT_FALSE(ZR_SettingsView_setBandEnabled(&many, ZR_MAX_BANDS, true));
    EXPECT_EQ(at(many, ZR_S35_MTR_COUNT), 1);

    ZR_SettingsView fixed = viewOf(2), unknown = viewOf(-1);
    EXPECT_EQ(ZR_SettingsView_bandCount(&fixed), 12);
    EXPECT_EQ(ZR_SettingsView_bandCount(&unknown), 0);
}

TEST(SettingsView, BandLabelsNumberAndWindowOnlyBandsOfLargerGroups)
{
    ZR_SettingsView v = bandView(5, {1, 0, 2, 2, 1}, 0);
    putWindow(v, ZR_S5_BAND_WINDOWS, 0, 10500, 10550);  // X: single, window not shown
    putWindow(v, ZR_S5_BAND_WINDOWS, 1, 23900, 24050);
    putWindow(v, ZR_S5_BAND_WINDOWS, 2, 24050, 24250);
    putWindow(v, ZR_S5_BAND_WINDOWS, 3, 1, 34000);      // low 1: no window
    putWindow(v, ZR_S5_BAND_WINDOWS, 4, 0, 0);
    EXPECT_EQ(label(v, 0), "X\xC6\xB5\xB6\xCE");
    EXPECT_EQ(label(v, 2), "K2\xC6\xB5\xB6\xCE(24.050~24.250)");
    EXPECT_EQ(label(v, 3), "Ka1\xC6\xB5\xB6\xCE");
    EXPECT_EQ(label(v, 4), "Ka2\xC6\xB5\xB6\xCE");
    EXPECT_EQ(label(v, 5), "\xC0\xD7\xC9\xE4\xC6\xB5\xB6\xCE" /* 雷射频段 */);
    ZR_Band x;
    ASSERT_TRUE(ZR_SettingsView_band(&v, 0, &x));
    EXPECT_EQ(x.hasWindow, 1);
    EXPECT_EQ(x.number, 0);

    // Layout 3 windows that would lie past the image end are absent.
    ZR_SettingsView three = bandView(3, {0, 0, 22, 0, 0}, 0);
    for (int i = 0; i < 22; ++i) putWindow(three, ZR_S3_BAND_WINDOWS, std::min(i, 19), 24000, 24100);
    EXPECT_EQ(label(three, 19), "K20\xC6\xB5\xB6\xCE(24.000~24.100)");
    EXPECT_EQ(label(three, 20), "K21\xC6\xB5\xB6\xCE");
}

TEST(SettingsView, Layouts1And2HaveTheFixedBands)
{
    ZR_SettingsView v = viewOf(1);
    EXPECT_EQ(label(v, 0), "X\xC6\xB5\xB6\xCE(10.480~10.720)");
    EXPECT_EQ(label(v, 1), "KU\xC6\xB5\xB6\xCE(13.350~13.540)");
    EXPECT_EQ(label(v, 3), "K2\xC6\xB5\xB6\xCE(23.660~24.060)");
    EXPECT_EQ(label(v, 10), "KA5\xC6\xB5\xB6\xCE(35.950~36.300)");
    EXPECT_EQ(label(v, 11), "\xC0\xD7\xC9\xE4\xC6\xB5\xB6\xCE(0.000~0.000)");
    at(v, ZR_S12_BAND_ENABLE + 11) = 1;
    EXPECT_TRUE(ZR_SettingsView_bandEnabled(&v, 11));
    ASSERT_TRUE(ZR_SettingsView_setBandEnabled(&v, 0, true));
    EXPECT_EQ(at(v, ZR_S12_BAND_ENABLE), 1);
}

// ---------------------------------------------------------------------------
// Network settings

TEST(SettingsView, Layout3KeepsNetworkTextsInTheImage)
{
    std::unique_ptr<SimDevice> dev = SimPreset_make("layout3");
    ZR_SettingsView v = viewOf(3);
    std::vector<uint8_t> image = dev->readFlashDirect(kClassicMap.settings, ZR_SETTINGS_IMAGE_SIZE);
    std::memcpy(v.image.bytes, image.data(), image.size());

    EXPECT_TRUE(ZR_SettingsView_hasNetwork(&v));
    EXPECT_EQ(netText(v, ZR_NETFIELD_APN), "3gnet");
    EXPECT_EQ(netText(v, ZR_NETFIELD_SERVER), "gps.example.net");
    EXPECT_EQ(netText(v, ZR_NETFIELD_PORT), "7700");
    EXPECT_EQ(netText(v, ZR_NETFIELD_PASSWORD), "pa55word");
    EXPECT_EQ(ZR_SettingsView_netLimit(&v, ZR_NETFIELD_USER), 27u);

    // Too long is refused whole, a shorter text clears the old tail.
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_USER, std::string(28, 'u').c_str()));
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_SERVER, std::string(20, 's').c_str()));
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PORT, "1234567"));
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PORT, "77a"));
    EXPECT_EQ(netText(v, ZR_NETFIELD_SERVER), "gps.example.net");
    ASSERT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PASSWORD, "pw"));
    ASSERT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_APN, std::string(27, 'a').c_str()));
    ASSERT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PORT, "123456"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&at(v, ZR_S3_PASSWORD)), 28), std::string("pw") + std::string(26, '\0'));
    EXPECT_EQ(at(v, ZR_S3_APN + 27), 0);
    EXPECT_EQ(netText(v, ZR_NETFIELD_PORT), "123456");
    EXPECT_EQ(netText(v, ZR_NETFIELD_SERVER), "gps.example.net");  // its neighbours untouched
}

TEST(SettingsView, Layouts4And5UseTheNetworkBlockOnlyWithItsMagic)
{
    ZR_SettingsView v = viewOf(4);
    std::memcpy(v.net.bytes + ZR_NET_APN, "cmiot", 5);
    ZR_Net_setU32(v.net, ZR_NET_PORT, 6001);
    EXPECT_FALSE(ZR_SettingsView_hasNetwork(&v));
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_APN, "x"));
    EXPECT_EQ(netText(v, ZR_NETFIELD_APN), "");

    ZR_Net_setU32(v.net, ZR_NET_MAGIC, ZR_BLOCK_MAGIC);
    EXPECT_EQ(netText(v, ZR_NETFIELD_APN), "cmiot");
    EXPECT_EQ(netText(v, ZR_NETFIELD_PORT), "6001");
    EXPECT_EQ(ZR_SettingsView_netLimit(&v, ZR_NETFIELD_PASSWORD), 49u);
    EXPECT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PASSWORD, std::string(49, 'p').c_str()));
    EXPECT_FALSE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_USER, std::string(50, 'u').c_str()));
    ASSERT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_PORT, "65000"));
    EXPECT_EQ(ZR_Net_u32(v.net, ZR_NET_PORT), 65000u);
    EXPECT_TRUE(ZR_Net_valid(v.net));

    // The image's layout-3 places mean nothing here.
    EXPECT_EQ(at(v, ZR_S3_APN), 0);
}

// ---------------------------------------------------------------------------
// On the device

class SettingsOnSim : public ::testing::Test {
protected:
    void TearDown() override { ZR_Machine_release(m); }
    void identify(const std::string& preset)
    {
        ZR_Machine_release(m);
        dev = SimPreset_make(preset);
        m = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
        m->channel->port = Hidc_portFromDevice(SimDevice_openTransport(dev.get()));
        ASSERT_EQ(ZR_Machine_identify(m), 1);
    }
    std::unique_ptr<SimDevice> dev;
    ZR_Machine* m = nullptr;
};

TEST_F(SettingsOnSim, ViewCarriesLayoutRadarStateAndNetworkCopy)
{
    identify("502");
    uint32_t tool = 99;
    int32_t radar = 99;
    ZR_NetBlock net{};
    const ZR_SettingsImage* image = nullptr;
    EXPECT_EQ(ZR_Machine_getSettingsView(m, &tool, &radar, &net, &image), 5);
    EXPECT_EQ(tool, 0u);
    EXPECT_EQ(radar, 1);
    EXPECT_TRUE(ZR_Net_valid(net));
    EXPECT_EQ(image, &m->settings);
    EXPECT_EQ(ZR_Machine_getSettingsView(m, nullptr, nullptr, nullptr, nullptr), 5);

    identify("layout4");
    EXPECT_EQ(ZR_Machine_getSettingsView(m, nullptr, &radar, nullptr, nullptr), 4);
    EXPECT_EQ(radar, -1);
    identify("classic");
    EXPECT_EQ(ZR_Machine_getSettingsView(m, nullptr, &radar, nullptr, nullptr), 2);
    EXPECT_EQ(radar, 0);
}

TEST_F(SettingsOnSim, WrittenSettingsCarryTheLayoutsSum)
{
    const struct {
        const char* preset;
        uint32_t summed;
    } cases[] = {{"classic", 72}, {"502", 111}, {"layout3", 170}, {"layout4", 64}, {"layout1", 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preset);
        identify(c.preset);
        uint32_t address = ZR_flashMap(m->is502 != 0).settings;
        ZR_SettingsImage edited = m->settings;
        ZR_Settings_payload(edited)[c.summed - 5] ^= 0x01;  // summed, below any magic
        ZR_Settings_payload(edited)[c.summed] ^= 0x01;      // the first byte past the sum
        ASSERT_EQ(ZR_Machine_writeMainSetting(&edited, m), 1);
        std::vector<uint8_t> stored = dev->readFlashDirect(address, ZR_SETTINGS_IMAGE_SIZE);
        EXPECT_EQ(bytes::getLe32(stored.data()), bytes::sum32(stored.data() + 4, c.summed));
        EXPECT_EQ(0, std::memcmp(stored.data() + 4, ZR_Settings_payload(edited), ZR_SETTINGS_PAYLOAD_SIZE));
        int32_t magic = ZR_Settings_magicOffset(m->layoutVersion);
        if (magic >= 0) {
            EXPECT_EQ(bytes::getLe32(stored.data() + 4 + magic), ZR_BLOCK_MAGIC);
        }
        int32_t layout = m->layoutVersion;
        ASSERT_EQ(ZR_Machine_identify(m), 1);
        EXPECT_EQ(m->layoutVersion, layout);
    }
    m->layoutVersion = 6;
    EXPECT_EQ(ZR_Machine_writeMainSetting(nullptr, m), 0);
}

TEST_F(SettingsOnSim, EditedViewSurvivesTheSaveSequence)
{
    identify("502");
    ZR_SettingsView v;
    ASSERT_EQ(ZR_SettingsView_load(&v, m), 5);
    EXPECT_EQ(ZR_SettingsView_timeZone(&v), 8);
    ASSERT_TRUE(ZR_SettingsView_setTimeZone(&v, 13));
    ASSERT_TRUE(ZR_SettingsView_setBandEnabled(&v, 2, true));
    ASSERT_TRUE(ZR_SettingsView_setNetText(&v, ZR_NETFIELD_SERVER, "192.0.2.1"));

    ASSERT_EQ(ZR_Machine_writeMainSetting(&v.image, m), 1);
    ASSERT_EQ(ZR_Machine_writeParam(nullptr, &v.net, m, m->is502 != 0), 1);
    ASSERT_EQ(ZR_Machine_identify(m), 1);

    ZR_SettingsView back;
    ASSERT_EQ(ZR_SettingsView_load(&back, m), 5);
    EXPECT_EQ(ZR_SettingsView_timeZone(&back), 13);
    EXPECT_EQ(at(back, ZR_S35_TIME_ZONE), 0xED);
    EXPECT_TRUE(ZR_SettingsView_bandEnabled(&back, 2));
    EXPECT_EQ(netText(back, ZR_NETFIELD_SERVER), "192.0.2.1");
    EXPECT_EQ(netText(back, ZR_NETFIELD_PORT), "9000");
}

} // namespace
