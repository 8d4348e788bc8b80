#include "core/package.h"
#include "core/package_format.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "core/bytes.h"
#include "core/ciphers.h"
#include "core/log.h"
#include "core/stream.h"

namespace {

using bytes::getLe32;

// ---------------------------------------------------------------------------
// Memory

void* mallocAllocate(void*, size_t size) { return std::malloc(size ? size : 1); }
void mallocRelease(void*, void* block) { std::free(block); }

ZR_PackageAllocator gAllocator = {mallocAllocate, mallocRelease, nullptr};

void* allocate(uint64_t size)
{
    return size > SIZE_MAX ? nullptr : gAllocator.allocate(gAllocator.context, size_t(size));
}

template <typename T> T* allocateZeroed(uint64_t count)
{
    if (count > SIZE_MAX / sizeof(T))
        return nullptr;
    void* block = allocate(count * sizeof(T));
    if (block)
        std::memset(block, 0, size_t(count * sizeof(T)));
    return static_cast<T*>(block);
}

void release(void* block)
{
    if (block)
        gAllocator.release(gAllocator.context, block);
}

// Owns a block from the package allocator inside one function.
struct Released {
    void operator()(void* block) const { release(block); }
};
template <typename T> using Scoped = std::unique_ptr<T[], Released>;

// ---------------------------------------------------------------------------
// Load order (what each section is: core/package_format.h)

// Every section loads on its own, so this order only decides which sections
// are already in memory when a later one is allocated.
constexpr ZR_Section kLoadOrder[ZR_SECTION_COUNT] = {
    ZR_Section::boot,   ZR_Section::program, ZR_Section::radarMute,  ZR_Section::gps,
    ZR_Section::voice,  ZR_Section::voice2,  ZR_Section::updateTool, ZR_Section::oled,
    ZR_Section::gpsProvinceItems,
    ZR_Section::voice3, ZR_Section::voice4,  ZR_Section::voice5,     ZR_Section::voice6,
    ZR_Section::gps2,   ZR_Section::voice7,  ZR_Section::voice8,     ZR_Section::gps3,
    ZR_Section::gpsProvinceRecords,
};

constexpr const char* kParamNames[ZR_PROGRAM_PARAM_COUNT] = {
    "serverDataSize", "secondVoice", "paramWord", "altLayout", "voice5", "gps2",      "layoutReset",
    "trackDataSize",  "paramMagic",  "oled",      "gps3",      "voice7", "writeMode",
};

// ---------------------------------------------------------------------------
// Header trailers

constexpr const ZR_TrailerLayout& kV3 = kZrTrailers[3];
constexpr const ZR_TrailerLayout& kV1 = kZrTrailers[1];
static_assert(sizeof(ZR_PackageHeader::reserved) == kZrTrailerReservedSize);

// Reads exactly size bytes; a stream read moves at most INT32_MAX at a time.
bool readExact(ZR_Stream* stream, void* buffer, uint64_t size)
{
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const uint32_t chunk = size > 0x40000000u ? 0x40000000u : uint32_t(size);
        const int32_t got = ZR_Stream_readBytes(stream, chunk, out);
        if (got <= 0)
            return false;
        out += got;
        size -= uint32_t(got);
    }
    return true;
}

int64_t streamLength(ZR_Stream* stream)
{
    const int32_t size = ZR_Stream_size(stream);
    return size < 0 ? 0 : size;
}

// Reads the last n bytes and undoes the header XOR; false when the stream is
// shorter or the read comes up short.
bool readTrailer(ZR_Stream* stream, int64_t streamSize, uint32_t n, uint8_t* trailer)
{
    if (streamSize < int64_t(n))
        return false;
    if (!ZR_Stream_seekTo(stream, uint32_t(streamSize - n)) || !readExact(stream, trailer, n))
        return false;
    ZR_headerXor(n, trailer);
    return true;
}

// Versions 1 and 2 lay the pairs out alike, so one check serves both.
bool withinOldLimits(const uint8_t* t, const ZR_TrailerLayout& layout)
{
    for (const ZR_SectionLimit& limit : kZrOldHeaderLimits)
        if (getLe32(t + ZR_pairSizeAt(layout, int(limit.section))) > limit.maxSize)
            return false;
    return true;
}

