// Read-back of a write run. The device answers a write before it is known
// to hold it, and boot loaders before 1046 answer every write alike, refused
// or not; so a run counts as done only once the device reads back what the
// run meant it to hold:
//   - the program flag block and the parameter image, whole: the device
//     starts from them, and one wrong byte makes it start nothing;
//   - the other map's parameter sector erased (identification would take a
//     stale copy there first), or both erased for the fixed table;
//   - the client block when the run wrote it, the settings sector when the
//     run reset it;
//   - every image the run wrote, in the form the device stores it (encoded
//     images decoded, the last unit padded with 0xFF): its first and last
//     256 bytes, or every byte in full mode.
// The read-back happens before the closing command: after that what the
// device does is its own, and it may have left update mode.
#include "common_k52/machine_verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common_k52/machine_blocks.h"
#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/log.h"

namespace {

constexpr const char* kSource = "..\\common_k52\\ZR_Machine";
constexpr const char* kVerifyFn = "ZR_Machine_verify";

#define MACHINE_LOG(...) ZR_log(kSource, __LINE__, kVerifyFn, __VA_ARGS__)

// Read-back moves this much per command: large enough that the command and
// reply reports cost nothing, small enough for a stack of two buffers.
constexpr uint32_t kChunk = 64 * 1024;
constexpr uint32_t kProgramFlagSize = 12;

constexpr uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// The bytes the device must hold for one written image, produced in order.
// Encoded images are decoded with a state of their own, so that the
// process-wide one of the write run is left alone.
class ExpectedBytes {
public:
    ExpectedBytes(const uint8_t* data, uint32_t size, bool encoded) : data_(data), size_(size), encoded_(encoded)
    {
        ZR_rollingXorResetState(&state_);
    }
    // The next n bytes; n is a multiple of 4 except where the data ends, so
    // the rolling XOR continues across calls as over the whole image.
    void next(uint8_t* out, uint32_t n)
    {
        uint32_t fromData = position_ < size_ ? std::min(n, size_ - position_) : 0;
        if (fromData) std::memcpy(out, data_ + position_, fromData);
        if (fromData && encoded_) ZR_rollingXorWith(&state_, fromData, out);
        std::memset(out + fromData, 0xFF, n - fromData);
        position_ += n;
    }

private:
    const uint8_t* data_;
    uint32_t size_;
    bool encoded_;
    uint32_t position_ = 0;
    ZR_RollingXor state_{};
};

// One stretch of flash the run wrote, and what it must hold.
struct Area {
    const char* name;
    uint32_t address;
    const uint8_t* data;  // size bytes, then 0xFF to the next 256 (null: own)
    uint32_t size;
    bool encoded;
    uint32_t readFlag;  // the flag the stretch was written with, as identification reads the data areas
    bool whole;         // a block: compared whole in every mode
    std::vector<uint8_t> own;  // the expected bytes of a block built here
    const uint8_t* bytes() const { return data ? data : own.data(); }
};

struct Range {
    uint64_t begin, end;  // offsets inside the area
};

std::vector<Range> rangesOf(const Area& area, uint32_t mode)
{
    uint64_t rounded = roundUp(area.size, kHidcUnit);
    if (mode == ZR_VERIFY_FULL || area.whole || rounded <= 2 * kHidcUnit) return {{0, rounded}};
    return {{0, kHidcUnit}, {rounded - kHidcUnit, rounded}};
}

uint64_t bytesToRead(const Area& area, uint32_t mode)
{
    uint64_t total = 0;
    for (const Range& r : rangesOf(area, mode)) total += r.end - r.begin;
    return total;
}

// The write run leaves the settings and client sectors alone where a data
// image of the run covers them (whole sectors, as the run decides it).
bool insideWrittenData(const ZR_WritePlan& plan, uint32_t address, uint32_t length)
{
    for (const ZR_PlanImage* image : {&plan.gps, &plan.voice, &plan.radarMute, &plan.updateTool, &plan.oled}) {
        if (image->size == 0) continue;
        uint64_t end = uint64_t(image->address) + roundUp(image->size, kHidcSector);
        if (uint64_t(address) + length > image->address && address < end) return true;
    }
    return false;
}

// Any byte of the run's images in the stretch. The plan erases the parameter
// sectors before the images go in, and on the 502 map the program runs over
// the classic parameter sector: what an image wrote there is checked as the
// image's.
bool overwrittenByImage(const ZR_WritePlan& plan, uint32_t address, uint32_t length)
{
    struct Written {
        uint32_t start;
        const ZR_PlanImage* image;
    };
    const Written written[] = {
        {plan.gps.address, &plan.gps},           {plan.voice.address, &plan.voice},
        {plan.radarMute.address, &plan.radarMute}, {plan.updateTool.address, &plan.updateTool},
        {plan.oled.address, &plan.oled},         {ZR_PROGRAM_ADDRESS, plan.writeProgram ? &plan.program : nullptr},
        {ZR_BOOT_ADDRESS, plan.writeBoot ? &plan.boot : nullptr},
    };
    for (const Written& w : written) {
        if (!w.image || w.image->size == 0) continue;
        uint64_t end = uint64_t(w.start) + roundUp(w.image->size, kHidcUnit);
        if (uint64_t(address) + length > w.start && address < end) return true;
    }
    return false;
}

void setCause(char* cause, size_t n, const char* format, const Area& area, unsigned long long a, unsigned b = 0,
              unsigned c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, area.name, unsigned(area.address), a, b, c);
    if (cause && n) std::snprintf(cause, n, "%s", text);
    MACHINE_LOG("%s", text);
}

