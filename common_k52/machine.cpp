// The machine record: creation and release, identification over the command
// channel, the progress runs every transfer feeds, the parameter image, the
// texts and the information file.
#include "common_k52/machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>

#include "common_k52/client_table.h"
#include "common_k52/machine_blocks.h"
#include "core/log.h"
#include "platform/translate_marks.h"
#include "core/runtime.h"
#include "core/stream.h"

#define MACHINE_LOG(...) ZR_log("..\\common_k52\\ZR_Machine", __LINE__, __func__, __VA_ARGS__)

namespace {

constexpr uint32_t kReportStride = 4096;  // bytes between two progress reports at most this often
constexpr uint32_t kFullScale = 10000;
constexpr uint32_t kAreaHeaderSize = 256;

void report(ZR_Machine* m, uint32_t phase, uint32_t value)
{
    if (m->progress) m->progress(m->progressUser, m, phase, value, m->run.startTick);
}

// The channel's data-phase callback, routed by the record's progress mode.
void channelProgress(void* user, uint32_t phase, uint32_t count, uint32_t total)
{
    ZR_Machine* m = static_cast<ZR_Machine*>(user);
    if (!m) return;
    if (m->progressMode == ZR_PROGRESS_SELF) {
        if (phase == 0) ZR_Machine_progressBegin(m, total);
        else if (phase == 1) ZR_Machine_progressStep(m, count);
        else if (phase == 2) ZR_Machine_progressEnd(m);
    } else if (m->progressMode == ZR_PROGRESS_CALLER && phase == 1) {
        ZR_Machine_progressStep(m, count);
    }
}

enum class Read { ok, skipped, failed };

// Every read of identification goes through here. The addresses come partly
// from the device itself, and a read past the end of its flash would only
// stall the link until the transfer times out: such a read is skipped. A
// reply that never came or came garbled is asked for once more.
Read readBlock(ZR_Machine* m, uint32_t address, uint8_t* destination, uint32_t length, uint32_t readFlag)
{
    if (uint64_t(address) + length > m->flashSize) {
        MACHINE_LOG("skip read[0x%X][0x%X]: beyond flash size 0x%X", address, length, m->flashSize);
        return Read::skipped;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Hidc_readFlash(m->channel, address, destination, length, readFlag) == 1) return Read::ok;
        if (!Hidc_faultRetryable(m->channel->lastFault)) break;
        if (attempt == 0)
            MACHINE_LOG("read[0x%X][0x%X]: %s, asking again", address, length, Hidc_faultText(m->channel->lastFault));
    }
    return Read::failed;
}

bool readInside(ZR_Machine* m, uint32_t address, uint8_t* destination, uint32_t length, uint32_t readFlag)
{
    return readBlock(m, address, destination, length, readFlag) == Read::ok;
}

// A one-packet query with the same second chance; true with its answer.
bool query(HidcChannel* ch, uint32_t (*ask)(HidcChannel*), uint32_t* answer)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        *answer = ask(ch);
        if (ch->lastFault == HIDC_FAULT_NONE) return true;
        if (!Hidc_faultRetryable(ch->lastFault)) return false;
    }
    return false;
}

// One identification. A device that answered the boot-version query speaks
// the protocol: a block it then does not deliver is a fault, and guessing a
// default in its place would later be written back over what it holds. An
// old boot loader that never answers keeps the defaults.
struct Identification {
    ZR_Machine* m;
    bool speaksProtocol;
    int delivered;  // block reads that succeeded
};

int identificationFailed(ZR_Machine* m)
{
    // Nothing of a failed identification may pass for the device's state.
    std::memset(&m->voiceDate, 0, sizeof m->voiceDate);
    std::memset(&m->radarMuteDate, 0, sizeof m->radarMuteDate);
    std::memset(&m->gpsDate, 0, sizeof m->gpsDate);
    m->identified = 0;
    return 0;
}

// A block read of identification: false when it ends the identification.
bool readOrEnd(Identification& id, const char* what, uint32_t address, uint8_t* destination, uint32_t length,
               uint32_t readFlag, Read* outcome)
{
    *outcome = readBlock(id.m, address, destination, length, readFlag);
    if (*outcome == Read::ok) ++id.delivered;
    if (*outcome != Read::failed || !id.speaksProtocol) return true;
    ZR_Machine_setError(id.m, N_("reading the %s at 0x%X failed: %s"), what, address,
                        Hidc_faultCause(id.m->channel).c_str());
    return false;
}