bool checksOut(const uint8_t* t, const ZR_TrailerLayout& layout)
{
    const uint32_t checkAt = ZR_trailerCheckAt(layout);
    return getLe32(t) == layout.length && getLe32(t + checkAt) == bytes::sum32(t, checkAt);
}

void readTitleAndPairs(const uint8_t* t, const ZR_TrailerLayout& layout, ZR_PackageHeader* header)
{
    std::memcpy(header->title, t + layout.titleAt, ZR_PACKAGE_TITLE_SIZE);
    for (int i = 0; i < layout.pairCount; ++i) {
        header->sections[i].offset = getLe32(t + ZR_pairOffsetAt(layout, i));
        header->sections[i].size = getLe32(t + ZR_pairSizeAt(layout, i));
    }
}

bool acceptV3(const uint8_t* t, ZR_PackageHeader* header)
{
    const uint32_t magic = getLe32(t + kZrTrailerMagicAt);
    if ((magic != ZR_PACKAGE_MAGIC_PLAIN && magic != ZR_PACKAGE_MAGIC_BLOCK) || !checksOut(t, kV3) ||
        getLe32(t + ZR_pairSizeAt(kV3, int(ZR_Section::boot))) > kZrV3BootLimit)
        return false;
    header->length = kV3.length;
    header->version = getLe32(t + kZrTrailerVersionAt);
    readTitleAndPairs(t, kV3, header);
    std::memcpy(header->reserved, t + kZrTrailerReservedAt, sizeof header->reserved);
    header->magic = magic;
    header->check = getLe32(t + ZR_trailerCheckAt(kV3));
    return true;
}

// A version 2 header normalises to the long layout with format version 3; a
// version 1 header keeps its own length and version 1.
bool acceptOld(const uint8_t* t, int headerVersion, ZR_PackageHeader* header)
{
    const ZR_TrailerLayout& layout = kZrTrailers[headerVersion];
    if (!checksOut(t, layout) || !withinOldLimits(t, layout))
        return false;
    header->length = headerVersion == 2 ? kV3.size : kV1.size;
    header->version = headerVersion == 2 ? 3 : 1;
    readTitleAndPairs(t, layout, header);
    return true;
}

// ---------------------------------------------------------------------------
// Loading

struct Loader {
    ZR_Stream* stream;
    uint64_t fileSize;
    bool blockCipher; // the container's GPS-type sections are TEA-enciphered
};

bool insideFile(const Loader& ld, uint64_t offset, uint64_t size) { return offset + size <= ld.fileSize; }

// A fresh buffer holding [offset, offset + size) of the file, or null. Nothing
// is allocated for a range the file does not hold, so a lying header costs no
// memory.
uint8_t* readRange(const Loader& ld, uint64_t offset, uint32_t size)
{
    if (size == 0 || !insideFile(ld, offset, size) || !ZR_Stream_seekTo(ld.stream, uint32_t(offset)))
        return nullptr;
    auto* buffer = static_cast<uint8_t*>(allocate(size));
    if (buffer && !readExact(ld.stream, buffer, size)) {
        release(buffer);
        return nullptr;
    }
    return buffer;
}

// Word n of a section, zero-filled where the section is shorter.
uint32_t wordOf(const uint8_t* buffer, uint32_t size, uint32_t n)
{
    uint8_t word[4] = {};
    for (uint32_t i = 0; i < 4; ++i)
        if (4 * n + i < size)
            word[i] = buffer[4 * n + i];
    return getLe32(word);
}

// Encoded sections carry their stamp in encoded form; decode a copy so the
// buffer stays exactly what the device is sent.
uint32_t rollingStamp(const uint8_t* buffer, uint32_t size)
{
    uint8_t work[256] = {};
    std::memcpy(work, buffer, size < sizeof work ? size : sizeof work);
    ZR_rollingXorFromStart(sizeof work, work);
    return getLe32(work);
}

void clearSlot(ZR_SectionSlot* slot)
{
    release(slot->buffer);
    *slot = ZR_SectionSlot{};
}

void clearBoot(ZR_BootSlot* slot)
{
    release(slot->buffer);
    *slot = ZR_BootSlot{};
}

