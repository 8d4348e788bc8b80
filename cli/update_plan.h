// What an update is about to write, shown before the device changes: the
// device (id, board, program version, data dates) beside what the package
// writes, and the warnings that deserve a second look (older GPS data than
// the device holds, a program made for another board).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "core/package.h"

struct PlanPart {
    bool written = false; // the package writes this part
    ZR_Date date{};       // the image's date (zero: none)
    uint32_t bytes = 0;   // the image's size
};

struct PlanView {
    std::string deviceId;           // as `devices` shows it
    std::string deviceBoard;        // UTF-8
    uint32_t deviceBoardKey = 0;    // the board's four characters as a word
    uint32_t deviceProgram = 0;     // program version
    ZR_Date deviceGps{}, deviceVoice{}, deviceRadarMute{};

    PlanPart program, gps, voice, radarMute, boot, updateTool, oled;
    std::string programBoard;       // the board key of the program image written
    uint32_t programBoardKey = 0;
    uint32_t packageProgram = 0;    // the program version the image brings
    uint32_t programEntries = 0;    // program images the package carries
    int provinces = 0;              // GPS data of this many chosen provinces (0: the package's whole GPS data)
};

// The view of a laid-out plan (null plan: a package holding only a program,
// which is written on its own).
PlanView Cli_planView(const ZR_Machine* machine, ZR_Package* package, const ZR_WritePlan* plan,
                      const std::string& deviceId, int provinces);

// The lines shown: the device, then one line per part (device | package).
std::vector<std::string> Cli_planLines(const PlanView& view);

// "warning: ..." lines; none when nothing needs a second look.
std::vector<std::string> Cli_planWarnings(const PlanView& view);