enum class Copy { ended, none, taken };

// Reads the parameter image at map.parameter; on a valid information block
// takes it and the third part. *complete drops when a read failed.
Copy takeParameterCopy(Identification& id, const ZR_FlashMap& map, bool* complete)
{
    ZR_Machine* m = id.m;
    uint8_t image[256];
    Read r;
    if (!readOrEnd(id, "parameter image", map.parameter, image, sizeof image, 0, &r)) return Copy::ended;
    if (r == Read::failed) *complete = false;
    if (r != Read::ok || !ZR_blockImageValid(image, ZR_INFO_BLOCK_SIZE)) return Copy::none;
    std::memcpy(m->info.bytes, image + 4, ZR_INFO_BLOCK_SIZE);
    if (!readOrEnd(id, "third part of the parameter image", map.parameter + ZR_PARAM_THIRD_OFFSET, m->thirdPart,
                   ZR_THIRD_PART_SIZE, 0, &r))
        return Copy::ended;
    if (r != Read::ok) {
        std::memset(m->thirdPart, 0, ZR_THIRD_PART_SIZE);
        if (r == Read::failed) *complete = false;
    }
    return Copy::taken;
}

// The areas whose images carry a date, with their place in the fixed table
// of a device that has no information block.
struct DatedArea {
    ZR_Area area;
    ZR_AreaExtent fixed;
    ZR_Date ZR_Machine::*date;
};
constexpr DatedArea kDatedAreas[] = {
    {ZR_AREA_VOICE, {ZR_FIXED_VOICE_START, ZR_FIXED_VOICE_SIZE}, &ZR_Machine::voiceDate},
    {ZR_AREA_RADAR_MUTE, {ZR_FIXED_RADAR_MUTE_START, ZR_FIXED_RADAR_MUTE_SIZE}, &ZR_Machine::radarMuteDate},
    {ZR_AREA_GPS, {ZR_FIXED_GPS_START, ZR_FIXED_GPS_SIZE}, &ZR_Machine::gpsDate},
};

// One image's date from the first bytes of its area; stays zero when the area
// is empty or (old boot loaders) its header cannot be read. False when the
// read ends the identification.
bool readAreaDate(Identification& id, const char* name, ZR_AreaExtent area, uint32_t readFlag, size_t dateWord,
                  ZR_Date* date)
{
    if (area.size == 0) return true;
    uint8_t header[kAreaHeaderSize];
    char what[64];
    std::snprintf(what, sizeof what, "%s image header", name);
    Read r;
    if (!readOrEnd(id, what, area.start, header, sizeof header, readFlag, &r)) return false;
    if (r != Read::ok) {
        MACHINE_LOG("no %s date[0x%X]", name, area.start);
        return true;
    }
    uint32_t seconds = bytes::getLe32(header + 4 * dateWord);
    // Erased flash is no image; read as a date it would be early 2106 and make
    // every blank device look newer than any package.
    if (seconds == 0xFFFFFFFF) return true;
    ZR_secondsToDate(seconds, date);
    return true;
}

bool beginsWith(const char* text, const char* prefix)
{
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void formatDate(const ZR_Date& date, char* buffer, size_t size)
{
    if (date.year == 0)
        buffer[0] = 0;
    else
        std::snprintf(buffer, size, "%d%02d%02d", date.year, date.month, date.day);
}

} // namespace

// ---------------------------------------------------------------------------
// Record

ZR_Machine* ZR_Machine_create(ZR_MachineAcceptFn accept, void* acceptUser, ZR_MachineProgressFn progress,
                              void* progressUser)
{
    ZR_Machine* m = new (std::nothrow) ZR_Machine();
    if (!m) return nullptr;
    m->refCount.store(1);
    m->accept = accept;
    m->acceptUser = acceptUser;
    m->progress = progress;
    m->progressUser = progressUser;
    m->layoutVersion = -1;
    std::memset(m->client, 0xFF, sizeof m->client);
    m->channel = new (std::nothrow) HidcChannel();
    if (m->channel) {
        m->channel->progress = channelProgress;
        m->channel->progressUser = m;
    } else {
        MACHINE_LOG("no memory for the command channel");
    }
    return m;
}

void ZR_Machine_release(ZR_Machine* machine)
{
    if (!machine) return;
    if (machine->refCount.fetch_sub(1) != 1) return;
    if (machine->channel) {
        Hidc_closePort(machine->channel->port);
        delete machine->channel;
    }
    delete machine;
}