void clearProgram(ZR_ProgramSlot* slot)
{
    for (uint32_t i = 0; i < slot->count; ++i)
        if (slot->entries[i].ownsImage)
            release(slot->entries[i].image);
    release(slot->entries);
    release(slot->raw);
    *slot = ZR_ProgramSlot{};
}

void clearProvince(ZR_ProvinceSlot* slot)
{
    release(slot->entries);
    release(slot->buffer);
    release(slot->assembled.buffer);
    *slot = ZR_ProvinceSlot{};
}

bool loadBoot(const Loader& ld, ZR_SectionPlace place, ZR_BootSlot* slot)
{
    slot->buffer = readRange(ld, place.offset, place.size);
    if (!slot->buffer)
        return false;
    slot->size = place.size;
    slot->encoded = ZR_sectionFormat(ZR_Section::boot).rollingForm;
    slot->secondTransfer = 0;
    return true;
}

bool loadPlain(const Loader& ld, ZR_Section section, ZR_SectionPlace place, ZR_SectionSlot* slot)
{
    const ZR_SectionFormat& rule = ZR_sectionFormat(section);
    uint8_t* buffer = readRange(ld, place.offset, place.size);
    if (!buffer)
        return false;
    if (rule.block && ld.blockCipher)
        ZR_blockDecipher(buffer, place.size);
    slot->buffer = buffer;
    slot->size = place.size;
    slot->encoded = rule.rollingForm;
    switch (rule.date) {
    case ZR_DateRule::word0:
        ZR_secondsToDate(wordOf(buffer, place.size, 0), &slot->date);
        break;
    case ZR_DateRule::word1:
        ZR_secondsToDate(wordOf(buffer, place.size, 1), &slot->date);
        break;
    case ZR_DateRule::rolling:
        ZR_secondsToDate(rollingStamp(buffer, place.size), &slot->date);
        break;
    case ZR_DateRule::none:
    case ZR_DateRule::stamp:
        break;
    }
    return true;
}

void parseProgramEntry(const uint8_t* e, ZR_ProgramEntry* entry)
{
    std::memcpy(entry->boardKey, e + kZrEntryBoardKeyAt, 4);
    entry->boardKey[4] = 0;
    entry->boardKeyValue = getLe32(e + kZrEntryBoardKeyAt);
    entry->imageOffset = getLe32(e + kZrEntryImageOffsetAt);
    entry->imageSize = getLe32(e + kZrEntryImageSizeAt);
    for (int i = 0; i < ZR_PROGRAM_PARAM_COUNT; ++i)
        entry->params[i] = getLe32(e + kZrEntryParamsAt + 4 * i);
}

