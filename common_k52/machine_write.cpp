// The write half of the machine layer: the plan that picks a package's images
// for the connected board and lays them out in flash, and the write run that
// puts them there.
//
// The sizes that decide the layout come from the package, which is untrusted
// input: every address is computed in 64 bits and checked against the
// device's flash before anything is erased or written, so a hostile size can
// make a plan refuse, never make it write at a wrapped address or over the
// blocks the device lives by (boot, program, settings, parameter image).
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "common_k52/machine_blocks.h"
#include "common_k52/machine_verify.h"
#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/log.h"
#include "platform/translate_marks.h"
#include "core/package.h"

namespace {

constexpr const char* kSource = "..\\common_k52\\ZR_Machine";
constexpr const char* kPlanFn = "ZR_Machine_checkParamAndMainSetting";
constexpr const char* kWriteFn = "ZR_Machine_write";
constexpr const char* kProgramFn = "ZR_Machine_writeProgram";
constexpr const char* kBootFn = "ZR_Machine_writeBoot";

#define MACHINE_LOG(function, ...) ZR_log(kSource, __LINE__, function, __VA_ARGS__)

constexpr uint32_t kProgramFlagSize = 12;
// The boot loader ends where the program flag block begins.
constexpr uint32_t kBootRoom = ZR_PROGRAM_FLAG_ADDRESS - ZR_BOOT_ADDRESS;

// Boards whose program expects the fixed area table rather than a laid-out one.
constexpr uint32_t kFixedLayoutBoards[] = {
    ZR_boardKey("MVT7"), ZR_boardKey("MVT5"), ZR_boardKey("MVT3"),
    ZR_boardKey("MVT8"), ZR_boardKey("NQ7D"), ZR_boardKey("LOXH"),
};

constexpr uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }
// Areas start on erase sectors, so each is sized in whole sectors (0 stays 0).
constexpr uint64_t sectorRound(uint64_t value) { return roundUp(value, kHidcSector); }

// The program runs up to the settings sector of its map; anything longer
// would overwrite the settings and the parameter image.
uint32_t programRoom(bool is502) { return ZR_flashMap(is502).settings - ZR_PROGRAM_ADDRESS; }

// A byte field of the information block taking a 32-bit word of the program
// entry. Non-zero must stay non-zero: the plan picks images by "set or not",
// and the device must read the same choice back.
uint8_t selectorByte(uint32_t value) { return uint8_t(std::min<uint32_t>(value, 0xFF)); }

int32_t saturateToInt32(int64_t value)
{
    return int32_t(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                       std::numeric_limits<int32_t>::max()));
}

uint32_t saturateToUint32(uint64_t value) { return uint32_t(std::min<uint64_t>(value, UINT32_MAX)); }

ZR_PlanImage imageOf(const ZR_SectionSlot& slot)
{
    // An absent or failed section may keep a stale size with no buffer; it is absent either way.
    return slot.buffer ? ZR_PlanImage{0, slot.buffer, slot.size, slot.encoded} : ZR_PlanImage{};
}

ZR_PlanImage imageOf(const ZR_AssembledImage& image)
{
    return image.buffer ? ZR_PlanImage{0, image.buffer, image.size, image.encoded} : ZR_PlanImage{};
}

const ZR_SectionSlot& voiceSlot(const ZR_Package& package, const ZR_WritePlan& plan)
{
    bool second = plan.secondVoice != 0;
    if (plan.voice7) return second ? package.voice7 : package.voice8;
    if (plan.voice5) return second ? package.voice6 : package.voice5;
    if (plan.provinceMode) return second ? package.voice4 : package.voice3;
    return second ? package.voice2 : package.voice;
}

ZR_PlanImage gpsImage(const ZR_Package& package, const ZR_WritePlan& plan)
{
    if (plan.gps3) return plan.provinceMode ? imageOf(package.gpsProvinceRecords.assembled) : imageOf(package.gps3);
    if (plan.gps2) return imageOf(package.gps2);
    if (plan.provinceMode) return imageOf(package.gpsProvinceItems.assembled);
    return imageOf(package.gps);
}

// Everything a plan fills is cleared first: after a "does not fit" the
// caller plans the same record again, and nothing of the first try may leak
// into the second.
void clearPlanResults(ZR_WritePlan* plan)
{
    plan->writeOled = 0;
    plan->target502 = plan->secondVoice = plan->voice5 = plan->gps2 = plan->gps3 = plan->voice7 = 0;
    plan->writeMode = 0;
    plan->boot = plan->program = plan->voice = plan->radarMute = ZR_PlanImage{};
    plan->updateTool = plan->oled = plan->gps = ZR_PlanImage{};
    plan->bootWriteFlag = 0;
    plan->neededEnd = 0;
    plan->gpsRoom = 0;
    plan->ready = 0;
    plan->paramState = ZR_PARAM_STATE_UNCHANGED;
}

