// Device arrival and removal events, as the window's device-change handler
// consumes them: the interface class of what came or went and its path.
//
// A source has a file descriptor that becomes readable when events may be
// waiting, so a front end can hand it to its own loop (QSocketNotifier) and
// call DeviceEvents_read, or a plain thread can block in DeviceEvents_wait.
// One thread reads a source at a time; DeviceEvents_wake may come from any.
// Back ends: libudev monitor (device_events_udev.cpp), periodic rescans
// (device_events_poll.cpp), inotify on the simulation folder
// (device_events_inotify.cpp); a group merges several sources into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Interface classes in the order of the classification table; the value is
// the classification result.
enum DeviceInterfaceClass : int {
    DEVICE_CLASS_USB_DEVICE = 1,  // any USB device (ignored by discovery)
    DEVICE_CLASS_VOLUME = 2,      // a mounted volume
    DEVICE_CLASS_DISK = 3,        // a disk (ignored by discovery)
    DEVICE_CLASS_HID = 4,         // a HID interface
    DEVICE_CLASS_NDIS_LAN = 5,    // a network adapter (ignored by discovery)
};

inline constexpr size_t kDeviceClassGuidSize = 16;
inline constexpr int kDeviceClassCount = 5;

// The five interface-class GUIDs in table order (index = class - 1), as the
// 16 bytes a GUID occupies in memory: Data1, Data2, Data3 little-endian, then
// the 8 bytes of Data4. Only notification records carry them; events carry
// the class itself.
extern const uint8_t kDeviceClassGuids[kDeviceClassCount][kDeviceClassGuidSize];

// Event kinds, valued like the Windows device-change codes.
enum DeviceEventKind : uint32_t {
    DEVICE_ARRIVAL = 0x8000,         // DBT_DEVICEARRIVAL
    DEVICE_REMOVE_COMPLETE = 0x8004, // DBT_DEVICEREMOVECOMPLETE
};

// One arrival or removal.
struct DeviceEvent {
    DeviceEventKind kind = DEVICE_ARRIVAL;
    DeviceInterfaceClass interfaceClass = DEVICE_CLASS_VOLUME;  // what came or went
    // HID: the path HidTransport_open takes ("/dev/hidraw3#vid_0416&pid_b500",
    // or the socket path in a simulation folder). Volume: the mount point, or
    // the disk#<id> folder of a simulation folder. Disk: the block device node.
    std::string path;
};

// Fills an event of the given kind and class (1 to 5; others give the volume
// class, as an unknown interface class is taken for a volume).
DeviceEvent DeviceEvent_make(DeviceEventKind kind, DeviceInterfaceClass cls, std::string path);

// A source of events. Opaque.
struct DeviceEventSource;

// libudev monitor on the hidraw and block subsystems, plus the mount table.
// hidraw nodes come and go as HID events. A removable disk or partition
// coming or going is a disk event; it has no root folder yet, so the volume
// events are the mounts and unmounts of removable drives (as a drive letter
// appearing on Windows). Listens to udev's own events when the udev daemon
// runs (/run/udev/control exists), else to the kernel's. Null when libudev
// cannot make a monitor.
DeviceEventSource* DeviceEvents_openUdev();

// What a rescan sees: the present HID paths and volume paths.
struct DeviceSnapshot {
    std::vector<std::string> hidPaths;
    std::vector<std::string> volumePaths;
};
// Fills a snapshot; user is the value given to DeviceEvents_openPolling.
using DeviceScanFn = void (*)(void* user, DeviceSnapshot* out);

// The live system's snapshot: hidapi's HID paths and the root folders of the
// system's removable drives (RemovableStorage_openSysfs("/")). user unused.
void DeviceEvents_systemScan(void* user, DeviceSnapshot* out);

// Rescans every intervalMs (at least 10) with scan (null: the system scan) and
// reports the differences; the first scan is the baseline and reports
// nothing. Null only when the process is out of descriptors.
DeviceEventSource* DeviceEvents_openPolling(int intervalMs, DeviceScanFn scan, void* user);

// inotify on a simulation folder: a hid#vid_xxxx&pid_xxxx#<id>.sock socket
// created or deleted is a HID arrival or removal (path: the socket path); a
// disk#<id> folder created or deleted is a volume arrival or removal (path:
// the folder). Entries that are symlinks or owned by another user are
// ignored. Null when the folder cannot be watched.
DeviceEventSource* DeviceEvents_openSimFolder(const char* dir);

// Merges sources into one; the group owns them (also when it fails). Null
// entries are skipped. Null only when the process is out of descriptors.
DeviceEventSource* DeviceEvents_openGroup(std::vector<DeviceEventSource*> sources);

// Descriptor that becomes readable when DeviceEvents_read may give events
// (or after DeviceEvents_wake); -1 for null.
int DeviceEvents_fd(DeviceEventSource* source);

// Appends the events that are waiting, without blocking, and consumes a
// pending wakeup. Returns the number appended, -1 when the source failed or is
// null.
int DeviceEvents_read(DeviceEventSource* source, std::vector<DeviceEvent>* out);

// Waits at most timeoutMs (0: do not wait; negative: no limit) for events and
// appends them. Returns the number appended (0 on time-out or wakeup), -1 when
// the source failed or is null.
int DeviceEvents_wait(DeviceEventSource* source, int timeoutMs, std::vector<DeviceEvent>* out);

// Makes a waiting DeviceEvents_wait return at once (or the next one, when no
// one waits). Safe from any thread and from a signal handler.
void DeviceEvents_wake(DeviceEventSource* source);

// Stops and frees the source; accepts null. Nobody may wait on it any more.
void DeviceEvents_close(DeviceEventSource* source);
