#include "sim/presets.h"

#include <algorithm>
#include <cstring>

#include "common_k52/machine_blocks.h"
#include "common_k52/settings_view.h"
#include "core/bytes.h"

namespace {

constexpr uint32_t kMiB = 1u << 20;

// Image dates (seconds since 1970, UTC).
constexpr uint32_t k2020_01_01 = 0x5E0BE100;
constexpr uint32_t k2020_09_13 = 0x5F5E1000;
constexpr uint32_t k2021_04_05 = 0x606A5300;
constexpr uint32_t k2021_07_07 = 0x60E4EE80;
constexpr uint32_t k2022_12_31 = 0x63B0CCFF;
constexpr uint32_t k2023_06_15 = 0x648ACC08;
constexpr uint32_t k2023_09_01 = 0x64F12980;
constexpr uint32_t k2024_01_10 = 0x659DDE00;
constexpr uint32_t k2024_03_20 = 0x65FACFC0;
constexpr uint32_t k2024_05_18 = 0x66487194;
constexpr uint32_t k2024_11_02 = 0x6725CA8A;

uint32_t word4(const char* text)
{
    uint8_t b[4] = {};
    std::memcpy(b, text, std::min<size_t>(std::strlen(text), 4));
    return bytes::getLe32(b);
}

// Area sizes in the order a write run lays them out behind reservedStart.
struct AreaSizes {
    uint32_t server, voice, radarMute, updateTool, oled, track, gps;
};

struct InfoSpec {
    const char* board;
    uint32_t programVersion;
    uint32_t mainSettingVersion;
    uint8_t voiceSel1, gpsSel1, voiceSel2, gpsSel2, voiceSel3, areaPlain;
    uint32_t flashSize;
    uint32_t reservedStart;
    AreaSizes sizes;
};

ZR_InfoBlock makeInfo(const InfoSpec& s)
{
    ZR_InfoBlock info{};
    ZR_Info_setU32(info, ZR_INFO_MAIN_SETTING_VERSION, s.mainSettingVersion);
    ZR_Info_setU32(info, ZR_INFO_BOARD_NAME, word4(s.board));
    ZR_Info_setU32(info, ZR_INFO_PROGRAM_VERSION, s.programVersion);
    ZR_Info_setU8(info, ZR_INFO_UPDATE_TOOL_PRESENT, s.sizes.updateTool ? 1 : 0);
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL1, s.voiceSel1);
    ZR_Info_setU8(info, ZR_INFO_GPS_SEL1, s.gpsSel1);
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL2, s.voiceSel2);
    ZR_Info_setU8(info, ZR_INFO_GPS_SEL2, s.gpsSel2);
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL3, s.voiceSel3);
    ZR_Info_setU8(info, ZR_INFO_AREA_PLAIN, s.areaPlain);
    ZR_Info_setU32(info, ZR_INFO_FLASH_SIZE, s.flashSize);

    uint32_t at = s.reservedStart;
    auto place = [&](size_t startField, size_t sizeField, uint32_t size) {
        ZR_Info_setU32(info, startField, at);
        ZR_Info_setU32(info, sizeField, size);
        at += size;
    };
    ZR_Info_setU32(info, ZR_INFO_RESERVED_START, s.reservedStart);
    ZR_Info_setU32(info, ZR_INFO_RESERVED_SIZE, 0);
    place(ZR_INFO_SERVER_START, ZR_INFO_SERVER_SIZE, s.sizes.server);
    place(ZR_INFO_VOICE_START, ZR_INFO_VOICE_SIZE, s.sizes.voice);
    place(ZR_INFO_RADAR_MUTE_START, ZR_INFO_RADAR_MUTE_SIZE, s.sizes.radarMute);
    place(ZR_INFO_UPDATE_TOOL_START, ZR_INFO_UPDATE_TOOL_SIZE, s.sizes.updateTool);
    place(ZR_INFO_OLED_START, ZR_INFO_OLED_SIZE, s.sizes.oled);
    place(ZR_INFO_TRACK_START, ZR_INFO_TRACK_SIZE, s.sizes.track);
    place(ZR_INFO_GPS_START, ZR_INFO_GPS_SIZE, s.sizes.gps);
    ZR_Info_setU32(info, ZR_INFO_AREA_END, at);
    ZR_Info_setU32(info, ZR_INFO_MAGIC, ZR_BLOCK_MAGIC);
    return info;
}

const uint8_t* thirdPart()
{
    static uint8_t part[ZR_THIRD_PART_SIZE];
    for (size_t i = 0; i < sizeof part; ++i) part[i] = uint8_t(i * 7 + 3);
    return part;
}

