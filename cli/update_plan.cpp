#include "cli/update_plan.h"

#include <cstdio>

#include "core/strings.h"
#include "common_k52/machine_blocks.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"
#include "ui/tessaly_dlg.h"

namespace {

std::string dateText(const ZR_Date& d)
{
    if (d.year == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
    return text;
}

std::string boardText(uint32_t key)
{
    std::string text = ZR_boardKeyText(key);
    return text.empty() ? "?" : text;
}

std::string kib(uint32_t bytes) { return std::to_string((uint64_t(bytes) + 1023) / 1024) + " KiB"; }

// The date of the package section an image was taken from.
ZR_Date dateOfImage(ZR_Package* package, const uint8_t* data)
{
    if (!data) return {};
    if (package->gpsProvinceRecords.assembled.buffer == data) return package->gpsProvinceRecords.date;
    for (int s = 0; s < ZR_SECTION_COUNT; ++s) {
        const ZR_SectionSlot* slot = ZR_Package_slot(package, ZR_Section(s));
        if (slot && slot->buffer == data) return slot->date;
    }
    return {};
}

PlanPart partOf(ZR_Package* package, const ZR_PlanImage& image)
{
    PlanPart part;
    part.written = image.size > 0;
    part.bytes = image.size;
    part.date = dateOfImage(package, image.data);
    return part;
}

// An HB6T board runs the images made for HB6W: no other board's program.
bool boardRuns(uint32_t deviceKey, uint32_t programKey)
{
    return programKey == deviceKey || (deviceKey == ZR_boardKey("HB6T") && programKey == ZR_boardKey("HB6W"));
}

std::string partLine(const char* name, const std::string& device, const PlanPart& part, const std::string& extra = {})
{
    std::string package = part.written ? dateText(part.date) + "  " + kib(part.bytes) + extra : _("not written");
    return ZR_formatString("  %-13s %-12s %s", _(name), device.c_str(), package.c_str());
}

} // namespace

PlanView Cli_planView(const ZR_Machine* machine, ZR_Package* package, const ZR_WritePlan* plan,
                      const std::string& deviceId, int provinces)
{
    PlanView view;
    view.deviceId = deviceId;
    char board[16] = {};
    ZR_Machine_getBoardName(machine, board, sizeof board);
    view.deviceBoard = Text_gbkToUtf8(board);
    view.deviceBoardKey = ZR_Info_u32(machine->info, ZR_INFO_BOARD_NAME);
    view.deviceProgram = ZR_Info_u32(machine->info, ZR_INFO_PROGRAM_VERSION);
    view.deviceGps = machine->gpsDate;
    view.deviceVoice = machine->voiceDate;
    view.deviceRadarMute = machine->radarMuteDate;
    view.programEntries = package->program.count;

    const ZR_ProgramEntry* entry = nullptr;
    if (!plan) {
        entry = ZR_Package_findProgram(package, view.deviceBoardKey);
    } else if (plan->writeProgram && plan->program.data) {
        for (uint32_t i = 0; i < package->program.count; ++i)
            if (package->program.entries[i].image == plan->program.data) entry = &package->program.entries[i];
    }
    if (entry) {
        view.program.written = true;
        view.program.bytes = entry->imageSize;
        view.programBoardKey = entry->boardKeyValue;
        view.programBoard = boardText(entry->boardKeyValue);
        view.packageProgram = ZR_ProgramEntry_param(entry, ZR_ProgramParam::paramWord);
    }
    if (plan) {
        view.gps = partOf(package, plan->gps);
        view.voice = partOf(package, plan->voice);
        view.radarMute = partOf(package, plan->radarMute);
        view.boot = partOf(package, plan->boot);
        view.updateTool = partOf(package, plan->updateTool);
        view.oled = partOf(package, plan->oled);
        view.provinces = provinces;
    }
    return view;
}

std::vector<std::string> Cli_planLines(const PlanView& v)
{
    std::vector<std::string> lines;
    lines.push_back(ZR_formatString(_("device %s: board %s, program version %u"), v.deviceId.c_str(),
                               v.deviceBoard.c_str(), v.deviceProgram));
    lines.push_back(ZR_formatString("  %-13s %-12s %s", "", _("device"), _("package writes")));
    std::string program = _("not written");
    if (v.program.written)
        program = std::to_string(v.packageProgram) + "  " + kib(v.program.bytes) + "  " +
                  ZR_formatString(_("for board %s"), v.programBoard.c_str());
    lines.push_back(ZR_formatString("  %-13s %-12s %s", _("program"), std::to_string(v.deviceProgram).c_str(),
                               program.c_str()));
    std::string provinces = v.provinces > 0 ? "  (" + ZR_formatString(_("%d provinces"), v.provinces) + ")" : "";
    lines.push_back(partLine(N_("GPS data"), dateText(v.deviceGps), v.gps, provinces));
    lines.push_back(partLine(N_("voice data"), dateText(v.deviceVoice), v.voice));
    lines.push_back(partLine(N_("radar mute"), dateText(v.deviceRadarMute), v.radarMute));
    if (v.boot.written) lines.push_back(partLine(N_("boot loader"), "", v.boot));
    if (v.updateTool.written) lines.push_back(partLine(N_("update tool"), "", v.updateTool));
    if (v.oled.written) lines.push_back(partLine(N_("OLED data"), "", v.oled));
    return lines;
}

std::vector<std::string> Cli_planWarnings(const PlanView& v)
{
    std::vector<std::string> warnings;
    if (v.gps.written && v.gps.date.year != 0 && v.deviceGps.year != 0 &&
        TessalyDlg_dateNumber(v.gps.date) < TessalyDlg_dateNumber(v.deviceGps))
        warnings.push_back(ZR_formatString(_("warning: the package's GPS data (%s) is older than the device's (%s)"),
                                      dateText(v.gps.date).c_str(), dateText(v.deviceGps).c_str()));
    if (v.program.written && v.deviceBoardKey != 0 && !boardRuns(v.deviceBoardKey, v.programBoardKey)) {
        const char* text = v.programEntries == 1
                               ? _("warning: the program written is made for board %s, the device is a %s: the "
                                   "package carries this one program, which is written whatever its board")
                               : _("warning: the program written is made for board %s, the device is a %s");
        warnings.push_back(ZR_formatString(text, v.programBoard.c_str(), v.deviceBoard.c_str()));
    }
    return warnings;
}
