// A typed view over a copy of the device's settings image and network block,
// for the configuration dialog and the terminal alike: which options the
// device offers, their values, the radar bands with their labels, and the
// network texts. Setters change only the bytes and bits their field owns and
// refuse (returning false, bytes untouched) what the device does not offer or
// what does not fit. Texts are GBK.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common_k52/machine.h"

// Payload offsets (settings image offset less 4) of the fields.
enum : size_t {
    // Layouts 1 and 2.
    ZR_S12_CLOCK_FLAGS = 4,
    ZR_S12_TIME_ZONE = 6,
    ZR_S12_BAND_ENABLE = 7,  // 12 bytes
    ZR_S12_BRIGHT_START = 20,
    ZR_S12_BRIGHT_END = 21,
    // Layouts 3 to 5.
    ZR_S35_CLOCK_FLAGS = 12,
    ZR_S35_MILES_FLAGS = 13,  // layout 3
    ZR_S35_TIME_ZONE = 14,
    ZR_S35_BAND_COUNTS = 15,  // X, KU, K, KA, laser: one signed byte each
    ZR_S35_BAND_ENABLE = 20,
    ZR_S35_MTR_COUNT = 42,
    ZR_S35_BRIGHT_START = 46,
    ZR_S35_BRIGHT_END = 47,
    ZR_S35_RADAR_STATE = 48,
    // Layout 3 network texts (width in brackets).
    ZR_S3_APN = 49,        // [28]
    ZR_S3_SERVER = 77,     // [20]
    ZR_S3_PORT = 97,       // [7] decimal text
    ZR_S3_USER = 104,      // [28]
    ZR_S3_PASSWORD = 132,  // [28]
};

// Band windows: four bytes per band (low, high MHz) from this payload offset.
inline constexpr size_t ZR_S3_BAND_WINDOWS = 170;
inline constexpr size_t ZR_S4_BAND_WINDOWS = 64;
inline constexpr size_t ZR_S5_BAND_WINDOWS = 111;

inline constexpr uint8_t ZR_CLOCK_12H = 0x20;
inline constexpr uint8_t ZR_CLOCK_SHOW_NUMBER = 0x40;
inline constexpr uint8_t ZR_CLOCK_SHOW_NUMBER_SUPPORTED = 0x80;  // layouts 3 to 5, read only
inline constexpr uint8_t ZR_MILES = 0x80;

inline constexpr int ZR_TIME_ZONE_MIN = -12;
inline constexpr int ZR_TIME_ZONE_MAX = 13;

// Band enable bytes fit between payload offsets 20 and 41; the Mtr count
// follows them, so no more bands than this are ever shown or written.
inline constexpr int ZR_MAX_BANDS = 22;

enum ZR_BandGroup : int32_t {
    ZR_BAND_X = 0,
    ZR_BAND_KU = 1,
    ZR_BAND_K = 2,
    ZR_BAND_KA = 3,
    ZR_BAND_LASER = 4,
    ZR_BAND_MTR = 5,
};

struct ZR_Band {
    int32_t group;     // ZR_BAND_*
    int32_t number;    // 1-based within its group; 0 when the group has a single band
    int32_t hasWindow; // 1 when the device gives a frequency window for the band
    uint16_t lowMHz;   // the window, when there is one
    uint16_t highMHz;
    char label[48];    // GBK, e.g. "K2频段(24.050~24.250)"
};

enum ZR_NetField : int32_t {
    ZR_NETFIELD_APN = 0,
    ZR_NETFIELD_SERVER = 1,
    ZR_NETFIELD_PORT = 2,
    ZR_NETFIELD_USER = 3,
    ZR_NETFIELD_PASSWORD = 4,
};
inline constexpr size_t ZR_NET_TEXT_CAPACITY = 64;  // enough for any network text and its NUL

struct ZR_SettingsView {
    int32_t layoutVersion;          // 1 to 5 editable; 0 and -1 have no settings
    uint32_t requiredToolVersion;   // from the information block
    ZR_SettingsImage image;         // the copy being edited
    ZR_NetBlock net;                // the copy being edited (layouts 4 and 5)
};

// Fills the view from the record (ZR_Machine_getSettingsView). Gives the
// layout version; -1 and a zeroed view without a record.
int32_t ZR_SettingsView_load(ZR_SettingsView* view, ZR_Machine* machine);
// True for layouts 1 to 5.
bool ZR_SettingsView_editable(const ZR_SettingsView* view);

// Radar state (layouts 3 to 5, else 0): negative while the radar settings are
// defaults, 0 when the show-number option is not offered.
int32_t ZR_SettingsView_radarState(const ZR_SettingsView* view);

// --- radar bands
int ZR_SettingsView_bandCount(const ZR_SettingsView* view);
// Band index 0 .. count-1 in the device's order; false outside.
bool ZR_SettingsView_band(const ZR_SettingsView* view, int index, ZR_Band* band);
bool ZR_SettingsView_bandEnabled(const ZR_SettingsView* view, int index);
bool ZR_SettingsView_setBandEnabled(ZR_SettingsView* view, int index, bool enabled);

// --- time zone and clock (offered together, only while the stored zone is in range)
bool ZR_SettingsView_hasTimeZone(const ZR_SettingsView* view);
int ZR_SettingsView_timeZone(const ZR_SettingsView* view);  // stored hours, decoded; meaningful when offered
bool ZR_SettingsView_setTimeZone(ZR_SettingsView* view, int hours);  // -12 to 13
bool ZR_SettingsView_clock12h(const ZR_SettingsView* view);
bool ZR_SettingsView_setClock12h(ZR_SettingsView* view, bool on);

// --- band numbers on the display
bool ZR_SettingsView_hasShowNumber(const ZR_SettingsView* view);
bool ZR_SettingsView_showNumberSupported(const ZR_SettingsView* view);  // the device's own bit
bool ZR_SettingsView_showNumber(const ZR_SettingsView* view);
bool ZR_SettingsView_setShowNumber(ZR_SettingsView* view, bool on);

// --- distances in miles (layout 3)
bool ZR_SettingsView_hasMiles(const ZR_SettingsView* view);
bool ZR_SettingsView_miles(const ZR_SettingsView* view);
bool ZR_SettingsView_setMiles(ZR_SettingsView* view, bool on);

// --- day-brightness hours; a negative stored hour means "not offered"
int ZR_SettingsView_brightStartHour(const ZR_SettingsView* view);
int ZR_SettingsView_brightEndHour(const ZR_SettingsView* view);
bool ZR_SettingsView_setBrightStartHour(ZR_SettingsView* view, int hour);  // 0 to 23
bool ZR_SettingsView_setBrightEndHour(ZR_SettingsView* view, int hour);

// --- network settings: in the image for layout 3, in the network block for
// layouts 4 and 5 (only while it carries its magic)
bool ZR_SettingsView_hasNetwork(const ZR_SettingsView* view);
// Longest text the field takes (the port: decimal digits); 0 without network.
size_t ZR_SettingsView_netLimit(const ZR_SettingsView* view, ZR_NetField field);
// The field as text (the port of the network block as decimal); "" without network.
const char* ZR_SettingsView_netText(const ZR_SettingsView* view, ZR_NetField field, char* buffer, size_t size);
// Writes the field whole (cleared, then copied). Refuses texts longer than
// the limit and ports that are not decimal digits.
bool ZR_SettingsView_setNetText(ZR_SettingsView* view, ZR_NetField field, const char* text);
