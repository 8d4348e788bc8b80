// hidapi back end (hidraw on Linux). Paths are the hidraw node followed by
// "#vid_xxxx&pid_xxxx" so that the update-device test on the path works the
// same as on every other back end.
#include "platform/hid_transport.h"
#include "platform/translate_marks.h"

#include <hidapi/hidapi.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>

namespace {

struct HidapiDevice : HidDevice {
    hid_device* handle;
    std::string node;  // the hidraw node, to tell a device that went from one that failed
};

// hidapi's text of the last error on handle (null: of the last open), as a
// narrow string; characters outside ASCII become '?'.
std::string hidapiErrorText(hid_device* handle)
{
    const wchar_t* text = hid_error(handle);
    std::string out;
    if (text)
        for (size_t i = 0; text[i] && i < 512; ++i) out += (text[i] > 0 && text[i] < 0x80) ? char(text[i]) : '?';
    return out.empty() || out == "Success" ? "the HID library gave no reason" : out;
}

// A failed transfer's cause on the device; a node that vanished means the
// device was unplugged, whatever hidapi says.
HidIoStatus hidapiFailed(HidapiDevice* d, const char* call)
{
    bool gone = access(d->node.c_str(), F_OK) != 0;
    return HidDevice_noteError(d, HID_IO_ERROR, std::string(call) + ": " + hidapiErrorText(d->handle), gone);
}

// hidapi's own waits cannot see our cancel signal, so long waits are cut into
// slices and the signal is looked at between them.
constexpr int kSliceMs = 10;

// hidapi keeps process-wide state behind enumerate and open (its
// initialisation, the last error), so those calls must not overlap when
// several threads look for devices at once.
std::mutex& globalCallsMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool ensureInit()
{
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = hid_init() == 0; });
    return ok;
}

HidIoStatus hidapiWrite(HidDevice* dev, const uint8_t* report, size_t length, int /*timeoutMs*/,
                        HidCancel* cancel, size_t* taken)
{
    auto* d = static_cast<HidapiDevice*>(dev);
    if (taken) *taken = 0;
    if (cancel && cancel->isSignalled()) {
        cancel->reset();
        return HidDevice_noteError(d, HID_IO_CANCELLED, N_("cancelled"));
    }
    // hidraw writes go to the interrupt endpoint and complete or fail within
    // the kernel's own USB time-out.
    int n = hid_write(d->handle, report, length);
    if (n < 0) return hidapiFailed(d, "hid_write");
    if (taken) *taken = size_t(n);
    return HID_IO_OK;
}

HidIoStatus hidapiRead(HidDevice* dev, uint8_t* report, size_t capacity, int timeoutMs, HidCancel* cancel,
                       size_t* delivered)
{
    auto* d = static_cast<HidapiDevice*>(dev);
    if (delivered) *delivered = 0;
    if (capacity < 2) return HidDevice_noteError(d, HID_IO_ERROR, "no room for a report");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel && cancel->isSignalled()) {
            cancel->reset();
            return HidDevice_noteError(d, HID_IO_CANCELLED, N_("cancelled"));
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            char text[96];
            std::snprintf(text, sizeof text, N_("no report came within %d ms"), timeoutMs);
            return HidDevice_noteError(d, HID_IO_TIMEOUT, text);
        }
        // The device uses no numbered reports: hidapi hands over the payload
        // alone, so the report id is put back in front as Windows reads show it.
        int n = hid_read_timeout(d->handle, report + 1, capacity - 1, int(std::min<long long>(left, kSliceMs)));
        if (n < 0) return hidapiFailed(d, "hid_read_timeout");
        if (n > 0) {
            report[0] = 0;
            if (delivered) *delivered = size_t(n) + 1;
            return HID_IO_OK;
        }
    }
}

void hidapiDiscardPending(HidDevice* dev)
{
    auto* d = static_cast<HidapiDevice*>(dev);
    uint8_t scratch[kHidReportSize];
    for (int i = 0; i < 64 && hid_read_timeout(d->handle, scratch, sizeof scratch, 0) > 0; ++i) {
    }
}

void hidapiClose(HidDevice* dev)
{
    auto* d = static_cast<HidapiDevice*>(dev);
    if (!d) return;
    if (d->handle) hid_close(d->handle);
    delete d;
}

const HidTransportOps kHidapiOps = {
    "hidapi", hidapiWrite, hidapiRead, hidapiDiscardPending, hidapiClose,
};

bool hidapiClaims(const char*) { return true; }

HidDevice* hidapiOpen(const char* path)
{
    std::string node(path);
    if (auto hash = node.find('#'); hash != std::string::npos) node.resize(hash);
    // hidapi's open text is often only "Failed to open a device with path
    // ..."; the node's own access says what a user can mend.
    if (access(node.c_str(), R_OK | W_OK) != 0) {
        HidTransport_noteOpenFailure(std::strerror(errno));
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(globalCallsMutex());
    if (!ensureInit()) {
        HidTransport_noteOpenFailure("the HID library did not start");
        return nullptr;
    }
    hid_device* handle = hid_open_path(node.c_str());
    if (!handle) {
        // hidapi keeps this text in process-wide state: read it under the lock.
        HidTransport_noteOpenFailure(hidapiErrorText(nullptr));
        return nullptr;
    }
    lock.unlock();
    auto* d = new HidapiDevice{{&kHidapiOps}, handle, node};
    return d;
}

void hidapiEnumerate(std::vector<HidDeviceInfo>* out)
{
    std::lock_guard<std::mutex> lock(globalCallsMutex());
    if (!ensureInit()) return;
    hid_device_info* list = hid_enumerate(0, 0);
    for (hid_device_info* i = list; i; i = i->next) {
        if (!i->path) continue;
        HidDeviceInfo info;
        info.path = std::string(i->path) + "#" + HidTransport_idToken(i->vendor_id, i->product_id);
        info.vendorId = i->vendor_id;
        info.productId = i->product_id;
        info.backend = "hidapi";
        out->push_back(std::move(info));
    }
    hid_free_enumeration(list);
}

const HidBackend kHidapiBackend = {"hidapi", hidapiClaims, hidapiOpen, hidapiEnumerate};

} // namespace

const HidBackend* HidTransport_hidapiBackend() { return &kHidapiBackend; }
