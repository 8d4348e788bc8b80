// Arbitrary bytes as a zip archive: extraction must neither crash nor report a
// container it did not deliver whole. The input goes through a file because
// minizip opens archives by path.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "core/extract.h"
#include "core/log.h"
#include "core/stream.h"
#include "core/temp_path.h"

namespace {

struct ArchiveFile {
    char path[1024];
    ArchiveFile()
    {
        ZR_tempPath(path, "tessaly_fuzz_extract_XXXXXX");
        int fd = mkstemp(path);
        if (fd < 0)
            std::abort();
        close(fd);
    }
    ~ArchiveFile() { std::remove(path); }
};

struct Progress {
    int calls = 0;
    uint32_t range = 0;
    uint64_t position = 0;
};

void onProgress(void* user, uint32_t range, uint64_t position)
{
    auto* p = static_cast<Progress*>(user);
    // The range is set once with position 0; positions only rise after that.
    if ((p->calls == 0) != (position == 0) || (p->calls > 0 && (range != p->range || position <= p->position)))
        std::abort();
    p->calls++;
    p->range = range;
    p->position = position;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static ArchiveFile archive;
    static bool quiet = (ZR_logSetSink(nullptr, nullptr), true);
    (void)quiet;

    FILE* f = std::fopen(archive.path, "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    ZR_Stream* sink = ZR_Stream_openMemory(nullptr, 0);
    if (!sink)
        return 0;
    Progress progress;
    int ok = ZR_extractContainer(archive.path, onProgress, &progress, sink);
    // A success hands over exactly what the progress bar counted, and only a
    // non-empty container entry moves it.
    int32_t written = ZR_Stream_size(sink);
    if (ok == 1 && written != int32_t(progress.position))
        std::abort();
    if (ok == 1 && progress.calls > 0 && uint32_t(progress.position) != progress.range)
        std::abort();
    ZR_Stream_release(sink);
    return 0;
}
