// The simulation folder: where a simulated device (tessaly-devsim or a test)
// publishes itself and where the host finds it.
//
//   hid#vid_0416&pid_b500#<id>.sock   the device in update mode: a listening
//                                     SOCK_SEQPACKET socket, one 65-byte report
//                                     per packet
//   disk#<id>/vendor                  disk mode: the raw vendor field
//   disk#<id>/root/                   disk mode: the drive's root folder
//   disk#<id>/eject                   the host's eject request (empty file)
//   disk#<id>/root/1.txt              the trigger file
//
// A device makes an entry under a name starting with '.' (ignored here) and
// renames it to its final name once it is complete (socket listening, disk
// folder holding vendor and root/), so the host never sees half an entry.
//
// The folder is shared through the file system, so it is trusted only when it
// is a real directory owned by the effective user that others cannot write;
// entries in it that are symlinks or belong to someone else are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kSimVendorFile = "vendor";
inline constexpr const char* kSimRootFolder = "root";
inline constexpr const char* kSimEjectFile = "eject";
inline constexpr const char* kSimTriggerFile = "1.txt";

// The folder's location: $TESSALY_SIM_DIR, else $XDG_RUNTIME_DIR/tessaly-sim,
// else /tmp/tessaly-sim-<uid> (empty variables count as unset). Not created.
std::string SimFolder_defaultPath();

// True when dir is usable: lstat shows a directory (not a symlink) owned by the
// effective user, not writable by group or others.
bool SimFolder_isUsable(const std::string& dir);

// Creates dir with mode 0700 when it is missing (the parent must exist), then
// checks it as SimFolder_isUsable does. False, with a reason in *error when
// error is not null, when it cannot be used.
bool SimFolder_prepare(const std::string& dir, std::string* error);

// "hid#vid_0416&pid_b500#<id>.sock" and "disk#<id>". The id is a non-empty
// name without '/' or '#'.
std::string SimFolder_socketName(uint16_t vendorId, uint16_t productId, const std::string& id);
std::string SimFolder_diskName(const std::string& id);

// Parses an entry name (not a path); false when it has not the form above
// (vendor/product ids: four lower-case hex digits each). Outputs may be null.
bool SimFolder_parseSocketName(const std::string& name, uint16_t* vendorId, uint16_t* productId,
                               std::string* id);
bool SimFolder_parseDiskName(const std::string& name, std::string* id);

enum SimEntryKind : int {
    SIM_ENTRY_SOCKET = 1,  // a device in update mode
    SIM_ENTRY_DISK = 2,    // a device in disk mode
};

// One trusted entry of the folder.
struct SimFolderEntry {
    SimEntryKind kind = SIM_ENTRY_SOCKET;
    std::string name;        // entry name
    std::string path;        // dir + "/" + name
    std::string id;          // the <id> part
    uint16_t vendorId = 0;   // sockets only
    uint16_t productId = 0;  // sockets only
};

// True when the entry at path (lstat) is of the kind (a socket or a
// directory), not a symlink, and owned by the effective user.
bool SimFolder_isTrustedEntry(const std::string& path, SimEntryKind kind);

// The trusted socket and disk entries of dir, sorted by name. Empty when dir
// is not usable.
std::vector<SimFolderEntry> SimFolder_scan(const std::string& dir);

// dir + "/" + name, with trailing '/' of dir dropped (so paths made from the
// same folder compare equal however the folder was spelled).
std::string SimFolder_entryPath(const std::string& dir, const std::string& name);

// True when path is an entry path (as SimFolder_entryPath makes it) of a
// socket name directly inside a folder that SimFolder_registerBackends
// registered. Looks at the text only; opening checks the file.
bool SimFolder_isRegisteredSocketPath(const std::string& path);

// The folders SimFolder_registerBackends registered, in registration order.
std::vector<std::string> SimFolder_registeredFolders();

// Makes the devices of dir visible to the host: registers the socket HID back
// end (HidTransport_registerBackend) for dir, and a simulation-folder
// instance of the removable storage back end (RemovableStorage_register).
// Several folders may be registered. False, registering nothing, when dir is
// not usable. Thread-safe; registering the same folder twice is harmless.
bool SimFolder_registerBackends(const std::string& dir);

// Makes the devices of dir usable in one step: registers its back ends
// (SimFolder_registerBackends) and opens the source of its device events
// (DeviceEvents_openSimFolder), so that every device whose arrival the source
// reports can be opened. The caller owns the source (DeviceEvents_close); the
// back ends stay registered. Null, registering nothing, when dir is not usable
// or cannot be watched.
struct DeviceEventSource;
DeviceEventSource* SimFolder_attach(const std::string& dir);

// Undoes SimFolder_registerBackends for dir (tests).
void SimFolder_unregisterBackends(const std::string& dir);

// The socket HID back end (hid_socket.cpp). It serves every folder that
// SimFolder_registerBackends registered.
struct HidBackend;
const HidBackend* HidTransport_socketBackend();
