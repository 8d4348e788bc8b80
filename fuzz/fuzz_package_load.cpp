// Loads arbitrary bytes as an update container, then does with the package
// what the update run does: picks program images, reads every section and
// assembles province GPS data. Besides the sanitizers it checks the loader's
// memory promise: no single allocation beyond what the input can describe.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/package.h"
#include "core/stream.h"

namespace {

// Largest allocation allowed for the step under way.
size_t gLimit = 0;

void* boundedAllocate(void*, size_t size)
{
    if (size > gLimit) {
        std::fprintf(stderr, "allocation of %zu bytes over the limit of %zu\n", size, gLimit);
        std::abort();
    }
    return std::malloc(size ? size : 1);
}

void boundedRelease(void*, void* block) { std::free(block); }

// Reads every byte a slot claims to hold, so the sanitizer sees any that do
// not exist.
uint32_t touch(const uint8_t* buffer, uint32_t size)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; buffer && i < size; ++i) sum += buffer[i];
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        ZR_logSetSink(nullptr, nullptr);
        static const ZR_PackageAllocator bounded = {boundedAllocate, boundedRelease, nullptr};
        ZR_Package_setAllocator(&bounded);
        return true;
    }();
    (void)ready;
    if (size > UINT32_MAX)
        return 0;

    ZR_Stream* stream = ZR_Stream_openMemory(data, uint32_t(size));
    if (!stream)
        return 0;
    ZR_Stream_seekTo(stream, uint32_t(size)); // a memory stream's size is its cursor
    // Sections and images are bounded by the input, tables by their entries
    // in it: at most 64 bytes in memory per 54 bytes of province entry.
    gLimit = std::max(size * 64 / 54 + 64, sizeof(ZR_Package));
    ZR_Package* package = ZR_Package_loadFromStream(stream);
    ZR_Stream_release(stream);
    if (!package)
        return 0;

    uint32_t sum = 0;
    for (int s = 0; s < ZR_SECTION_COUNT; ++s) {
        ZR_SectionView view;
        if (ZR_Package_sectionView(package, ZR_Section(s), &view))
            sum += touch(view.buffer, view.size);
    }
    for (const char* board : {"HB6T", "HB6W", "ZX01"})
        if (ZR_ProgramEntry* entry = ZR_Package_findProgram(package, ZR_boardKey(board)))
            sum += touch(entry->image, entry->image ? entry->imageSize : 0);
    const ZR_ProvinceSlot* tables[] = {&package->gpsProvinceItems, &package->gpsProvinceRecords};
    for (const ZR_ProvinceSlot* t : tables)
        for (uint32_t e = 0; e < t->count; ++e) {
            const uint64_t unit = t == &package->gpsProvinceItems ? 12 : t->recordSize;
            sum += touch(t->entries[e].block, t->entries[e].block ? uint32_t(t->entries[e].count * unit) : 0);
        }

    // The assembly's sort keeps 8 bytes of key and index per record, and a
    // record is at least one byte of the input.
    gLimit = size * 8 + 65536;
    uint8_t selection[PROVINCE_COUNT];
    std::memset(selection, 1, sizeof selection);
    if (ZR_Package_assembleProvinceGps(package, selection))
        sum += touch(package->gpsProvinceRecords.assembled.buffer, package->gpsProvinceRecords.assembled.size);
    selection[0] = 0;
    ZR_Package_assembleProvinceGps(package, selection);

    ZR_Package_free(package);
    volatile uint32_t sink = sum;
    (void)sink;
    return 0;
}
