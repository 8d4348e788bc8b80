#include "common_k52/settings_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common_k52/machine_blocks.h"

namespace {

bool classicLayout(const ZR_SettingsView* v) { return v && (v->layoutVersion == 1 || v->layoutVersion == 2); }
bool bandLayout(const ZR_SettingsView* v) { return v && v->layoutVersion >= 3 && v->layoutVersion <= 5; }
bool editable(const ZR_SettingsView* v) { return classicLayout(v) || bandLayout(v); }

const uint8_t* payload(const ZR_SettingsView* v) { return ZR_Settings_payload(v->image); }
uint8_t* payload(ZR_SettingsView* v) { return ZR_Settings_payload(v->image); }

size_t clockOffset(const ZR_SettingsView* v) { return classicLayout(v) ? ZR_S12_CLOCK_FLAGS : ZR_S35_CLOCK_FLAGS; }
size_t timeZoneOffset(const ZR_SettingsView* v) { return classicLayout(v) ? ZR_S12_TIME_ZONE : ZR_S35_TIME_ZONE; }
size_t enableOffset(const ZR_SettingsView* v) { return classicLayout(v) ? ZR_S12_BAND_ENABLE : ZR_S35_BAND_ENABLE; }

bool bit(const ZR_SettingsView* v, size_t offset, uint8_t mask) { return (payload(v)[offset] & mask) != 0; }
void setBit(ZR_SettingsView* v, size_t offset, uint8_t mask, bool on)
{
    uint8_t& b = payload(v)[offset];
    b = on ? uint8_t(b | mask) : uint8_t(b & ~mask);
}

// --- bands

constexpr const char* kBandSuffix = "\xC6\xB5\xB6\xCE" /* 频段 */;
const char* const kGroupNames[6] = {"X", "Ku", "K", "Ka", "\xC0\xD7\xC9\xE4" /* 雷射 */, "Mtr"};

// Layouts 1 and 2 carry no band description: the bands and their windows are fixed.
struct FixedBand {
    int32_t group;
    int32_t number;
    const char* name;
    uint16_t low, high;
};
const FixedBand kFixedBands[12] = {
    {ZR_BAND_X, 0, "X", 10480, 10720},       {ZR_BAND_KU, 0, "KU", 13350, 13540},
    {ZR_BAND_K, 1, "K1", 22700, 23660},      {ZR_BAND_K, 2, "K2", 23660, 24060},
    {ZR_BAND_K, 3, "K3", 24060, 24410},      {ZR_BAND_K, 4, "K4", 24410, 24900},
    {ZR_BAND_KA, 1, "KA1", 33700, 34200},    {ZR_BAND_KA, 2, "KA2", 34200, 34600},
    {ZR_BAND_KA, 3, "KA3", 34600, 35450},    {ZR_BAND_KA, 4, "KA4", 35450, 35950},
    {ZR_BAND_KA, 5, "KA5", 35950, 36300},    {ZR_BAND_LASER, 0, "\xC0\xD7\xC9\xE4" /* 雷射 */, 0, 0},
};

// Bands per group as the device counts them: negative counts are none, and
// the Mtr count means one band only when it is exactly 1.
void groupCounts(const ZR_SettingsView* v, int counts[6])
{
    for (int g = 0; g < 5; ++g) counts[g] = std::max(0, int(int8_t(payload(v)[ZR_S35_BAND_COUNTS + g])));
    counts[ZR_BAND_MTR] = payload(v)[ZR_S35_MTR_COUNT] == 1 ? 1 : 0;
}

int bandTotal(const ZR_SettingsView* v)
{
    if (classicLayout(v)) return 12;
    if (!bandLayout(v)) return 0;
    int counts[6];
    groupCounts(v, counts);
    int total = 0;
    for (int c : counts) total += c;
    return std::min(total, ZR_MAX_BANDS);
}

size_t windowsOffset(const ZR_SettingsView* v)
{
    switch (v->layoutVersion) {
    case 3: return ZR_S3_BAND_WINDOWS;
    case 4: return ZR_S4_BAND_WINDOWS;
    default: return ZR_S5_BAND_WINDOWS;
    }
}

void appendWindow(char* label, size_t size, uint16_t low, uint16_t high)
{
    size_t n = std::strlen(label);
    std::snprintf(label + n, size - n, "(%.03f~%.03f)", low / 1000.0, high / 1000.0);
}

// --- network fields

struct TextField {
    uint8_t* at;     // null when the view has no such field
    size_t width;    // bytes, terminator included
    bool number;     // the network block's port
};

TextField netField(const ZR_SettingsView* cv, ZR_NetField field)
{
    ZR_SettingsView* v = const_cast<ZR_SettingsView*>(cv);
    if (!ZR_SettingsView_hasNetwork(v)) return {nullptr, 0, false};
    if (v->layoutVersion == 3) {
        uint8_t* p = payload(v);
        switch (field) {
        case ZR_NETFIELD_APN: return {p + ZR_S3_APN, 28, false};
        case ZR_NETFIELD_SERVER: return {p + ZR_S3_SERVER, 20, false};
        case ZR_NETFIELD_PORT: return {p + ZR_S3_PORT, 7, false};
        case ZR_NETFIELD_USER: return {p + ZR_S3_USER, 28, false};
        case ZR_NETFIELD_PASSWORD: return {p + ZR_S3_PASSWORD, 28, false};
        }
        return {nullptr, 0, false};
    }
    uint8_t* n = v->net.bytes;
    switch (field) {
    case ZR_NETFIELD_APN: return {n + ZR_NET_APN, ZR_NET_TEXT_WIDTH, false};
    case ZR_NETFIELD_SERVER: return {n + ZR_NET_SERVER, ZR_NET_SERVER_WIDTH, false};
    case ZR_NETFIELD_PORT: return {n + ZR_NET_PORT, 4, true};
    case ZR_NETFIELD_USER: return {n + ZR_NET_USER, ZR_NET_TEXT_WIDTH, false};
    case ZR_NETFIELD_PASSWORD: return {n + ZR_NET_PASSWORD, ZR_NET_TEXT_WIDTH, false};
    }
    return {nullptr, 0, false};
}

constexpr size_t kPortDigits = 6;

} // namespace