bool isFixedLayoutBoard(uint32_t key)
{
    return std::find(std::begin(kFixedLayoutBoards), std::end(kFixedLayoutBoards), key) !=
           std::end(kFixedLayoutBoards);
}

// The fixed area table has room for exactly its three areas, and was drawn
// for 8 MiB of flash. An image longer than its area would run into the next
// one, so it does not fit; neither does an area the device's flash does not
// reach. The GPS room is that of the fixed GPS area; when another area is the
// one that overflows, no choice of provinces can help, and the room is 0.
bool fixedLayoutFits(const ZR_WritePlan& plan, uint32_t flashSize, uint64_t* neededEnd, int32_t* gpsRoom)
{
    struct Area {
        const ZR_PlanImage* image;
        uint32_t start;
        uint32_t size;
    };
    const Area areas[] = {
        {&plan.voice, ZR_FIXED_VOICE_START, ZR_FIXED_VOICE_SIZE},
        {&plan.radarMute, ZR_FIXED_RADAR_MUTE_START, ZR_FIXED_RADAR_MUTE_SIZE},
        {&plan.gps, ZR_FIXED_GPS_START, ZR_FIXED_GPS_SIZE},
    };
    bool fits = true, othersFit = true;
    uint64_t needed = 0;
    for (const Area& area : areas) {
        if (area.image->size == 0) continue;
        uint64_t end = uint64_t(area.start) + roundUp(area.image->size, kHidcUnit);
        uint64_t limit = std::min<uint64_t>(uint64_t(area.start) + area.size, flashSize);
        if (end <= limit) continue;
        fits = false;
        needed = std::max(needed, end);
        if (area.image != &plan.gps) othersFit = false;
    }
    if (fits) return true;
    *neededEnd = needed;
    uint64_t gpsLimit = std::min<uint64_t>(uint64_t(ZR_FIXED_GPS_START) + ZR_FIXED_GPS_SIZE, flashSize);
    *gpsRoom = othersFit ? saturateToInt32(int64_t(gpsLimit) - int64_t(ZR_FIXED_GPS_START)) : 0;
    return false;
}

// An erase on a device that gives statuses must have worked: data written
// over sectors that were not erased is not what the package holds. Below
// boot 1046 the reply says nothing, so nothing is judged by it.
bool eraseChecked(ZR_Machine* machine, uint32_t address, uint32_t length, const char* what)
{
    int result = Hidc_erase(address, length, machine->channel);
    if (result == HIDC_OK || machine->channel->bootVersion < kHidcStatusBootVersion) return true;
    if (Hidc_deviceGone(machine->channel))
        ZR_Machine_setError(machine, N_("the device went away while erasing the %s at 0x%X"), what, address);
    else
        ZR_Machine_setError(machine, N_("erasing the %s [0x%X][0x%X] failed: %s"), what, address, length,
                            Hidc_faultCause(machine->channel).c_str());
    return false;
}

// Erases an area the parameter image names, but only one that lies inside
// the data areas of the map: a copied block could name anything, and an
// erase is not undone.
bool eraseArea(ZR_Machine* machine, uint64_t start, uint64_t size, bool target502, const char* what)
{
    if (start % kHidcSector != 0) return true;
    if (start < ZR_flashMap(target502).reserved || start + size > machine->flashSize) return true;
    return eraseChecked(machine, uint32_t(start), uint32_t(size), what);
}

// The fixed table's radar-mute area runs over the sectors that laid-out
// devices keep their client block and (502 map) settings in. A sector that
// this run has just filled with data is not erased for a reset.
bool insideWrittenData(const ZR_WritePlan& plan, uint32_t sector)
{
    for (const ZR_PlanImage* image : {&plan.gps, &plan.voice, &plan.radarMute, &plan.updateTool, &plan.oled}) {
        if (image->size == 0) continue;
        uint64_t end = uint64_t(image->address) + sectorRound(image->size);
        if (sector + uint64_t(kHidcSector) > image->address && sector < end) return true;
    }
    return false;
}

// The sum the device checks the program against: over the decoded image,
// the tail of fewer than four bytes included as it is.
uint32_t programSum(const uint8_t* image, uint32_t size, bool encoded)
{
    if (!encoded) return bytes::sum32(image, size);
    std::vector<uint8_t> decoded(image, image + size);
    ZR_rollingXorFromStart(size, decoded.data());
    return bytes::sum32(decoded.data(), decoded.size());
}

