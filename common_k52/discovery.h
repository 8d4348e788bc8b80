// Device discovery: finds the radar detector in either of its USB
// personalities, switches a disk-mode device into update mode (eject request
// and trigger file), opens the command channel on the update-mode HID
// interface, and decides what the main window does when a device comes or
// goes. The decisions are plain logic over the platform interfaces
// (platform/removable_storage.h, platform/hid_transport.h,
// platform/device_events.h); nothing here needs a window: the window hands in
// its machine record and two small callbacks.
//
// Results: 1 for success and 0 for failure unless a function says otherwise.
// Nothing here shows messages; steps are logged through ZR_log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common_k52/machine.h"
#include "core/stream.h"
#include "platform/device_events.h"

// ---------------------------------------------------------------------------
// Identity

inline constexpr uint16_t kDiscoveryVendorId = 0x0416;   // update mode: USB vendor id
inline constexpr uint16_t kDiscoveryProductId = 0xB500;  // update mode: USB product id
inline constexpr const char* kDiscoveryDiskVendor = "vexalto";  // disk mode: decoded vendor field, any case
inline constexpr const char* kDiscoveryTriggerName = "1.txt";   // trigger file in the drive's root
inline constexpr const char* kDiscoveryTriggerText = "pnqazox"; // its content: 7 bytes, no terminator
inline constexpr uint32_t kDiscoveryTriggerLength = 7;
inline constexpr uint32_t kDiscoveryConnectDelayMs = 2000;      // start-up switch → delayed connection
inline constexpr size_t kDiscoveryPathSize = 1024;              // path buffers
inline constexpr size_t kDiscoveryDescriptorSize = 1024;        // storage descriptor buffer

// The window title while a switched device is on its way (GBK):
// "数据更新服务" followed by "    正在连接...".
inline constexpr const char* kDiscoveryAppTitle = "\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1"; /* 数据更新服务 */
inline constexpr const char* kDiscoveryConnectingText = "    \xD5\xFD\xD4\xDA\xC1\xAC\xBD\xD3..."; /* 正在连接... */

// ---------------------------------------------------------------------------
// Mode switch

// Probes the removable drives in probing order (RemovableStorage_listAll) and
// switches the first whose decoded vendor field is "vexalto" (any case):
// writes the trigger file into its root, then sends the eject request and
// closes the volume. One device per call. 1 when a device was found (even
// when the trigger or the eject failed), else 0.
int Discovery_switchToUpdateMode();
// The same, limited to the device whose id (Discovery_driveId) is id; an
// empty id takes the first device as above.
int Discovery_switchToUpdateMode(const std::string& id);

// Decodes the string at offset in a 1024-byte storage descriptor into out
// (capacity outSize, always terminated) and returns out. The field is taken as
// pairs of hex digits when it is made only of them (white space counting as
// '0') and they decode to printable bytes, else as printable text; the result
// is trimmed. Empty for offset 0, an offset outside the buffer, or a text
// field with a non-printable character, and for a null descriptor. A null out
// (or outSize 0) is returned untouched.
char* Discovery_decodeStorageString(const uint8_t* descriptor, uint32_t offset, char* out, size_t outSize);

// 1 when the vendor field at offset in the descriptor decodes to "vexalto"
// in any case, else 0.
int Discovery_isDeviceVendor(const uint8_t* descriptor, uint32_t offset);

// Writes the 7 trigger bytes into an open stream. The stream's write result;
// -1 when there is no stream or it has no write operation.
int32_t Discovery_writeTrigger(ZR_Stream* stream);

// ---------------------------------------------------------------------------
// HID discovery

// 1 when the lower-cased path contains "vid_0416&pid_b500", else 0 (null too).
int Discovery_isUpdateDevicePath(const char* path);

// Enumerates the present HID interfaces (HidTransport_enumerate) and opens the
// channel on the first whose path passes Discovery_isUpdateDevicePath; later
// matches are never tried. The Discovery_openChannel result, or 0 when no
// interface matched.
int Discovery_openUpdateDevice(ZR_Machine* machine);
// The same, limited to the interface whose id (Discovery_hidDeviceId) is id;
// an empty id takes the first match as above.
int Discovery_openUpdateDevice(ZR_Machine* machine, const std::string& id);

// Closes the channel's port (if any), opens a port on path and identifies the
// device. 1 when a port was opened and the device identified; 0 without
// record or channel, when the path does not open, or when identification
// failed (that port then stays in the channel).
int Discovery_openChannel(ZR_Machine* machine, const char* path);

// Why the latest Discovery_openChannel or Discovery_openUpdateDevice on the
// calling thread got no port: the transport's cause ("device in use by process
// 4711", "opening <path>: Permission denied"), "no device in update mode", or "" when it got
// a port (identified or not).
std::string Discovery_lastOpenError();
// 1 when that cause is another run holding the device, which no waiting cures.
int Discovery_lastOpenBusy();

// Closes and forgets the channel's port; accepts null and a record without one.
void Discovery_closeChannel(ZR_Machine* machine);

// ---------------------------------------------------------------------------
// Device ids
//
// A device changes its USB personality when it is switched, so its id must
// not come from either personality's own path. Simulated devices carry their
// id in the folder's entry names (disk#<id>, hid#vid_0416&pid_b500#<id>.sock).
// A real device is named by the USB port its parent device sits on ("1-4.2"),
// which both personalities share as long as it stays plugged into that port;
// when sysfs does not show the port the interface's own path stands in (it
// then changes across the switch).

