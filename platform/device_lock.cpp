#include "platform/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct DeviceLock {
    int fd;            // the locked lock file
    std::string path;  // its path, removed on release
};

namespace {

constexpr const char* kNamePrefix = "tessaly-dev-";
constexpr const char* kNameSuffix = ".lock";
constexpr size_t kNameLimit = 200;  // well inside NAME_MAX with room for the hash
// A previous holder may remove the file between our open and our lock; after
// this many such turns something keeps replacing it on purpose.
constexpr int kAttempts = 8;

bool isPrivateFolder(const std::string& dir)
{
    struct stat st;
    if (dir.empty() || lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool keepsByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

uint64_t fnv1a(const std::string& text)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string busyText(int fd)
{
    char buffer[32] = {};
    ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    long pid = 0;
    for (ssize_t i = 0; i < n && buffer[i] >= '0' && buffer[i] <= '9' && pid < 100000000; ++i)
        pid = pid * 10 + (buffer[i] - '0');
    return pid > 0 ? "device in use by process " + std::to_string(pid) : "device in use by another process";
}

void setCause(std::string* cause, std::string text)
{
    if (cause) *cause = std::move(text);
}

} // namespace

std::string DeviceLock_folder(std::string* error)
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        std::string dir = runtime;
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (isPrivateFolder(dir)) return dir;
    }
    std::string dir = "/tmp/tessaly-" + std::to_string(unsigned(geteuid()));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
        return {};
    }
    if (!isPrivateFolder(dir)) {
        if (error) *error = dir + " is not a private folder of this user";
        return {};
    }
    return dir;
}

std::string DeviceLock_fileName(const std::string& devicePath)
{
    std::string escaped;
    for (unsigned char c : devicePath) {
        if (keepsByte(c)) {
            escaped += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", unsigned(c));
            escaped += hex;
        }
    }
    std::string name = kNamePrefix + escaped + kNameSuffix;
    if (name.size() <= kNameLimit) return name;
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx-", static_cast<unsigned long long>(fnv1a(devicePath)));
    size_t keep = kNameLimit - std::strlen(kNamePrefix) - std::strlen(hash) - std::strlen(kNameSuffix);
    return kNamePrefix + std::string(hash) + escaped.substr(escaped.size() - keep) + kNameSuffix;
}

DeviceLockResult DeviceLock_acquire(const std::string& devicePath, DeviceLock** lock, std::string* cause)
{
    if (lock) *lock = nullptr;
    if (!lock) return DEVICE_LOCK_FAILED;
    std::string error;
    std::string folder = DeviceLock_folder(&error);
    if (folder.empty()) {
        setCause(cause, "cannot lock the device: " + error);
        return DEVICE_LOCK_FAILED;
    }
    const std::string path = folder + "/" + DeviceLock_fileName(devicePath);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            setCause(cause, "cannot create the lock file " + path + ": " + std::strerror(errno));
            return DEVICE_LOCK_FAILED;
        }
        struct stat opened;
        if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != geteuid()) {
            close(fd);
            setCause(cause, "the lock file " + path + " is not a private file");
            return DEVICE_LOCK_FAILED;
        }
        int rc;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            int err = errno;
            std::string text = err == EWOULDBLOCK ? busyText(fd) : "cannot lock " + path + ": " + std::strerror(err);
            close(fd);
            setCause(cause, text);
            return err == EWOULDBLOCK ? DEVICE_LOCK_BUSY : DEVICE_LOCK_FAILED;
        }
        // The holder before us removes the file as it lets go: a lock on a
        // file no longer at the path excludes nobody, so start again.
        struct stat current;
        if (lstat(path.c_str(), &current) != 0 || current.st_ino != opened.st_ino ||
            current.st_dev != opened.st_dev) {
            close(fd);
            continue;
        }
        std::string pid = std::to_string(long(getpid())) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
            // Only the holder's number is lost; the lock itself holds.
        }
        *lock = new DeviceLock{fd, path};
        return DEVICE_LOCK_TAKEN;
    }
    setCause(cause, "the lock file " + path + " keeps being replaced");
    return DEVICE_LOCK_FAILED;
}

void DeviceLock_release(DeviceLock* lock)
{
    if (!lock) return;
    // Removed while still held, so nobody can lock the old file and believe
    // they hold the device (see the check after flock above).
    unlink(lock->path.c_str());
    close(lock->fd);
    delete lock;
}