// Gives 0, with the cause of a failed image write on the record. A device
// that went away is said so, with how far the run had come, since that is
// what the user must act on (plug it in again) rather than a protocol fault.
int writeFailed(ZR_Machine* machine, const char* what, uint32_t address)
{
    if (!Hidc_deviceGone(machine->channel)) {
        ZR_Machine_setError(machine, N_("writing the %s at 0x%X failed: %s"), what, address,
                            Hidc_faultCause(machine->channel).c_str());
        return 0;
    }
    // "GPS data" reads "the GPS write".
    std::string name(what);
    if (name.size() > 5 && name.compare(name.size() - 5, 5, " data") == 0) name.resize(name.size() - 5);
    const ZR_ProgressRun& run = machine->run;
    if (run.total > 0)
        ZR_Machine_setError(machine, N_("the device went away during the %s write at %u %%"), name.c_str(),
                            unsigned(std::min<uint64_t>(uint64_t(run.done) * 100 / run.total, 100)));
    else
        ZR_Machine_setError(machine, N_("the device went away during the %s write"), name.c_str());
    return 0;
}

// The flag block, then the image it describes: a device that stops between
// the two finds a flag block whose sum does not match and does not start the
// half-written program.
int writeProgramImage(ZR_Machine* machine, const uint8_t* image, uint32_t size, bool encoded, bool is502)
{
    // Refused before anything is written: a flag block without its image
    // would make the device start nothing, or a stale program.
    if (!image || size == 0 || size > programRoom(is502)) return 0;
    uint8_t flag[kProgramFlagSize];
    bytes::putLe32(flag, ZR_BLOCK_MAGIC);
    bytes::putLe32(flag + 4, size);
    bytes::putLe32(flag + 8, programSum(image, size, encoded));
    MACHINE_LOG(kProgramFn, "write app flag data[0x%X][0x%X]", ZR_PROGRAM_FLAG_ADDRESS, kProgramFlagSize);
    if (!Hidc_writeFlash(machine->channel, ZR_PROGRAM_FLAG_ADDRESS, flag, kProgramFlagSize, false, 1))
        return writeFailed(machine, "program flag block", ZR_PROGRAM_FLAG_ADDRESS);
    MACHINE_LOG(kProgramFn, "write app data[0x%X][0x%X]", ZR_PROGRAM_ADDRESS, size);
    if (!Hidc_writeFlash(machine->channel, ZR_PROGRAM_ADDRESS, image, size, encoded, 1))
        return writeFailed(machine, "program", ZR_PROGRAM_ADDRESS);
    return 1;
}

int writeBootImage(ZR_Machine* machine, const uint8_t* image, uint32_t size, bool encoded, uint32_t writeFlag)
{
    MACHINE_LOG(kBootFn, "write boot data[0x%X][0x%X]", ZR_BOOT_ADDRESS, size);
    if (!image || size == 0 || size > kBootRoom) return 0;
    if (!Hidc_writeFlash(machine->channel, ZR_BOOT_ADDRESS, image, size, encoded, writeFlag))
        return writeFailed(machine, "boot loader", ZR_BOOT_ADDRESS);
    return 1;
}

// The laid-out areas, in flash order, each starting where the one before
// ends. Computed in 64 bits from the package's sizes; stored in the
// information block only once they are known to fit.
struct AreaLayout {
    uint64_t start[ZR_AREA_COUNT];
    uint64_t size[ZR_AREA_COUNT];
    uint64_t areaEnd;
};

AreaLayout layAreas(const ZR_WritePlan& plan, uint64_t serverSize, uint64_t trackSize)
{
    uint64_t wanted[ZR_AREA_COUNT] = {};
    wanted[ZR_AREA_RESERVED] = sectorRound(plan.reservedSize);
    wanted[ZR_AREA_SERVER] = sectorRound(serverSize);
    wanted[ZR_AREA_VOICE] = sectorRound(plan.voice.size);
    wanted[ZR_AREA_RADAR_MUTE] = sectorRound(plan.radarMute.size);
    wanted[ZR_AREA_UPDATE_TOOL] = sectorRound(plan.updateTool.size);
    wanted[ZR_AREA_OLED] = sectorRound(plan.oled.size);
    wanted[ZR_AREA_TRACK] = trackSize;  // the device takes the track size as given, unrounded
    wanted[ZR_AREA_GPS] = sectorRound(plan.gps.size);

    AreaLayout a{};
    uint64_t at = ZR_flashMap(plan.target502 != 0).reserved;
    for (size_t i = 0; i < ZR_AREA_COUNT; ++i) {
        a.start[i] = at;
        a.size[i] = wanted[i];
        at += wanted[i];
    }
    a.areaEnd = at;
    return a;
}

void storeLayout(ZR_InfoBlock& info, const AreaLayout& a)
{
    // Only called for a layout that ends inside the flash, so every value fits 32 bits.
    for (size_t i = 0; i < ZR_AREA_COUNT; ++i)
        ZR_Info_setArea(info, ZR_Area(i), {uint32_t(a.start[i]), uint32_t(a.size[i])});
    if (a.size[ZR_AREA_UPDATE_TOOL] > 0) ZR_Info_setU8(info, ZR_INFO_UPDATE_TOOL_PRESENT, 1);
    ZR_Info_setU32(info, ZR_INFO_AREA_END, uint32_t(a.areaEnd));
}