bool loadProgram(const Loader& ld, ZR_SectionPlace place, ZR_ProgramSlot* slot)
{
    if (!insideFile(ld, place.offset, place.size))
        return false;
    // A raw copy that cannot be had is left out; the table still loads.
    slot->raw = readRange(ld, place.offset, place.size);
    slot->rawSize = slot->raw ? place.size : 0;

    uint8_t pre[kZrPreHeaderSize] = {};
    const bool preRead = insideFile(ld, place.offset, kZrPreHeaderSize) &&
                         ZR_Stream_seekTo(ld.stream, place.offset) && readExact(ld.stream, pre, kZrPreHeaderSize);
    uint64_t tableStart;
    uint32_t stride;
    if (preRead && getLe32(pre + kZrPreHeaderMagicAt) == kZrPreHeaderMagic &&
        getLe32(pre + kZrPreHeaderSumAt) == bytes::sum32(pre, kZrPreHeaderSumAt)) {
        slot->layout = 1;
        slot->count = getLe32(pre + kZrPreHeaderCountAt);
        tableStart = uint64_t(place.offset) + kZrPreHeaderSize;
        stride = kZrProgramEntrySize;
    } else {
        uint8_t countWord[kZrCountWordSize];
        if (!insideFile(ld, place.offset, kZrCountWordSize) || !ZR_Stream_seekTo(ld.stream, place.offset) ||
            !readExact(ld.stream, countWord, kZrCountWordSize))
            return false;
        slot->layout = 0;
        slot->count = getLe32(countWord);
        tableStart = uint64_t(place.offset) + kZrCountWordSize;
        stride = kZrShortProgramEntrySize;
    }
    // The table is bounded twice: its entries must be in the file, and its
    // records in memory must not outgrow the file either. A 16-byte entry
    // takes several times its size in memory, so a huge count of them would
    // otherwise cost many times the file.
    const uint64_t count = slot->count;
    if (!insideFile(ld, tableStart, count * stride) || count * sizeof(ZR_ProgramEntry) > ld.fileSize) {
        slot->count = 0;
        return false;
    }
    if (count == 0)
        return true;
    slot->entries = allocateZeroed<ZR_ProgramEntry>(count);
    if (!slot->entries || !ZR_Stream_seekTo(ld.stream, uint32_t(tableStart))) {
        slot->count = 0;
        return false;
    }
    for (uint32_t i = 0; i < slot->count; ++i) {
        uint8_t e[kZrProgramEntrySize] = {};
        if (!readExact(ld.stream, e, stride))
            return false;
        parseProgramEntry(e, &slot->entries[i]);
    }
    // Images inside the section are views of the raw copy: boards often share
    // one image, and a table of many entries naming the same bytes must not
    // cost a copy each. Images elsewhere in the file get blocks of their own,
    // together no more than the file's size. An image that is not in the file,
    // or could not be read in full, leaves its entry without image: half an
    // image must never reach the device.
    uint64_t ownBudget = ld.fileSize;
    for (uint32_t i = 0; i < slot->count; ++i) {
        ZR_ProgramEntry& entry = slot->entries[i];
        if (entry.imageSize == 0)
            continue;
        if (slot->raw && uint64_t(entry.imageOffset) + entry.imageSize <= slot->rawSize) {
            entry.image = slot->raw + entry.imageOffset;
        } else if (entry.imageSize <= ownBudget) {
            entry.image = readRange(ld, uint64_t(place.offset) + entry.imageOffset, entry.imageSize);
            entry.ownsImage = entry.image ? 1 : 0;
            ownBudget -= entry.image ? entry.imageSize : 0;
        }
        entry.encoded = entry.image ? 1 : 0;
    }
    return true;
}

// Parses a province table section. Entries point into the section buffer and
// each entry's block is decoded there in place: the blocks follow one another
// without overlap, so this gives the same bytes as decoding copies, without a
// second copy of what is often the largest section.
bool loadProvince(const Loader& ld, ZR_SectionPlace place, bool records, ZR_ProvinceSlot* slot)
{
    uint8_t* buffer = readRange(ld, place.offset, place.size);
    if (!buffer)
        return false;
    slot->buffer = buffer;
    slot->size = place.size;
    if (ld.blockCipher)
        ZR_blockDecipher(buffer, place.size);

    StreamPtr mem(ZR_Stream_openMemory(buffer, place.size));
    if (!mem)
        return false;
    const uint32_t headSize = records ? kZrRecordsHeadSize : kZrItemsHeadSize;
    uint8_t head[kZrRecordsHeadSize];
    if (!readExact(mem.get(), head, headSize))
        return false;
    slot->stamp = getLe32(head);
    if (records) {
        slot->secondWord = getLe32(head + 4);
        slot->recordSize = getLe32(head + 8);
    }
    const uint32_t count = getLe32(head + headSize - 4);
    if (count == 0 || headSize + uint64_t(count) * kZrProvinceEntrySize > place.size)
        return false;
    slot->entries = allocateZeroed<ZR_ProvinceEntry>(count);
    if (!slot->entries)
        return false;
    slot->count = count;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t e[kZrProvinceEntrySize];
        if (!readExact(mem.get(), e, sizeof e))
            return false;
        std::memcpy(slot->entries[i].name, e, kZrProvinceNameSize);
        slot->entries[i].count = getLe32(e + kZrProvinceNameSize);
    }

    uint64_t position = headSize + uint64_t(count) * kZrProvinceEntrySize;
    const uint64_t unit = records ? slot->recordSize : kZrProvinceItemSize;
    for (uint32_t i = 0; i < count; ++i) {
        ZR_ProvinceEntry& entry = slot->entries[i];
        const uint64_t blockBytes = entry.count * unit;
        if (!records && entry.count == 0)
            continue;
        if (blockBytes == 0 || position + blockBytes > place.size)
            return false;
        entry.block = buffer + position;
        if (!records) {
            ZR_rollingXorFromStart(uint32_t(blockBytes), entry.block);
        } else if (ld.blockCipher) {
            ZR_blockDecipher(entry.block, uint32_t(blockBytes));
        }
        position += blockBytes;
    }
    ZR_secondsToDate(slot->stamp, &slot->date);
    return true;
}

