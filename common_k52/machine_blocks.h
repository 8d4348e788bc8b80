// Field access over the blocks the device keeps at fixed flash addresses:
// the information block, the network block, the parameter image that carries
// both, and the settings image with its five layouts. Everything is read and
// written through core/bytes.h; nothing here talks to the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common_k52/machine.h"
#include "core/bytes.h"

// ---------------------------------------------------------------------------
// Information block (field offsets in machine.h)

inline uint32_t ZR_Info_u32(const ZR_InfoBlock& info, size_t field) { return bytes::getLe32(info.bytes + field); }
inline void ZR_Info_setU32(ZR_InfoBlock& info, size_t field, uint32_t value) { bytes::putLe32(info.bytes + field, value); }
inline uint8_t ZR_Info_u8(const ZR_InfoBlock& info, size_t field) { return info.bytes[field]; }
inline void ZR_Info_setU8(ZR_InfoBlock& info, size_t field, uint8_t value) { info.bytes[field] = value; }
inline bool ZR_Info_valid(const ZR_InfoBlock& info) { return ZR_Info_u32(info, ZR_INFO_MAGIC) == ZR_BLOCK_MAGIC; }
// A board name of 0 means "no board": the fixed area table applies.
inline bool ZR_Info_hasBoard(const ZR_InfoBlock& info) { return ZR_Info_u32(info, ZR_INFO_BOARD_NAME) != 0; }

// The laid-out data areas, in the order they follow each other in flash:
// each is a start field and a size field of the information block.
enum ZR_Area : size_t {
    ZR_AREA_RESERVED,
    ZR_AREA_SERVER,
    ZR_AREA_VOICE,
    ZR_AREA_RADAR_MUTE,
    ZR_AREA_UPDATE_TOOL,
    ZR_AREA_OLED,
    ZR_AREA_TRACK,
    ZR_AREA_GPS,
    ZR_AREA_COUNT,
};

struct ZR_AreaField {
    size_t startField;  // ZR_INFO_* offset of the area's start
    size_t sizeField;   // ZR_INFO_* offset of its size
    const char* name;   // as the log names it
};

inline constexpr ZR_AreaField ZR_areaFields[ZR_AREA_COUNT] = {
    {ZR_INFO_RESERVED_START, ZR_INFO_RESERVED_SIZE, "reserved"},
    {ZR_INFO_SERVER_START, ZR_INFO_SERVER_SIZE, "server"},
    {ZR_INFO_VOICE_START, ZR_INFO_VOICE_SIZE, "voice"},
    {ZR_INFO_RADAR_MUTE_START, ZR_INFO_RADAR_MUTE_SIZE, "radar mute"},
    {ZR_INFO_UPDATE_TOOL_START, ZR_INFO_UPDATE_TOOL_SIZE, "update tool"},
    {ZR_INFO_OLED_START, ZR_INFO_OLED_SIZE, "oled"},
    {ZR_INFO_TRACK_START, ZR_INFO_TRACK_SIZE, "track"},
    {ZR_INFO_GPS_START, ZR_INFO_GPS_SIZE, "gps"},
};

struct ZR_AreaExtent {
    uint32_t start;
    uint32_t size;
};

inline ZR_AreaExtent ZR_Info_area(const ZR_InfoBlock& info, ZR_Area area)
{
    return {ZR_Info_u32(info, ZR_areaFields[area].startField), ZR_Info_u32(info, ZR_areaFields[area].sizeField)};
}
inline void ZR_Info_setArea(ZR_InfoBlock& info, ZR_Area area, ZR_AreaExtent extent)
{
    ZR_Info_setU32(info, ZR_areaFields[area].startField, extent.start);
    ZR_Info_setU32(info, ZR_areaFields[area].sizeField, extent.size);
}

// ---------------------------------------------------------------------------
// Network block

enum : size_t {
    ZR_NET_APN = 0,         // 50 bytes of text
    ZR_NET_SERVER = 50,     // 20 bytes of text
    ZR_NET_PORT = 70,       // unsigned 32-bit number
    ZR_NET_USER = 74,       // 50 bytes of text
    ZR_NET_PASSWORD = 124,  // 50 bytes of text
    ZR_NET_MAGIC = 174,
};
inline constexpr size_t ZR_NET_TEXT_WIDTH = 50;
inline constexpr size_t ZR_NET_SERVER_WIDTH = 20;