// Takes the program entry's words into the plan and the new information block.
void takeProgramEntry(const ZR_ProgramEntry& entry, const ZR_Package& package, ZR_WritePlan* plan,
                      ZR_InfoBlock& info, ZR_NetBlock& net)
{
    auto param = [&](ZR_ProgramParam p) { return ZR_ProgramEntry_param(&entry, p); };
    plan->secondVoice = param(ZR_ProgramParam::secondVoice);
    plan->voice5 = param(ZR_ProgramParam::voice5);
    plan->gps2 = param(ZR_ProgramParam::gps2);
    plan->gps3 = param(ZR_ProgramParam::gps3);
    plan->voice7 = param(ZR_ProgramParam::voice7);
    plan->target502 = param(ZR_ProgramParam::altLayout);
    plan->writeMode = param(ZR_ProgramParam::writeMode);

    if (param(ZR_ProgramParam::paramMagic)) ZR_Net_setU32(net, ZR_NET_MAGIC, ZR_BLOCK_MAGIC);

    ZR_Info_setU32(info, ZR_INFO_MAIN_SETTING_VERSION, 0);
    ZR_Info_setU32(info, ZR_INFO_BOARD_NAME, entry.boardKeyValue);
    ZR_Info_setU32(info, ZR_INFO_PROGRAM_VERSION, param(ZR_ProgramParam::paramWord));
    ZR_Info_setU8(info, ZR_INFO_BYTE12, 0);
    ZR_Info_setU8(info, ZR_INFO_BYTE17, 0);
    ZR_Info_setU8(info, ZR_INFO_BYTE20, 0);
    ZR_Info_setU32(info, ZR_INFO_REQUIRED_TOOL_VERSION, 0);
    if (package.updateTool.buffer && package.updateTool.size > 0) ZR_Info_setU8(info, ZR_INFO_UPDATE_TOOL_PRESENT, 1);
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL1, selectorByte(plan->secondVoice));
    ZR_Info_setU8(info, ZR_INFO_GPS_SEL1, selectorByte(plan->gps2));
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL2, selectorByte(plan->voice5));
    ZR_Info_setU8(info, ZR_INFO_GPS_SEL2, selectorByte(plan->gps3));
    ZR_Info_setU8(info, ZR_INFO_VOICE_SEL3, selectorByte(plan->voice7));
    ZR_Info_setU8(info, ZR_INFO_AREA_PLAIN, selectorByte(plan->writeMode));

    plan->program = {0, entry.image, entry.image ? entry.imageSize : 0, entry.encoded};
    plan->writeOled = param(ZR_ProgramParam::oled);
}

// What a plan builds up before it touches the device.
struct PlanState {
    ZR_InfoBlock info;      // the new information block
    ZR_NetBlock net;        // the new network block (zero unless the entry asks for its magic)
    bool programChanged;
    bool dataChanged;
    bool fixedLayout;
    uint64_t serverSize;
    uint64_t trackSize;
};

PlanState startPlan(const ZR_Machine& machine)
{
    PlanState st{};
    st.info = machine.info;
    ZR_Info_setU32(st.info, ZR_INFO_MAGIC, ZR_BLOCK_MAGIC);
    ZR_Info_setU32(st.info, ZR_INFO_FLASH_SIZE, machine.flashSize);
    st.serverSize = ZR_Info_u32(machine.info, ZR_INFO_SERVER_SIZE);
    st.trackSize = ZR_Info_u32(machine.info, ZR_INFO_TRACK_SIZE);
    return st;
}

int planReady(ZR_WritePlan* plan)
{
    plan->ready = 1;
    return ZR_PLAN_READY;
}

int takeBoot(ZR_WritePlan* plan, const ZR_Package& package)
{
    if (plan->writeBoot) {
        const ZR_BootSlot& boot = package.boot;
        plan->boot = boot.buffer ? ZR_PlanImage{0, boot.buffer, boot.size, boot.encoded} : ZR_PlanImage{};
        plan->bootWriteFlag = boot.secondTransfer;
    }
    // A boot image longer than its room would overwrite the program flag block.
    if (!plan->writeBoot || plan->boot.size == 0 || plan->boot.size > kBootRoom) return ZR_PLAN_NO_BOOT;
    return ZR_PLAN_READY;
}