bool loadSection(const Loader& ld, ZR_Package* package, ZR_Section section, ZR_SectionPlace place)
{
    switch (section) {
    case ZR_Section::boot:
        if (loadBoot(ld, place, &package->boot))
            return true;
        clearBoot(&package->boot);
        return false;
    case ZR_Section::program:
        if (loadProgram(ld, place, &package->program))
            return true;
        clearProgram(&package->program);
        return false;
    case ZR_Section::gpsProvinceItems:
    case ZR_Section::gpsProvinceRecords: {
        const bool records = section == ZR_Section::gpsProvinceRecords;
        ZR_ProvinceSlot* slot = records ? &package->gpsProvinceRecords : &package->gpsProvinceItems;
        if (loadProvince(ld, place, records, slot))
            return true;
        clearProvince(slot);
        return false;
    }
    default: {
        ZR_SectionSlot* slot = ZR_Package_slot(package, section);
        if (loadPlain(ld, section, place, slot))
            return true;
        clearSlot(slot);
        return false;
    }
    }
}

// ---------------------------------------------------------------------------
// Province assembly

bool sameProvinceName(const char* a, size_t aSize, const char* b, size_t bSize)
{
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    for (size_t i = 0;; ++i) {
        const unsigned char ca = i < aSize ? a[i] : 0;
        const unsigned char cb = i < bSize ? b[i] : 0;
        if (lower(ca) != lower(cb))
            return false;
        if (ca == 0)
            return true;
    }
}

// A record shorter than the 8 bytes the key looks at is keyed as if
// zero-padded, rather than reading into its neighbour.
uint32_t keyOf(const uint8_t* record, uint32_t recordSize)
{
    if (recordSize >= 8)
        return ZR_recordKey(record);
    uint8_t padded[8] = {};
    std::memcpy(padded, record, recordSize);
    return ZR_recordKey(padded);
}

// LSD radix sort of (key << 32 | index) items on their key, a byte at a
// time. A digit that all keys share is skipped: record keys stay below 2^24,
// so sorting them takes three passes. (Two passes of 12 bits measured slower:
// 4096 scatter targets miss the caches more than a third pass costs.) Returns
// whichever of the two arrays holds the result, or null when memory runs out.
uint64_t* radixSortByKey(uint64_t* items, uint64_t* scratch, uint32_t n)
{
    struct Digit {
        int shift;
        uint32_t mask;
    };
    static constexpr Digit kDigits[] = {{32, 0xFF}, {40, 0xFF}, {48, 0xFF}, {56, 0xFF}};
    constexpr int kDigitCount = int(sizeof kDigits / sizeof kDigits[0]);
    static constexpr uint32_t kBuckets = 256;
    Scoped<uint32_t> counts(allocateZeroed<uint32_t>(kDigitCount * kBuckets));
    if (!counts)
        return nullptr;
    uint32_t* count[kDigitCount];
    for (int d = 0; d < kDigitCount; ++d)
        count[d] = counts.get() + d * kBuckets;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t item = items[i];
        for (int d = 0; d < kDigitCount; ++d)
            ++count[d][(item >> kDigits[d].shift) & kDigits[d].mask];
    }
    uint64_t* src = items;
    uint64_t* dst = scratch;
    for (int d = 0; d < kDigitCount; ++d) {
        const Digit digit = kDigits[d];
        if (count[d][(src[0] >> digit.shift) & digit.mask] == n)
            continue;
        uint32_t sum = 0;
        for (uint32_t b = 0; b <= digit.mask; ++b) {
            const uint32_t c = count[d][b];
            count[d][b] = sum;
            sum += c;
        }
        uint32_t* next = count[d];
        for (uint32_t i = 0; i < n; ++i) {
            const uint64_t item = src[i];
            dst[next[(item >> digit.shift) & digit.mask]++] = item;
        }
        std::swap(src, dst);
    }
    return src;
}

struct ProvincePart {
    const uint8_t* records;
    uint32_t count;
};

