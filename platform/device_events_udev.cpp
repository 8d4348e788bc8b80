// libudev back end. hidraw nodes are named as the hidapi back end names them
// (the node, then "#" and the vid/pid token of the parent hid device), so a
// HID arrival carries the very path that enumeration will list. The token
// comes from the parent's HID_ID, which is gone from sysfs by the time the
// removal arrives: paths are remembered from the arrival (or from the
// enumeration at start) to name the removal.
//
// Mounts have no uevent; /proc/self/mounts signals a change with POLLPRI,
// after which the removable drives are listed again and compared.
#include "platform/device_events_backend.h"
#include "platform/hid_transport.h"
#include "platform/removable_storage.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace {

struct UdevSource : DeviceEventSource {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    int mountsFd = -1;
    RemovableStorage* storage = nullptr;
    std::map<std::string, std::string> hidPaths;  // hidraw node → path with the id token
    std::set<std::string> removableBlocks;        // nodes of removable disks and partitions
    std::set<std::string> mountedRoots;           // root folders of mounted removable drives
};

bool hasUdevDaemon() { return access("/run/udev/control", F_OK) == 0; }

// "/dev/hidraw3#vid_0416&pid_b500"; the bare node when the parent hid device
// cannot be read.
std::string hidPathOf(udev_device* dev, const char* node)
{
    std::string path = node;
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    unsigned bus = 0, vendor = 0, product = 0;
    // HID_ID is "bbbb:vvvvvvvv:pppppppp" in hex.
    if (id && std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
        path += '#';
        path += HidTransport_idToken(uint16_t(vendor), uint16_t(product));
    }
    return path;
}

bool isRemovableBlock(udev_device* dev)
{
    const char* type = udev_device_get_devtype(dev);
    udev_device* disk = type && std::strcmp(type, "partition") == 0
                            ? udev_device_get_parent_with_subsystem_devtype(dev, "block", "disk")
                            : dev;
    const char* flag = disk ? udev_device_get_sysattr_value(disk, "removable") : nullptr;
    return flag && flag[0] == '1';
}

void handleDevice(UdevSource* s, udev_device* dev, std::vector<DeviceEvent>* out)
{
    const char* action = udev_device_get_action(dev);
    const char* subsystem = udev_device_get_subsystem(dev);
    const char* node = udev_device_get_devnode(dev);
    if (!action || !subsystem || !node) return;
    const bool added = std::strcmp(action, "add") == 0;
    const bool removed = std::strcmp(action, "remove") == 0;
    if (std::strcmp(subsystem, "hidraw") == 0) {
        if (added) {
            std::string path = hidPathOf(dev, node);
            s->hidPaths[node] = path;
            out->push_back(DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_HID, path));
        } else if (removed) {
            auto it = s->hidPaths.find(node);
            std::string path = it != s->hidPaths.end() ? it->second : hidPathOf(dev, node);
            if (it != s->hidPaths.end()) s->hidPaths.erase(it);
            out->push_back(DeviceEvent_make(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_HID, path));
        }
    } else if (std::strcmp(subsystem, "block") == 0) {
        if (added && isRemovableBlock(dev)) {
            s->removableBlocks.insert(node);
            out->push_back(DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_DISK, node));
        } else if (removed && s->removableBlocks.erase(node)) {
            out->push_back(DeviceEvent_make(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_DISK, node));
        }
    }
}

// What is present when the source starts is the baseline: no events for it.
void enumeratePresent(UdevSource* s)
{
    udev_enumerate* e = udev_enumerate_new(s->context);
    if (!e) return;
    udev_enumerate_add_match_subsystem(e, "hidraw");
    udev_enumerate_add_match_subsystem(e, "block");
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
    {
        udev_device* dev = udev_device_new_from_syspath(s->context, udev_list_entry_get_name(entry));
        if (!dev) continue;
        const char* subsystem = udev_device_get_subsystem(dev);
        const char* node = udev_device_get_devnode(dev);
        if (subsystem && node) {
            if (std::strcmp(subsystem, "hidraw") == 0) s->hidPaths[node] = hidPathOf(dev, node);
            else if (isRemovableBlock(dev)) s->removableBlocks.insert(node);
        }
        udev_device_unref(dev);
    }
    udev_enumerate_unref(e);
}