int takeProgram(const ZR_Machine& machine, ZR_WritePlan* plan, ZR_Package& package, PlanState& st)
{
    if (plan->writeProgram) {
        uint32_t key = plan->boardCode ? plan->boardCode : ZR_Info_u32(machine.info, ZR_INFO_BOARD_NAME);
        const ZR_ProgramEntry* entry = ZR_Package_findProgram(&package, key);
        if (!entry) {
            plan->writeBoot = plan->writeProgram = plan->resetSetting = 0;
        } else {
            st.fixedLayout = ZR_ProgramEntry_param(entry, ZR_ProgramParam::layoutReset) != 0 ||
                             isFixedLayoutBoard(entry->boardKeyValue);
            st.serverSize = ZR_ProgramEntry_param(entry, ZR_ProgramParam::serverDataSize);
            uint32_t entryTrack = ZR_ProgramEntry_param(entry, ZR_ProgramParam::trackDataSize);
            if (entryTrack != st.trackSize) {
                st.trackSize = entryTrack;
                st.dataChanged = true;
            }
            takeProgramEntry(*entry, package, plan, st.info, st.net);
            st.programChanged = true;
        }
    }
    // Checked before the data images are taken, so that a refused plan still
    // shows a voice size of 0 to the caller.
    if (plan->program.size == 0 || plan->program.size > programRoom(plan->target502 != 0)) return ZR_PLAN_NO_PROGRAM;
    return ZR_PLAN_READY;
}

int takeDataImages(ZR_WritePlan* plan, const ZR_Package& package, PlanState& st)
{
    if (plan->writeVoice) {
        plan->voice = imageOf(voiceSlot(package, *plan));
        if (plan->voice.size == 0) return ZR_PLAN_NO_VOICE;
        st.dataChanged = true;
    } else {
        plan->writeClientId = 0;
    }
    if (plan->writeRadarMute) {
        plan->radarMute = imageOf(package.radarMute);
        st.dataChanged = true;
    }
    if (plan->writeGps) {
        plan->gps = gpsImage(package, *plan);
        if (plan->gps.size == 0) return ZR_PLAN_NO_GPS;
        st.dataChanged = true;
    }
    if (plan->writeUpdateTool) {
        plan->updateTool = imageOf(package.updateTool);
        st.dataChanged = true;
    }
    if (plan->writeOled) {
        plan->oled = imageOf(package.oled);
        if (plan->oled.size == 0) return ZR_PLAN_NO_OLED;
        st.dataChanged = true;
    }
    return ZR_PLAN_READY;
}

int planFixedLayout(ZR_Machine* machine, ZR_WritePlan* plan)
{
    // The fixed table has no update-tool or OLED area.
    plan->updateTool = plan->oled = ZR_PlanImage{};
    uint64_t neededEnd = 0;
    int32_t gpsRoom = 0;
    if (!fixedLayoutFits(*plan, machine->flashSize, &neededEnd, &gpsRoom)) {
        plan->neededEnd = saturateToUint32(neededEnd);
        plan->gpsRoom = gpsRoom;
        return ZR_PLAN_NO_FIT;
    }
    if (plan->layoutOnly) {
        plan->voice.address = ZR_FIXED_VOICE_START;
        plan->radarMute.address = ZR_FIXED_RADAR_MUTE_START;
        plan->gps.address = ZR_FIXED_GPS_START;
        return ZR_PLAN_READY;
    }
    // With neither parameter sector valid the device falls back to the fixed table.
    if (!eraseChecked(machine, kClassicMap.parameter, kHidcSector, "parameter sector") ||
        !eraseChecked(machine, k502Map.parameter, kHidcSector, "parameter sector"))
        return ZR_PLAN_DEVICE_FAILED;
    plan->paramState = ZR_PARAM_STATE_ERASED;
    plan->voice.address = ZR_FIXED_VOICE_START;
    plan->radarMute.address = ZR_FIXED_RADAR_MUTE_START;
    plan->gps.address = ZR_FIXED_GPS_START;
    return planReady(plan);
}

// Lays the areas out into the new information block; nothing is changed on
// the device.
int layOutAreas(const ZR_Machine& machine, ZR_WritePlan* plan, PlanState& st)
{
    AreaLayout a = layAreas(*plan, st.serverSize, st.trackSize);
    // areaEnd is exact in 64 bits, so a layout that would wrap 32 bits
    // ends beyond any flash size and is refused here with the rest.
    if (a.areaEnd > machine.flashSize) {
        plan->neededEnd = saturateToUint32(a.areaEnd);
        // Flash size less the areas before the GPS area.
        plan->gpsRoom = saturateToInt32(int64_t(machine.flashSize) - int64_t(a.start[ZR_AREA_GPS]));
        return ZR_PLAN_NO_FIT;
    }
    // An unrounded track size can leave the GPS area off the device's
    // 256-byte write units; its write would fail after the parameter
    // image had already changed. Refused while the device is untouched.
    if (plan->gps.size > 0 && a.start[ZR_AREA_GPS] % kHidcUnit != 0) return ZR_PLAN_PARAM_FAILED;
    storeLayout(st.info, a);
    return ZR_PLAN_READY;
}

