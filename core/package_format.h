// The layout of an update container (.dzr) as a set of facts: what each
// section is, where the fields of the three header trailers, the program
// table and the province tables lie, and the size limits a header must keep.
// The loader (core/package.cpp) reads by these facts and the container
// builder (tools/container_builder.cpp) writes by them, so the two cannot
// drift apart; the tests keep a hand-laid writer of their own as the
// independent check.
//
// All words in a container are 32-bit little-endian; offsets below are in
// bytes from the start of the record they belong to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/package.h"

// ---------------------------------------------------------------------------
// Sections

// Where a section's date stamp comes from.
enum class ZR_DateRule : uint8_t {
    none,
    word0,   // word 0 of the section
    word1,   // word 1 of the section (the older voice header: total, date, ...)
    rolling, // word 0 of the first 256 bytes after the rolling XOR
    stamp,   // the province tables' own stamp word
};

struct ZR_SectionFormat {
    const char* name;   // as ZR_Section_name gives it
    bool block;         // TEA-enciphered as a whole in containers with ZR_PACKAGE_MAGIC_BLOCK
    bool rollingForm;   // kept in memory, and sent to the device, in rolling-XOR form (the slot's encoded flag)
    ZR_DateRule date;
};

// Indexed by ZR_Section.
inline constexpr ZR_SectionFormat kZrSectionFormats[ZR_SECTION_COUNT] = {
    {"boot", false, true, ZR_DateRule::none},
    {"program", false, false, ZR_DateRule::none},
    {"radarMute", true, false, ZR_DateRule::word0},
    {"voice", false, false, ZR_DateRule::word1},
    {"gps", true, true, ZR_DateRule::rolling},
    {"updateTool", false, false, ZR_DateRule::none},
    {"voice2", false, false, ZR_DateRule::word1},
    {"gpsProvinceItems", true, false, ZR_DateRule::stamp},
    {"voice3", false, false, ZR_DateRule::word1},
    {"voice4", false, false, ZR_DateRule::word1},
    {"voice5", false, false, ZR_DateRule::word1},
    {"voice6", false, false, ZR_DateRule::word1},
    {"gps2", true, true, ZR_DateRule::rolling},
    {"oled", false, true, ZR_DateRule::rolling},
    {"voice7", false, false, ZR_DateRule::word0},
    {"gps3", true, false, ZR_DateRule::word0},
    {"voice8", false, false, ZR_DateRule::word0},
    {"gpsProvinceRecords", true, false, ZR_DateRule::stamp},
};

constexpr const ZR_SectionFormat& ZR_sectionFormat(ZR_Section section)
{
    return kZrSectionFormats[int(section)];
}

// voice2, voice4 and voice6 exist only from format version 5 on.
inline constexpr uint32_t kZrVersionWithEvenVoices = 5;

constexpr bool ZR_sectionNeedsVersion5(ZR_Section section)
{
    return section == ZR_Section::voice2 || section == ZR_Section::voice4 || section == ZR_Section::voice6;
}

// ---------------------------------------------------------------------------
// Header trailers

// The three trailers differ in size and in where the title and the section
// pairs sit. Each starts with its length word (its size less 4) and ends with
// the byte sum of everything before the sum.
struct ZR_TrailerLayout {
    uint32_t size;      // bytes at the end of the file
    uint32_t length;    // the length word at offset 0
    uint32_t titleAt;   // the 256-byte title
    uint32_t pairsAt;   // the (offset, size) pairs in section table order
    int pairCount;      // sections the trailer describes
};

// Indexed by header version 1, 2 and 3; entry 0 is no trailer.
inline constexpr ZR_TrailerLayout kZrTrailers[4] = {
    {0, 0, 0, 0, 0},
    {304, 300, 4, 260, 5},
    {320, 316, 8, 264, 5},
    {520, 516, 8, 264, ZR_SECTION_COUNT},
};
inline constexpr uint32_t kZrTrailerV1Size = kZrTrailers[1].size;
inline constexpr uint32_t kZrTrailerV2Size = kZrTrailers[2].size;
inline constexpr uint32_t kZrTrailerV3Size = kZrTrailers[3].size;
inline constexpr uint32_t kZrLargestTrailer = kZrTrailerV3Size;

