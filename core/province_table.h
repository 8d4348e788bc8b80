// The 34 provinces in the device's fixed order. A province's position in this
// table is its index in every selection of provinces (the province dialog's
// check boxes, the flags handed to ZR_Package_assembleProvinceGps).
#pragma once

inline constexpr int PROVINCE_COUNT = 34;
inline constexpr int PROVINCE_NAME_FIELD = 20; // bytes per name, zero-padded

// GBK names, zero-terminated within their field. Province data in update
// containers is matched against these exact bytes.
extern const char ProvinceTable[PROVINCE_COUNT][PROVINCE_NAME_FIELD];
