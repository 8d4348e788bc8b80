// The terminal's province choice: a typed list ("北京,上海", "0,1,27", "all")
// read against what the package carries and the room the device has. Plain
// functions of the sizes, so the rules are tested without a device.
//
// `all` takes the provinces from the largest to the smallest, each one that
// still fits in what is left of the room (one that does not is skipped and a
// smaller one may still follow); equal sizes go by table position. It is the
// most data a single pass can put on the device without asking.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/province_table.h"

// Sizes in bytes of the package's provinces by table position (0: none).
using ProvinceSizes = std::vector<uint32_t>;

struct ProvincePick {
    std::vector<int> positions;        // chosen, in the order typed (or of `all`)
    std::vector<std::string> unknown;  // items naming no province (as typed)
    std::vector<std::string> absent;   // provinces the package carries nothing for (UTF-8 names)
    bool all = false;                  // the list was `all`
};

// The positions `all` takes within room bytes.
std::vector<int> ProvincePick_all(const ProvinceSizes& sizes, uint64_t room);

// Reads a comma-separated list of names (UTF-8) or positions 0 to 33, or
// `all`. Blank items are skipped and a province named twice counts once.
ProvincePick ProvincePick_parse(const std::string& list, const ProvinceSizes& sizes, uint64_t room);

// Why a pick cannot be written ("" when it can): unknown items and provinces
// without data by name, a selection without data, or one over the room.
std::string ProvincePick_problem(const ProvincePick& pick, const ProvinceSizes& sizes, uint64_t room);

// Every province the package carries, one line each: its position, name and
// size in KiB.
std::vector<std::string> ProvincePick_table(const ProvinceSizes& sizes);

// The chosen provinces with their sizes and the running total against the
// room, one line each; the line that passes the room says so.
std::vector<std::string> ProvincePick_totals(const ProvincePick& pick, const ProvinceSizes& sizes, uint64_t room);
