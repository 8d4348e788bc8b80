// Ready devices for tests, benchmarks and the simulator program. A preset
// names the boot version and flash size of a kind of device and fills a
// SimDevice's flash with the blocks such a device holds.
//
//  name      boot  flash   map      information block            settings        client
//  classic   1046  8 MiB   classic  0x016000, board MVT7, v2310  layout 2        "Halcyon Path" (NUL-padded)
//  502       1050  16 MiB  502      0x01E000, board HB6T, v5021  layout 5        "Halcyon Path" (0xFF-ended)
//                                   + network block at 0x01E100
//  layout3   1046  8 MiB   classic  0x016000, board GT30, v3100  layout 3 + net  "Lumen Drive"
//  layout4   1046  8 MiB   classic  0x016000, board QX40, v4200  layout 4        "Ostara Labs"
//                                   + network block at 0x016100
//  layout1   1030  8 MiB   classic  none (fixed area table)      layout 1        "Halcyon Path"
//  blank     1046  8 MiB   -        none; every byte 0xFF        none            none (all 0xFF)
//  borealis  1046  8 MiB   classic  0x016000, board BT21, v1200  fits no layout  "Borealis Tech" (0xFF-ended)
//  boot1010  1010  8 MiB   as classic
//  boot1045  1045  8 MiB   as classic
//
// Area tables (start/size) and image dates; "-" is an empty area:
//  classic   server 0x019000/0x2000, voice 0x01B000/0x180000 (2023-06-15, total-first header),
//            radar mute 0x19B000/0x20000 (2023-09-01), update tool 0x1BB000/0x10000, OLED -,
//            track 0x1CB000/0x10000, GPS 0x1DB000/0x300000 (2024-03-20), end 0x4DB000; areaPlain 0
//  502       server 0x021000/0x2000, voice 0x023000/0x200000 (2024-05-18), radar mute 0x223000/0x30000
//            (2024-01-10), update tool -, OLED 0x253000/0x8000, track 0x25B000/0x10000,
//            GPS 0x26B000/0x400000 (2024-11-02), end 0x66B000; areaPlain 1
//  layout3   server -, voice 0x019000/0x100000 (2022-12-31), radar mute 0x119000/0x10000 (2021-07-07),
//            update tool -, OLED -, track -, GPS 0x129000/0x200000 (2021-04-05), end 0x329000; areaPlain 0
//  layout4   server 0x019000/0x1000, voice 0x01A000/0x100000 (2024-01-10), radar mute 0x11A000/0x10000
//            (2023-09-01), update tool 0x12A000/0x8000, OLED -, track -, GPS 0x132000/0x300000
//            (2024-05-18), end 0x432000; areaPlain 1
//  layout1   the fixed table: voice 0x0DE000 (2020-01-01, total-first header), radar mute 0x016000
//            (2020-09-13), GPS 0x2DE000 (2021-07-07)
//  borealis  voice 0x019000/0x80000 (2022-12-31), radar mute -, GPS 0x099000/0x100000 (2024-01-10)
//
// The third part of every valid parameter image holds byte i = i * 7 + 3.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "sim/sim_device.h"

struct SimPreset {
    const char* name;
    const char* summary;              // one line for listings
    uint32_t bootVersion;             // answer of HIDC_BOOT_VERSION
    uint32_t flashSize;               // bytes
    void (*fill)(SimDevice* device);  // writes the preset's blocks over blank flash
};

// The preset of that name, or null.
const SimPreset* SimPreset_find(const std::string& name);
// Every preset name, in the order of the table above.
std::vector<std::string> SimPreset_names();
// base with the preset's boot version and flash size (latency and image path kept).
SimDeviceOptions SimPreset_options(const SimPreset& preset, SimDeviceOptions base = {});
// Blanks the whole flash and fills it as the preset says. False when the
// device's flash is smaller than the preset's.
bool SimPreset_apply(const SimPreset& preset, SimDevice* device);
// A new device made and filled by the named preset, or null for an unknown name.
std::unique_ptr<SimDevice> SimPreset_make(const std::string& name, SimDeviceOptions base = {});

// ---------------------------------------------------------------------------
// Block writers the presets are made of, for tests that build their own
// variants. Each writes straight into flash, with no protocol.

// Parameter image at address: the information block behind its sum, the
// network block behind its sum when given (else erased), the third part when
// given (else erased).
void SimFlash_putParam(SimDevice* device, uint32_t address, const ZR_InfoBlock& info, const ZR_NetBlock* net,
                       const uint8_t* thirdPart);
// Settings image at address: the 252-byte payload with, for layouts 3 to 5,
// the magic put in its place, and the sum of the layout.
void SimFlash_putSettings(SimDevice* device, uint32_t address, int32_t layout, const uint8_t* payload);
// Client block at address: the text, then NUL bytes (nulPadded) or erased flash.
void SimFlash_putClient(SimDevice* device, uint32_t address, const char* text, bool nulPadded);
// First 256 bytes of a data area carrying a date: (date, ...) or, with
// totalFirst, the older voice form (total, date, 1, 0).
void SimFlash_putAreaHeader(SimDevice* device, uint32_t start, uint32_t seconds, bool totalFirst, uint32_t total = 0);
