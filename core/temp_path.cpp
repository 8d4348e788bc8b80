#include "core/temp_path.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPathCapacity = 1024;
constexpr size_t kMaxPathLength = kPathCapacity - 1; // the rest is the terminator
constexpr const char* kFallbackDirectory = "/tmp";

// Length of dir without its trailing separators ("/" counts as empty: the
// separator is added back by the caller).
size_t trimmedLength(const char* dir)
{
    size_t n = std::strlen(dir);
    while (n > 0 && dir[n - 1] == ZR_PATH_SEPARATOR)
        --n;
    return n;
}

} // namespace

void ZR_tempPath(char buffer[1024], const char* name)
{
    if (!buffer)
        return;
    std::memset(buffer, 0, kPathCapacity);

    const char* dir = std::getenv("TMPDIR");
    // The directory and its separator must leave the text below the limit.
    if (!dir || !*dir || trimmedLength(dir) + 1 >= kMaxPathLength)
        dir = kFallbackDirectory;
    size_t length = trimmedLength(dir);
    std::memcpy(buffer, dir, length);
    buffer[length++] = ZR_PATH_SEPARATOR;

    size_t nameLength = name ? std::strlen(name) : 0;
    if (nameLength > 0 && length + nameLength < kMaxPathLength)
        std::memcpy(buffer + length, name, nameLength);
}
