#include "common_k52/discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The trigger has to reach the medium before the volume is ejected; the
// stream interface stops at fflush, so the file is synced here directly.

#include "core/bytes.h"
#include "core/log.h"
#include "core/strings.h"
#include "core/timer.h"
#include "platform/hid_transport.h"
#include "platform/removable_storage.h"
#include "platform/sim_folder.h"

#define DISCOVERY_LOG(...) ZR_log("..\\common_k52\\Discovery", __LINE__, __func__, __VA_ARGS__)

namespace {

bool isPrintable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isSpace(char c) { return isBlank(c) || c == '\v' || c == '\f'; }

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Hex pass: false when the field is not made of digit pairs that decode to
// printable bytes. A 0 byte ends the decoded string but the rest of the field
// must still be digits.
bool decodeHex(const uint8_t* field, size_t length, std::string* out)
{
    std::string bytes;
    int high = -1;
    for (size_t i = 0; i < length; ++i) {
        char c = lower(char(field[i]));
        if (isBlank(c)) c = '0';
        int digit = hexDigit(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
            continue;
        }
        uint8_t byte = uint8_t(high * 16 + digit);
        high = -1;
        if (byte != 0 && !isPrintable(byte)) return false;
        bytes.push_back(char(byte));
    }
    // A final unpaired digit is dropped.
    *out = bytes.substr(0, bytes.find('\0'));
    return true;
}

// Text pass: the field as it stands, or empty when any of it is not printable.
std::string decodeText(const uint8_t* field, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (!isPrintable(field[i])) return {};
    return std::string(reinterpret_cast<const char*>(field), length);
}

bool equalsIgnoringCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b)) return false;
    return *a == *b;
}

// Trigger path: the root (at most 255 characters), a separator when the root
// lacks one, then the name, cut to 255 characters as the original buffer was.
std::string triggerPath(const std::string& root)
{
    std::string path = root.substr(0, 255);
    if (path.empty() || path.back() != '/') path += '/';
    path += kDiscoveryTriggerName;
    return path.substr(0, 255);
}

// Writes the trigger and pushes it to the medium. Failures are logged, not
// reported: the device decides whether it switches.
void writeTriggerFile(const std::string& path)
{
    ZR_Stream* stream = ZR_Stream_openFile(path.c_str(), ZR_STREAM_WRITE);
    if (!stream) {
        DISCOVERY_LOG("cannot create the trigger file %s", path.c_str());
        return;
    }
    int32_t written = Discovery_writeTrigger(stream);
    if (written != int32_t(kDiscoveryTriggerLength)) DISCOVERY_LOG("trigger write gave %d", written);
    ZR_Stream_release(stream);
    // The volume goes away with the eject: the trigger must be on the medium first.
    if (!RemovableStorage_syncFile(path.c_str())) DISCOVERY_LOG("cannot sync %s", path.c_str());
}

HidOpenError& lastOpenError()
{
    thread_local HidOpenError error;
    return error;
}

void refresh(DiscoveryHooks* hooks)
{
    if (hooks->refreshConnection) hooks->refreshConnection(hooks->user);
}

void showConnectingTitle(DiscoveryHooks* hooks)
{
    if (!hooks->setTitle) return;
    std::string title = std::string(kDiscoveryAppTitle) + kDiscoveryConnectingText;
    hooks->setTitle(hooks->user, title.c_str());
}

void delayedConnectJob(void* arg) { Discovery_delayedConnect(static_cast<DiscoveryHooks*>(arg)); }

// Timer callback: hands the connection to the window thread when the window
// offers one, so it never overlaps the device-change handler.
void delayedConnectDue(void* arg)
{
    auto* hooks = static_cast<DiscoveryHooks*>(arg);
    if (hooks->runOnWindowThread)
        hooks->runOnWindowThread(hooks->user, delayedConnectJob, hooks);
    else
        Discovery_delayedConnect(hooks);
}

} // namespace

// ---------------------------------------------------------------------------
// Mode switch