// ---------------------------------------------------------------------------
// Identification

int ZR_Machine_identify(ZR_Machine* m)
{
    if (!m || !m->channel) return 0;
    HidcChannel* ch = m->channel;

    m->progressMode = ZR_PROGRESS_NONE;
    m->caption[0] = 0;
    m->is502 = 0;
    m->identified = 0;
    m->readOk = 0;
    m->lastError[0] = 0;

    Identification id{m, false, 0};
    uint32_t version = 0;
    id.speaksProtocol = query(ch, Hidc_getBootVersion, &version);
    if (!id.speaksProtocol) {
        // A device that answers and says no, or none at all, is no old boot loader.
        if (ch->lastFault == HIDC_FAULT_REFUSED || ch->lastFault == HIDC_FAULT_NO_PORT) {
            ZR_Machine_setError(m, N_("the boot-version query failed: %s"), Hidc_faultCause(ch).c_str());
            return identificationFailed(m);
        }
        MACHINE_LOG("no answer to the boot-version query (%s): an old boot loader", Hidc_faultText(ch->lastFault));
        version = 0;
    }
    m->bootVersion = version;
    ch->bootVersion = version;
    m->flashSize = ZR_DEFAULT_FLASH_SIZE;
    if (version >= 1011) {
        uint32_t size = 0;
        // Every later range check and the write plan stand on this size: a
        // device that does not give it is not guessed at.
        if (!query(ch, Hidc_getFlashSize, &size) || size == 0) {
            ZR_Machine_setError(m, N_("the flash-size query failed: %s"),
                                size == 0 && ch->lastFault == HIDC_FAULT_NONE ? "answered 0"
                                                                              : Hidc_faultCause(ch).c_str());
            return identificationFailed(m);
        }
        m->flashSize = size;
    }
    MACHINE_LOG("boot version %u, flash size 0x%X", m->bootVersion, m->flashSize);

    std::memset(&m->info, 0, sizeof m->info);
    std::memset(&m->net, 0, sizeof m->net);
    std::memset(m->thirdPart, 0, sizeof m->thirdPart);

    bool paramComplete = true;
    uint32_t netAddress = 0;
    uint32_t clientAddress = kClassicMap.client;
    Copy copy = takeParameterCopy(id, k502Map, &paramComplete);
    if (copy == Copy::ended) return identificationFailed(m);
    if (copy == Copy::taken) {
        m->is502 = 1;
        netAddress = k502Map.parameter + ZR_PARAM_NET_OFFSET;
        clientAddress = k502Map.client;
    }
    if (!ZR_Info_hasBoard(m->info)) {
        copy = takeParameterCopy(id, kClassicMap, &paramComplete);
        if (copy == Copy::ended) return identificationFailed(m);
        if (copy == Copy::taken) {
            netAddress = kClassicMap.parameter + ZR_PARAM_NET_OFFSET;
            clientAddress = kClassicMap.client;
        }
    }
    bool infoValid = ZR_Info_valid(m->info);
    MACHINE_LOG("information block %s, 502=%d", infoValid ? "valid" : "missing", m->is502);

    // The area table is taken now: the settings step below may still change
    // the board name, but not where the images were found.
    const bool boardAreas = ZR_Info_hasBoard(m->info);
    ZR_AreaExtent dated[std::size(kDatedAreas)];
    for (size_t i = 0; i < std::size(kDatedAreas); ++i)
        dated[i] = boardAreas ? ZR_Info_area(m->info, kDatedAreas[i].area) : kDatedAreas[i].fixed;

    bool netComplete = true;
    if (netAddress) {
        uint8_t image[256];
        Read r;
        if (!readOrEnd(id, "network block", netAddress, image, sizeof image, 0, &r)) return identificationFailed(m);
        netComplete = r != Read::failed;
        if (r == Read::ok && ZR_blockImageValid(image, ZR_NET_BLOCK_SIZE))
            std::memcpy(m->net.bytes, image + 4, ZR_NET_BLOCK_SIZE);
    }

    m->layoutVersion = -1;
    uint32_t settingsAddress = ZR_flashMap(m->is502 != 0).settings;
    Read settingsOutcome;
    if (!readOrEnd(id, "settings image", settingsAddress, m->settings.bytes, ZR_SETTINGS_IMAGE_SIZE, 0,
                   &settingsOutcome))
        return identificationFailed(m);
    bool settingsRead = settingsOutcome == Read::ok;
    if (settingsRead) {
        m->layoutVersion = ZR_Settings_detectLayout(m->settings);
        if (!infoValid && m->layoutVersion > 0) {
            // Devices without an information block name their board in the settings.
            int32_t board = ZR_Settings_boardNameOffset(m->layoutVersion);
            int32_t version = ZR_Settings_programVersionOffset(m->layoutVersion);
            const uint8_t* payload = ZR_Settings_payload(m->settings);
            ZR_Info_setU32(m->info, ZR_INFO_BOARD_NAME, board < 0 ? 0 : bytes::getLe32(payload + board));
            ZR_Info_setU32(m->info, ZR_INFO_PROGRAM_VERSION, version < 0 ? 0 : bytes::getLe32(payload + version));
        }
    } else {
        std::memset(m->settings.bytes, 0, ZR_SETTINGS_IMAGE_SIZE);
    }

    Read clientOutcome;
    if (!readOrEnd(id, "client block", clientAddress, m->client, ZR_CLIENT_BLOCK_SIZE, 0, &clientOutcome))
        return identificationFailed(m);
    if (clientOutcome != Read::ok) std::memset(m->client, 0xFF, sizeof m->client);

    if (settingsRead && m->layoutVersion < 0) {
        char text[ZR_CLIENT_NAME_SIZE];
        ZR_clientBlockText(m->client, text);
        if (beginsWith(text, ZR_clientTable[ZR_CLIENT_NO_LAYOUT])) {
            m->layoutVersion = 0;
            if (!infoValid) {
                ZR_Info_setU32(m->info, ZR_INFO_BOARD_NAME, 0);
                ZR_Info_setU32(m->info, ZR_INFO_PROGRAM_VERSION, 0);
            }
        }
    }
    MACHINE_LOG("settings layout %d", m->layoutVersion);
    // An old boot loader still answers reads; a device that answers nothing
    // at all is not one, and defaults for all of it would be pure guesses.
    if (!id.speaksProtocol && id.delivered == 0) {
        ZR_Machine_setError(m, N_("the device answers no query and no read"));
        return identificationFailed(m);
    }
    m->readOk = (paramComplete ? ZR_READ_PARAM : 0) | (netComplete ? ZR_READ_NET : 0) |
                (settingsRead ? ZR_READ_SETTINGS : 0) | (clientOutcome == Read::ok ? ZR_READ_CLIENT : 0);

    if (m->accept && !m->accept(m->acceptUser, m->client)) {
        MACHINE_LOG("device refused");
        Hidc_refuse(ch);
        return 0;
    }

    uint32_t readFlag = ZR_Info_u8(m->info, ZR_INFO_AREA_PLAIN) == 0 ? 1 : 0;
    for (const DatedArea& d : kDatedAreas) std::memset(&(m->*d.date), 0, sizeof(ZR_Date));
    for (size_t i = 0; i < std::size(kDatedAreas); ++i) {
        const DatedArea& d = kDatedAreas[i];
        // Older voice images put their total size before the date.
        size_t dateWord = d.area == ZR_AREA_VOICE && ZR_Info_u8(m->info, ZR_INFO_VOICE_SEL3) == 0 ? 1 : 0;
        if (!readAreaDate(id, ZR_areaFields[d.area].name, dated[i], readFlag, dateWord, &(m->*d.date)))
            return identificationFailed(m);
    }
    m->identified = 1;
    return 1;
}