void putText(uint8_t* field, const char* text) { std::memcpy(field, text, std::strlen(text)); }

ZR_NetBlock makeNet(const char* apn, const char* server, uint32_t port, const char* user, const char* password)
{
    ZR_NetBlock net{};
    putText(net.bytes + ZR_NET_APN, apn);
    putText(net.bytes + ZR_NET_SERVER, server);
    ZR_Net_setU32(net, ZR_NET_PORT, port);
    putText(net.bytes + ZR_NET_USER, user);
    putText(net.bytes + ZR_NET_PASSWORD, password);
    ZR_Net_setU32(net, ZR_NET_MAGIC, ZR_BLOCK_MAGIC);
    return net;
}

// Dates of the three images, headers placed at the area starts of info.
void putDates(SimDevice* d, const ZR_InfoBlock& info, uint32_t voice, uint32_t radarMute, uint32_t gps)
{
    bool totalFirst = ZR_Info_u8(info, ZR_INFO_VOICE_SEL3) == 0;
    if (voice)
        SimFlash_putAreaHeader(d, ZR_Info_u32(info, ZR_INFO_VOICE_START), voice, totalFirst,
                               ZR_Info_u32(info, ZR_INFO_VOICE_SIZE) - 0x1000);
    if (radarMute) SimFlash_putAreaHeader(d, ZR_Info_u32(info, ZR_INFO_RADAR_MUTE_START), radarMute, false);
    if (gps) SimFlash_putAreaHeader(d, ZR_Info_u32(info, ZR_INFO_GPS_START), gps, false);
}

// Payload of layouts 3 to 5 up to the radar state; band bytes from counts.
struct Payload35 {
    const char* board;
    uint32_t programVersion;
    uint8_t clockFlags, milesFlags, timeZone;
    int8_t counts[5];  // X, KU, K, KA, laser
    uint8_t mtrCount;
    const uint8_t* enable;  // one byte per band
    int8_t brightStart, brightEnd, radarState;
    const uint16_t (*windows)[2];  // low, high per band
};

void fill35(uint8_t* p, const Payload35& s, size_t windowsAt)
{
    bytes::putLe32(p + 0, word4(s.board));
    bytes::putLe32(p + 4, s.programVersion);
    p[ZR_S35_CLOCK_FLAGS] = s.clockFlags;
    p[ZR_S35_MILES_FLAGS] = s.milesFlags;
    p[ZR_S35_TIME_ZONE] = s.timeZone;
    int bands = s.mtrCount == 1 ? 1 : 0;
    for (int i = 0; i < 5; ++i) {
        p[ZR_S35_BAND_COUNTS + i] = uint8_t(s.counts[i]);
        bands += s.counts[i];
    }
    p[ZR_S35_MTR_COUNT] = s.mtrCount;
    for (int i = 0; i < bands; ++i) {
        p[ZR_S35_BAND_ENABLE + i] = s.enable[i];
        bytes::putLe16(p + windowsAt + 4 * i, s.windows[i][0]);
        bytes::putLe16(p + windowsAt + 4 * i + 2, s.windows[i][1]);
    }
    p[ZR_S35_BRIGHT_START] = uint8_t(s.brightStart);
    p[ZR_S35_BRIGHT_END] = uint8_t(s.brightEnd);
    p[ZR_S35_RADAR_STATE] = uint8_t(s.radarState);
}

// --- classic: layout 2 on the classic map

const InfoSpec kClassicInfo = {"MVT7", 2310, 3, 0, 0, 0, 0, 0, 0, 8 * kMiB, kClassicMap.reserved,
                               {0x2000, 0x180000, 0x20000, 0x10000, 0, 0x10000, 0x300000}};

void fillClassic(SimDevice* d)
{
    ZR_InfoBlock info = makeInfo(kClassicInfo);
    SimFlash_putParam(d, kClassicMap.parameter, info, nullptr, thirdPart());

    uint8_t p[ZR_SETTINGS_PAYLOAD_SIZE];
    std::memset(p, 0xFF, sizeof p);
    std::memset(p, 0, 72);
    p[ZR_S12_CLOCK_FLAGS] = ZR_CLOCK_SHOW_NUMBER;
    p[ZR_S12_TIME_ZONE] = 8;
    const uint8_t enable[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1};  // KA4 off
    std::memcpy(p + ZR_S12_BAND_ENABLE, enable, sizeof enable);
    p[ZR_S12_BRIGHT_START] = 7;
    p[ZR_S12_BRIGHT_END] = 19;
    bytes::putLe32(p + 24, word4("MVT7"));
    bytes::putLe32(p + 28, 2310);
    SimFlash_putSettings(d, kClassicMap.settings, 2, p);

    SimFlash_putClient(d, kClassicMap.client, "Halcyon Path", true);
    putDates(d, info, k2023_06_15, k2023_09_01, k2024_03_20);
}