char* Discovery_decodeStorageString(const uint8_t* descriptor, uint32_t offset, char* out, size_t outSize)
{
    if (!out || outSize == 0) return out;
    out[0] = 0;
    if (!descriptor || offset == 0 || offset >= kDiscoveryDescriptorSize) return out;

    const uint8_t* field = descriptor + offset;
    size_t available = kDiscoveryDescriptorSize - offset;
    size_t length = strnlen(reinterpret_cast<const char*>(field), available);

    std::string text;
    if (!decodeHex(field, length, &text)) text = decodeText(field, length);

    size_t first = 0, last = text.size();
    while (first < last && isSpace(text[first])) ++first;
    while (last > first && isSpace(text[last - 1])) --last;
    size_t n = std::min(last - first, outSize - 1);
    std::memcpy(out, text.data() + first, n);
    out[n] = 0;
    return out;
}

int32_t Discovery_writeTrigger(ZR_Stream* stream)
{
    if (!stream || !stream->ops || !stream->ops->write) return -1;
    return ZR_Stream_writeBytes(stream, kDiscoveryTriggerLength, kDiscoveryTriggerText);
}

int Discovery_isDeviceVendor(const uint8_t* descriptor, uint32_t offset)
{
    char vendor[kDiscoveryDescriptorSize];
    Discovery_decodeStorageString(descriptor, offset, vendor, sizeof vendor);
    return equalsIgnoringCase(vendor, kDiscoveryDiskVendor) ? 1 : 0;
}

int Discovery_switchToUpdateMode() { return Discovery_switchToUpdateMode(std::string()); }

