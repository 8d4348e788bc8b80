// What a device says about itself, as JSON for `devices --json` and
// `info --json`: the texts the device keeps in GBK come out as UTF-8, dates as
// "YYYY-MM-DD" (null when the device holds none).
#pragma once

#include <nlohmann/json.hpp>

#include "common_k52/machine.h"
#include "core/package.h"

using CliJson = nlohmann::ordered_json;

// "2024-06-01", or null for a zero date.
CliJson Cli_dateJson(const ZR_Date& date);

// Board, program version and the data images' dates of an identified device.
CliJson Cli_deviceSummaryJson(const ZR_Machine* machine);

// Everything the information text holds, by field.
CliJson Cli_deviceInfoJson(const ZR_Machine* machine);