// --- 502: layout 5 on the 502 map with a network block

// One body for the 502-map devices: the board, its flash and its areas vary.
void fill502Device(SimDevice* d, const InfoSpec& spec)
{
    ZR_InfoBlock info = makeInfo(spec);
    ZR_NetBlock net = makeNet("cmnet", "203.0.113.7", 9000, "tessaly", "s3cret");
    SimFlash_putParam(d, k502Map.parameter, info, &net, thirdPart());

    uint8_t p[ZR_SETTINGS_PAYLOAD_SIZE] = {};
    // X 1, KU 1, K 4, KA 5, laser 1, Mtr 1.
    static const uint8_t enable[13] = {1, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1};
    static const uint16_t windows[13][2] = {{10500, 10550}, {13400, 13500}, {23900, 24050}, {24050, 24250},
                                            {24250, 24400}, {24400, 24800}, {33800, 34100}, {34200, 34500},
                                            {34600, 35400}, {35500, 35900}, {36000, 36200}, {0, 0},
                                            {1, 1}};
    Payload35 s = {spec.board, spec.programVersion, ZR_CLOCK_SHOW_NUMBER_SUPPORTED | ZR_CLOCK_SHOW_NUMBER, 0,
                   0xE8 /* +8 */, {1, 1, 4, 5, 1}, 1, enable, 6, 20, 1, windows};
    fill35(p, s, ZR_S5_BAND_WINDOWS);
    SimFlash_putSettings(d, k502Map.settings, 5, p);

    SimFlash_putClient(d, k502Map.client, "Halcyon Path", false);
    putDates(d, info, k2024_05_18, k2024_01_10, k2024_11_02);
}

void fill502(SimDevice* d)
{
    fill502Device(d, {"HB6T", 5021, 0, 1, 1, 0, 0, 1, 1, 16 * kMiB, k502Map.reserved,
                      {0x2000, 0x200000, 0x30000, 0, 0x8000, 0x10000, 0x400000}});
}

// --- k502-4m: a small 502-map device, too small for a full province package

void fillK502Small(SimDevice* d)
{
    fill502Device(d, {"K502", 5022, 0, 1, 1, 0, 0, 1, 1, 4 * kMiB, k502Map.reserved,
                      {0x2000, 0x100000, 0x10000, 0, 0, 0x10000, 0x200000}});
}

// --- layout3: network texts inside the settings image

void fillLayout3(SimDevice* d)
{
    const InfoSpec spec = {"GT30", 3100, 1, 0, 0, 0, 0, 1, 0, 8 * kMiB, kClassicMap.reserved,
                           {0, 0x100000, 0x10000, 0, 0, 0, 0x200000}};
    ZR_InfoBlock info = makeInfo(spec);
    SimFlash_putParam(d, kClassicMap.parameter, info, nullptr, thirdPart());

    uint8_t p[ZR_SETTINGS_PAYLOAD_SIZE] = {};
    // X 1, KU 0, K 3, KA 4, laser 1.
    static const uint8_t enable[9] = {1, 1, 1, 0, 1, 1, 1, 1, 1};
    static const uint16_t windows[9][2] = {{10500, 10550}, {23900, 24050}, {24050, 24250}, {24250, 24400},
                                           {33800, 34100}, {34200, 34500}, {34600, 35400}, {35500, 35900},
                                           {0, 0}};
    Payload35 s = {"GT30", 3100, ZR_CLOCK_SHOW_NUMBER_SUPPORTED | ZR_CLOCK_12H, ZR_MILES, 0xF8 /* -8 */,
                   {1, 0, 3, 4, 1}, 0, enable, 8, 18, 2, windows};
    fill35(p, s, ZR_S3_BAND_WINDOWS);
    putText(p + ZR_S3_APN, "3gnet");
    putText(p + ZR_S3_SERVER, "gps.example.net");
    putText(p + ZR_S3_PORT, "7700");
    putText(p + ZR_S3_USER, "driver");
    putText(p + ZR_S3_PASSWORD, "pa55word");
    SimFlash_putSettings(d, kClassicMap.settings, 3, p);

    SimFlash_putClient(d, kClassicMap.client, "Lumen Drive", true);
    putDates(d, info, k2022_12_31, k2021_07_07, k2021_04_05);
}

