// Removable drives: which mounted removable volumes there are, what vendor
// field their storage device reports, and the eject request.
//
// A back end is an instance (the live system's sysfs, a fake sysfs tree in
// tests, a simulation folder); the process-wide list asks the registered
// instances and the system. Every drive record names the const operation
// table of the back end that listed it, so opening and ejecting go back to
// the right one without the caller knowing which it is.
//
// Probing order. Windows probes drive letters from Z: down to C:; here the
// drives come in descending order of their name (byte-wise): "sdc1" before
// "sdb1" before "sdb", "disk#b" before "disk#a". Drives of instances
// registered later come before those registered earlier, and the live system
// comes last.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Size of the storage descriptor buffer a drive's vendor field is held in.
inline constexpr size_t kStorageDescriptorSize = 1024;
// Where the vendor field starts in that buffer (never 0, which means "none").
inline constexpr uint32_t kStorageVendorOffset = 40;
// Longest vendor field kept; one byte stays for the terminating NUL.
inline constexpr size_t kStorageVendorMax = kStorageDescriptorSize - kStorageVendorOffset - 1;

struct RemovableStorageOps;

// One mounted removable volume, as a probe sees it.
struct RemovableDrive {
    std::string name;      // sort key and diagnostics: "sdb1", "sdb", "disk#a"
    std::string root;      // the volume's root folder (mount point), no trailing '/'
    // Zero-filled descriptor; the raw vendor field (bytes as the device gave
    // them, NUL-terminated) starts at vendorOffset.
    std::array<uint8_t, kStorageDescriptorSize> descriptor{};
    uint32_t vendorOffset = 0;  // kStorageVendorOffset, or 0 when the drive reports no vendor field
    std::string node;      // back end's handle: block device node ("/dev/sdb"), or the disk folder
    const RemovableStorageOps* ops = nullptr;  // back end that listed the drive (static table)
};

// The drive opened for a mode switch (the "volume handle"). Opaque.
struct RemovableVolume;

struct RemovableStorageOps {
    const char* name;  // back end name, for diagnostics
    // Opens the drive for ejecting; null when it is gone.
    RemovableVolume* (*open)(const RemovableDrive* drive);
    // Sends the eject request; 1 when it was taken, 0 when not.
    int (*eject)(RemovableVolume* volume);
    // Closes the volume (carrying out a held eject request) and frees it.
    void (*close)(RemovableVolume* volume);
};

// The common head of every back end's volume record.
struct RemovableVolume {
    const RemovableStorageOps* ops;
};

// Opens a listed drive for its eject request. Null when the drive is null,
// has no back end or is gone. Release with RemovableVolume_close.
RemovableVolume* RemovableVolume_open(const RemovableDrive* drive);

// Sends the eject request on an open volume. Returns 1 when the request was
// taken, 0 otherwise (null volume included).
//
// The trigger file is written into the root after this call and before
// RemovableVolume_close. On the live system the eject unmounts the root, so
// that back end holds the request and carries it out in RemovableVolume_close
// (flush, unmount every mounted partition, eject the disk); the simulation
// folder records it at once (the device waits for both anyway).
int RemovableVolume_eject(RemovableVolume* volume);

// Closes the volume, carrying out a held eject request; accepts null.
void RemovableVolume_close(RemovableVolume* volume);

// One back end instance. Opaque.
struct RemovableStorage;

// The sysfs back end over the tree at rootDir ("/" for the live system):
// removable block devices from <rootDir>/sys/block/*/removable, their vendor
// field from device/vendor, mount points from <rootDir>/proc/self/mounts.
// Ejects through udisks2 on the system bus when it is there, else by the eject
// ioctl on the device node (only with rootDir "/"). Never null.
RemovableStorage* RemovableStorage_openSysfs(const char* rootDir);

// The simulation-folder back end over dir: every disk#<id> folder with a
// root/ folder is a drive; its vendor field is the content of the vendor file;
// the eject request creates the empty file eject. Never null.
RemovableStorage* RemovableStorage_openSimFolder(const char* dir);

// Frees an instance; accepts null. Unregister it first.
void RemovableStorage_release(RemovableStorage* storage);

// Appends this instance's drives to out in probing order. Drives without a
// mount point are left out (no root to write into).
void RemovableStorage_list(RemovableStorage* storage, std::vector<RemovableDrive>* out);

// Adds or removes an instance in the process-wide list; the caller keeps
// ownership. Thread-safe.
void RemovableStorage_register(RemovableStorage* storage);
void RemovableStorage_unregister(RemovableStorage* storage);

// The root the process-wide list reads the live system from: "/" by default;
// null or "" leaves the system out (tests that want only their own drives).
void RemovableStorage_setSystemRoot(const char* rootDir);

// Every drive in probing order: registered instances, latest first, then the
// system.
std::vector<RemovableDrive> RemovableStorage_listAll();

// Pushes a written file to its medium (fsync), so that it survives the eject
// that follows. False when the file cannot be opened or synced.
bool RemovableStorage_syncFile(const char* path);
