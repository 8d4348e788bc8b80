// One run per device. A process holds a device's lock from opening it to
// closing it, so that a second run (another tessaly-cli, the window) cannot
// identify or write the device in the middle of the first one's exchange.
//
// The lock is an flock'ed file in the user's runtime folder, named after the
// device path; it holds the pid of its holder, which the refused run shows.
// The kernel drops the lock when its holder dies, even by kill -9, so a
// crashed run never leaves the device locked.
#pragma once

#include <string>

struct DeviceLock;

enum DeviceLockResult : int {
    DEVICE_LOCK_TAKEN = 0,  // the lock is ours until DeviceLock_release
    DEVICE_LOCK_BUSY = 1,   // another open of the device holds it (this process's too)
    DEVICE_LOCK_FAILED = 2, // no lock file could be made (no private runtime folder)
};

// The folder of the lock files: $XDG_RUNTIME_DIR when it is a private folder
// of this user, else /tmp/tessaly-<uid>, created 0700. A folder that is a
// symlink, someone else's, or writable by others is never used. "" with the
// reason in *error (when not null) when neither can be used.
std::string DeviceLock_folder(std::string* error);

// The lock file's name for a device path: "tessaly-dev-", the path with every
// byte other than letters, digits, '.', '_' and '-' written as %XX, ".lock".
// Different paths give different names; a name that would pass 200 bytes keeps
// the path's end and a 64-bit hash of the whole path instead.
std::string DeviceLock_fileName(const std::string& devicePath);

// Takes the lock of devicePath without waiting. On DEVICE_LOCK_TAKEN *lock
// holds it; otherwise *lock is null and *cause (when not null) says why:
// "device in use by process N" (N the holder's pid, or "another process" when
// it has not written it yet) or why no lock file could be made.
DeviceLockResult DeviceLock_acquire(const std::string& devicePath, DeviceLock** lock, std::string* cause);

// Releases the lock and removes its file; accepts null.
void DeviceLock_release(DeviceLock* lock);
