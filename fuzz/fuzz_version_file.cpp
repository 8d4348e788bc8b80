// Arbitrary bytes as the update server's version file. Besides the sanitizers
// it checks what the lookup keeps from the file: fields that stay within their
// buffers and zero-terminated, a package address no longer than its line, and
// the file deleted exactly when it was read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/log.h"
#include "core/temp_path.h"
#include "net/version_lookup.h"

namespace {

struct QuietWindow : VersionLookupWindow {
    int statusCalls = 0;
    void setStatusText(const char* text) override
    {
        // The status line shows GBK text of a bounded length.
        if (!text || std::strlen(text) > 200) std::abort();
        statusCalls++;
    }
    void enableControl(int, bool) override {}
    bool isDeviceConnected() override { return true; }
};

struct VersionFile {
    char path[1024];
    VersionFile()
    {
        ZR_tempPath(path, "tessaly_fuzz_version_XXXXXX");
        int fd = mkstemp(path);
        if (fd < 0) std::abort();
        close(fd);
    }
    ~VersionFile() { std::remove(path); }
};

void requireTerminated(const char* field, size_t capacity)
{
    if (!std::memchr(field, '\0', capacity)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static VersionFile file;
    static bool quiet = (ZR_logSetSink(nullptr, nullptr), true);
    (void)quiet;

    FILE* f = std::fopen(file.path, "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    QuietWindow window;
    CVersionLookup lookup(&window, nullptr, nullptr);
    lookup.packageAddress = "stale";
    int read = lookup.Parse(file.path);

    bool present = access(file.path, F_OK) == 0;
    if (read == 1 && present) std::abort();   // a read file is consumed
    if (read == 0 && !present) std::abort();  // a refused one is left for inspection
    if (read != 0 && read != 1) std::abort();

    if (read == 1 && lookup.listMode == 0) {
        // The address line holds at most 259 characters.
        if (lookup.packageAddress.size() > 259) std::abort();
        if (window.statusCalls != 1) std::abort();
    }
    if (read == 1 && lookup.listMode == 1) {
        if (lookup.languageList.size() > size) std::abort();  // one line per record at least
        for (const _LuanguageInfo& record : lookup.languageList) {
            requireTerminated(record.name, sizeof record.name);
            requireTerminated(record.version, sizeof record.version);
            requireTerminated(record.address, sizeof record.address);
        }
        if ((lookup.HasPackageChoice() != 0) != !lookup.languageList.empty()) std::abort();
    }
    if (read == 0 && lookup.listMode == 0 && lookup.networkVersion != -1) std::abort();
    return 0;
}
