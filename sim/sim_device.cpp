#include "sim/sim_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common_k52/hidc.h"
#include "core/bytes.h"

namespace {

// Waits are cut into slices so a cancel signal raised from another thread is
// seen promptly.
constexpr auto kCancelSlice = std::chrono::milliseconds(5);

const char* commandName(uint8_t code)
{
    switch (code) {
    case HIDC_ERASE: return "ERASE";
    case HIDC_READ: return "READ";
    case HIDC_WRITE: return "WRITE";
    case HIDC_DONE: return "DONE";
    case HIDC_BOOT_VERSION: return "BOOT_VERSION";
    case HIDC_REFUSE: return "REFUSE";
    case HIDC_FLASH_SIZE: return "FLASH_SIZE";
    default: return "UNKNOWN";
    }
}

} // namespace

bool SimFaults_parse(const std::string& text, SimFaults* faults, std::string* error)
{
    SimFaults parsed = *faults;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? text.size() : comma + 1;
        if (item.empty()) continue;
        size_t colon = item.find(':');
        std::string key = item.substr(0, colon);
        unsigned long value = 0;
        if (colon == std::string::npos || colon + 1 >= item.size()) {
            if (error) *error = "fault '" + item + "' needs a number (name:N)";
            return false;
        }
        const char* digits = item.c_str() + colon + 1;
        char* end = nullptr;
        value = std::strtoul(digits, &end, 10);
        if (*end != '\0' || value > 0xFFFFFFFFul) {
            if (error) *error = "fault '" + item + "' has a bad number";
            return false;
        }
        uint32_t n = uint32_t(value);
        if (key == "drop") parsed.dropReply = n;
        else if (key == "delay") parsed.delayReply = n;
        else if (key == "delay-ms") parsed.delayMs = n;
        else if (key == "corrupt-sum") parsed.corruptSum = n;
        else if (key == "corrupt-sig") parsed.corruptSignature = n;
        else if (key == "fail-status") parsed.failStatus = n;
        else if (key == "stop-data") { parsed.stopAfterData = n; parsed.stopArmed = true; }
        else if (key == "disconnect") parsed.disconnectAfter = n;
        else if (key == "refuse-write") parsed.refuseWrite = n;
        else if (key == "corrupt-write") parsed.corruptWrite = n;
        else {
            if (error) *error = "unknown fault '" + key + "'";
            return false;
        }
    }
    *faults = parsed;
    return true;
}

SimDevice::SimDevice(const SimDeviceOptions& options) : options_(options)
{
    uint32_t size = options.flashSize ? options.flashSize : kSimDefaultFlashSize;
    size = (size + kHidcSector - 1) / kHidcSector * kHidcSector;
    options_.flashSize = size;
    flash_.assign(size, 0xFF);
    if (!options_.imagePath.empty()) loadImage();
}

SimDevice::~SimDevice()
{
    if (!options_.imagePath.empty()) saveImage();
}

bool SimDevice::loadImage()
{
    std::ifstream in(options_.imagePath, std::ios::binary);
    if (!in) return false;
    in.read(reinterpret_cast<char*>(flash_.data()), std::streamsize(flash_.size()));
    return true;
}

bool SimDevice::saveImage() const
{
    if (options_.imagePath.empty()) return false;
    std::vector<uint8_t> copy;
    {
        std::lock_guard<std::mutex> g(lock_);
        copy = flash_;
    }
    // Written aside and renamed, so an interrupted save never leaves half an image.
    std::string temp = options_.imagePath + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(reinterpret_cast<const char*>(copy.data()), std::streamsize(copy.size()));
        if (!out) return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, options_.imagePath, ec);
    return !ec;
}

uint64_t SimDevice::generation() const
{
    std::lock_guard<std::mutex> g(lock_);
    return generation_;
}

bool SimDevice::connected() const
{
    std::lock_guard<std::mutex> g(lock_);
    return connected_;
}

void SimDevice::setFaults(const SimFaults& faults)
{
    std::lock_guard<std::mutex> g(lock_);
    faults_ = faults;
    repliesSent_ = 0;
    receivedSinceFaults_ = 0;
    writesSinceFaults_ = 0;
}

void SimDevice::setLatencyUs(uint32_t latencyUs)
{
    std::lock_guard<std::mutex> g(lock_);
    options_.latencyUs = latencyUs;
}

