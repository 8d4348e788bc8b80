// Arbitrary bytes as what a device sends back over the command channel: the
// input scripts every input report (raw bytes, well-formed replies with chosen
// faults, time-outs, errors) and the outcome of every output report, while one
// channel operation runs. Besides the sanitizers it checks the channel against
// an independent reading of the reply format: a success always rests on a
// whole, valid reply whose status allows it, read data is exactly what the
// device sent, and a valid reply is never refused.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common_k52/hidc.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Delivered {
    uint8_t report[kHidReportSize];
    size_t count;
};

// The device as the input describes it.
struct ScriptedDevice : HidDevice {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    uint32_t failWrite = 0;  // the Nth output report fails (0 never)
    uint32_t writes = 0;
    std::vector<Delivered> log;

    bool take(uint8_t* byte)
    {
        if (at >= size) return false;
        *byte = data[at++];
        return true;
    }
    uint32_t take32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t b = 0;
            take(&b);
            v |= uint32_t(b) << (8 * i);
        }
        return v;
    }
};

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A reply packet laid out by hand, not by the channel's own builder.
void wellFormed(uint8_t* packet, uint8_t command, uint32_t status, uint32_t answer)
{
    std::memset(packet, 0, HIDC_PACKET_SIZE);
    packet[0] = command;
    packet[1] = 23;
    put32(packet + 2, status);
    put32(packet + 6, answer);
    std::memcpy(packet + 19, "HIDC", 4);
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i) sum += packet[i];
    put32(packet + 23, sum);
}

HidIoStatus scriptedWrite(HidDevice* d, const uint8_t*, size_t length, int, HidCancel*, size_t* taken)
{
    auto* dev = static_cast<ScriptedDevice*>(d);
    *taken = 0;
    if (++dev->writes == dev->failWrite) return HID_IO_ERROR;
    *taken = length;
    return HID_IO_OK;
}

HidIoStatus scriptedRead(HidDevice* d, uint8_t* report, size_t capacity, int, HidCancel*, size_t* delivered)
{
    auto* dev = static_cast<ScriptedDevice*>(d);
    *delivered = 0;
    uint8_t control = 0;
    if (!dev->take(&control) || (control >= 0xC0 && control < 0xE0)) return HID_IO_TIMEOUT;
    if (control >= 0xE0) return control & 1 ? HID_IO_ERROR : HID_IO_CANCELLED;

    Delivered out{};
    std::memset(out.report, 0xA5, sizeof out.report);  // stale bytes past the count
    out.report[0] = 0;
    if (control < 0x80) {
        out.count = control > kHidReportSize ? kHidReportSize : control;
        for (size_t i = 1; i < out.count; ++i)
            if (!dev->take(&out.report[i])) out.report[i] = 0;
    } else {
        uint8_t command = 0;
        dev->take(&command);
        uint32_t status = dev->take32();
        uint32_t answer = dev->take32();
        uint8_t* packet = out.report + 1;
        wellFormed(packet, command, status, answer);
        std::memset(packet + HIDC_PACKET_SIZE, 0xCC, kHidReportSize - 1 - HIDC_PACKET_SIZE);
        if (control & 1) packet[23] ^= 0x01;
        if (control & 2) packet[21] ^= 0x20;
        if (control & 4) packet[1] = 24;
        size_t shortBy = (control >> 3) & 7;
        out.count = shortBy ? 1 + HIDC_PACKET_SIZE - shortBy : kHidReportSize;
    }
    if (capacity < out.count) std::abort();
    std::memcpy(report, out.report, out.count);
    *delivered = out.count;
    dev->log.push_back(out);
    return HID_IO_OK;
}

void scriptedDiscard(HidDevice*) {}
void scriptedClose(HidDevice*) {}

const HidTransportOps kScriptedOps = {"fuzz", scriptedWrite, scriptedRead, scriptedDiscard, scriptedClose};

// The reply as a strict reader sees it: every one of the 27 bytes delivered.
struct ReplyView {
    bool present = false;
    bool whole = false;
    bool valid = false;  // with missing bytes taken as zero, as a lenient reader would
    uint32_t status = 0;
    uint32_t answer = 0;
};