// --- layout4: network block on the classic map, radar not yet set up

void fillLayout4(SimDevice* d)
{
    const InfoSpec spec = {"QX40", 4200, 2, 0, 0, 0, 0, 1, 1, 8 * kMiB, kClassicMap.reserved,
                           {0x1000, 0x100000, 0x10000, 0x8000, 0, 0, 0x300000}};
    ZR_InfoBlock info = makeInfo(spec);
    ZR_NetBlock net = makeNet("cmiot", "198.51.100.20", 6001, "", "");
    SimFlash_putParam(d, kClassicMap.parameter, info, &net, thirdPart());

    uint8_t p[ZR_SETTINGS_PAYLOAD_SIZE] = {};
    // X 1, KU 1, K 2, KA 3, laser 1.
    static const uint8_t enable[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    static const uint16_t windows[8][2] = {{10500, 10550}, {13400, 13500}, {24050, 24250}, {24250, 24400},
                                           {33800, 34100}, {34200, 34500}, {34600, 35400}, {0, 0}};
    Payload35 s = {"QX40", 4200, ZR_CLOCK_SHOW_NUMBER_SUPPORTED | ZR_CLOCK_SHOW_NUMBER, 0, 3,
                   {1, 1, 2, 3, 1}, 0, enable, -1, -1, -1, windows};
    fill35(p, s, ZR_S4_BAND_WINDOWS);
    SimFlash_putSettings(d, kClassicMap.settings, 4, p);

    SimFlash_putClient(d, kClassicMap.client, "Ostara Labs", true);
    putDates(d, info, k2024_01_10, k2023_09_01, k2024_05_18);
}

// --- layout1: an old device without an information block

void fillLayout1(SimDevice* d)
{
    uint8_t p[ZR_SETTINGS_PAYLOAD_SIZE];
    std::memset(p, 0xFF, sizeof p);  // beyond the 24 summed bytes: not a longer layout
    std::memset(p, 0, 24);
    p[ZR_S12_CLOCK_FLAGS] = ZR_CLOCK_12H;
    p[ZR_S12_TIME_ZONE] = 100;  // out of range: the device has no time-zone setting
    const uint8_t enable[12] = {1, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1};
    std::memcpy(p + ZR_S12_BAND_ENABLE, enable, sizeof enable);
    p[ZR_S12_BRIGHT_START] = uint8_t(-1);
    p[ZR_S12_BRIGHT_END] = 22;
    SimFlash_putSettings(d, kClassicMap.settings, 1, p);

    SimFlash_putClient(d, kClassicMap.client, "Halcyon Path", true);
    SimFlash_putAreaHeader(d, ZR_FIXED_VOICE_START, k2020_01_01, true, 0x1F0000);
    SimFlash_putAreaHeader(d, ZR_FIXED_RADAR_MUTE_START, k2020_09_13, false);
    SimFlash_putAreaHeader(d, ZR_FIXED_GPS_START, k2021_07_07, false);
}

void fillBlank(SimDevice*) {}

// --- borealis: a client whose devices carry no settings layout

void fillBorealis(SimDevice* d)
{
    const InfoSpec spec = {"BT21", 1200, 0, 0, 0, 0, 0, 1, 0, 8 * kMiB, kClassicMap.reserved,
                           {0, 0x80000, 0, 0, 0, 0, 0x100000}};
    ZR_InfoBlock info = makeInfo(spec);
    SimFlash_putParam(d, kClassicMap.parameter, info, nullptr, thirdPart());

    // Written by the device's own firmware in a form no layout describes.
    uint8_t image[ZR_SETTINGS_IMAGE_SIZE];
    for (size_t i = 0; i < sizeof image; ++i) image[i] = uint8_t(0x40 + i % 17);
    d->writeFlashDirect(kClassicMap.settings, image, sizeof image);

    SimFlash_putClient(d, kClassicMap.client, "Borealis Tech", false);
    putDates(d, info, k2022_12_31, 0, k2024_01_10);
}

const SimPreset kPresets[] = {
    {"classic", "classic map, board MVT7, layout 2, client Halcyon Path", 1046, 8 * kMiB, fillClassic},
    {"502", "502 map, board HB6T, layout 5, network block", 1050, 16 * kMiB, fill502},
    {"k502-4m", "502 map, board K502, 4 MiB, layout 5, network block", 1050, 4 * kMiB, fillK502Small},
    {"layout3", "classic map, board GT30, layout 3 with network texts", 1046, 8 * kMiB, fillLayout3},
    {"layout4", "classic map, board QX40, layout 4, network block", 1046, 8 * kMiB, fillLayout4},
    {"layout1", "no information block (fixed areas), layout 1", 1030, 8 * kMiB, fillLayout1},
    {"blank", "erased flash", 1046, 8 * kMiB, fillBlank},
    {"borealis", "client Borealis Tech, settings in no layout", 1046, 8 * kMiB, fillBorealis},
    {"boot1010", "as classic, boot 1010 (no flash size query)", 1010, 8 * kMiB, fillClassic},
    {"boot1045", "as classic, boot 1045 (replies without status)", 1045, 8 * kMiB, fillClassic},
};

} // namespace