void SimDevice::setBootVersion(uint32_t bootVersion)
{
    std::lock_guard<std::mutex> g(lock_);
    options_.bootVersion = bootVersion;
}

uint32_t SimDevice::bootVersion() const
{
    std::lock_guard<std::mutex> g(lock_);
    return options_.bootVersion;
}

void SimDevice::disconnect()
{
    std::lock_guard<std::mutex> g(lock_);
    connected_ = false;
    outbox_.clear();
    phase_ = Phase::Idle;
    ready_.notify_all();
}

void SimDevice::reconnect()
{
    std::lock_guard<std::mutex> g(lock_);
    if (connected_) return;
    connected_ = true;
    ++generation_;
}

std::vector<uint8_t> SimDevice::readFlashDirect(uint32_t address, uint32_t length) const
{
    std::lock_guard<std::mutex> g(lock_);
    if (!rangeOk(address, length)) return {};
    return std::vector<uint8_t>(flash_.begin() + address, flash_.begin() + address + length);
}

bool SimDevice::writeFlashDirect(uint32_t address, const uint8_t* data, uint32_t length)
{
    std::lock_guard<std::mutex> g(lock_);
    if (!rangeOk(address, length)) return false;
    std::memcpy(flash_.data() + address, data, length);
    return true;
}

void SimDevice::eraseAll()
{
    std::lock_guard<std::mutex> g(lock_);
    std::fill(flash_.begin(), flash_.end(), 0xFF);
}

uint64_t SimDevice::reportsIn() const
{
    std::lock_guard<std::mutex> g(lock_);
    return reportsIn_;
}

uint64_t SimDevice::reportsOut() const
{
    std::lock_guard<std::mutex> g(lock_);
    return reportsOut_;
}

uint64_t SimDevice::commandsIn() const
{
    std::lock_guard<std::mutex> g(lock_);
    return commandsIn_;
}

void SimDevice::resetCounters()
{
    std::lock_guard<std::mutex> g(lock_);
    reportsIn_ = reportsOut_ = commandsIn_ = 0;
}

void SimDevice::setCommandLog(void (*log)(void*, const char*), void* user)
{
    std::lock_guard<std::mutex> g(lock_);
    commandLog_ = log;
    commandLogUser_ = user;
}

bool SimDevice::rangeOk(uint64_t address, uint64_t length) const
{
    return address <= flash_.size() && length <= flash_.size() - address;
}

// Each report occupies the link for the latency; a host that comes back a
// little late (sleep overshoot) keeps its place in the schedule, so the time
// of a long transfer does not drift.
SimDevice::Clock::time_point SimDevice::linkSlot()
{
    if (options_.latencyUs == 0) return Clock::time_point{};
    auto latency = std::chrono::microseconds(options_.latencyUs);
    auto now = Clock::now();
    auto start = linkFree_;
    if (now > linkFree_ + latency / 2) start = now;
    linkFree_ = start + latency;
    return linkFree_;
}

HidIoStatus SimDevice::hostWrite(const uint8_t* report, size_t length, int timeoutMs, HidCancel* cancel,
                                 uint64_t generation)
{
    std::unique_lock<std::mutex> g(lock_);
    if (!connected_ || generation != generation_) return HID_IO_ERROR;
    if (options_.latencyUs) {
        auto due = linkSlot();
        g.unlock();
        std::this_thread::sleep_until(due);
        g.lock();
        if (!connected_ || generation != generation_) return HID_IO_ERROR;
    }
    if (length < 2) return HID_IO_ERROR;

    if (phase_ == Phase::WriteIn && faults_.stopArmed && phaseReports_ >= faults_.stopAfterData) {
        // The device stops taking data: the host's report is never collected.
        faults_.stopArmed = false;
        phase_ = Phase::Idle;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (cancel && cancel->isSignalled()) {
                cancel->reset();
                return HID_IO_CANCELLED;
            }
            ready_.wait_until(g, std::min(deadline, Clock::now() + kCancelSlice));
        }
        return HID_IO_TIMEOUT;
    }

    ++reportsIn_;
    const uint8_t* payload = report + 1;
    size_t payloadLength = std::min(length - 1, kHidcPayloadSize);
    if (phase_ == Phase::WriteIn) {
        handleWriteData(payload, payloadLength);
    } else if (payloadLength >= HIDC_PACKET_SIZE && Hidc_packetValid(payload)) {
        handleCommand(payload);
    }
    // Anything else is noise on the line: taken and ignored, as a device would.

    if (faults_.disconnectAfter && ++receivedSinceFaults_ >= faults_.disconnectAfter) {
        faults_.disconnectAfter = 0;
        connected_ = false;
        outbox_.clear();
        phase_ = Phase::Idle;
    }
    ready_.notify_all();
    return HID_IO_OK;
}