int writeParameterImage(ZR_Machine* machine, ZR_WritePlan& plan, const PlanState& st)
{
    const bool target502 = plan.target502 != 0;
    MACHINE_LOG(kPlanFn, "write main setting[0x%X]", ZR_flashMap(target502).parameter);
    // A stale copy in the other map's sector would be found by identification.
    if (!eraseChecked(machine, ZR_flashMap(!target502).parameter, kHidcSector, "other parameter sector"))
        return ZR_PLAN_DEVICE_FAILED;
    const bool withNet = ZR_Net_valid(st.net);
    if (!ZR_Machine_writeParam(&st.info, withNet ? &st.net : nullptr, machine, target502)) return ZR_PLAN_PARAM_FAILED;
    // What the sector now holds, for the read-back after the write run.
    plan.paramState = ZR_PARAM_STATE_WRITTEN;
    plan.paramInfo = st.info;
    plan.paramNet = withNet ? st.net : ZR_NetBlock{};
    return ZR_PLAN_READY;
}

// The server and track areas start empty under a new layout.
int resetServerAndTrack(ZR_Machine* machine, const ZR_WritePlan& plan, const ZR_InfoBlock& info)
{
    static const struct {
        ZR_Area area;
        const char* format;
    } resets[] = {
        {ZR_AREA_SERVER, "reset server data[0x%X][0x%X]"},
        {ZR_AREA_TRACK, "reset track data[0x%X][0x%X]"},
    };
    for (const auto& r : resets) {
        ZR_AreaExtent extent = ZR_Info_area(info, r.area);
        if (extent.size == 0) continue;
        MACHINE_LOG(kPlanFn, r.format, extent.start, extent.size);
        if (!eraseArea(machine, extent.start, extent.size, plan.target502 != 0, ZR_areaFields[r.area].name))
            return ZR_PLAN_DEVICE_FAILED;
    }
    return ZR_PLAN_READY;
}

void takeAddresses(ZR_WritePlan* plan, const ZR_InfoBlock& info)
{
    plan->voice.address = ZR_Info_area(info, ZR_AREA_VOICE).start;
    plan->radarMute.address = ZR_Info_area(info, ZR_AREA_RADAR_MUTE).start;
    plan->updateTool.address = ZR_Info_area(info, ZR_AREA_UPDATE_TOOL).start;
    plan->oled.address = ZR_Info_area(info, ZR_AREA_OLED).start;
    plan->gps.address = ZR_Info_area(info, ZR_AREA_GPS).start;
}

std::string boardText(uint32_t key)
{
    std::string text = ZR_boardKeyText(key);
    return text.empty() ? std::string("(none)") : text;
}

// "MVT7, MVT5": the boards the package's program table has images for.
std::string programBoards(const ZR_Package& package)
{
    constexpr uint32_t kShown = 8;
    std::string list;
    for (uint32_t i = 0; i < package.program.count && package.program.entries; ++i) {
        if (i == kShown) {
            list += ", ...";
            break;
        }
        if (!list.empty()) list += ", ";
        list += boardText(package.program.entries[i].boardKeyValue);
    }
    return list.empty() ? std::string("no program at all") : list;
}

// The cause of a refused plan on the record, unless the step that refused
// (a device transfer) left its own.
int planRefused(ZR_Machine* machine, const ZR_WritePlan& plan, ZR_Package& package, int result)
{
    if (result == ZR_PLAN_READY || machine->lastError[0]) return result;
    const uint32_t key = plan.boardCode ? plan.boardCode : ZR_Info_u32(machine->info, ZR_INFO_BOARD_NAME);
    const std::string board = boardText(key);
    switch (result) {
    case ZR_PLAN_NO_BOOT:
        if (package.boot.size == 0)
            ZR_Machine_setError(machine, N_("the package carries no boot loader"));
        else
            ZR_Machine_setError(machine, N_("the package's boot loader (%u bytes) is larger than its room (%u bytes)"),
                                package.boot.size, kBootRoom);
        break;
    case ZR_PLAN_NO_PROGRAM:
        if (!ZR_Package_findProgram(&package, key))
            ZR_Machine_setError(machine, N_("the package has no program for board %s; it carries %s"), board.c_str(),
                                programBoards(package).c_str());
        else
            ZR_Machine_setError(machine, N_("the program for board %s (%u bytes) is larger than its room (%u bytes)"),
                                board.c_str(), plan.program.size, programRoom(plan.target502 != 0));
        break;
    case ZR_PLAN_NO_VOICE: ZR_Machine_setError(machine, N_("the package carries no voice data this device can take")); break;
    case ZR_PLAN_NO_GPS: ZR_Machine_setError(machine, N_("the package carries no GPS data")); break;
    case ZR_PLAN_NO_OLED:
        ZR_Machine_setError(machine, N_("the program for board %s needs OLED data the package does not carry"),
                            board.c_str());
        break;
    case ZR_PLAN_NO_FIT:
        ZR_Machine_setError(machine, N_("the data does not fit the device: it needs flash up to 0x%X, the device has 0x%X"),
                            plan.neededEnd, machine->flashSize);
        break;
    case ZR_PLAN_PARAM_FAILED:
        ZR_Machine_setError(machine, N_("the package's layout puts the GPS area off the device's 256-byte write units"));
        break;
    default: break;
    }
    return result;
}

}  // namespace

