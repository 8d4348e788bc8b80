#include "core/extract.h"

#include <minizip/unzip.h>

#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/stream.h"

namespace {

constexpr size_t kPathCapacity = 1024;
constexpr size_t kNameCapacity = 1024;
constexpr size_t kComponentMax = 255;

// One read from minizip, one write to the sink and one progress step. Large
// enough that a file sink sees few system calls (fwrite passes a block this
// size straight through) and the progress bar a few hundred steps at most.
constexpr unsigned kChunkBytes = 256u << 10;

struct ArchiveCloser {
    void operator()(void* zip) const { unzClose(zip); }
};
using Archive = std::unique_ptr<void, ArchiveCloser>;

bool equalsAsciiNoCase(const char* a, const char* b)
{
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c); };
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b))
            return false;
    return *a == *b;
}

// Containers are recognised by name alone: the extension of the last name
// component, or the whole component when it has no extension. The component
// is cut to 255 characters first, as a file system would hold it.
bool isContainerName(const char* name)
{
    const char* slash = std::strrchr(name, '/');
    const char* component = slash ? slash + 1 : name;
    char kept[kComponentMax + 1] = {};
    std::memcpy(kept, component, strnlen(component, kComponentMax));
    const char* dot = std::strrchr(kept, '.');
    return equalsAsciiNoCase(dot ? dot + 1 : kept, "dzr");
}

bool canWrite(const ZR_Stream* sink) { return sink && sink->handle && sink->ops && sink->ops->write; }

// Copies the current entry into the sink. Succeeds only when every byte the
// entry records came out and minizip's CRC-32 check on closing passed: a
// container that reaches the device has to be the one that was packed.
int extractCurrentEntry(unzFile zip, const unz_file_info64& info, const char* name, ZR_ExtractProgressFn progress,
                        void* user, ZR_Stream* sink, uint64_t maxEntrySize)
{
    if (info.uncompressed_size > maxEntrySize) {
        ZR_LOG("entry %s records %llu bytes, more than a container can hold (%llu)", name,
               (unsigned long long)info.uncompressed_size, (unsigned long long)maxEntrySize);
        return 0;
    }
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kChunkBytes]);
    if (!chunk) {
        ZR_LOG("no memory to extract %s", name);
        return 0;
    }
    if (unzOpenCurrentFile(zip) != UNZ_OK) {
        ZR_LOG("cannot open entry %s", name);
        return 0;
    }
    const uint32_t range = uint32_t(info.uncompressed_size);
    if (progress)
        progress(user, range, 0);

    const bool writable = canWrite(sink);
    uint64_t total = 0;
    for (;;) {
        int got = unzReadCurrentFile(zip, chunk.get(), kChunkBytes);
        if (got < 0) {
            ZR_LOG("reading entry %s failed (%d) after %llu bytes", name, got, (unsigned long long)total);
            unzCloseCurrentFile(zip);
            return 0;
        }
        if (got == 0)
            break;
        if (uint64_t(got) > maxEntrySize - total) {
            ZR_LOG("entry %s runs past %llu bytes", name, (unsigned long long)maxEntrySize);
            unzCloseCurrentFile(zip);
            return 0;
        }
        // A sink that takes less than it is given (a full disk) would leave a
        // cut container behind a success.
        if (writable && sink->ops->write(sink->handle, chunk.get(), uint32_t(got)) != got) {
            ZR_LOG("writing entry %s failed after %llu bytes", name, (unsigned long long)total);
            unzCloseCurrentFile(zip);
            return 0;
        }
        total += uint64_t(got);
        if (progress)
            progress(user, range, total);
    }

    // minizip compares the CRC only when the recorded size was read in full,
    // so a short entry has to be caught by its size.
    int closed = unzCloseCurrentFile(zip);
    if (closed != UNZ_OK) {
        ZR_LOG("entry %s is corrupt (%d)", name, closed);
        return 0;
    }
    if (total != info.uncompressed_size) {
        ZR_LOG("entry %s gave %llu of %llu bytes", name, (unsigned long long)total,
               (unsigned long long)info.uncompressed_size);
        return 0;
    }
    return 1;
}

} // namespace

int ZR_extractContainer(const char* archivePath, ZR_ExtractProgressFn progress, void* user, ZR_Stream* sink)
{
    return ZR_extractContainerBounded(archivePath, progress, user, sink, ZR_EXTRACT_MAX_ENTRY_SIZE);
}

int ZR_extractContainerBounded(const char* archivePath, ZR_ExtractProgressFn progress, void* user, ZR_Stream* sink,
                               uint64_t maxEntrySize)
{
    if (!archivePath)
        return 0;
    char path[kPathCapacity] = {};
    std::strncpy(path, archivePath, kPathCapacity - 1);

    Archive zip(unzOpen64(path));
    if (!zip) {
        ZR_LOG("cannot open archive %s", path);
        return 0;
    }
    unz_global_info64 global;
    if (unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK) {
        ZR_LOG("cannot read the directory of %s", path);
        return 0;
    }

    for (ZPOS64_T index = 0; index < global.number_entry; ++index) {
        if (index > 0 && unzGoToNextFile(zip.get()) != UNZ_OK) {
            ZR_LOG("entry %llu of %s is unreadable", (unsigned long long)index, path);
            return 0;
        }
        unz_file_info64 info;
        // minizip leaves a name that fills its buffer unterminated.
        char name[kNameCapacity] = {};
        if (unzGetCurrentFileInfo64(zip.get(), &info, name, kNameCapacity - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
            ZR_LOG("entry %llu of %s is unreadable", (unsigned long long)index, path);
            return 0;
        }
        if (info.uncompressed_size != 0 && isContainerName(name))
            return extractCurrentEntry(zip.get(), info, name, progress, user, sink, maxEntrySize);
    }
    return 1; // no container here: the sink stays empty and loading it fails
}