HidIoStatus SimDevice::hostRead(uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                                size_t* delivered, uint64_t generation)
{
    if (delivered) *delivered = 0;
    std::unique_lock<std::mutex> g(lock_);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!connected_ || generation != generation_) return HID_IO_ERROR;
        if (cancel && cancel->isSignalled()) {
            cancel->reset();
            return HID_IO_CANCELLED;
        }
        // Data of a read phase is produced as the host collects it.
        if (outbox_.empty() && phase_ == Phase::ReadOut) {
            if (faults_.stopArmed && phaseReports_ >= faults_.stopAfterData) {
                faults_.stopArmed = false;
                phase_ = Phase::Idle;
            } else {
                queueData(flash_.data() + phaseAddress_ + phaseDone_);
            }
        }
        auto now = Clock::now();
        if (!outbox_.empty() && outbox_.front().readyAt <= now) {
            const Outgoing& out = outbox_.front();
            size_t n = std::min(capacity, kHidReportSize);
            std::memcpy(report, out.report, n);
            outbox_.pop_front();
            ++reportsOut_;
            if (delivered) *delivered = n;
            return HID_IO_OK;
        }
        if (now >= deadline) return HID_IO_TIMEOUT;
        auto wake = std::min(deadline, now + kCancelSlice);
        if (!outbox_.empty()) wake = std::min(wake, outbox_.front().readyAt);
        ready_.wait_until(g, wake);
    }
}

void SimDevice::hostDiscard(uint64_t generation)
{
    std::lock_guard<std::mutex> g(lock_);
    if (generation != generation_) return;
    outbox_.clear();
    // A data phase the host gave up on ends with it: the host only discards
    // when it starts a new command, which must not be taken as write data.
    if (phase_ == Phase::WriteIn) writeBuffer_.clear();
    phase_ = Phase::Idle;
}

void SimDevice::queueReply(uint8_t command, uint32_t status, uint32_t answer)
{
    uint32_t n = ++repliesSent_;
    if (faults_.dropReply == n) return;
    uint8_t packet[HIDC_PACKET_SIZE];
    Hidc_buildPacket(packet, command, faults_.failStatus == n ? 1 : status, answer, 0, 0, 0);
    if (faults_.corruptSum == n) packet[HIDC_PKT_SUM] ^= 0x01;
    if (faults_.corruptSignature == n) packet[HIDC_PKT_SIGNATURE] = 'X';
    Outgoing out;
    std::memset(out.report, 0, sizeof out.report);
    std::memcpy(out.report + 1, packet, sizeof packet);
    out.readyAt = linkSlot();
    if (faults_.delayReply == n) out.readyAt = Clock::now() + std::chrono::milliseconds(faults_.delayMs);
    outbox_.push_back(out);
}

void SimDevice::queueData(const uint8_t* payload)
{
    Outgoing out;
    out.report[0] = 0;
    std::memcpy(out.report + 1, payload, kHidcPayloadSize);
    out.readyAt = linkSlot();
    outbox_.push_back(out);
    phaseDone_ += kHidcPayloadSize;
    ++phaseReports_;
    if (phaseDone_ >= phaseLength_) {
        phase_ = Phase::Idle;
        uint32_t sum = bytes::sum32(flash_.data() + phaseAddress_, phaseLength_);
        queueReply(HIDC_READ, 0, sum);
    }
}

