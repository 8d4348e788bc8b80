#include "core/run_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/log.h"
#include "core/stream.h"

namespace {

constexpr size_t kPathCapacity = 1024;
constexpr size_t kNameMax = 255;
constexpr const char* kFallbackDirectory = "/tmp";
constexpr size_t kRandomPartLength = 6; // mkdtemp's XXXXXX

// What the signal handler needs of the live folders, kept where it can read
// it without allocating or locking: the folder's path and the full paths of
// the names handed out in it. A record that finds no free slot still works;
// only a signal would then leave its folder for the next start to sweep.
constexpr int kLiveSlots = 8;
constexpr int kNamesPerSlot = 16;

struct LiveSlot {
    std::atomic<int> used{0};
    std::atomic<int> nameCount{0};
    char folder[kPathCapacity];
    char names[kNamesPerSlot][kPathCapacity];
};

LiveSlot gSlots[kLiveSlots];
std::mutex gSlotsLock;

int claimSlot(const std::string& folder)
{
    if (folder.size() >= kPathCapacity)
        return -1;
    std::lock_guard guard(gSlotsLock);
    for (int i = 0; i < kLiveSlots; ++i) {
        LiveSlot& s = gSlots[i];
        if (s.used.load(std::memory_order_relaxed))
            continue;
        std::memcpy(s.folder, folder.c_str(), folder.size() + 1);
        s.nameCount.store(0, std::memory_order_relaxed);
        s.used.store(1, std::memory_order_release);
        return i;
    }
    return -1;
}

void freeSlot(int slot)
{
    if (slot < 0)
        return;
    std::lock_guard guard(gSlotsLock);
    gSlots[slot].used.store(0, std::memory_order_release);
}

void rememberInSlot(int slot, const std::string& path)
{
    if (slot < 0 || path.size() >= kPathCapacity)
        return;
    LiveSlot& s = gSlots[slot];
    int n = s.nameCount.load(std::memory_order_relaxed);
    if (n >= kNamesPerSlot)
        return;
    std::memcpy(s.names[n], path.c_str(), path.size() + 1);
    s.nameCount.store(n + 1, std::memory_order_release);
}

// Only async-signal-safe calls from here on: the process is ending.
void removeLiveFolders(int sig)
{
    for (LiveSlot& s : gSlots) {
        if (!s.used.load(std::memory_order_acquire))
            continue;
        int n = s.nameCount.load(std::memory_order_acquire);
        for (int i = 0; i < n; ++i)
            unlink(s.names[i]);
        rmdir(s.folder);
    }
    signal(sig, SIG_DFL);
    raise(sig); // delivered as this handler returns: the default action ends the process
}

std::string temporaryDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : kFallbackDirectory;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool validName(const char* name)
{
    if (!name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strchr(name, '/') == nullptr && std::strlen(name) <= kNameMax;
}

// Unlinks every entry of the open folder that is not itself a folder; links
// are removed, never followed. Takes over dirFd. False when an entry stayed.
bool emptyFolder(int dirFd)
{
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    bool all = true;
    std::vector<std::string> names;
    while (dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    for (const std::string& name : names)
        if (unlinkat(dirfd(dir), name.c_str(), 0) != 0 && errno != ENOENT) {
            ZR_LOG("cannot remove %s from a run folder: %s", name.c_str(), std::strerror(errno));
            all = false;
        }
    closedir(dir);
    return all;
}

// Empties and removes the folder `name` inside the open folder parentFd,
// refusing anything that is not a real folder.
bool removeFolderAt(int parentFd, const char* name)
{
    int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    emptyFolder(fd);
    return unlinkat(parentFd, name, AT_REMOVEDIR) == 0;
}

// The process id of a run folder's name "<prefix>-<pid>-XXXXXX", or 0 when the
// name is not one.
long folderPid(const char* name)
{
    const size_t prefixLength = std::strlen(ZR_RUN_FOLDER_PREFIX);
    if (std::strncmp(name, ZR_RUN_FOLDER_PREFIX, prefixLength) != 0 || name[prefixLength] != '-')
        return 0;
    const char* digits = name + prefixLength + 1;
    long pid = 0;
    const char* p = digits;
    for (; *p >= '0' && *p <= '9' && p - digits < 10; ++p)
        pid = pid * 10 + (*p - '0');
    if (p == digits || *p != '-' || std::strlen(p + 1) != kRandomPartLength)
        return 0;
    return pid;
}

bool processGone(long pid) { return pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

} // namespace

struct ZR_RunFolder {
    std::string path;
    int slot = -1;
    std::vector<std::string> names; // handed out by pathOf, removed on release
};

ZR_RunFolder* ZR_RunFolder_create()
{
    std::string pattern =
        temporaryDirectory() + "/" + ZR_RUN_FOLDER_PREFIX + "-" + std::to_string(getpid()) + "-XXXXXX";
    if (pattern.size() >= kPathCapacity) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        ZR_LOG("cannot create a run folder from %s: %s", pattern.c_str(), std::strerror(errno));
        return nullptr;
    }
    auto* folder = new ZR_RunFolder;
    folder->path = buffer.data();
    folder->slot = claimSlot(folder->path);
    return folder;
}

void ZR_RunFolder_release(ZR_RunFolder* folder)
{
    if (!folder)
        return;
    freeSlot(folder->slot);
    int fd = open(folder->path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        emptyFolder(fd);
    if (rmdir(folder->path.c_str()) != 0 && errno != ENOENT)
        ZR_LOG("cannot remove the run folder %s: %s", folder->path.c_str(), std::strerror(errno));
    delete folder;
}

const char* ZR_RunFolder_path(const ZR_RunFolder* folder) { return folder ? folder->path.c_str() : ""; }

std::string ZR_RunFolder_pathOf(ZR_RunFolder* folder, const char* name)
{
    if (!folder || !validName(name))
        return {};
    std::string path = folder->path + "/" + name;
    for (const std::string& known : folder->names)
        if (known == name)
            return path;
    folder->names.emplace_back(name);
    rememberInSlot(folder->slot, path);
    return path;
}

int ZR_RunFolder_createFile(ZR_RunFolder* folder, const char* name)
{
    std::string path = ZR_RunFolder_pathOf(folder, name);
    if (path.empty()) {
        errno = EINVAL;
        return -1;
    }
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

ZR_Stream* ZR_RunFolder_createStream(ZR_RunFolder* folder, const char* name)
{
    int fd = ZR_RunFolder_createFile(folder, name);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        close(fd);
        return nullptr;
    }
    ZR_Stream* stream = ZR_Stream_adoptFile(file, ZR_STREAM_WRITE);
    if (!stream)
        std::fclose(file);
    return stream;
}

int ZR_RunFolder_removeFile(ZR_RunFolder* folder, const char* name)
{
    if (!folder || !validName(name))
        return 0;
    std::string path = folder->path + "/" + name;
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

int ZR_RunFolder_removeStale()
{
    const std::string base = temporaryDirectory();
    int baseFd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (baseFd < 0)
        return 0;
    DIR* dir = fdopendir(baseFd);
    if (!dir) {
        close(baseFd);
        return 0;
    }
    std::vector<std::string> stale;
    const uid_t me = geteuid();
    const long self = long(getpid());
    while (dirent* e = readdir(dir)) {
        long pid = folderPid(e->d_name);
        if (pid == 0 || pid == self)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != me || !processGone(pid))
            continue;
        stale.emplace_back(e->d_name);
    }
    int removed = 0;
    for (const std::string& name : stale) {
        if (removeFolderAt(dirfd(dir), name.c_str())) {
            ZR_LOG("removed %s/%s left by an ended run", base.c_str(), name.c_str());
            ++removed;
        }
    }
    closedir(dir);
    return removed;
}

void ZR_RunFolder_cleanUpOnSignals()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        // A program started with the signal ignored (a background job) keeps it so.
        if (old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = removeLiveFolders;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGHUP);
        sigaction(sig, &action, nullptr);
    }
}