// The USB port of a sysfs device path: its last component of the form
// "<bus>-<port>[.<port>...]" ("/sys/devices/.../usb1/1-4/1-4.2/1-4.2:1.0/..."
// gives "1-4.2"); "" when there is none.
std::string Discovery_usbPortOf(const std::string& sysfsPath);

// The id of an update-mode interface by its HID path (as HidTransport lists it).
std::string Discovery_hidDeviceId(const std::string& path);

// The id of a disk-mode drive.
struct RemovableDrive;
std::string Discovery_driveId(const RemovableDrive& drive);

// One device present now, in either mode.
struct DiscoveryDevice {
    std::string id;
    bool updateMode = false;  // true: the HID interface; false: the drive
    std::string path;         // the HID path, or the drive's root folder
    std::string name;         // the back end (update mode), or the drive name
    std::string vendor;       // disk mode: the decoded vendor field
};

// Every device present, disk-mode drives first (probing order), then the
// update-mode interfaces (enumeration order).
std::vector<DiscoveryDevice> Discovery_listDevices();

// ---------------------------------------------------------------------------
// Device-change notifications

// 1 when an interface of this class (DeviceInterfaceClass) at this path is the
// device's update interface: a HID interface whose path passes
// Discovery_isUpdateDevicePath. Every reaction to a device change asks this
// one question. 0 otherwise (null path too).
int Discovery_isUpdateInterface(int interfaceClass, const char* path);
inline int Discovery_isUpdateInterface(const DeviceEvent& event)
{
    return Discovery_isUpdateInterface(event.interfaceClass, event.path.c_str());
}

inline constexpr uint32_t kDiscoveryDeviceInterfaceType = 5;  // DBT_DEVTYP_DEVICEINTERFACE

// A device-change notification record as a Windows window receives it: three
// header words, the interface class GUID (16 bytes as in memory), the device
// path. Events of a DeviceEventSource carry their class directly; the record
// is for bytes delivered in that form.
struct DiscoveryNotification {
    uint32_t size;                    // record size in bytes, as delivered
    uint32_t deviceType;              // kDiscoveryDeviceInterfaceType for interface records
    uint32_t reserved;                // 0
    uint8_t classGuid[kDeviceClassGuidSize];  // interface class
    char path[kDiscoveryPathSize];    // NUL-terminated device path (cut to fit)
};

// Reads a delivered record (little-endian header words, GUID, NUL-terminated
// path) into *out. 1, or 0 when the bytes are too short for the header and
// GUID (out zeroed). A path without NUL ends with the bytes.
int Discovery_parseNotification(const uint8_t* bytes, size_t length, DiscoveryNotification* out);

// 1 to 5: the position of the record's class GUID in the class table; 2 (the
// volume class) when none matches, when the record is not an interface record
// and for null.
int Discovery_classifyInterface(const DiscoveryNotification* record);

// Opens what delivers the notifications: the system's device events (udev,
// else polling every 1000 ms) and, when simDir is given, the simulation
// folder's (SimFolder_attach: its devices can then be opened as well).
// *source gets the merged source (or stays null when nothing opened); the
// caller closes it with DeviceEvents_close. 1 when every source opened, 0 at
// the first failure (sources opened before it stay in *source).
int Discovery_registerNotifications(const char* simDir, DeviceEventSource** source);

// ---------------------------------------------------------------------------
// The main window's reactions

// What the reactions need from the main window. The record is read by the
// delayed connection on another thread, so it must outlive every scheduled
// call (the window stops the delayed-call service before it goes).
struct DiscoveryHooks {
    ZR_Machine* machine;                              // the window's record (borrowed)
    void (*refreshConnection)(void* user);            // CTessalyDlg::RefreshConnection; may be null
    void (*setTitle)(void* user, const char* title);  // sets the window title (GBK); may be null
    // Runs job(arg) on the window's thread; null runs the delayed connection
    // directly on the timer's worker thread.
    void (*runOnWindowThread)(void* user, void (*job)(void* arg), void* arg);
    void* user;                                       // handed to the callbacks
    uint32_t connectDelayMs;                          // 0: kDiscoveryConnectDelayMs
};

// Opens the update device, then refreshes the window's connection.
void Discovery_delayedConnect(DiscoveryHooks* hooks);

// The last step of the window's initialisation: switches a disk-mode device
// (connecting title, delayed connection after 2000 ms) or, with none, opens
// the update device and refreshes at once. Returns the switch result.
int Discovery_onStartup(DiscoveryHooks* hooks);

// The device-change handler, for an event of a DeviceEventSource. On arrival:
// the device's update interface opens the channel (the enumeration, not the
// event's path, picks the interface) and refreshes; a volume runs the mode
// switch and shows the connecting title when it switched a device. On removal
// of the update interface: closes the port and refreshes. Everything else,
// including HID interfaces of other vendor or product ids, changes nothing.
// Always 0, as the window's handler returns.
int Discovery_handleEvent(DiscoveryHooks* hooks, const DeviceEvent& event);
// The same for a run bound to the device with this id (empty: as above).
// Other devices coming and going change nothing: an arrival opens and a
// volume switches only that device, and a removal closes the port only when
// that device's update interface is no longer present.
int Discovery_handleEvent(DiscoveryHooks* hooks, const DeviceEvent& event, const std::string& id);