int Discovery_switchToUpdateMode(const std::string& id)
{
    for (const RemovableDrive& drive : RemovableStorage_listAll()) {
        if (!Discovery_isDeviceVendor(drive.descriptor.data(), drive.vendorOffset)) continue;
        if (!id.empty() && Discovery_driveId(drive) != id) continue;

        RemovableVolume* volume = RemovableVolume_open(&drive);
        if (!volume) {
            DISCOVERY_LOG("drive %s is gone", drive.name.c_str());
            continue;
        }
        DISCOVERY_LOG("device in disk mode: %s at %s", drive.name.c_str(), drive.root.c_str());
        // Windows asks for the eject first and writes the trigger after, on a
        // volume it still has open. Here the eject unmounts the root, so the
        // trigger is written and synced first, then the eject is requested.
        writeTriggerFile(triggerPath(drive.root));
        if (!RemovableVolume_eject(volume)) DISCOVERY_LOG("eject request on %s not taken", drive.name.c_str());
        RemovableVolume_close(volume);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// HID discovery

int Discovery_isUpdateDevicePath(const char* path)
{
    if (!path) return 0;
    std::string copy(path, strnlen(path, kDiscoveryPathSize - 1));
    for (char& c : copy) c = lower(c);
    char token[100];
    std::snprintf(token, sizeof token, "vid_%04x&pid_%04x", unsigned(kDiscoveryVendorId),
                  unsigned(kDiscoveryProductId));
    return copy.find(token) != std::string::npos ? 1 : 0;
}

int Discovery_isUpdateInterface(int interfaceClass, const char* path)
{
    return interfaceClass == DEVICE_CLASS_HID && Discovery_isUpdateDevicePath(path) ? 1 : 0;
}

int Discovery_openUpdateDevice(ZR_Machine* machine) { return Discovery_openUpdateDevice(machine, std::string()); }

int Discovery_openUpdateDevice(ZR_Machine* machine, const std::string& id)
{
    for (const HidDeviceInfo& info : HidTransport_enumerate()) {
        if (!Discovery_isUpdateDevicePath(info.path.c_str())) continue;
        if (!id.empty() && Discovery_hidDeviceId(info.path) != id) continue;
        // Only the first match is tried, whatever the opening gives.
        return Discovery_openChannel(machine, info.path.c_str());
    }
    DISCOVERY_LOG("no device in update mode");
    lastOpenError() = {false, "no device in update mode"};
    return 0;
}

int Discovery_openChannel(ZR_Machine* machine, const char* path)
{
    HidOpenError& error = lastOpenError();
    error = {};
    if (!machine || !machine->channel) {
        error.text = "no machine record";
        return 0;
    }
    HidcChannel* ch = machine->channel;
    Discovery_closeChannel(machine);
    ch->port = path ? Hidc_openPort(path) : nullptr;
    if (!ch->port) {
        error = HidTransport_lastOpenError();
        if (error.text.empty()) error.text = std::string("opening ") + (path ? path : "(null)") + ": the device did not open";
        DISCOVERY_LOG("cannot open %s: %s", path ? path : "(null)", error.text.c_str());
        return 0;
    }
    DISCOVERY_LOG("opened %s", path);
    // A port whose identification failed stays: the window shows what it got.
    return ZR_Machine_identify(machine) ? 1 : 0;
}

std::string Discovery_lastOpenError() { return lastOpenError().text; }

int Discovery_lastOpenBusy() { return lastOpenError().busy ? 1 : 0; }

void Discovery_closeChannel(ZR_Machine* machine)
{
    if (!machine || !machine->channel || !machine->channel->port) return;
    HidcPort* port = machine->channel->port;
    machine->channel->port = nullptr;
    Hidc_closePort(port);
}

// ---------------------------------------------------------------------------
// Device ids

namespace {

bool isUsbPortName(const std::string& name)
{
    // "<bus>-<port>" then ".<port>" for each hub on the way; no ':' (that
    // would be an interface of the device).
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == name.size()) return false;
    for (size_t i = 0; i < dash; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    bool digitBefore = false;
    for (size_t i = dash + 1; i < name.size(); ++i) {
        if (name[i] >= '0' && name[i] <= '9')
            digitBefore = true;
        else if (name[i] == '.' && digitBefore)
            digitBefore = false;
        else
            return false;
    }
    return digitBefore;
}

std::string realPathOf(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return {};
    std::string result(resolved);
    free(resolved);
    return result;
}

std::string lastComponent(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string Discovery_usbPortOf(const std::string& sysfsPath)
{
    std::string port;
    size_t start = 0;
    while (start <= sysfsPath.size()) {
        size_t end = sysfsPath.find('/', start);
        if (end == std::string::npos) end = sysfsPath.size();
        std::string part = sysfsPath.substr(start, end - start);
        if (isUsbPortName(part)) port = part;
        start = end + 1;
    }
    return port;
}

std::string Discovery_hidDeviceId(const std::string& path)
{
    std::string id;
    if (SimFolder_parseSocketName(lastComponent(path), nullptr, nullptr, &id)) return id;
    // The system's interfaces are "/dev/hidrawN#vid_xxxx&pid_xxxx".
    std::string node = path.substr(0, path.find('#'));
    static const std::string kHidraw = "/dev/hidraw";
    if (node.compare(0, kHidraw.size(), kHidraw) == 0) {
        std::string port = Discovery_usbPortOf(realPathOf("/sys/class/hidraw/" + lastComponent(node) + "/device"));
        if (!port.empty()) return port;
    }
    return node;
}

std::string Discovery_driveId(const RemovableDrive& drive)
{
    std::string id;
    if (SimFolder_parseDiskName(drive.name, &id)) return id;
    // The drive's disk ("/dev/sdb") sits below the USB device in sysfs.
    std::string disk = lastComponent(drive.node);
    if (!disk.empty()) {
        std::string port = Discovery_usbPortOf(realPathOf("/sys/block/" + disk + "/device"));
        if (!port.empty()) return port;
    }
    return drive.name;
}

std::vector<DiscoveryDevice> Discovery_listDevices()
{
    std::vector<DiscoveryDevice> devices;
    for (const RemovableDrive& drive : RemovableStorage_listAll()) {
        if (!Discovery_isDeviceVendor(drive.descriptor.data(), drive.vendorOffset)) continue;
        char vendor[kDiscoveryDescriptorSize];
        Discovery_decodeStorageString(drive.descriptor.data(), drive.vendorOffset, vendor, sizeof vendor);
        devices.push_back({Discovery_driveId(drive), false, drive.root, drive.name, vendor});
    }
    for (const HidDeviceInfo& info : HidTransport_enumerate()) {
        if (!Discovery_isUpdateDevicePath(info.path.c_str())) continue;
        devices.push_back({Discovery_hidDeviceId(info.path), true, info.path, info.backend, {}});
    }
    return devices;
}

// ---------------------------------------------------------------------------
// Notifications

int Discovery_parseNotification(const uint8_t* bytes, size_t length, DiscoveryNotification* out)
{
    if (!out) return 0;
    std::memset(out, 0, sizeof *out);
    constexpr size_t head = 12 + kDeviceClassGuidSize;
    if (!bytes || length < head) return 0;
    out->size = bytes::getLe32(bytes);
    out->deviceType = bytes::getLe32(bytes + 4);
    out->reserved = bytes::getLe32(bytes + 8);
    std::memcpy(out->classGuid, bytes + 12, kDeviceClassGuidSize);
    size_t pathBytes = strnlen(reinterpret_cast<const char*>(bytes + head), length - head);
    pathBytes = std::min(pathBytes, sizeof out->path - 1);
    std::memcpy(out->path, bytes + head, pathBytes);
    return 1;
}

int Discovery_classifyInterface(const DiscoveryNotification* record)
{
    // Anything that is not an interface record (the drive-letter broadcast on
    // Windows) is taken for a volume arrival.
    if (!record || record->deviceType != kDiscoveryDeviceInterfaceType) return DEVICE_CLASS_VOLUME;
    for (int i = 0; i < kDeviceClassCount; ++i)
        if (std::memcmp(record->classGuid, kDeviceClassGuids[i], kDeviceClassGuidSize) == 0) return i + 1;
    return DEVICE_CLASS_VOLUME;
}

int Discovery_registerNotifications(const char* simDir, DeviceEventSource** source)
{
    if (!source) return 0;
    std::vector<DeviceEventSource*> sources;
    DeviceEventSource* system = DeviceEvents_openUdev();
    if (!system) system = DeviceEvents_openPolling(1000, nullptr, nullptr);
    sources.push_back(system);
    int ok = 1;
    if (simDir && *simDir) {
        // Its devices must be openable as soon as their arrival is seen.
        DeviceEventSource* folder = SimFolder_attach(simDir);
        if (folder)
            sources.push_back(folder);
        else {
            DISCOVERY_LOG("cannot use the simulation folder %s", simDir);
            ok = 0;
        }
    }
    *source = DeviceEvents_openGroup(std::move(sources));
    return ok;
}

// ---------------------------------------------------------------------------
// Reactions of the main window

void Discovery_delayedConnect(DiscoveryHooks* hooks)
{
    if (!hooks) return;
    Discovery_openUpdateDevice(hooks->machine);
    refresh(hooks);
}

int Discovery_onStartup(DiscoveryHooks* hooks)
{
    if (!hooks) return 0;
    int switched = Discovery_switchToUpdateMode();
    if (!switched) {
        Discovery_openUpdateDevice(hooks->machine);
        refresh(hooks);
        return 0;
    }
    showConnectingTitle(hooks);
    uint32_t delay = hooks->connectDelayMs ? hooks->connectDelayMs : kDiscoveryConnectDelayMs;
    if (!ZR_timerSchedule(delayedConnectDue, delay, hooks)) {
        // Without the delayed-call service the HID arrival still connects.
        DISCOVERY_LOG("cannot schedule the delayed connection");
    }
    return 1;
}

int Discovery_handleEvent(DiscoveryHooks* hooks, const DeviceEvent& event)
{
    return Discovery_handleEvent(hooks, event, std::string());
}

int Discovery_handleEvent(DiscoveryHooks* hooks, const DeviceEvent& event, const std::string& id)
{
    if (!hooks) return 0;
    if (event.kind == DEVICE_ARRIVAL) {
        if (Discovery_isUpdateInterface(event)) {
            if (!id.empty() && Discovery_hidDeviceId(event.path) != id) return 0;
            Discovery_openUpdateDevice(hooks->machine, id);
            refresh(hooks);
        } else if (event.interfaceClass == DEVICE_CLASS_VOLUME) {
            // No timer here: the HID arrival that follows the switch connects.
            if (Discovery_switchToUpdateMode(id)) showConnectingTitle(hooks);
        }
    } else if (event.kind == DEVICE_REMOVE_COMPLETE) {
        if (Discovery_isUpdateInterface(event)) {
            // A removed interface's id cannot always be read any more (its
            // sysfs entry is gone), so the question is whether ours is left;
            // only update interfaces count, so the drives are not probed.
            if (!id.empty())
                for (const HidDeviceInfo& info : HidTransport_enumerate())
                    if (Discovery_isUpdateDevicePath(info.path.c_str()) && Discovery_hidDeviceId(info.path) == id)
                        return 0;
            Discovery_closeChannel(hooks->machine);
            refresh(hooks);
        }
    }
    return 0;
}