const char* ZR_Machine_lastError(const ZR_Machine* machine) { return machine ? machine->lastError : ""; }

void ZR_Machine_setError(ZR_Machine* machine, const char* format, ...)
{
    if (!machine || !format) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(machine->lastError, sizeof machine->lastError, format, args);
    va_end(args);
    MACHINE_LOG("%s", machine->lastError);
}

// ---------------------------------------------------------------------------
// Progress

void ZR_Machine_progressBegin(ZR_Machine* machine, uint32_t total)
{
    if (!machine) return;
    machine->run.total = total;
    machine->run.done = 0;
    machine->run.lastReport = 0;
    machine->run.lastValue = 0;
    machine->run.startTick = ZR_tickCount();
    report(machine, 0, kFullScale);
}

void ZR_Machine_progressStep(ZR_Machine* machine, uint32_t bytes)
{
    if (!machine) return;
    ZR_ProgressRun& run = machine->run;
    run.done += bytes;
    // A run without a total has no scale to report on.
    if (run.total == 0) return;
    if (run.done - run.lastReport <= kReportStride) return;
    run.lastReport = run.done;
    // A caller whose steps overrun its total still sees a full bar, not more.
    uint32_t value = uint32_t(std::min<uint64_t>(uint64_t(run.done) * kFullScale / run.total, kFullScale));
    if (value == run.lastValue) return;
    run.lastValue = value;
    report(machine, 1, value);
}