int ZR_Machine_checkParamAndMainSetting(ZR_Machine* machine, ZR_WritePlan* plan, ZR_Package* package)
{
    if (!machine || !plan || !package) return ZR_PLAN_INVALID;
    clearPlanResults(plan);
    // What a failed identification left in the record is no description of
    // the device; a plan on it would lay out and erase at guessed places.
    if (!machine->identified || !machine->channel) {
        // The identification's own cause, when it left one, says more.
        if (!machine->lastError[0]) ZR_Machine_setError(machine, N_("the device was not identified"));
        return ZR_PLAN_DEVICE_FAILED;
    }
    PlanState st = startPlan(*machine);
    // This plan's own cause, not one an earlier step left.
    machine->lastError[0] = 0;

    int result = takeBoot(plan, *package);
    if (result == ZR_PLAN_READY) result = takeProgram(*machine, plan, *package, st);
    if (result == ZR_PLAN_READY) result = takeDataImages(plan, *package, st);
    if (result != ZR_PLAN_READY) return planRefused(machine, *plan, *package, result);

    MACHINE_LOG(kPlanFn, "502=%d, bProgramChanged=%d, bDataChanged=%d", int(plan->target502), int(st.programChanged),
                int(st.dataChanged));
    if (!st.programChanged && !st.dataChanged) return plan->layoutOnly ? ZR_PLAN_READY : planReady(plan);
    if (st.fixedLayout) return planRefused(machine, *plan, *package, planFixedLayout(machine, plan));

    // The new parameter image carries the third part as read; refused while
    // the device is untouched when it could not be read.
    if (!(machine->readOk & ZR_READ_PARAM)) {
        ZR_Machine_setError(machine, N_("the parameter image was not read completely; it is not rewritten"));
        return ZR_PLAN_DEVICE_FAILED;
    }
    // When only the program changed, the areas stay those of the copied block.
    if (st.dataChanged && (result = layOutAreas(*machine, plan, st)) != ZR_PLAN_READY)
        return planRefused(machine, *plan, *package, result);
    if (plan->layoutOnly) {
        takeAddresses(plan, st.info);
        return ZR_PLAN_READY;
    }
    if ((result = writeParameterImage(machine, *plan, st)) != ZR_PLAN_READY)
        return planRefused(machine, *plan, *package, result);
    if ((result = resetServerAndTrack(machine, *plan, st.info)) != ZR_PLAN_READY)
        return planRefused(machine, *plan, *package, result);
    takeAddresses(plan, st.info);
    return planReady(plan);
}

