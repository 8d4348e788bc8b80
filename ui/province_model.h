// The province choice: when a package's data does not fit the device and the
// package carries GPS data by province, the user picks provinces whose data
// together fits the room the write plan left for GPS data. This is the plain
// logic of that choice (sizes, the room rule, the texts); the map dialog and
// the terminal's prompt present it.
//
// Provinces are the 34 positions of ProvinceTable; the province's check box
// has the control id PROVINCE_FIRST_CONTROL + position.
#pragma once

#include <cstdint>
#include <string>

#include "core/package.h"
#include "core/province_table.h"

inline constexpr int PROVINCE_FIRST_CONTROL = 2000;

// Message texts of the choice, GBK.
extern const char* const kProvinceCaption;        // "省份选择"
extern const char* const kProvinceTooLargeText;   // "选择的省份数据已超过设备可保存大小。"
extern const char* const kProvinceNoneChosenText; // "至少需选择一个省数据！"

// Bytes of the province at table position p in the package: the record count
// of the first province entry whose name equals the table's (ASCII letters
// compared without case) times the record size, as an unsigned 32-bit
// product. 0 without such an entry, for a null package or a position outside
// 0 to 33.
uint32_t Province_size(const ZR_Package* package, int position);

// Sum of the sizes of the provinces whose check state is not 0. Summed in 64
// bits: 34 provinces of up to 4 GiB each must not wrap into something that
// looks as if it fitted.
uint64_t Province_selectedSize(const ZR_Package* package, const int checked[PROVINCE_COUNT]);

// "分省数据包，最多可储存（<room>K)数据，超过无法升级，请在地图上勾选。已勾选(<selected>K)。"
// with both sizes in whole KiB (rounded down), GBK.
std::string Province_statusText(uint32_t room, uint64_t selectedSize);

// The caption followed by the size in whole KiB and "K": "北京1234K".
std::string Province_labelText(const char* caption, uint32_t size);

// One showing of the choice. Starts with nothing checked; an earlier choice
// is never restored.
struct ProvinceChoice {
    const ZR_Package* package = nullptr; // borrowed
    uint32_t room = 0;                   // bytes left for GPS data
    int checked[PROVINCE_COUNT] = {};    // the check boxes
    int accepted = 0;                    // 1 once a confirmation was attempted
    int flags[PROVINCE_COUNT] = {};      // the check states taken at the last confirmation
};

// A fresh choice over package with room bytes; a negative room (the plan's
// GPS room may be below zero) counts as 0.
void ProvinceChoice_begin(ProvinceChoice* choice, const ZR_Package* package, int64_t room);

// Checks or unchecks a province. 1 when the change stands (the status text is
// then renewed); 0 when checking it would take the selection past the room:
// the province stays unchecked, the caller shows kProvinceTooLargeText and
// keeps the old status text. Unchecking always stands. 0 for a position
// outside the table.
int ProvinceChoice_set(ProvinceChoice* choice, int position, bool check);

// Unchecks every province.
void ProvinceChoice_clear(ProvinceChoice* choice);

// Confirms: sets accepted and takes the flags from the check states. 1 when the
// chosen provinces hold GPS records (the choice ends); 0 when none is chosen or
// every chosen one is empty in the package (the caller shows
// kProvinceNoneChosenText and the choice stays open): writing such a choice
// would leave the device with an empty GPS area.
int ProvinceChoice_confirm(ProvinceChoice* choice);

// The status text for the current check states.
std::string ProvinceChoice_statusText(const ProvinceChoice* choice);