ReplyView viewOf(const Delivered& d)
{
    ReplyView v;
    v.present = true;
    v.whole = d.count >= 1 + HIDC_PACKET_SIZE;
    uint8_t packet[HIDC_PACKET_SIZE] = {};
    if (d.count > 1) std::memcpy(packet, d.report + 1, std::min<size_t>(d.count - 1, HIDC_PACKET_SIZE));
    uint32_t sum = 0;
    for (int i = 0; i < 23; ++i) sum += packet[i];
    v.valid = packet[1] == 23 && std::memcmp(packet + 19, "HIDC", 4) == 0 && le32(packet + 23) == sum;
    v.status = le32(packet + 2);
    v.answer = le32(packet + 6);
    return v;
}

ReplyView lastReply(const ScriptedDevice& dev) { return dev.log.empty() ? ReplyView{} : viewOf(dev.log.back()); }

bool statusAllows(uint32_t boot, const ReplyView& r) { return boot < kHidcStatusBootVersion || r.status == 0; }

// A success must rest on a valid reply that allows it; with the strict
// properties on, on a whole one too.
void requireAccepted(uint32_t boot, const ReplyView& r)
{
    if (!r.present || !r.valid || !statusAllows(boot, r)) std::abort();
    if (fuzz::propertiesOn() && !r.whole) fuzz::violation("reply accepted from a short report");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const uint8_t op = data[0] % 9;
    const uint8_t flags = data[1];
    const uint32_t boot = flags & 1 ? kHidcStatusBootVersion + (flags >> 1) : uint32_t(flags >> 1) * 8;
    const uint32_t units = 1 + (data[2] & 7);
    ScriptedDevice dev;
    dev.ops = &kScriptedOps;
    dev.failWrite = data[3] >> 4;
    dev.data = data + 4;
    dev.size = size - 4;

    HidcPort port{&dev, {}};
    HidcChannel ch{};
    ch.port = &port;
    ch.bootVersion = boot;
    ch.timeoutMs = 1;

    switch (op) {
    case 0: {
        uint8_t packet[HIDC_PACKET_SIZE];
        int ok = Hidc_readReply(&ch, packet);
        ReplyView r = lastReply(dev);
        if (ok) {
            requireAccepted(boot, r);
            if (std::memcmp(packet, dev.log.back().report + 1, HIDC_PACKET_SIZE) != 0 && r.whole) std::abort();
        } else if (r.present && r.whole && r.valid && statusAllows(boot, r)) {
            std::abort();  // a good reply refused
        }
        break;
    }
    case 1:
    case 2: {
        uint32_t value = op == 1 ? Hidc_getBootVersion(&ch) : Hidc_getFlashSize(&ch);
        if (value != 0) {
            ReplyView r = lastReply(dev);
            requireAccepted(boot, r);
            if (r.answer != value) std::abort();
        }
        break;
    }
    case 3:
    case 4: {
        if ((op == 3 ? Hidc_done(&ch) : Hidc_refuse(&ch)) == 1) requireAccepted(boot, lastReply(dev));
        break;
    }
    case 5: {
        if (Hidc_erase(0x10000, units * kHidcSector, &ch) == HIDC_OK) requireAccepted(boot, lastReply(dev));
        break;
    }
    case 6:
    case 7: {
        // A read of whole units, or of any length through the rounding path.
        const uint32_t length = op == 6 ? units * kHidcUnit : units * 97;
        std::vector<uint8_t> destination(length, 0x5A);
        bool ok = op == 6 ? Hidc_read(0x2000, &ch, destination.data(), length, flags & 2) == HIDC_OK
                          : Hidc_readFlash(&ch, 0x2000, destination.data(), length, flags & 2) == 1;
        if (!ok) break;
        requireAccepted(boot, lastReply(dev));
        // The data is the payload of the reports before the reply, in order.
        std::vector<uint8_t> sent;
        for (size_t i = 0; i + 1 < dev.log.size(); ++i)
            sent.insert(sent.end(), dev.log[i].report + 1, dev.log[i].report + dev.log[i].count);
        if (sent.size() < length || std::memcmp(sent.data(), destination.data(), length) != 0) std::abort();
        break;
    }
    case 8: {
        std::vector<uint8_t> image(units * kHidcUnit - (flags & 0x10 ? 13 : 0));
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 31 + 7);
        if (Hidc_writeFlash(&ch, 0x4000, image.data(), uint32_t(image.size()), flags & 0x20, 0) == 1) {
            requireAccepted(boot, lastReply(dev));
            // Every data report went out before the reply was believed.
            if (dev.writes < 1 + (image.size() + 63) / 64) std::abort();
        }
        break;
    }
    }
    return 0;
}