int ZR_Machine_write(ZR_WritePlan* plan, ZR_Machine* machine, ZR_Package* package)
{
    // Only a plan that gave 0 carries addresses; any other would send its
    // images to address 0, over the boot loader.
    if (!plan || !machine || !package || !plan->ready) return ZR_WRITE_INVALID;

    machine->progressMode = ZR_PROGRESS_CALLER;
    machine->caption[0] = 0;
    plan->verifyCause[0] = 0;
    uint64_t total = 0;
    for (const ZR_PlanImage* image : {&plan->boot, &plan->program, &plan->voice, &plan->radarMute, &plan->updateTool,
                                      &plan->gps, &plan->oled})
        total += roundUp(image->size, kHidcUnit);
    ZR_Machine_progressBegin(machine, saturateToUint32(total));

    const uint32_t dataFlag = plan->writeMode == 0 ? 1 : 0;
    struct DataWrite {
        const ZR_PlanImage& image;
        const char* format;
        const char* name;
        uint32_t writeFlag;
        int failure;
    };
    const DataWrite writes[] = {
        {plan->gps, "write gps data[0x%X][0x%X]", "GPS data", dataFlag, ZR_WRITE_GPS_FAILED},
        {plan->voice, "write voice data[0x%X][0x%X]", "voice data", dataFlag, ZR_WRITE_VOICE_FAILED},
        {plan->radarMute, "write radar mute data[0x%X][0x%X]", "radar-mute data", dataFlag,
         ZR_WRITE_RADAR_MUTE_FAILED},
        // The update tool is read by the device's own tool, always plain.
        {plan->updateTool, "write update tool data[0x%X][0x%X]", "update-tool data", 0, ZR_WRITE_TOOL_FAILED},
        {plan->oled, "write oled data data[0x%X][0x%X]", "OLED data", dataFlag, ZR_WRITE_TOOL_FAILED},
    };
    for (const DataWrite& w : writes) {
        if (w.image.size == 0) continue;
        MACHINE_LOG(kWriteFn, w.format, w.image.address, w.image.size);
        if (!Hidc_writeFlash(machine->channel, w.image.address, w.image.data, w.image.size, w.image.encoded != 0,
                             w.writeFlag)) {
            writeFailed(machine, w.name, w.image.address);
            return w.failure;
        }
    }

    // The program the plan chose and described in the new parameter image,
    // which is the board's own unless the caller asked for another board.
    if (plan->writeProgram &&
        !writeProgramImage(machine, plan->program.data, plan->program.size, plan->program.encoded != 0,
                           plan->target502 != 0))
        return ZR_WRITE_PROGRAM_FAILED;
    if (plan->writeBoot &&
        !writeBootImage(machine, plan->boot.data, plan->boot.size, plan->boot.encoded != 0, plan->bootWriteFlag))
        return ZR_WRITE_BOOT_FAILED;

    const ZR_FlashMap& map = ZR_flashMap(plan->target502 != 0);
    if (plan->resetSetting) {
        MACHINE_LOG(kWriteFn, "reset setting data[0x%X][0x%X]", map.settings, kHidcSector);
        if (!insideWrittenData(*plan, map.settings) &&
            !eraseChecked(machine, map.settings, kHidcSector, "settings sector"))
            return ZR_WRITE_RESET_FAILED;
    }
    if (plan->writeClientId) {
        MACHINE_LOG(kWriteFn, "write client id data[0x%X][0x%X]", map.client, kHidcSector);
        if (!insideWrittenData(*plan, map.client)) {
            if (!eraseChecked(machine, map.client, kHidcSector, "client sector")) return ZR_WRITE_CLIENT_FAILED;
            int written = Hidc_writeFlash(machine->channel, map.client,
                                          reinterpret_cast<const uint8_t*>(package->title), ZR_CLIENT_BLOCK_SIZE,
                                          false, 0);
            // Judged like the erase: only a device that gives statuses says anything by its reply.
            if (!written && machine->channel->bootVersion >= kHidcStatusBootVersion) {
                writeFailed(machine, "client block", map.client);
                return ZR_WRITE_CLIENT_FAILED;
            }
        }
    }

    ZR_Machine_progressEnd(machine);
    if (!ZR_Machine_verify(machine, plan, package, plan->verifyMode, plan->verifyCause, sizeof plan->verifyCause))
        return ZR_WRITE_VERIFY_FAILED;
    // The record must describe the device as written; when it cannot, the
    // next plan refuses until the device is identified again.
    if (!ZR_Machine_identify(machine)) MACHINE_LOG(kWriteFn, "identification after the write failed");
    if (machine->channel && machine->channel->port) Hidc_done(machine->channel);
    return ZR_WRITE_OK;
}

int ZR_Machine_writeProgram(ZR_Machine* machine, ZR_Package* package, bool ownProgressRun)
{
    if (!machine || !package) return 0;
    if (!machine->identified) {
        if (!machine->lastError[0]) ZR_Machine_setError(machine, N_("the device was not identified"));
        return 0;
    }
    if (ownProgressRun) {
        machine->progressMode = ZR_PROGRESS_SELF;
        machine->caption[0] = 0;
    }
    machine->lastError[0] = 0;
    const uint32_t board = ZR_Info_u32(machine->info, ZR_INFO_BOARD_NAME);
    const ZR_ProgramEntry* entry = ZR_Package_findProgram(package, board);
    if (!entry) {
        ZR_Machine_setError(machine, N_("the package has no program for board %s; it carries %s"), boardText(board).c_str(),
                            programBoards(*package).c_str());
        return 0;
    }
    // Without a new parameter image the device keeps its map, and with it the
    // settings sector that bounds the program.
    return writeProgramImage(machine, entry->image, entry->image ? entry->imageSize : 0, entry->encoded != 0,
                             machine->is502 != 0);
}

int ZR_Machine_writeBoot(ZR_Package* package, ZR_Machine* machine)
{
    if (!machine || !package) return 0;
    const ZR_BootSlot& boot = package->boot;
    return writeBootImage(machine, boot.buffer, boot.buffer ? boot.size : 0, boot.encoded != 0, boot.secondTransfer);
}

std::string ZR_boardKeyText(uint32_t key)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char((key >> (8 * i)) & 0xFF);
        if (c == 0) break;
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}