const SimPreset* SimPreset_find(const std::string& name)
{
    for (const SimPreset& p : kPresets)
        if (name == p.name) return &p;
    return nullptr;
}

std::vector<std::string> SimPreset_names()
{
    std::vector<std::string> names;
    for (const SimPreset& p : kPresets) names.emplace_back(p.name);
    return names;
}

SimDeviceOptions SimPreset_options(const SimPreset& preset, SimDeviceOptions base)
{
    base.bootVersion = preset.bootVersion;
    base.flashSize = preset.flashSize;
    return base;
}

bool SimPreset_apply(const SimPreset& preset, SimDevice* device)
{
    if (!device || device->flashSize() < preset.flashSize) return false;
    device->eraseAll();
    preset.fill(device);
    return true;
}

std::unique_ptr<SimDevice> SimPreset_make(const std::string& name, SimDeviceOptions base)
{
    const SimPreset* preset = SimPreset_find(name);
    if (!preset) return nullptr;
    auto device = std::make_unique<SimDevice>(SimPreset_options(*preset, base));
    SimPreset_apply(*preset, device.get());
    return device;
}

// ---------------------------------------------------------------------------
// Block writers

void SimFlash_putParam(SimDevice* device, uint32_t address, const ZR_InfoBlock& info, const ZR_NetBlock* net,
                       const uint8_t* third)
{
    uint8_t image[ZR_PARAM_IMAGE_SIZE];
    std::memset(image, 0xFF, sizeof image);
    bytes::putLe32(image + ZR_PARAM_INFO_OFFSET, bytes::sum32(info.bytes, ZR_INFO_BLOCK_SIZE));
    std::memcpy(image + ZR_PARAM_INFO_OFFSET + 4, info.bytes, ZR_INFO_BLOCK_SIZE);
    if (net) {
        bytes::putLe32(image + ZR_PARAM_NET_OFFSET, bytes::sum32(net->bytes, ZR_NET_BLOCK_SIZE));
        std::memcpy(image + ZR_PARAM_NET_OFFSET + 4, net->bytes, ZR_NET_BLOCK_SIZE);
    }
    if (third) std::memcpy(image + ZR_PARAM_THIRD_OFFSET, third, ZR_THIRD_PART_SIZE);
    device->writeFlashDirect(address, image, sizeof image);
}

void SimFlash_putSettings(SimDevice* device, uint32_t address, int32_t layout, const uint8_t* payload)
{
    ZR_SettingsImage image;
    std::memcpy(ZR_Settings_payload(image), payload, ZR_SETTINGS_PAYLOAD_SIZE);
    int32_t magic = ZR_Settings_magicOffset(layout);
    if (magic >= 0) bytes::putLe32(ZR_Settings_payload(image) + magic, ZR_BLOCK_MAGIC);
    ZR_Settings_seal(image, layout);
    device->writeFlashDirect(address, image.bytes, sizeof image.bytes);
}

void SimFlash_putClient(SimDevice* device, uint32_t address, const char* text, bool nulPadded)
{
    uint8_t block[ZR_CLIENT_BLOCK_SIZE];
    std::memset(block, nulPadded ? 0x00 : 0xFF, sizeof block);
    std::memcpy(block, text, std::min<size_t>(std::strlen(text), sizeof block));
    device->writeFlashDirect(address, block, sizeof block);
}

void SimFlash_putAreaHeader(SimDevice* device, uint32_t start, uint32_t seconds, bool totalFirst, uint32_t total)
{
    uint8_t header[256];
    std::memset(header, 0, sizeof header);
    if (totalFirst) {
        bytes::putLe32(header + 0, total);
        bytes::putLe32(header + 4, seconds);
        bytes::putLe32(header + 8, 1);
    } else {
        bytes::putLe32(header + 0, seconds);
        bytes::putLe32(header + 4, 0x100);
    }
    device->writeFlashDirect(start, header, sizeof header);
}