// Version 3 only.
inline constexpr uint32_t kZrTrailerVersionAt = 4;   // format version
inline constexpr uint32_t kZrTrailerReservedAt = 408; // 104 bytes, not interpreted
inline constexpr uint32_t kZrTrailerMagicAt = 512;
inline constexpr uint32_t kZrTrailerReservedSize = kZrTrailerMagicAt - kZrTrailerReservedAt;

// The check word: the last word of every trailer.
constexpr uint32_t ZR_trailerCheckAt(const ZR_TrailerLayout& layout) { return layout.size - 4; }

// Where pair n's offset and size words lie inside a trailer.
constexpr uint32_t ZR_pairOffsetAt(const ZR_TrailerLayout& layout, int n) { return layout.pairsAt + 8 * uint32_t(n); }
constexpr uint32_t ZR_pairSizeAt(const ZR_TrailerLayout& layout, int n) { return ZR_pairOffsetAt(layout, n) + 4; }

static_assert(kZrTrailers[1].titleAt + ZR_PACKAGE_TITLE_SIZE == kZrTrailers[1].pairsAt);
static_assert(kZrTrailers[3].pairsAt + 8 * ZR_SECTION_COUNT == kZrTrailerReservedAt);
static_assert(ZR_pairOffsetAt(kZrTrailers[1], 5) == ZR_trailerCheckAt(kZrTrailers[1]));

// Size limits a header must keep. Versions 1 and 2 were made for devices with
// fixed areas, so four sections are bounded by those areas; version 3 bounds
// only the boot loader ("below 32769").
struct ZR_SectionLimit {
    ZR_Section section;
    uint32_t maxSize; // largest accepted size, inclusive
};
inline constexpr ZR_SectionLimit kZrOldHeaderLimits[] = {
    {ZR_Section::boot, 0x8000},
    {ZR_Section::radarMute, 819200},
    {ZR_Section::voice, 0x200000},
    {ZR_Section::gps, 0x522000},
};
inline constexpr uint32_t kZrV3BootLimit = 32768;

// The largest container there can be. Offsets and sizes in a header are
// 32-bit, but a container is read through a stream whose length is a signed
// 32-bit count (core/stream.h): the trailer of a longer file is never found,
// and the file is no container. Most sections carry no size limit of their
// own, so this length, not a sum of section limits, is the bound; anything
// that unpacks a container may stop at it.
inline constexpr uint64_t kZrMaxContainerSize = uint64_t(INT32_MAX);

// ---------------------------------------------------------------------------
// Program table

// With pre-header: 60 bytes (magic in word 1, entry count in word 3, the sum
// of bytes 0-55 in word 14), then 220-byte entries. Without (magic or sum do
// not match): a count word, then 16-byte entries holding the first four
// fields only.
inline constexpr uint32_t kZrPreHeaderSize = 60;
inline constexpr uint32_t kZrPreHeaderMagic = 0x12345678;
inline constexpr uint32_t kZrPreHeaderMagicAt = 4;
inline constexpr uint32_t kZrPreHeaderCountAt = 12;
inline constexpr uint32_t kZrPreHeaderSumAt = 56;
inline constexpr uint32_t kZrCountWordSize = 4;
inline constexpr uint32_t kZrProgramEntrySize = 220;
inline constexpr uint32_t kZrShortProgramEntrySize = 16;

// Fields of a program entry.
inline constexpr uint32_t kZrEntryBoardKeyAt = 0;
inline constexpr uint32_t kZrEntryImageOffsetAt = 4; // from the start of the program section
inline constexpr uint32_t kZrEntryImageSizeAt = 8;
inline constexpr uint32_t kZrEntryParamsAt = 16;     // ZR_PROGRAM_PARAM_COUNT words

static_assert(kZrEntryParamsAt + 4 * ZR_PROGRAM_PARAM_COUNT <= kZrProgramEntrySize);

// ---------------------------------------------------------------------------
// Province tables

// Head: stamp and count for items; stamp, second word, record size and count
// for records. Then count entries of a 50-byte GBK name and an item or record
// count, then each entry's items or records in entry order.
inline constexpr uint32_t kZrItemsHeadSize = 8;
inline constexpr uint32_t kZrRecordsHeadSize = 16;
inline constexpr uint32_t kZrProvinceNameSize = 50;
inline constexpr uint32_t kZrProvinceEntrySize = kZrProvinceNameSize + 4;
inline constexpr uint32_t kZrProvinceItemSize = 12;