void SimDevice::handleCommand(const uint8_t* payload)
{
    ++commandsIn_;
    uint8_t command = payload[HIDC_PKT_COMMAND];
    uint32_t arg1 = bytes::getLe32(payload + HIDC_PKT_ARG1);
    uint32_t arg2 = bytes::getLe32(payload + HIDC_PKT_ARG2);
    uint32_t arg3 = bytes::getLe32(payload + HIDC_PKT_ARG3);
    uint32_t arg4 = bytes::getLe32(payload + HIDC_PKT_ARG4);
    uint8_t flag = payload[HIDC_PKT_FLAG];
    if (commandLog_) {
        char line[160];
        std::snprintf(line, sizeof line, "%s arg1=0x%X arg2=0x%X arg3=0x%X flag=%u arg4=0x%X", commandName(command),
                      arg1, arg2, arg3, unsigned(flag), arg4);
        commandLog_(commandLogUser_, line);
    }
    // Before boot 1046 replies carry no status: argument 1 then holds whatever
    // the command had there, and hosts must not read it as one.
    bool statusBoot = options_.bootVersion >= kHidcStatusBootVersion;
    auto status = [&](bool ok) -> uint32_t { return statusBoot ? (ok ? 0u : 1u) : arg1; };
    bool magic = arg1 == kHidcMagic1 && arg2 == kHidcMagic2;

    switch (command) {
    case HIDC_ERASE: {
        uint64_t address = uint64_t(arg1) * kHidcSector, length = uint64_t(arg2) * kHidcSector;
        bool ok = rangeOk(address, length);
        if (ok) std::fill_n(flash_.begin() + std::ptrdiff_t(address), size_t(length), 0xFF);
        queueReply(command, status(ok), 0);
        break;
    }
    case HIDC_READ: {
        uint64_t address = uint64_t(arg1) * kHidcUnit, length = uint64_t(arg2) * kHidcUnit;
        if (!rangeOk(address, length)) {
            queueReply(command, status(false), 0);
        } else if (length == 0) {
            queueReply(command, status(true), 0);
        } else {
            phase_ = Phase::ReadOut;
            phaseAddress_ = uint32_t(address);
            phaseLength_ = uint32_t(length);
            phaseDone_ = 0;
            phaseReports_ = 0;
        }
        break;
    }
    case HIDC_WRITE: {
        uint64_t address = uint64_t(arg1) * kHidcUnit, length = uint64_t(arg2) * kHidcUnit;
        if (length == 0) {
            queueReply(command, status(rangeOk(address, 0)), 0);
            break;
        }
        phase_ = Phase::WriteIn;
        // An out-of-range write still takes its data reports, then fails.
        bool ok = rangeOk(address, length);
        phaseAddress_ = ok ? uint32_t(address) : UINT32_MAX;
        phaseLength_ = uint32_t(std::min<uint64_t>(length, UINT32_MAX));
        phaseDone_ = 0;
        phaseReports_ = 0;
        writeArg3_ = arg3;
        writeSum_ = arg4;
        writeBuffer_.resize(ok ? size_t(length) : 0);
        break;
    }
    case HIDC_DONE:
    case HIDC_REFUSE:
        queueReply(command, status(magic), 0);
        break;
    case HIDC_BOOT_VERSION:
        queueReply(command, status(magic), magic ? options_.bootVersion : 0);
        break;
    case HIDC_FLASH_SIZE:
        queueReply(command, status(magic), magic ? uint32_t(flash_.size()) : 0);
        break;
    default:
        queueReply(command, status(false), 0);
        break;
    }
}

void SimDevice::handleWriteData(const uint8_t* payload, size_t length)
{
    uint32_t take = uint32_t(std::min<size_t>(length, phaseLength_ - phaseDone_));
    if (!writeBuffer_.empty()) std::memcpy(writeBuffer_.data() + phaseDone_, payload, take);
    phaseDone_ += take;
    ++phaseReports_;
    if (phaseDone_ >= phaseLength_) finishWrite();
}