int32_t ZR_SettingsView_load(ZR_SettingsView* view, ZR_Machine* machine)
{
    if (!view) return -1;
    std::memset(view, 0, sizeof *view);
    const ZR_SettingsImage* image = nullptr;
    view->layoutVersion = ZR_Machine_getSettingsView(machine, &view->requiredToolVersion, nullptr, &view->net, &image);
    if (image) view->image = *image;
    return view->layoutVersion;
}

bool ZR_SettingsView_editable(const ZR_SettingsView* view) { return editable(view); }

int32_t ZR_SettingsView_radarState(const ZR_SettingsView* view)
{
    return bandLayout(view) ? int8_t(payload(view)[ZR_S35_RADAR_STATE]) : 0;
}

// ---------------------------------------------------------------------------
// Bands

int ZR_SettingsView_bandCount(const ZR_SettingsView* view) { return bandTotal(view); }

bool ZR_SettingsView_band(const ZR_SettingsView* view, int index, ZR_Band* band)
{
    if (!band || index < 0 || index >= bandTotal(view)) return false;
    std::memset(band, 0, sizeof *band);
    if (classicLayout(view)) {
        const FixedBand& f = kFixedBands[index];
        band->group = f.group;
        band->number = f.number;
        band->hasWindow = 1;
        band->lowMHz = f.low;
        band->highMHz = f.high;
        std::snprintf(band->label, sizeof band->label, "%s%s", f.name, kBandSuffix);
        appendWindow(band->label, sizeof band->label, f.low, f.high);
        return true;
    }

    int counts[6];
    groupCounts(view, counts);
    int group = 0, first = 0;
    while (index >= first + counts[group]) first += counts[group++];
    band->group = group;
    band->number = counts[group] >= 2 ? index - first + 1 : 0;

    // Entries that would lie past the end of the image have no window.
    size_t at = windowsOffset(view) + 4 * size_t(index);
    if (at + 4 <= ZR_SETTINGS_PAYLOAD_SIZE) {
        uint16_t low = bytes::getLe16(payload(view) + at);
        uint16_t high = bytes::getLe16(payload(view) + at + 2);
        if (low >= 2) {
            band->hasWindow = 1;
            band->lowMHz = low;
            band->highMHz = high;
        }
    }

    if (band->number)
        std::snprintf(band->label, sizeof band->label, "%s%d%s", kGroupNames[group], band->number, kBandSuffix);
    else
        std::snprintf(band->label, sizeof band->label, "%s%s", kGroupNames[group], kBandSuffix);
    if (band->number && band->hasWindow) appendWindow(band->label, sizeof band->label, band->lowMHz, band->highMHz);
    return true;
}