bool checkArea(ZR_Machine* machine, const Area& area, uint32_t mode, char* cause, size_t n)
{
    const std::vector<Range> ranges = rangesOf(area, mode);
    const uint64_t rounded = ranges.back().end;
    if (uint64_t(area.address) + rounded > machine->flashSize) {
        setCause(cause, n, "%s at 0x%X: ends at 0x%llX, past the flash size 0x%X", area,
                 uint64_t(area.address) + rounded, machine->flashSize);
        return false;
    }
    ExpectedBytes expected(area.bytes(), area.size, area.encoded);
    std::vector<uint8_t> want(kChunk), got(kChunk);
    for (uint64_t offset = 0; offset < rounded;) {
        uint32_t length = uint32_t(std::min<uint64_t>(kChunk, rounded - offset));
        expected.next(want.data(), length);
        for (const Range& r : ranges) {
            uint64_t begin = std::max(r.begin, offset), end = std::min(r.end, offset + length);
            if (begin >= end) continue;
            uint32_t address = uint32_t(area.address + begin), count = uint32_t(end - begin);
            if (!Hidc_readFlash(machine->channel, address, got.data(), count, area.readFlag)) {
                setCause(cause, n, "%s at 0x%X: cannot read back 0x%llX (0x%X bytes)", area, address, count);
                return false;
            }
            const uint8_t* w = want.data() + (begin - offset);
            auto diff = std::mismatch(got.data(), got.data() + count, w);
            if (diff.first != got.data() + count) {
                size_t at = size_t(diff.first - got.data());
                setCause(cause, n, "%s at 0x%X: 0x%llX reads back 0x%02X, 0x%02X was written", area,
                         uint64_t(address) + at, got[at], w[at]);
                return false;
            }
        }
        offset += length;
        // Ends mode still decodes the middle (the rolling XOR needs it), but
        // stops once the last range was read.
        if (offset >= ranges.back().end) break;
    }
    return true;
}

Area image(const char* name, const ZR_PlanImage& image, uint32_t readFlag)
{
    return Area{name, image.address, image.data, image.size, image.encoded != 0, readFlag, false, {}};
}

Area block(const char* name, uint32_t address, std::vector<uint8_t> bytes)
{
    return Area{name, address, nullptr, uint32_t(bytes.size()), false, 0, true, std::move(bytes)};
}

std::vector<uint8_t> programFlagBlock(const ZR_PlanImage& program)
{
    std::vector<uint8_t> decoded(program.data, program.data + program.size);
    if (program.encoded && !decoded.empty()) {
        ZR_RollingXor state;
        ZR_rollingXorResetState(&state);
        ZR_rollingXorWith(&state, uint32_t(decoded.size()), decoded.data());
    }
    std::vector<uint8_t> flag(kProgramFlagSize);
    bytes::putLe32(flag.data(), ZR_BLOCK_MAGIC);
    bytes::putLe32(flag.data() + 4, program.size);
    bytes::putLe32(flag.data() + 8, bytes::sum32(decoded.data(), decoded.size()));
    return flag;
}

// The parameter image as the plan wrote it: each block behind its sum, the
// third part as identification read it, the rest erased.
std::vector<uint8_t> parameterImage(const ZR_Machine& machine, const ZR_WritePlan& plan)
{
    std::vector<uint8_t> image(ZR_PARAM_IMAGE_SIZE, 0xFF);
    bytes::putLe32(image.data() + ZR_PARAM_INFO_OFFSET, bytes::sum32(plan.paramInfo.bytes, ZR_INFO_BLOCK_SIZE));
    std::memcpy(image.data() + ZR_PARAM_INFO_OFFSET + 4, plan.paramInfo.bytes, ZR_INFO_BLOCK_SIZE);
    if (ZR_Net_valid(plan.paramNet)) {
        bytes::putLe32(image.data() + ZR_PARAM_NET_OFFSET, bytes::sum32(plan.paramNet.bytes, ZR_NET_BLOCK_SIZE));
        std::memcpy(image.data() + ZR_PARAM_NET_OFFSET + 4, plan.paramNet.bytes, ZR_NET_BLOCK_SIZE);
    }
    std::memcpy(image.data() + ZR_PARAM_THIRD_OFFSET, machine.thirdPart, ZR_THIRD_PART_SIZE);
    return image;
}

