// The province dialog's map picture (res/province_map.png), embedded in the
// program at build time.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint8_t kProvinceMapPng[];
extern const size_t kProvinceMapPngSize;
