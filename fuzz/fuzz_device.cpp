// A whole update against a simulated device whose behaviour comes from the
// input: which device (preset, boot version), which package, which parts of
// it to write, and which replies go missing, arrive corrupted or report a
// failure, where a data phase stalls and when the device vanishes — chosen
// separately for identification, planning and writing. The tool identifies,
// plans and writes as the update window does, while a tap on the link records
// every exchange. Checked afterwards:
//  - no step reports success while a reply it depended on was missing,
//    invalid or failed and never answered properly by a retry (devices that
//    give statuses, unless the boot-version query was refused or went
//    unanswered and the device is rightly taken for an old boot loader);
//  - no erase or write reaches past the end of the device's flash;
//  - no device block (settings, parameter image, client block, program flag)
//    that held data is left zeroed.
// Set TESSALY_FUZZ_PROPERTIES=0 to grow a corpus while a known violation is
// still being fixed; the sanitizers stay on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "common_k52/hidc.h"
#include "common_k52/machine.h"
#include "core/log.h"
#include "core/package.h"
#include "core/stream.h"
#include "fuzz/fuzz_support.h"
#include "sim/presets.h"
#include "sim/sim_device.h"
#include "tools/sample_packages.h"

namespace {

// ---------------------------------------------------------------------------
// What the input chooses

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte()
    {
        return at_ < size_ ? data_[at_++] : 0;
    }
    uint32_t small(uint32_t limit)  // 0 .. limit-1
    {
        return byte() % limit;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const char* const kPresets[] = {"classic", "502", "k502-4m", "layout3", "layout4",
                                "layout1", "blank", "borealis", "boot1010", "boot1045"};
constexpr uint32_t kPresetCount = sizeof kPresets / sizeof kPresets[0];

// Boot versions around the points where the protocol changes.
const uint32_t kBootVersions[] = {0, 1010, 1011, 1045, 1046, 1050, 2000};

// Faults of one phase. Reply numbers count from the start of the phase; the
// small range keeps them on the replies a phase actually exchanges.
SimFaults faultsFrom(Input& in)
{
    SimFaults f;
    uint8_t which = in.byte();
    auto pick = [&](int bit) -> uint32_t { return which & (1u << bit) ? 1 + in.small(40) : 0; };
    f.dropReply = pick(0);
    f.corruptSum = pick(1);
    f.corruptSignature = pick(2);
    f.failStatus = pick(3);
    if (which & 0x10) {
        f.stopAfterData = in.small(64);
        f.stopArmed = true;
    }
    if (which & 0x20) f.disconnectAfter = 1 + in.byte() * 4u;
    return f;
}

// ---------------------------------------------------------------------------
// The tap: a transport in front of the simulated device's that follows the
// protocol and records how each command was answered.

enum class Answer { Ok, Failed, Invalid, Missing };

struct Exchange {
    int phase;
    uint8_t command;
    uint32_t arg1, arg2;
    Answer answer;
};

struct Tap : HidDevice {
    HidDevice* inner = nullptr;
    int phase = 0;
    bool statusBoot = false;  // the device's replies carry a status
    // Protocol position.
    bool awaiting = false;  // a command waits for its reply
    uint8_t command = 0;
    uint32_t arg1 = 0, arg2 = 0;
    uint64_t dataIn = 0;   // data reports the device still expects
    uint64_t dataOut = 0;  // data reports the device still owes
    std::vector<Exchange> log;
    // Ranges the device was asked to change.
    std::vector<std::pair<uint64_t, uint64_t>> changes;

    void record(Answer a)
    {
        if (awaiting) log.push_back({phase, command, arg1, arg2, a});
        awaiting = false;
        dataIn = dataOut = 0;
    }
};

using fuzz::le32;

constexpr uint64_t kReportsPerUnit = kHidcUnit / kHidcPayloadSize;

HidIoStatus tapWrite(HidDevice* d, const uint8_t* report, size_t length, int timeoutMs, HidCancel* cancel,
                     size_t* taken)
{
    Tap* t = static_cast<Tap*>(d);
    HidIoStatus st = HidDevice_write(t->inner, report, length, timeoutMs, cancel, taken);
    if (t->dataIn > 0) {
        // A report the device does not take ends the phase without a reply.
        if (st != HID_IO_OK)
            t->record(Answer::Missing);
        else
            --t->dataIn;
        return st;
    }
    if (st != HID_IO_OK || length < 1 || !fuzz::wellFormedReply(report + 1, length - 1)) return st;
    // An unanswered earlier command stays unanswered.
    t->record(Answer::Missing);
    const uint8_t* p = report + 1;
    t->awaiting = true;
    t->command = p[HIDC_PKT_COMMAND];
    t->arg1 = le32(p + HIDC_PKT_ARG1);
    t->arg2 = le32(p + HIDC_PKT_ARG2);
    if (t->command == HIDC_READ) t->dataOut = uint64_t(t->arg2) * kReportsPerUnit;
    if (t->command == HIDC_WRITE) {
        t->dataIn = uint64_t(t->arg2) * kReportsPerUnit;
        t->changes.emplace_back(uint64_t(t->arg1) * kHidcUnit, uint64_t(t->arg2) * kHidcUnit);
    }
    if (t->command == HIDC_ERASE)
        t->changes.emplace_back(uint64_t(t->arg1) * kHidcSector, uint64_t(t->arg2) * kHidcSector);
    return st;
}

HidIoStatus tapRead(HidDevice* d, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                    size_t* delivered)
{
    Tap* t = static_cast<Tap*>(d);
    HidIoStatus st = HidDevice_read(t->inner, report, capacity, timeoutMs, cancel, delivered);
    if (!t->awaiting) return st;
    if (st != HID_IO_OK) {
        t->record(Answer::Missing);
        return st;
    }
    bool packet = *delivered >= 1 && fuzz::wellFormedReply(report + 1, *delivered - 1);
    // A device refuses an out-of-range read at once, with a reply in place of
    // the first data report.
    bool refusal = packet && report[1 + HIDC_PKT_COMMAND] == HIDC_READ && t->dataOut == uint64_t(t->arg2) * kReportsPerUnit;
    if (t->dataOut > 0 && !refusal) {
        --t->dataOut;
        return st;
    }
    if (!packet)
        t->record(Answer::Invalid);
    else if (t->statusBoot && le32(report + 1 + HIDC_PKT_ARG1) != 0)
        t->record(Answer::Failed);
    else
        t->record(Answer::Ok);
    return st;
}

void tapDiscard(HidDevice* d)
{
    Tap* t = static_cast<Tap*>(d);
    HidDevice_discardPending(t->inner);
}

void tapClose(HidDevice* d)
{
    Tap* t = static_cast<Tap*>(d);
    HidDevice_close(t->inner);
    t->inner = nullptr;
}

const HidTransportOps kTapOps = {"tap", tapWrite, tapRead, tapDiscard, tapClose};

// ---------------------------------------------------------------------------
// Packages: the sample containers, made once per process and loaded afresh for
// every input, since choosing provinces changes a loaded package.


struct Samples {
    std::vector<std::vector<uint8_t>> containers;
    Samples()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessaly_fuzz_device_XXXXXX";
        if (!mkdtemp(dir.data())) std::abort();
        std::vector<SampleFile> files;
        std::string error;
        if (!SamplePackages_write(dir, &files, &error)) {
            std::fprintf(stderr, "samples: %s\n", error.c_str());
            std::abort();
        }
        for (const char* name : {"mvt7-full.dzr", "k502-full.dzr", "program-only.dzr", "provinces-4m.dzr"}) {
            std::ifstream f(dir + "/" + name, std::ios::binary);
            containers.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
            if (!f || containers.back().empty()) std::abort();
        }
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    PackagePtr load(size_t index) const
    {
        const std::vector<uint8_t>& bytes = containers[index];
        ZR_Stream* stream = ZR_Stream_openMemory(bytes.data(), uint32_t(bytes.size()));
        if (!stream) std::abort();
        ZR_Stream_seekTo(stream, uint32_t(bytes.size()));  // a memory stream's size is its cursor
        PackagePtr package(ZR_Package_loadFromStream(stream));
        ZR_Stream_release(stream);
        if (!package) std::abort();
        return package;
    }
};

// ---------------------------------------------------------------------------
// Device blocks checked for zeroing.

struct Block {
    uint32_t address;
    std::vector<uint8_t> before;
};

std::vector<Block> deviceBlocks(const SimDevice& dev)
{
    std::vector<Block> blocks;
    auto add = [&](uint32_t address) {
        auto bytes = dev.readFlashDirect(address, 256);
        if (bytes.size() == 256) blocks.push_back({address, std::move(bytes)});
    };
    add(ZR_PROGRAM_FLAG_ADDRESS);
    for (const ZR_FlashMap* map : {&kClassicMap, &k502Map}) {
        add(map->settings);
        add(map->parameter);
        add(map->parameter + 0x100);
        add(map->parameter + 0x200);
        add(map->client);
    }
    return blocks;
}

bool all(const std::vector<uint8_t>& bytes, uint8_t value)
{
    for (uint8_t b : bytes)
        if (b != value) return false;
    return true;
}

// The blocks identification depends on; other reads (image dates) may fail
// without consequence.
bool isBlockRead(const Exchange& e)
{
    if (e.command != HIDC_READ) return false;
    uint64_t address = uint64_t(e.arg1) * kHidcUnit;
    for (const ZR_FlashMap* map : {&kClassicMap, &k502Map})
        for (uint32_t a : {map->settings, map->parameter, map->parameter + 0x100, map->parameter + 0x200, map->client})
            if (address == a) return true;
    return false;
}

// A retry is the same command sent again straight away; it answers for the
// failed one when it, or its own retry, went through.
bool answeredLater(const std::vector<Exchange>& log, size_t i)
{
    if (i + 1 >= log.size()) return false;
    const Exchange& e = log[i];
    const Exchange& next = log[i + 1];
    if (next.phase != e.phase || next.command != e.command || next.arg1 != e.arg1 || next.arg2 != e.arg2)
        return false;
    return next.answer == Answer::Ok || answeredLater(log, i + 1);
}

const char* answerName(Answer a)
{
    switch (a) {
    case Answer::Ok: return "ok";
    case Answer::Failed: return "failed status";
    case Answer::Invalid: return "invalid reply";
    case Answer::Missing: return "no reply";
    }
    return "?";
}

const char* const kPhaseNames[] = {"identification", "plan", "write"};

// A step reported success: every exchange up to it that went wrong must have
// been answered properly by a retry.
void requireClean(const Tap& tap, int phase)
{
    for (size_t i = 0; i < tap.log.size(); ++i) {
        const Exchange& e = tap.log[i];
        if (e.phase > phase) break;
        // The write ends, once what it wrote has been read back and found
        // right, by identifying the device again to refresh the record; that
        // refresh failing leaves the record marked unidentified, not the
        // device wrongly written.
        if (e.phase == 2 && e.command == HIDC_BOOT_VERSION) break;
        if (e.answer == Answer::Ok || answeredLater(tap.log, i)) continue;
        if (e.phase == 0 && e.command == HIDC_READ && !isBlockRead(e)) continue;
        char what[160];
        std::snprintf(what, sizeof what, "%s reported success after command 0x%02X (0x%X, 0x%X) of the %s got %s",
                      kPhaseNames[phase], e.command, e.arg1, e.arg2, kPhaseNames[e.phase], answerName(e.answer));
        fuzz::violation(what);
    }
}

// An old boot loader does not know the boot-version query: it answers it with
// a well-formed reply carrying a failed status, and identification keeps the
// defaults for it. Two lost or garbled replies in a row are taken the same way.
// Only identification's queries count: what the write asks later does not
// change how the device was taken.
bool bootQueryUnanswered(const Tap& tap)
{
    int bad = 0;
    for (const Exchange& e : tap.log)
        if (e.phase == 0 && e.command == HIDC_BOOT_VERSION) {
            if (e.answer == Answer::Ok) return false;
            if (e.answer == Answer::Failed) return true;
            ++bad;
        }
    return bad >= 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool quiet = (ZR_logSetSink(nullptr, nullptr), true);
    (void)quiet;
    static const Samples samples;

    Input in(data, size);
    const uint8_t deviceChoice = in.byte();
    const char* preset = kPresets[(deviceChoice & 0x3F) % kPresetCount];
    std::unique_ptr<SimDevice> dev = SimPreset_make(preset);
    if (!dev) std::abort();
    if (deviceChoice & 0x80) dev->setBootVersion(kBootVersions[in.small(sizeof kBootVersions / sizeof kBootVersions[0])]);
    const uint32_t boot = dev->bootVersion();

    const uint8_t packageChoice = in.byte();
    PackagePtr loaded = samples.load(packageChoice % samples.containers.size());
    ZR_Package* package = loaded.get();
    const uint8_t parts = in.byte();
    SimFaults faults[3];
    for (SimFaults& f : faults) f = faultsFrom(in);
    uint8_t selection[PROVINCE_COUNT];
    for (int p = 0; p < PROVINCE_COUNT; ++p) selection[p] = (p % 8 == 0 ? in.byte() : selection[p - 1]) >> (p % 8) & 1;

    const std::vector<Block> blocks = deviceBlocks(*dev);

    auto* tap = new Tap{};
    tap->ops = &kTapOps;
    tap->inner = SimDevice_openTransport(dev.get());
    tap->statusBoot = boot >= kHidcStatusBootVersion;

    ZR_Machine* m = ZR_Machine_create(nullptr, nullptr, nullptr, nullptr);
    if (!m || !m->channel) std::abort();
    m->channel->port = Hidc_portFromDevice(tap);
    m->channel->timeoutMs = 1;  // the device in process answers at once or never

    // The steps as the update window takes them; each one's success is checked.
    dev->setFaults(faults[0]);
    int lastGood = -1;
    if (ZR_Machine_identify(m) == 1) {
        lastGood = 0;
        tap->phase = 1;
        dev->setFaults(faults[1]);
        ZR_WritePlan plan{};
        plan.writeBoot = parts & 1;
        plan.writeProgram = parts >> 1 & 1;
        plan.writeVoice = parts >> 2 & 1;
        plan.writeRadarMute = parts >> 3 & 1;
        plan.writeGps = parts >> 4 & 1;
        plan.writeUpdateTool = parts >> 5 & 1;
        plan.resetSetting = parts >> 6 & 1;
        int planned = ZR_Machine_checkParamAndMainSetting(m, &plan, package);
        if (planned == ZR_PLAN_NO_FIT && package->gpsProvinceRecords.entries && (parts & 0x80) &&
            ZR_Package_assembleProvinceGps(package, selection)) {
            plan.provinceMode = 1;
            planned = ZR_Machine_checkParamAndMainSetting(m, &plan, package);
        }
        if (planned == ZR_PLAN_READY) {
            lastGood = 1;
            tap->phase = 2;
            dev->setFaults(faults[2]);
            plan.writeClientId = deviceChoice & 0x40 ? 1 : 0;
            if (ZR_Machine_write(&plan, m, package) == ZR_WRITE_OK) lastGood = 2;
        }
    }
    const Tap observed = *tap;
    ZR_Machine_release(m);  // closes the tap's inner handle
    delete tap;

    if (std::getenv("TESSALY_FUZZ_TRACE")) {
        std::fprintf(stderr, "device %s boot %u, steps done %d\n", preset, boot, lastGood + 1);
        for (const Exchange& e : observed.log)
            std::fprintf(stderr, "  %s 0x%02X 0x%X 0x%X %s\n", kPhaseNames[e.phase], e.command, e.arg1, e.arg2,
                         answerName(e.answer));
    }
    if (fuzz::propertiesOn()) {
        const bool oldLoader = bootQueryUnanswered(observed);
        // Below boot 1011 the device is never asked its size.
        if (!oldLoader && boot >= 1011)
            for (auto [start, length] : observed.changes)
                if (start + length > dev->flashSize()) {
                    char what[120];
                    std::snprintf(what, sizeof what, "erase or write of [0x%llX, +0x%llX) past the flash end 0x%X",
                                  (unsigned long long)start, (unsigned long long)length, dev->flashSize());
                    fuzz::violation(what);
                }
        for (const Block& b : blocks) {
            if (all(b.before, 0x00) || all(b.before, 0xFF)) continue;
            if (all(dev->readFlashDirect(b.address, 256), 0x00)) {
                char what[80];
                std::snprintf(what, sizeof what, "block at 0x%X written back as zeros", b.address);
                fuzz::violation(what);
            }
        }
        if (boot >= kHidcStatusBootVersion && !oldLoader && lastGood >= 0) requireClean(observed, lastGood);
    }
    return 0;
}