void ZR_Machine_progressEnd(ZR_Machine* machine)
{
    if (!machine) return;
    machine->run.done = machine->run.total;
    machine->run.lastValue = kFullScale;
    report(machine, 1, kFullScale);
}

void ZR_Machine_setMessage(ZR_Machine* machine, const char* caption)
{
    if (!machine) return;
    std::snprintf(machine->caption, sizeof machine->caption, "%s", caption ? caption : "");
    report(machine, 3, kFullScale);
}

// ---------------------------------------------------------------------------
// Parameter image

int ZR_Machine_writeParam(const ZR_InfoBlock* info, const ZR_NetBlock* net, ZR_Machine* machine, bool is502)
{
    if (!machine || !machine->channel) return 0;
    // The image carries the third part (and, for the record's own blocks,
    // the information and network blocks) as identification read them; one
    // that could not be read would go back as zeros over what the device holds.
    const uint32_t needed = ZR_READ_PARAM | (info ? 0 : ZR_READ_NET);
    if ((machine->readOk & needed) != needed) {
        ZR_Machine_setError(machine, N_("the parameter image was not read completely; it is not rewritten"));
        return 0;
    }
    const ZR_InfoBlock& block = info ? *info : machine->info;
    // Unused bytes and a missing network block stay as erased flash would.
    uint8_t image[ZR_PARAM_IMAGE_SIZE];
    std::memset(image, 0xFF, sizeof image);
    bytes::putLe32(image + ZR_PARAM_INFO_OFFSET, bytes::sum32(block.bytes, ZR_INFO_BLOCK_SIZE));
    std::memcpy(image + ZR_PARAM_INFO_OFFSET + 4, block.bytes, ZR_INFO_BLOCK_SIZE);
    if (net && ZR_Net_valid(*net)) {
        bytes::putLe32(image + ZR_PARAM_NET_OFFSET, bytes::sum32(net->bytes, ZR_NET_BLOCK_SIZE));
        std::memcpy(image + ZR_PARAM_NET_OFFSET + 4, net->bytes, ZR_NET_BLOCK_SIZE);
    }
    std::memcpy(image + ZR_PARAM_THIRD_OFFSET, machine->thirdPart, ZR_THIRD_PART_SIZE);
    uint32_t address = ZR_flashMap(is502).parameter;
    int ok = Hidc_writeFlash(machine->channel, address, image, sizeof image, false, 0);
    MACHINE_LOG("write param[0x%X] %s", address, ok ? "done" : "failed");
    if (!ok)
        ZR_Machine_setError(machine, N_("writing the parameter image at 0x%X failed: %s"), address,
                            Hidc_faultCause(machine->channel).c_str());
    return ok;
}

// ---------------------------------------------------------------------------
// Texts

const char* ZR_Machine_getBoardName(const ZR_Machine* machine, char* buffer, size_t size)
{
    if (!buffer || size == 0) return buffer;
    size_t n = 0;
    if (machine) {
        const uint8_t* name = machine->info.bytes + ZR_INFO_BOARD_NAME;
        while (n < 4 && n + 1 < size && name[n] != 0) {
            buffer[n] = char(name[n]);
            ++n;
        }
    }
    buffer[n] = 0;
    return buffer;
}

const char* ZR_clientBlockText(const uint8_t* clientBlock, char buffer[100])
{
    std::memset(buffer, 0, 100);
    if (!clientBlock) return buffer;
    // Erased flash (0xFF 0xFF) ends a name that was written without a NUL.
    for (size_t i = 0; i < 99; ++i) {
        if (clientBlock[i] == 0 || (clientBlock[i] == 0xFF && clientBlock[i + 1] == 0xFF)) break;
        buffer[i] = char(clientBlock[i]);
    }
    return buffer;
}

const char* ZR_Machine_getClientText(const ZR_Machine* machine, char buffer[100])
{
    return ZR_clientBlockText(machine ? machine->client : nullptr, buffer);
}