bool ZR_SettingsView_bandEnabled(const ZR_SettingsView* view, int index)
{
    if (index < 0 || index >= bandTotal(view)) return false;
    return payload(view)[enableOffset(view) + size_t(index)] != 0;
}

bool ZR_SettingsView_setBandEnabled(ZR_SettingsView* view, int index, bool enabled)
{
    if (index < 0 || index >= bandTotal(view)) return false;
    payload(view)[enableOffset(view) + size_t(index)] = enabled ? 1 : 0;
    return true;
}

// ---------------------------------------------------------------------------
// Time zone and clock

int ZR_SettingsView_timeZone(const ZR_SettingsView* view)
{
    if (!editable(view)) return 0;
    uint8_t b = payload(view)[timeZoneOffset(view)];
    if (view->layoutVersion == 5) {
        // A signed five-bit number; the top three bits belong to the device.
        int v = b & 0x1F;
        return v >= 16 ? v - 32 : v;
    }
    return int8_t(b);
}

bool ZR_SettingsView_hasTimeZone(const ZR_SettingsView* view)
{
    if (!editable(view)) return false;
    int zone = ZR_SettingsView_timeZone(view);
    return zone >= ZR_TIME_ZONE_MIN && zone <= ZR_TIME_ZONE_MAX;
}

bool ZR_SettingsView_setTimeZone(ZR_SettingsView* view, int hours)
{
    if (!ZR_SettingsView_hasTimeZone(view) || hours < ZR_TIME_ZONE_MIN || hours > ZR_TIME_ZONE_MAX) return false;
    uint8_t& b = payload(view)[timeZoneOffset(view)];
    if (view->layoutVersion == 5)
        b = uint8_t((b & 0xE0) | (uint8_t(hours) & 0x1F));
    else
        b = uint8_t(int8_t(hours));
    return true;
}

bool ZR_SettingsView_clock12h(const ZR_SettingsView* view)
{
    return editable(view) && bit(view, clockOffset(view), ZR_CLOCK_12H);
}

bool ZR_SettingsView_setClock12h(ZR_SettingsView* view, bool on)
{
    if (!ZR_SettingsView_hasTimeZone(view)) return false;
    setBit(view, clockOffset(view), ZR_CLOCK_12H, on);
    return true;
}

// ---------------------------------------------------------------------------
// Band numbers, miles, brightness

bool ZR_SettingsView_showNumberSupported(const ZR_SettingsView* view)
{
    if (classicLayout(view)) return true;
    return bandLayout(view) && bit(view, ZR_S35_CLOCK_FLAGS, ZR_CLOCK_SHOW_NUMBER_SUPPORTED);
}

bool ZR_SettingsView_hasShowNumber(const ZR_SettingsView* view)
{
    if (classicLayout(view)) return true;
    if (!bandLayout(view)) return false;
    int counts[6];
    groupCounts(view, counts);
    bool radarBands = counts[ZR_BAND_X] + counts[ZR_BAND_KU] + counts[ZR_BAND_K] + counts[ZR_BAND_KA] +
                          counts[ZR_BAND_LASER] > 0;
    return radarBands && ZR_SettingsView_showNumberSupported(view) && ZR_SettingsView_radarState(view) != 0;
}

bool ZR_SettingsView_showNumber(const ZR_SettingsView* view)
{
    return editable(view) && bit(view, clockOffset(view), ZR_CLOCK_SHOW_NUMBER);
}

bool ZR_SettingsView_setShowNumber(ZR_SettingsView* view, bool on)
{
    if (!ZR_SettingsView_hasShowNumber(view)) return false;
    setBit(view, clockOffset(view), ZR_CLOCK_SHOW_NUMBER, on);
    return true;
}

