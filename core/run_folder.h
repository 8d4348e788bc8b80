// The private folder that holds one run's temporary files (the unpacked
// container, a downloaded package, the version file). It is made fresh with
// mkdtemp under $TMPDIR, readable by its owner only, so no other user can
// plant a name in it; files are created in it exclusively and never through a
// symbolic link. The folder goes with its record, and a process ended by
// SIGINT, SIGTERM or SIGHUP takes it along when ZR_RunFolder_cleanUpOnSignals
// is in force. Folders of runs that were killed outright are swept at the next
// start by ZR_RunFolder_removeStale.
#pragma once

#include <memory>
#include <string>

struct ZR_RunFolder;
struct ZR_Stream;

// Names of run folders: "<prefix>-<pid>-XXXXXX" in the temporary directory.
inline constexpr const char* ZR_RUN_FOLDER_PREFIX = "tessaly";

// Creates a new folder (mode 0700) in $TMPDIR, or /tmp when that is unset or
// empty. Returns the record, or null (errno set) when the folder cannot be
// made. The caller releases it with ZR_RunFolder_release.
ZR_RunFolder* ZR_RunFolder_create();

// Removes every file the record created or named and the folder itself, then
// frees the record. Null does nothing.
void ZR_RunFolder_release(ZR_RunFolder* folder);

// The folder's absolute path, without a trailing separator ("" for null).
const char* ZR_RunFolder_path(const ZR_RunFolder* folder);

// The path of name inside the folder; the name is remembered so that release
// and the signal clean-up remove whatever is later put there. Empty when the
// record is null, or the name is empty, ".", "..", holds a separator or is
// longer than 255 bytes: a name never leads out of the folder.
std::string ZR_RunFolder_pathOf(ZR_RunFolder* folder, const char* name);

// Creates name inside the folder for writing (O_CREAT | O_EXCL | O_NOFOLLOW,
// mode 0600). Returns the open descriptor, which the caller closes, or -1 with
// errno set: EEXIST when anything (a link included) already has that name,
// EINVAL for a name ZR_RunFolder_pathOf refuses.
int ZR_RunFolder_createFile(ZR_RunFolder* folder, const char* name);

// The same file as a write-mode stream (core/stream.h); null on failure. The
// caller releases the stream.
ZR_Stream* ZR_RunFolder_createStream(ZR_RunFolder* folder, const char* name);

// Removes name from the folder (a missing file is not an error). Returns 1
// when nothing of that name is left, 0 otherwise.
int ZR_RunFolder_removeFile(ZR_RunFolder* folder, const char* name);

// Removes the run folders in the temporary directory that a killed run of
// this user left behind: folders named as above whose process is gone and
// which belong to the calling user. Links, other users' folders and folders
// of running processes are left alone; nothing is followed out of a folder.
// Returns the number of folders removed.
int ZR_RunFolder_removeStale();

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove the files and
// folders of every live record, then end the process with that signal's
// default action (so its exit status tells the signal). For programs, once,
// at start.
void ZR_RunFolder_cleanUpOnSignals();

struct ZR_RunFolderDeleter {
    void operator()(ZR_RunFolder* folder) const { ZR_RunFolder_release(folder); }
};
using ZR_RunFolderPtr = std::unique_ptr<ZR_RunFolder, ZR_RunFolderDeleter>;