std::set<std::string> mountedRemovableRoots(UdevSource* s)
{
    std::vector<RemovableDrive> drives;
    RemovableStorage_list(s->storage, &drives);
    std::set<std::string> roots;
    for (const RemovableDrive& d : drives) roots.insert(d.root);
    return roots;
}

void compareMounts(UdevSource* s, std::vector<DeviceEvent>* out)
{
    std::set<std::string> now = mountedRemovableRoots(s);
    for (const std::string& root : s->mountedRoots)
        if (!now.count(root)) out->push_back(DeviceEvent_make(DEVICE_REMOVE_COMPLETE, DEVICE_CLASS_VOLUME, root));
    for (const std::string& root : now)
        if (!s->mountedRoots.count(root)) out->push_back(DeviceEvent_make(DEVICE_ARRIVAL, DEVICE_CLASS_VOLUME, root));
    s->mountedRoots = std::move(now);
}

int udevRead(DeviceEventSource* source, std::vector<DeviceEvent>* out)
{
    auto* s = static_cast<UdevSource*>(source);
    size_t before = out->size();
    while (udev_device* dev = udev_monitor_receive_device(s->monitor)) {
        handleDevice(s, dev, out);
        udev_device_unref(dev);
    }
    // The mount table's change flag is consumed by whoever polls it first
    // (possibly an enclosing epoll set), so the table is compared on every
    // read rather than only when this read saw the flag.
    compareMounts(s, out);
    return int(out->size() - before);
}

void udevClose(DeviceEventSource* source)
{
    auto* s = static_cast<UdevSource*>(source);
    if (s->monitor) udev_monitor_unref(s->monitor);
    if (s->context) udev_unref(s->context);
    if (s->mountsFd >= 0) close(s->mountsFd);
    RemovableStorage_release(s->storage);
    DeviceEvents_closeHead(s);
    delete s;
}

const DeviceEventSourceOps kUdevOps = {"udev", udevRead, udevClose};

} // namespace

DeviceEventSource* DeviceEvents_openUdev()
{
    auto* s = new UdevSource;
    s->storage = RemovableStorage_openSysfs("/");
    if (!DeviceEvents_initHead(s, &kUdevOps)) {
        RemovableStorage_release(s->storage);
        delete s;
        return nullptr;
    }
    s->context = udev_new();
    // Without the daemon nobody rebroadcasts as "udev": listen to the kernel
    // (devtmpfs has made the node before the kernel sends the event).
    if (s->context) s->monitor = udev_monitor_new_from_netlink(s->context, hasUdevDaemon() ? "udev" : "kernel");
    bool ok = s->monitor && udev_monitor_filter_add_match_subsystem_devtype(s->monitor, "hidraw", nullptr) >= 0 &&
              udev_monitor_filter_add_match_subsystem_devtype(s->monitor, "block", nullptr) >= 0 &&
              udev_monitor_enable_receiving(s->monitor) >= 0 &&
              DeviceEvents_watchFd(s, udev_monitor_get_fd(s->monitor), EPOLLIN);
    if (ok) {
        s->mountsFd = open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
        // Without a watchable mount table mounts are still seen, only later,
        // with the next device event.
        if (s->mountsFd >= 0) DeviceEvents_watchFd(s, s->mountsFd, EPOLLPRI);
    }
    if (!ok) {
        udevClose(s);
        return nullptr;
    }
    enumeratePresent(s);
    s->mountedRoots = mountedRemovableRoots(s);
    return s;
}