// Writes the records of the parts, in part order, sorted by key into out.
bool sortRecordsInto(uint8_t* out, const ProvincePart* parts, int partCount, uint32_t total, uint32_t recordSize)
{
    Scoped<uint64_t> items(static_cast<uint64_t*>(allocate(uint64_t(total) * sizeof(uint64_t))));
    Scoped<uint64_t> scratch(static_cast<uint64_t*>(allocate(uint64_t(total) * sizeof(uint64_t))));
    if (!items || !scratch)
        return false;

    // Record i of the concatenation lies in the part whose range holds i. The
    // gather below visits records in key order, so it finds the part through a
    // coarse table of the first part touching each chunk of indices.
    constexpr int kChunkShift = 12;
    const uint32_t chunks = (total >> kChunkShift) + 1;
    Scoped<uint8_t> firstPart(static_cast<uint8_t*>(allocate(chunks)));
    if (!firstPart)
        return false;
    uint32_t starts[PROVINCE_COUNT + 1];
    uint32_t index = 0;
    for (int p = 0; p < partCount; ++p) {
        starts[p] = index;
        const uint8_t* record = parts[p].records;
        for (uint32_t r = 0; r < parts[p].count; ++r, ++index, record += recordSize)
            items[index] = uint64_t(keyOf(record, recordSize)) << 32 | index;
    }
    starts[partCount] = total;
    for (uint32_t c = 0, p = 0; c < chunks; ++c) {
        while (starts[p + 1] <= (c << kChunkShift) && p + 1 < uint32_t(partCount))
            ++p;
        firstPart[c] = uint8_t(p);
    }

    const uint64_t* sorted = radixSortByKey(items.get(), scratch.get(), total);
    if (!sorted)
        return false;
    auto source = [&](uint32_t from) {
        uint32_t p = firstPart[from >> kChunkShift];
        while (starts[p + 1] <= from)
            ++p;
        return parts[p].records + size_t(from - starts[p]) * recordSize;
    };
    // The reads are scattered over the whole selection; fetching a few
    // records ahead keeps the copy from waiting on each one in turn.
    constexpr uint32_t kAhead = 16;
    auto gather = [&](auto copy) {
        for (uint32_t i = 0; i < total; ++i) {
            if (i + kAhead < total)
                __builtin_prefetch(source(uint32_t(sorted[i + kAhead])));
            copy(out + size_t(i) * recordSize, source(uint32_t(sorted[i])));
        }
    };
    if (recordSize == 16) // GPS records are 16 bytes; a fixed-size copy inlines
        gather([](uint8_t* to, const uint8_t* from) { std::memcpy(to, from, 16); });
    else
        gather([recordSize](uint8_t* to, const uint8_t* from) { std::memcpy(to, from, recordSize); });
    return true;
}

} // namespace

// ---------------------------------------------------------------------------

const char* ZR_Section_name(ZR_Section section)
{
    return int(section) < ZR_SECTION_COUNT ? kZrSectionFormats[int(section)].name : "?";
}

const char* ZR_ProgramParam_name(ZR_ProgramParam param)
{
    return int(param) < ZR_PROGRAM_PARAM_COUNT ? kParamNames[int(param)] : "?";
}