bool ZR_SettingsView_hasMiles(const ZR_SettingsView* view) { return view && view->layoutVersion == 3; }

bool ZR_SettingsView_miles(const ZR_SettingsView* view)
{
    return ZR_SettingsView_hasMiles(view) && bit(view, ZR_S35_MILES_FLAGS, ZR_MILES);
}

bool ZR_SettingsView_setMiles(ZR_SettingsView* view, bool on)
{
    if (!ZR_SettingsView_hasMiles(view)) return false;
    setBit(view, ZR_S35_MILES_FLAGS, ZR_MILES, on);
    return true;
}

static int brightHour(const ZR_SettingsView* view, bool end)
{
    if (!editable(view)) return -1;
    size_t at = classicLayout(view) ? (end ? ZR_S12_BRIGHT_END : ZR_S12_BRIGHT_START)
                                    : (end ? ZR_S35_BRIGHT_END : ZR_S35_BRIGHT_START);
    return int8_t(payload(view)[at]);
}

static bool setBrightHour(ZR_SettingsView* view, bool end, int hour)
{
    if (brightHour(view, end) < 0 || hour < 0 || hour > 23) return false;
    size_t at = classicLayout(view) ? (end ? ZR_S12_BRIGHT_END : ZR_S12_BRIGHT_START)
                                    : (end ? ZR_S35_BRIGHT_END : ZR_S35_BRIGHT_START);
    payload(view)[at] = uint8_t(hour);
    return true;
}

int ZR_SettingsView_brightStartHour(const ZR_SettingsView* view) { return brightHour(view, false); }
int ZR_SettingsView_brightEndHour(const ZR_SettingsView* view) { return brightHour(view, true); }
bool ZR_SettingsView_setBrightStartHour(ZR_SettingsView* view, int hour) { return setBrightHour(view, false, hour); }
bool ZR_SettingsView_setBrightEndHour(ZR_SettingsView* view, int hour) { return setBrightHour(view, true, hour); }

// ---------------------------------------------------------------------------
// Network

bool ZR_SettingsView_hasNetwork(const ZR_SettingsView* view)
{
    if (!view) return false;
    if (view->layoutVersion == 3) return true;
    return (view->layoutVersion == 4 || view->layoutVersion == 5) && ZR_Net_valid(view->net);
}

size_t ZR_SettingsView_netLimit(const ZR_SettingsView* view, ZR_NetField field)
{
    TextField f = netField(view, field);
    if (!f.at) return 0;
    return field == ZR_NETFIELD_PORT ? kPortDigits : f.width - 1;
}

const char* ZR_SettingsView_netText(const ZR_SettingsView* view, ZR_NetField field, char* buffer, size_t size)
{
    if (!buffer || size == 0) return buffer;
    buffer[0] = 0;
    TextField f = netField(view, field);
    if (!f.at) return buffer;
    if (f.number) {
        std::snprintf(buffer, size, "%u", unsigned(bytes::getLe32(f.at)));
        return buffer;
    }
    // The device may have filled the whole field; its last byte is never text.
    size_t n = 0;
    while (n + 1 < f.width && n + 1 < size && f.at[n] != 0) {
        buffer[n] = char(f.at[n]);
        ++n;
    }
    buffer[n] = 0;
    return buffer;
}

bool ZR_SettingsView_setNetText(ZR_SettingsView* view, ZR_NetField field, const char* text)
{
    TextField f = netField(view, field);
    if (!f.at || !text) return false;
    size_t length = std::strlen(text);
    if (length > ZR_SettingsView_netLimit(view, field)) return false;
    if (field == ZR_NETFIELD_PORT) {
        for (size_t i = 0; i < length; ++i)
            if (text[i] < '0' || text[i] > '9') return false;
    }
    if (f.number) {
        uint32_t port = 0;
        for (size_t i = 0; i < length; ++i) port = port * 10 + uint32_t(text[i] - '0');
        bytes::putLe32(f.at, port);
        return true;
    }
    std::memset(f.at, 0, f.width);
    std::memcpy(f.at, text, length);
    return true;
}