const char* ZR_Machine_getUpdateToolText(const ZR_Machine* machine, char buffer[100])
{
    const char* text = "\xB4\xED" /* 错 */;
    if (machine && ZR_Info_valid(machine->info))
        text = ZR_Info_u32(machine->info, ZR_INFO_UPDATE_TOOL_SIZE) != 0 ? "\xD3\xD0" /* 有 */ : "\xCE\xDE" /* 无 */;
    std::snprintf(buffer, 100, "%s", text);
    return buffer;
}

// ---------------------------------------------------------------------------
// Information file

int ZR_Machine_dumpInfo(const ZR_Machine* machine, const char* path)
{
    if (!machine || !path) return 0;
    ZR_Stream* s = ZR_Stream_openFile(path, ZR_STREAM_WRITE);
    if (!s) {
        MACHINE_LOG("cannot open %s", path);
        return 0;
    }
    const ZR_InfoBlock& info = machine->info;
    auto i32 = [&](size_t field) { return int(ZR_Info_u32(info, field)); };
    char board[8], version[16], client[100], gpsDate[16], voiceDate[16], radarMuteDate[16], tool[100], server[16];
    ZR_Machine_getBoardName(machine, board, sizeof board);
    std::snprintf(version, sizeof version, "%d", i32(ZR_INFO_PROGRAM_VERSION));
    ZR_Machine_getClientText(machine, client);
    formatDate(machine->gpsDate, gpsDate, sizeof gpsDate);
    formatDate(machine->voiceDate, voiceDate, sizeof voiceDate);
    formatDate(machine->radarMuteDate, radarMuteDate, sizeof radarMuteDate);
    ZR_Machine_getUpdateToolText(machine, tool);
    std::snprintf(server, sizeof server, "%d", i32(ZR_INFO_SERVER_SIZE));

    ZR_Stream_printf(s, "502:%d\n", machine->is502);
    ZR_Stream_printf(s, "boot:%d\n", int(machine->bootVersion));
    ZR_Stream_printf(s, "flash size:%d\n", int(machine->flashSize));
    ZR_Stream_printf(s, "main setting version:%d\n", i32(ZR_INFO_MAIN_SETTING_VERSION));
    ZR_Stream_printf(s, "broad name:%.99s\n", board);
    ZR_Stream_printf(s, "program version:%.99s\n", version);
    ZR_Stream_printf(s, "client:%.99s\n", client);
    ZR_Stream_printf(s, "gps version:%.99s;size:%d\n", gpsDate, i32(ZR_INFO_GPS_SIZE));
    ZR_Stream_printf(s, "voice version:%.99s;size:%d\n", voiceDate, i32(ZR_INFO_VOICE_SIZE));
    ZR_Stream_printf(s, "radar mute version:%.99s;size:%d\n", radarMuteDate, i32(ZR_INFO_RADAR_MUTE_SIZE));
    ZR_Stream_printf(s, "update version:%.99s;size:%d\n", tool, i32(ZR_INFO_UPDATE_TOOL_SIZE));
    // The server line reports the server area's own size. Printing the
    // update-tool size here (as the line was once defined) repeats the line
    // above and says nothing about the server area.
    ZR_Stream_printf(s, "server version:%.99s;size:%d\n", server, i32(ZR_INFO_SERVER_SIZE));
    ZR_Stream_release(s);
    return 1;
}

// ---------------------------------------------------------------------------
// Client table and renaming

int ZR_Machine_findClient(const char* clientText)
{
    if (!clientText) return -1;
    for (int i = 0; i < ZR_CLIENT_TABLE_COUNT; ++i)
        if (beginsWith(clientText, ZR_clientTable[i])) return i;
    return -1;
}

int ZR_Machine_setClient(ZR_Machine* machine)
{
    if (!machine || !machine->channel) return 0;
    uint32_t address = ZR_flashMap(machine->is502 != 0).client;
    uint8_t sector[3 * ZR_CLIENT_BLOCK_SIZE];
    if (!readInside(machine, address, sector, sizeof sector, 0)) {
        MACHINE_LOG("read client[0x%X] failed", address);
        return 0;
    }
    std::memcpy(sector, ZR_setClientName, ZR_SET_CLIENT_NAME_SIZE);
    if (!Hidc_writeFlash(machine->channel, address, sector, sizeof sector, false, 0)) {
        MACHINE_LOG("write client[0x%X] failed", address);
        return 0;
    }
    std::memcpy(machine->client, sector, ZR_CLIENT_BLOCK_SIZE);
    MACHINE_LOG("client renamed[0x%X]", address);
    return 1;
}
