// The carrier list of the network settings: the mobile carriers whose SIM
// cards the modem devices hold, with the access point, user and password each
// carrier publishes for mobile data. The configuration dialog (combo box 1043)
// offers them in this order; choosing one fills the three network edits.
//
// Texts are GBK. The table is constant build data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class DialogHost;

struct CarrierPreset {
    char name[100];         // shown in the list
    char accessPoint[100];  // empty only for "Others"
    char user[100];         // may be empty
    char password[100];     // may be empty
    int32_t editable;       // 0: the three texts are fixed once the carrier is chosen
};
static_assert(sizeof(CarrierPreset) == 404, "a carrier record is 404 bytes");

inline constexpr int CARRIER_PRESET_COUNT = 30;
inline constexpr int CARRIER_OTHERS = 29;  // the empty record: the user's own texts

extern const CarrierPreset CarrierPresetTable[CARRIER_PRESET_COUNT];

// The edits a carrier fills (configuration dialog ids).
enum : int {
    IDC_CFG_USER = 1051,
    IDC_CFG_PASSWORD = 1052,
    IDC_CFG_APN = 1054,
};

// Equal without regard to ASCII letter case, a GBK double-byte character
// counting as one unit that matches only itself (its trail byte is never
// case-folded). Null counts as "".
bool CarrierPreset_sameText(const char* a, const char* b);

// The last record of list[0 .. count-1] whose access point equals accessPoint
// (as CarrierPreset_sameText); -1 when none does.
int CarrierPreset_find(const CarrierPreset* list, int count, const char* accessPoint);

// Puts the record's access point, user and password into the edits 1054,
// 1051 and 1052 and enables them when the record is editable. Server and port
// are not touched.
void CarrierPreset_apply(DialogHost& host, const CarrierPreset& preset);

// The three texts the device itself holds, editable: what "Others" shows when
// the device's access point belongs to no listed carrier, so that a
// confirmation keeps the device's own modem settings.
void CarrierPreset_applyOwn(DialogHost& host, const std::string& accessPoint, const std::string& user,
                            const std::string& password);
