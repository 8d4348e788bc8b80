#include "core/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// Marks a reason for the message catalogue: the terminal translates it where
// it shows it (core itself translates nothing).
#ifndef N_
#define N_(text) text
#endif

namespace {

const char* kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return N_("a FIFO, not a regular file");
    if (S_ISDIR(mode))
        return N_("a folder, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return N_("a device, not a regular file");
    if (S_ISSOCK(mode))
        return N_("a socket, not a regular file");
    return N_("not a regular file");
}

int refuse(std::string* reason, const char* why)
{
    if (reason)
        *reason = why;
    return -1;
}

} // namespace

int ZR_openRegularFile(const char* path, std::string* reason)
{
    if (!path || !*path)
        return refuse(reason, N_("no such file"));
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(reason, errno == ENOENT ? N_("no such file") : std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        return refuse(reason, std::strerror(error));
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return refuse(reason, kindOf(st.st_mode));
    }
    // Reads of a regular file never wait anyway; the flag only kept the open from blocking.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool ZR_isRegularFile(const char* path, std::string* reason)
{
    int fd = ZR_openRegularFile(path, reason);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}