void SimDevice::finishWrite()
{
    phase_ = Phase::Idle;
    bool statusBoot = options_.bootVersion >= kHidcStatusBootVersion;
    bool ok = !writeBuffer_.empty() && writeArg3_ <= writeBuffer_.size();
    if (ok && writeArg3_ != 0) {
        // Encoded data: the device stores the decoded bytes and checks the
        // announced sum against them (the 0xFF padding included).
        ZR_rollingXorResetState(&rolling_);
        ZR_rollingXorWith(&rolling_, writeArg3_, writeBuffer_.data());
    }
    if (ok) ok = bytes::sum32(writeBuffer_.data(), writeBuffer_.size()) == writeSum_;
    uint32_t write = ++writesSinceFaults_;
    bool store = ok && faults_.refuseWrite != write;
    if (ok && !store) ok = false;
    if (store && faults_.corruptWrite == write) writeBuffer_[writeBuffer_.size() / 2] ^= 0x5A;
    if (store) std::memcpy(flash_.data() + phaseAddress_, writeBuffer_.data(), writeBuffer_.size());
    writeBuffer_.clear();
    writeBuffer_.shrink_to_fit();
    uint32_t arg1 = phaseAddress_ == UINT32_MAX ? 0 : phaseAddress_ / kHidcUnit;
    queueReply(HIDC_WRITE, statusBoot ? (ok ? 0u : 1u) : arg1, 0);
}

// ---------------------------------------------------------------------------
// In-process transport.

namespace {

struct SimHandle : HidDevice {
    SimDevice* device;
    uint64_t generation;
};

HidIoStatus simWrite(HidDevice* d, const uint8_t* report, size_t length, int timeoutMs, HidCancel* cancel,
                     size_t* taken)
{
    auto* h = static_cast<SimHandle*>(d);
    if (taken) *taken = 0;
    if (cancel && cancel->isSignalled()) {
        cancel->reset();
        return HID_IO_CANCELLED;
    }
    HidIoStatus st = h->device->hostWrite(report, length, timeoutMs, cancel, h->generation);
    if (st == HID_IO_OK && taken) *taken = length;
    return st;
}

HidIoStatus simRead(HidDevice* d, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                    size_t* delivered)
{
    auto* h = static_cast<SimHandle*>(d);
    return h->device->hostRead(report, capacity, timeoutMs, cancel, delivered, h->generation);
}

void simDiscard(HidDevice* d)
{
    auto* h = static_cast<SimHandle*>(d);
    h->device->hostDiscard(h->generation);
}

void simClose(HidDevice* d) { delete static_cast<SimHandle*>(d); }

const HidTransportOps kSimOps = {"sim", simWrite, simRead, simDiscard, simClose};

constexpr const char* kPrefix = "sim:";

std::mutex g_registryLock;
std::vector<std::pair<std::string, SimDevice*>>& registry()
{
    static std::vector<std::pair<std::string, SimDevice*>> r;
    return r;
}

std::string pathFor(const std::string& name)
{
    return kPrefix + name + "#" + HidTransport_idToken(kSimVendorId, kSimProductId);
}

bool simClaims(const char* path) { return std::strncmp(path, kPrefix, std::strlen(kPrefix)) == 0; }

HidDevice* simOpen(const char* path)
{
    std::lock_guard<std::mutex> g(g_registryLock);
    for (auto& [name, device] : registry()) {
        if (pathFor(name) == path && device->connected()) return SimDevice_openTransport(device);
    }
    return nullptr;
}

void simEnumerate(std::vector<HidDeviceInfo>* out)
{
    std::lock_guard<std::mutex> g(g_registryLock);
    for (auto& [name, device] : registry()) {
        if (!device->connected()) continue;
        HidDeviceInfo info;
        info.path = pathFor(name);
        info.vendorId = kSimVendorId;
        info.productId = kSimProductId;
        info.backend = "sim";
        out->push_back(std::move(info));
    }
}

const HidBackend kSimBackend = {"sim", simClaims, simOpen, simEnumerate};

} // namespace

HidDevice* SimDevice_openTransport(SimDevice* device)
{
    if (!device || !device->connected()) return nullptr;
    auto* h = new SimHandle{{&kSimOps}, device, device->generation()};
    return h;
}

std::string SimDevice_attach(SimDevice* device, const std::string& name)
{
    HidTransport_registerBackend(&kSimBackend);
    std::lock_guard<std::mutex> g(g_registryLock);
    auto& r = registry();
    r.erase(std::remove_if(r.begin(), r.end(), [&](auto& e) { return e.first == name; }), r.end());
    r.emplace_back(name, device);
    return pathFor(name);
}

void SimDevice_detach(const std::string& name)
{
    std::lock_guard<std::mutex> g(g_registryLock);
    auto& r = registry();
    r.erase(std::remove_if(r.begin(), r.end(), [&](auto& e) { return e.first == name; }), r.end());
}