inline uint32_t ZR_Net_u32(const ZR_NetBlock& net, size_t field) { return bytes::getLe32(net.bytes + field); }
inline void ZR_Net_setU32(ZR_NetBlock& net, size_t field, uint32_t value) { bytes::putLe32(net.bytes + field, value); }
inline bool ZR_Net_valid(const ZR_NetBlock& net) { return ZR_Net_u32(net, ZR_NET_MAGIC) == ZR_BLOCK_MAGIC; }

// ---------------------------------------------------------------------------
// Parameter image: each block sits behind its own sum, and both blocks end in
// their magic, so one check serves both.

enum : uint32_t {
    ZR_PARAM_INFO_OFFSET = 0x000,   // sum, then the information block
    ZR_PARAM_NET_OFFSET = 0x100,    // sum, then the network block
    ZR_PARAM_THIRD_OFFSET = 0x200,  // kept as read
};

// image: the 4-byte sum followed by the block of blockSize bytes whose last
// four bytes are the magic.
inline bool ZR_blockImageValid(const uint8_t* image, size_t blockSize)
{
    return bytes::getLe32(image + blockSize) == ZR_BLOCK_MAGIC && bytes::getLe32(image) == bytes::sum32(image + 4, blockSize);
}

// ---------------------------------------------------------------------------
// Settings image: a sum over the first N payload bytes, then the payload.

inline constexpr size_t ZR_SETTINGS_PAYLOAD = 4;  // image offset of payload offset 0
inline constexpr size_t ZR_SETTINGS_PAYLOAD_SIZE = ZR_SETTINGS_IMAGE_SIZE - ZR_SETTINGS_PAYLOAD;

// Payload bytes covered by the sum; 0 for a layout without a sum rule. Layout
// 0 and unknown layouts use the shortest rule.
inline uint32_t ZR_Settings_sumLength(int32_t layout)
{
    switch (layout) {
    case 2: return 72;
    case 3: return 170;
    case 4: return 64;
    case 5: return 111;
    default: return layout <= 1 ? 24 : 0;
    }
}

// Payload offset of the layout's magic, or -1 when the layout has none.
inline int32_t ZR_Settings_magicOffset(int32_t layout)
{
    switch (layout) {
    case 3: return 166;
    case 4: return 60;
    case 5: return 107;
    default: return -1;
    }
}

// Payload offsets of the board name and program version a layout carries, or
// -1 (layout 1 carries none).
inline int32_t ZR_Settings_boardNameOffset(int32_t layout)
{
    return layout >= 3 && layout <= 5 ? 0 : layout == 2 ? 24 : -1;
}
inline int32_t ZR_Settings_programVersionOffset(int32_t layout)
{
    return layout >= 3 && layout <= 5 ? 4 : layout == 2 ? 28 : -1;
}

inline uint8_t* ZR_Settings_payload(ZR_SettingsImage& image) { return image.bytes + ZR_SETTINGS_PAYLOAD; }
inline const uint8_t* ZR_Settings_payload(const ZR_SettingsImage& image) { return image.bytes + ZR_SETTINGS_PAYLOAD; }

inline uint32_t ZR_Settings_storedSum(const ZR_SettingsImage& image) { return bytes::getLe32(image.bytes); }
inline uint32_t ZR_Settings_payloadSum(const ZR_SettingsImage& image, int32_t layout)
{
    return bytes::sum32(ZR_Settings_payload(image), ZR_Settings_sumLength(layout));
}

// True when the stored sum (and, where the layout has one, the magic) fit.
inline bool ZR_Settings_fits(const ZR_SettingsImage& image, int32_t layout)
{
    if (layout < 1 || layout > 5) return false;
    if (ZR_Settings_storedSum(image) != ZR_Settings_payloadSum(image, layout)) return false;
    int32_t magic = ZR_Settings_magicOffset(layout);
    return magic < 0 || bytes::getLe32(ZR_Settings_payload(image) + magic) == ZR_BLOCK_MAGIC;
}

// The first layout that fits, longest rules first (a short sum can match by
// chance inside a longer layout), or -1.
inline int32_t ZR_Settings_detectLayout(const ZR_SettingsImage& image)
{
    for (int32_t layout : {5, 4, 3, 2, 1})
        if (ZR_Settings_fits(image, layout)) return layout;
    return -1;
}

// Stores the sum the layout asks for; false (image untouched) without a rule.
inline bool ZR_Settings_seal(ZR_SettingsImage& image, int32_t layout)
{
    if (ZR_Settings_sumLength(layout) == 0) return false;
    bytes::putLe32(image.bytes, ZR_Settings_payloadSum(image, layout));
    return true;
}
