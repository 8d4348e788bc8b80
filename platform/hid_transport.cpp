#include "platform/hid_transport.h"

#include "platform/device_lock.h"
#include "platform/translate_marks.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_backendsLock;
std::vector<const HidBackend*>& backends()
{
    // Never destroyed, like the other back-end registries: a thread may still
    // open or enumerate while the process exits.
    static auto* list = new std::vector<const HidBackend*>;
    return *list;
}

std::vector<const HidBackend*> snapshot()
{
    std::lock_guard<std::mutex> lock(g_backendsLock);
    std::vector<const HidBackend*> list(backends().rbegin(), backends().rend());
    return list;
}

HidOpenError& lastOpenError()
{
    thread_local HidOpenError error;
    return error;
}

// What the back end said of its failed open, for HidTransport_open to add.
std::string& backendOpenFailure()
{
    thread_local std::string text;
    return text;
}

} // namespace

void HidTransport_registerBackend(const HidBackend* backend)
{
    if (!backend) return;
    std::lock_guard<std::mutex> lock(g_backendsLock);
    auto& list = backends();
    if (std::find(list.begin(), list.end(), backend) == list.end()) list.push_back(backend);
}

void HidTransport_unregisterBackend(const HidBackend* backend)
{
    std::lock_guard<std::mutex> lock(g_backendsLock);
    auto& list = backends();
    list.erase(std::remove(list.begin(), list.end(), backend), list.end());
}

HidDevice* HidTransport_open(const char* path)
{
    HidOpenError& error = lastOpenError();
    error = {};
    if (!path || !*path) {
        error.text = N_("no device path");
        return nullptr;
    }
    DeviceLock* lock = nullptr;
    if (path[0] == '/') {
        DeviceLockResult locked = DeviceLock_acquire(path, &lock, &error.text);
        if (locked != DEVICE_LOCK_TAKEN) {
            error.busy = locked == DEVICE_LOCK_BUSY;
            return nullptr;
        }
    }
    const HidBackend* backend = HidTransport_hidapiBackend();
    for (const HidBackend* b : snapshot()) {
        if (b->claims && b->claims(path)) {
            backend = b;
            break;
        }
    }
    backendOpenFailure().clear();
    HidDevice* device = backend->open(path);
    if (!device) {
        DeviceLock_release(lock);
        const std::string& why = backendOpenFailure();
        char text[512];
        std::snprintf(text, sizeof text, N_("opening %s: %s"), path,
                      why.empty() ? N_("the device did not open") : why.c_str());
        error.text = text;
        return nullptr;
    }
    device->lock = lock;
    return device;
}

const HidOpenError& HidTransport_lastOpenError() { return lastOpenError(); }

void HidTransport_noteOpenFailure(std::string text) { backendOpenFailure() = std::move(text); }

HidIoStatus HidDevice_noteError(HidDevice* d, HidIoStatus status, std::string text, bool gone)
{
    if (!d) return status;
    d->lastError = std::move(text);
    if (gone) d->gone = true;
    return status;
}

const char* HidDevice_lastError(const HidDevice* d) { return d ? d->lastError.c_str() : ""; }

bool HidDevice_gone(const HidDevice* d) { return d && d->gone; }

void HidDevice_close(HidDevice* d)
{
    if (!d) return;
    DeviceLock* lock = d->lock;
    d->ops->close(d);
    DeviceLock_release(lock);
}

std::vector<HidDeviceInfo> HidTransport_enumerate()
{
    std::vector<HidDeviceInfo> out;
    for (const HidBackend* b : snapshot()) {
        if (b->enumerate) b->enumerate(&out);
    }
    HidTransport_hidapiBackend()->enumerate(&out);
    return out;
}

std::string HidTransport_idToken(uint16_t vendorId, uint16_t productId)
{
    char token[32];
    std::snprintf(token, sizeof token, "vid_%04x&pid_%04x", unsigned(vendorId), unsigned(productId));
    return token;
}
