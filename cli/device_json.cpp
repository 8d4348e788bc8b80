#include "cli/device_json.h"

#include <cstdio>
#include <string>

#include "common_k52/machine_blocks.h"
#include "platform/text_codec.h"

namespace {

std::string boardOf(const ZR_Machine* machine)
{
    char board[8];
    ZR_Machine_getBoardName(machine, board, sizeof board);
    return Text_gbkToUtf8(board);
}

int32_t infoValue(const ZR_Machine* machine, size_t field) { return int32_t(ZR_Info_u32(machine->info, field)); }

CliJson area(const ZR_Machine* machine, const ZR_Date& date, size_t sizeField)
{
    return CliJson{{"date", Cli_dateJson(date)}, {"size", infoValue(machine, sizeField)}};
}

} // namespace

CliJson Cli_dateJson(const ZR_Date& date)
{
    if (date.year == 0) return nullptr;
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
    return text;
}

CliJson Cli_deviceSummaryJson(const ZR_Machine* machine)
{
    return CliJson{
        {"board", boardOf(machine)},
        {"program_version", infoValue(machine, ZR_INFO_PROGRAM_VERSION)},
        {"gps_date", Cli_dateJson(machine->gpsDate)},
        {"voice_date", Cli_dateJson(machine->voiceDate)},
        {"radar_mute_date", Cli_dateJson(machine->radarMuteDate)},
    };
}

CliJson Cli_deviceInfoJson(const ZR_Machine* machine)
{
    char client[100], tool[100];
    ZR_Machine_getClientText(machine, client);
    ZR_Machine_getUpdateToolText(machine, tool);
    return CliJson{
        {"is_502", machine->is502 != 0},
        {"boot_version", machine->bootVersion},
        {"flash_size", machine->flashSize},
        {"main_setting_version", infoValue(machine, ZR_INFO_MAIN_SETTING_VERSION)},
        {"board", boardOf(machine)},
        {"program_version", infoValue(machine, ZR_INFO_PROGRAM_VERSION)},
        {"client", Text_gbkToUtf8(client)},
        {"gps", area(machine, machine->gpsDate, ZR_INFO_GPS_SIZE)},
        {"voice", area(machine, machine->voiceDate, ZR_INFO_VOICE_SIZE)},
        {"radar_mute", area(machine, machine->radarMuteDate, ZR_INFO_RADAR_MUTE_SIZE)},
        {"update_tool", {{"version", Text_gbkToUtf8(tool)}, {"size", infoValue(machine, ZR_INFO_UPDATE_TOOL_SIZE)}}},
        {"server", {{"size", infoValue(machine, ZR_INFO_SERVER_SIZE)}}},
    };
}