std::vector<Area> areasOf(const ZR_Machine& machine, const ZR_WritePlan& plan, const ZR_Package& package)
{
    std::vector<Area> areas;
    const bool target502 = plan.target502 != 0;
    const ZR_FlashMap& map = ZR_flashMap(target502);
    auto erasedBlock = [&](const char* name, uint32_t address, uint32_t size) {
        areas.push_back(block(name, address, std::vector<uint8_t>(size, 0xFF)));
    };
    auto erasedByPlan = [&](const char* name, uint32_t address) {
        if (!overwrittenByImage(plan, address, ZR_PARAM_IMAGE_SIZE)) erasedBlock(name, address, ZR_PARAM_IMAGE_SIZE);
    };

    if (plan.writeProgram && plan.program.size > 0)
        areas.push_back(block("program flag block", ZR_PROGRAM_FLAG_ADDRESS, programFlagBlock(plan.program)));
    if (plan.paramState == ZR_PARAM_STATE_WRITTEN) {
        areas.push_back(block("parameter image", map.parameter, parameterImage(machine, plan)));
        erasedByPlan("other parameter sector", ZR_flashMap(!target502).parameter);
    } else if (plan.paramState == ZR_PARAM_STATE_ERASED) {
        erasedByPlan("classic parameter sector", kClassicMap.parameter);
        erasedByPlan("502 parameter sector", k502Map.parameter);
    }
    if (plan.writeClientId && !insideWrittenData(plan, map.client, kHidcSector)) {
        const auto* title = reinterpret_cast<const uint8_t*>(package.title);
        areas.push_back(block("client block", map.client, std::vector<uint8_t>(title, title + ZR_CLIENT_BLOCK_SIZE)));
    }
    if (plan.resetSetting && !insideWrittenData(plan, map.settings, kHidcSector))
        erasedBlock("settings sector", map.settings, ZR_SETTINGS_IMAGE_SIZE);

    const uint32_t dataFlag = plan.writeMode == 0 ? 1 : 0;
    const std::pair<const char*, const ZR_PlanImage*> data[] = {
        {"gps data", &plan.gps}, {"voice data", &plan.voice}, {"radar mute data", &plan.radarMute},
        {"update tool data", &plan.updateTool}, {"oled data", &plan.oled},
    };
    for (auto [name, img] : data)
        if (img->size > 0) areas.push_back(image(name, *img, img == &plan.updateTool ? 0 : dataFlag));
    if (plan.writeProgram && plan.program.size > 0) {
        Area program = image("program", plan.program, 1);
        program.address = ZR_PROGRAM_ADDRESS;
        areas.push_back(program);
    }
    if (plan.writeBoot && plan.boot.size > 0) {
        Area boot = image("boot loader", plan.boot, 0);
        boot.address = ZR_BOOT_ADDRESS;
        areas.push_back(boot);
    }
    return areas;
}

} // namespace

int ZR_Machine_verify(ZR_Machine* machine, const ZR_WritePlan* plan, const ZR_Package* package, uint32_t mode,
                      char* cause, size_t n)
{
    if (cause && n) cause[0] = 0;
    if (mode == ZR_VERIFY_OFF) return 1;
    if (!machine || !machine->channel || !plan || !package) {
        if (cause && n) std::snprintf(cause, n, "nothing to read back from");
        return 0;
    }
    if (mode != ZR_VERIFY_FULL) mode = ZR_VERIFY_ENDS;

    std::vector<Area> areas = areasOf(*machine, *plan, *package);
    uint64_t total = 0;
    for (const Area& area : areas) total += bytesToRead(area, mode);
    MACHINE_LOG("read back %s: %u areas, 0x%llX bytes", mode == ZR_VERIFY_FULL ? "all" : "ends",
                unsigned(areas.size()), static_cast<unsigned long long>(total));

    machine->progressMode = ZR_PROGRESS_CALLER;
    std::snprintf(machine->caption, sizeof machine->caption, "%s", ZR_VERIFY_CAPTION);
    ZR_Machine_progressBegin(machine, uint32_t(std::min<uint64_t>(total, UINT32_MAX)));
    bool ok = true;
    for (const Area& area : areas)
        if (!(ok = checkArea(machine, area, mode, cause, n))) break;
    if (ok) ZR_Machine_progressEnd(machine);
    machine->caption[0] = 0;
    return ok ? 1 : 0;
}

int ZR_Machine_verifyProgram(ZR_Machine* machine, ZR_Package* package, uint32_t mode, char* cause, size_t n)
{
    if (cause && n) cause[0] = 0;
    if (mode == ZR_VERIFY_OFF) return 1;
    const ZR_ProgramEntry* entry =
        machine && package ? ZR_Package_findProgram(package, ZR_Info_u32(machine->info, ZR_INFO_BOARD_NAME)) : nullptr;
    if (!entry || !entry->image || entry->imageSize == 0) {
        if (cause && n) std::snprintf(cause, n, "no program image to read back");
        return 0;
    }
    ZR_WritePlan plan{};
    plan.writeProgram = 1;
    plan.program = ZR_PlanImage{0, entry->image, entry->imageSize, entry->encoded};
    plan.target502 = machine->is502 != 0;
    return ZR_Machine_verify(machine, &plan, package, mode, cause, n);
}