void ZR_secondsToDate(uint32_t seconds, ZR_Date* date)
{
    if (!date)
        return;
    constexpr uint32_t kDay = 86400;
    auto leap = [](uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    uint32_t year = 1970;
    uint32_t rest = seconds;
    for (;;) {
        const uint32_t yearLength = (leap(year) ? 366 : 365) * kDay;
        if (rest < yearLength)
            break;
        rest -= yearLength;
        ++year;
    }
    static constexpr uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint32_t month = 0;
    for (; month < 11; ++month) {
        const uint32_t monthLength = (kMonthDays[month] + (month == 1 && leap(year) ? 1 : 0)) * kDay;
        if (rest < monthLength)
            break;
        rest -= monthLength;
    }
    date->year = uint16_t(year);
    date->month = uint8_t(month + 1);
    date->day = uint8_t(rest / kDay + 1);
    date->hour = uint8_t(rest % kDay / 3600);
    date->minute = uint8_t(rest % 3600 / 60);
    date->second = uint8_t(rest % 60);
}

int ZR_PackageHeader_trailerVersion(const ZR_PackageHeader* header)
{
    if (!header)
        return 0;
    switch (header->length) {
    case kV3.length:
        return 3;
    case kV3.size:
        return 2;
    case kV1.size:
        return 1;
    default:
        return 0;
    }
}

int ZR_Package_readHeader(ZR_Stream* stream, ZR_PackageHeader* header, char* title)
{
    if (!stream || !header)
        return 0;
    const int32_t position = ZR_Stream_tell(stream);
    const int64_t size = streamLength(stream);
    *header = ZR_PackageHeader{};

    uint8_t trailer[kZrLargestTrailer];
    bool found = readTrailer(stream, size, kZrTrailerV3Size, trailer) && acceptV3(trailer, header);
    if (!found) {
        *header = ZR_PackageHeader{};
        found = readTrailer(stream, size, kZrTrailerV2Size, trailer) && acceptOld(trailer, 2, header);
    }
    if (!found) {
        *header = ZR_PackageHeader{};
        found = readTrailer(stream, size, kZrTrailerV1Size, trailer) && acceptOld(trailer, 1, header);
    }
    if (!found) {
        *header = ZR_PackageHeader{};
        return 0;
    }
    ZR_Stream_seekTo(stream, position < 0 ? 0 : uint32_t(position));
    if (title)
        std::memcpy(title, header->title, ZR_PACKAGE_TITLE_SIZE);
    return 1;
}

void ZR_Package_setAllocator(const ZR_PackageAllocator* allocator)
{
    gAllocator = allocator ? *allocator : ZR_PackageAllocator{mallocAllocate, mallocRelease, nullptr};
}

ZR_Package* ZR_Package_loadFromStream(ZR_Stream* stream)
{
    if (!stream)
        return nullptr;
    auto* package = allocateZeroed<ZR_Package>(1);
    if (!package)
        return nullptr;
    std::memset(package->title, 0xFF, sizeof package->title);

    Loader ld{stream, uint64_t(streamLength(stream)), false};
    if (!ZR_Package_readHeader(stream, &package->header, package->title)) {
        ZR_LOG("no valid container header");
        ZR_Package_free(package);
        return nullptr;
    }
    ld.blockCipher = package->header.magic == ZR_PACKAGE_MAGIC_BLOCK;

    for (ZR_Section section : kLoadOrder) {
        const ZR_SectionPlace place = package->header.sections[int(section)];
        if (place.size == 0 || (package->header.version < kZrVersionWithEvenVoices && ZR_sectionNeedsVersion5(section)))
            continue;
        if (!loadSection(ld, package, section, place))
            ZR_LOG("section %s (offset %u, size %u) not loaded", ZR_Section_name(section), place.offset,
                   place.size);
    }
    return package;
}

ZR_Package* ZR_Package_load(const char* path)
{
    ZR_Stream* stream = ZR_Stream_openFile(path, ZR_STREAM_READ);
    if (!stream) {
        ZR_LOG("cannot open %s", path ? path : "(null)");
        return nullptr;
    }
    ZR_Package* package = ZR_Package_loadFromStream(stream);
    ZR_Stream_release(stream);
    return package;
}

void ZR_Package_free(ZR_Package* package)
{
    if (!package)
        return;
    clearBoot(&package->boot);
    clearProgram(&package->program);
    for (int s = 0; s < ZR_SECTION_COUNT; ++s)
        if (ZR_SectionSlot* slot = ZR_Package_slot(package, ZR_Section(s)))
            clearSlot(slot);
    clearProvince(&package->gpsProvinceItems);
    clearProvince(&package->gpsProvinceRecords);
    std::memset(package->title, 0, sizeof package->title);
    release(package);
}

ZR_SectionSlot* ZR_Package_slot(ZR_Package* package, ZR_Section section)
{
    if (!package)
        return nullptr;
    switch (section) {
    case ZR_Section::radarMute: return &package->radarMute;
    case ZR_Section::voice: return &package->voice;
    case ZR_Section::gps: return &package->gps;
    case ZR_Section::updateTool: return &package->updateTool;
    case ZR_Section::voice2: return &package->voice2;
    case ZR_Section::voice3: return &package->voice3;
    case ZR_Section::voice4: return &package->voice4;
    case ZR_Section::voice5: return &package->voice5;
    case ZR_Section::voice6: return &package->voice6;
    case ZR_Section::gps2: return &package->gps2;
    case ZR_Section::oled: return &package->oled;
    case ZR_Section::voice7: return &package->voice7;
    case ZR_Section::gps3: return &package->gps3;
    case ZR_Section::voice8: return &package->voice8;
    default: return nullptr;
    }
}

const ZR_SectionSlot* ZR_Package_slot(const ZR_Package* package, ZR_Section section)
{
    return ZR_Package_slot(const_cast<ZR_Package*>(package), section);
}

int ZR_Package_sectionView(const ZR_Package* package, ZR_Section section, ZR_SectionView* view)
{
    if (!package || !view || int(section) >= ZR_SECTION_COUNT)
        return 0;
    *view = ZR_SectionView{};
    const ZR_DateRule rule = ZR_sectionFormat(section).date;
    switch (section) {
    case ZR_Section::boot:
        *view = {package->boot.buffer, package->boot.size, package->boot.encoded, 0, {}};
        return 1;
    case ZR_Section::program:
        *view = {package->program.raw, package->program.rawSize, 0, 0, {}};
        return 1;
    case ZR_Section::gpsProvinceItems:
    case ZR_Section::gpsProvinceRecords: {
        const ZR_ProvinceSlot& slot =
            section == ZR_Section::gpsProvinceItems ? package->gpsProvinceItems : package->gpsProvinceRecords;
        *view = {slot.buffer, slot.size, 0, 1, slot.date};
        return 1;
    }
    default: {
        const ZR_SectionSlot* slot = ZR_Package_slot(package, section);
        *view = {slot->buffer, slot->size, slot->encoded, rule != ZR_DateRule::none, slot->date};
        return 1;
    }
    }
}

ZR_ProgramEntry* ZR_Package_findProgram(ZR_Package* package, uint32_t boardKey)
{
    if (!package || !package->program.entries || package->program.count == 0)
        return nullptr;
    if (package->program.count == 1)
        return &package->program.entries[0];
    // HB6W images were made for a board revision that HB6T boards also run.
    const bool alsoHb6w = boardKey == ZR_boardKey("HB6T");
    for (uint32_t i = 0; i < package->program.count; ++i) {
        ZR_ProgramEntry& entry = package->program.entries[i];
        if (entry.boardKeyValue == boardKey || (alsoHb6w && entry.boardKeyValue == ZR_boardKey("HB6W")))
            return &entry;
    }
    return nullptr;
}

int ZR_Package_assembleProvinceGps(ZR_Package* package, const uint8_t selection[PROVINCE_COUNT])
{
    if (!package || !selection)
        return 0;
    ZR_ProvinceSlot& slot = package->gpsProvinceRecords;
    release(slot.assembled.buffer);
    slot.assembled = ZR_AssembledImage{};

    ProvincePart parts[PROVINCE_COUNT];
    int partCount = 0;
    uint64_t total = 0;
    for (int p = 0; p < PROVINCE_COUNT; ++p) {
        if (!selection[p])
            continue;
        for (uint32_t e = 0; e < slot.count; ++e) {
            const ZR_ProvinceEntry& entry = slot.entries[e];
            if (!sameProvinceName(entry.name, sizeof entry.name, ProvinceTable[p], PROVINCE_NAME_FIELD))
                continue;
            if (entry.block && entry.count) {
                parts[partCount++] = {entry.block, entry.count};
                total += entry.count;
            }
            break;
        }
    }
    if (total > UINT32_MAX)
        return 0;
    const uint64_t length = 16 + total * slot.recordSize;
    if (length > UINT32_MAX)
        return 0;
    auto* image = static_cast<uint8_t*>(allocate(length));
    if (!image)
        return 0;
    bytes::putLe32(image, slot.stamp);
    bytes::putLe32(image + 4, slot.secondWord);
    bytes::putLe32(image + 8, slot.recordSize);
    bytes::putLe32(image + 12, uint32_t(total));
    if (total > 0 && !sortRecordsInto(image + 16, parts, partCount, uint32_t(total), slot.recordSize)) {
        release(image);
        return 0;
    }
    slot.assembled = {image, uint32_t(length), 0};
    ZR_secondsToDate(slot.stamp, &slot.date);
    return 1;
}
