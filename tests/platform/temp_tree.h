// Pieces of the platform tests: scratch trees (fake sysfs, simulation
// folders), listening sockets, another owner.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace testtree {

using test_support::readText;
using test_support::TempDir;
using test_support::writeFile;

inline void makeDirs(const std::string& path) { std::filesystem::create_directories(path); }

// A SOCK_SEQPACKET socket bound at path; listening unless told otherwise.
// Returns the descriptor (or -1).
inline int bindSeqpacket(const std::string& path, bool listening = true)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::strcpy(addr.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || (listening && listen(fd, 4) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Another user's id for ownership tests; only root can hand files over.
constexpr uid_t kForeignUid = 12345;
inline bool canChown() { return geteuid() == 0; }

} // namespace testtree
