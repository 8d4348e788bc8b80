// Update containers (.dzr): the header trailer, the loaded package with one
// slot per section, the choice of a program image for a board and the
// assembly of GPS data from the provinces a user picked.
//
// A container is untrusted input. Every offset, size and count in it is
// checked, in 64 bits, against what the file (or, inside a section, the
// section buffer) actually holds before anything is allocated or read: no
// single allocation outgrows the bytes it stands for, and program entries that
// name the same bytes share them. A section that does not check out is left
// empty and the others still load.
//
// Loading keeps no shared cipher state, so a load cannot disturb a device
// write that runs at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/province_table.h"

struct ZR_Stream;

// ---------------------------------------------------------------------------
// Sections

// The sections in the order of the header's section table.
enum class ZR_Section : uint8_t {
    boot,
    program,
    radarMute,
    voice,
    gps,
    updateTool,
    voice2, // only in format version 5 and later
    gpsProvinceItems,
    voice3,
    voice4, // only in format version 5 and later
    voice5,
    voice6, // only in format version 5 and later
    gps2,
    oled,
    voice7,
    gps3,
    voice8,
    gpsProvinceRecords,
};
inline constexpr int ZR_SECTION_COUNT = 18;

// "boot", "program", "radarMute", ... as in the enum; "?" out of range.
const char* ZR_Section_name(ZR_Section section);

// ---------------------------------------------------------------------------
// Dates

// A section's date stamp, broken down. No time zone, no leap seconds.
struct ZR_Date {
    uint8_t second; // 0-59
    uint8_t minute; // 0-59
    uint8_t hour;   // 0-23
    uint8_t day;    // 1-31
    uint8_t month;  // 1-12
    uint16_t year;  // 1970-2106
};

// Seconds since 1970-01-01 00:00:00 to a date. A null date is ignored.
void ZR_secondsToDate(uint32_t seconds, ZR_Date* date);

// ---------------------------------------------------------------------------
// Header trailer

inline constexpr uint32_t ZR_PACKAGE_MAGIC_PLAIN = 0x12345678; // sections stored as they are
inline constexpr uint32_t ZR_PACKAGE_MAGIC_BLOCK = 0x12345679; // GPS-type sections TEA-enciphered

inline constexpr uint32_t ZR_PACKAGE_TITLE_SIZE = 256;

struct ZR_SectionPlace {
    uint32_t offset; // absolute file offset
    uint32_t size;   // bytes; 0 means the section is absent
};

// The header of any trailer version, normalised to the 520-byte layout.
struct ZR_PackageHeader {
    uint32_t length;                      // 516 from a version 3 trailer, 520 from version 2, 304 from version 1
    uint32_t version;                     // format version; voice2/4/6 exist from 5 on; 3 for version 2, 1 for version 1
    char title[ZR_PACKAGE_TITLE_SIZE];    // client the package is made for, GBK, zero-padded
    ZR_SectionPlace sections[ZR_SECTION_COUNT]; // indexed by ZR_Section; versions 1 and 2 fill the first five
    uint8_t reserved[104];                // not interpreted
    uint32_t magic;                       // ZR_PACKAGE_MAGIC_*; 0 from versions 1 and 2
    uint32_t check;                       // byte sum of a version 3 trailer; 0 from versions 1 and 2
};

// Which trailer the header came from (3, 2 or 1, told apart by the normalised
// length); 0 for a header that was never filled.
int ZR_PackageHeader_trailerVersion(const ZR_PackageHeader* header);

// Finds the trailer at the end of the stream (through its size operation),
// trying version 3, then 2, then 1, and normalises it into *header. Copies the
// 256-byte title to title when that is not null. Leaves the stream where it
// was. 1 on success; 0 when no trailer checks out or stream/header is missing.
int ZR_Package_readHeader(ZR_Stream* stream, ZR_PackageHeader* header, char* title);

// ---------------------------------------------------------------------------
// The package record

// Plain sections: boot's is ZR_BootSlot, the other fifteen these.
struct ZR_SectionSlot {
    ZR_Date date;     // from the section's stamp word; zero for updateTool
    uint8_t* buffer;  // section bytes (after the block decipher where that applies); owned
    uint32_t size;    // bytes in buffer; 0 when absent or failed
    uint32_t encoded; // 1: bytes still in rolling-XOR form, sent to the device as they are
};

struct ZR_BootSlot {
    uint8_t* buffer;         // boot loader image as stored; owned
    uint32_t size;           // bytes; 0 when absent or failed
    uint32_t encoded;        // 1 once loaded
    uint32_t secondTransfer; // set to 0 by the loader; the machine layer's flag
};

// The thirteen per-board words of a program entry, in file order.
enum class ZR_ProgramParam : uint8_t {
    serverDataSize,
    secondVoice,
    paramWord,
    altLayout,
    voice5,
    gps2,
    layoutReset,
    trackDataSize,
    paramMagic,
    oled,
    gps3,
    voice7,
    writeMode,
};
inline constexpr int ZR_PROGRAM_PARAM_COUNT = 13;

// "serverDataSize", "secondVoice", ... as in the enum; "?" out of range.
const char* ZR_ProgramParam_name(ZR_ProgramParam param);

// One program image of the program table (220 bytes in the file).
struct ZR_ProgramEntry {
    char boardKey[5];        // the four ASCII characters of the board, zero-terminated for printing
    uint32_t boardKeyValue;  // the same four bytes as a little-endian word, as boards are compared
    uint32_t imageOffset;    // from the start of the program section
    uint32_t imageSize;      // as the table says; 0 means no image
    uint8_t* image;          // the loaded image (imageSize bytes), read-only; null when not loaded
    uint32_t params[ZR_PROGRAM_PARAM_COUNT]; // indexed by ZR_ProgramParam
    uint32_t encoded;        // 1 when image holds the image, else 0
    uint32_t ownsImage;      // 1: image is a block of its own; 0: it lies in the program slot's raw copy
};

inline uint32_t ZR_ProgramEntry_param(const ZR_ProgramEntry* entry, ZR_ProgramParam param)
{
    return entry->params[int(param)];
}

struct ZR_ProgramSlot {
    uint8_t* raw;             // the whole section as read, owned; null when it could not be read. Images inside it point here
    uint32_t rawSize;         // bytes in raw
    uint32_t layout;          // 1: 60-byte pre-header and 220-byte entries; 0: count word and 16-byte entries
    uint32_t count;           // entries in the table
    ZR_ProgramEntry* entries; // owned; null when count is 0
};

// One entry of a province table.
struct ZR_ProvinceEntry {
    char name[52];  // GBK, 50 bytes from the file and two zero bytes
    uint32_t count; // items (12 bytes each) or records (recordSize bytes each)
    uint8_t* block; // the entry's items or records, decoded; points into the section buffer
};

// An image built for the device from province data.
struct ZR_AssembledImage {
    uint8_t* buffer;  // owned; null when not built
    uint32_t size;    // bytes
    uint32_t encoded; // always 0: assembled data is plain
};

// gpsProvinceItems and gpsProvinceRecords. The section buffer holds the
// section after the whole-section decipher; each entry's block is decoded in
// place there (rolling XOR for items, the second decipher for records), so the
// entries need no copies of their own.
struct ZR_ProvinceSlot {
    ZR_Date date;               // from stamp
    uint8_t* buffer;            // the section, owned; null when absent or failed
    uint32_t size;              // bytes in buffer
    uint32_t stamp;             // seconds since 1970
    uint32_t secondWord;        // records only: carried into the assembled image
    uint32_t recordSize;        // records only: bytes per GPS record
    uint32_t count;             // entries
    ZR_ProvinceEntry* entries;  // owned; null when count is 0
    ZR_AssembledImage assembled; // records: ZR_Package_assembleProvinceGps's image; items: never filled
};

struct ZR_Package {
    char title[ZR_PACKAGE_TITLE_SIZE]; // from the header; 0xFF bytes until a header has been read
    ZR_BootSlot boot;
    ZR_ProgramSlot program;
    ZR_SectionSlot radarMute; // deciphered; date from word 0
    ZR_SectionSlot gps;       // deciphered, still rolling-XOR encoded
    ZR_SectionSlot voice;     // date from word 1, as for voice2 to voice6
    ZR_SectionSlot voice2;
    ZR_SectionSlot updateTool;
    ZR_SectionSlot oled;      // rolling-XOR encoded
    ZR_SectionSlot voice3;
    ZR_SectionSlot voice4;
    ZR_SectionSlot voice5;
    ZR_SectionSlot voice6;
    ZR_SectionSlot voice7;    // date from word 0, as for voice8
    ZR_SectionSlot voice8;
    ZR_SectionSlot gps2;      // deciphered, still rolling-XOR encoded
    ZR_SectionSlot gps3;      // deciphered, plain
    ZR_ProvinceSlot gpsProvinceItems;
    ZR_ProvinceSlot gpsProvinceRecords;
    ZR_PackageHeader header;  // the normalised header the package was loaded from
};

// Loads the container at path. Null when the file does not open, has no valid
// header or memory for the record runs out; otherwise a package whose failed
// or absent sections have size 0. Free it with ZR_Package_free.
ZR_Package* ZR_Package_load(const char* path);

// The same over an open stream, which stays the caller's. Sections are read at
// absolute offsets, and the container's length is what the stream's size
// operation reports: seek a memory stream to its end before the call.
ZR_Package* ZR_Package_loadFromStream(ZR_Stream* stream);

// Frees every buffer, table, image and assembled image, then the record. Null
// is ignored.
void ZR_Package_free(ZR_Package* package);

// Owns a loaded package.
struct ZR_PackageFreer {
    void operator()(ZR_Package* package) const { ZR_Package_free(package); }
};
using PackagePtr = std::unique_ptr<ZR_Package, ZR_PackageFreer>;

// The plain slot of one of the fifteen sections with a ZR_SectionSlot; null for
// boot, program and the province sections, or when package is null.
ZR_SectionSlot* ZR_Package_slot(ZR_Package* package, ZR_Section section);
const ZR_SectionSlot* ZR_Package_slot(const ZR_Package* package, ZR_Section section);

// A uniform view of any section for listings.
struct ZR_SectionView {
    const uint8_t* buffer; // boot image, program raw copy, section bytes
    uint32_t size;
    uint32_t encoded;      // program: 0 (its images carry their own flags)
    int hasDate;           // 0 for boot, program and updateTool
    ZR_Date date;
};

// Fills *view for the section. 1 on success, 0 for a null argument or an
// unknown section.
int ZR_Package_sectionView(const ZR_Package* package, ZR_Section section, ZR_SectionView* view);

// Where the package's memory comes from: every buffer, table, image and the
// record itself. The default is malloc/free. Tests and the fuzz target put a
// counting or failing allocator in, to check that no hostile size reaches it
// and that every failed allocation is survived.
struct ZR_PackageAllocator {
    void* (*allocate)(void* context, size_t size); // null when out of memory
    void (*release)(void* context, void* block);   // never called with null
    void* context;
};

// Replaces the allocator for later loads, assemblies and frees; null restores
// malloc/free. Process-wide and unlocked: set it while no package is alive.
void ZR_Package_setAllocator(const ZR_PackageAllocator* allocator);

// Board keys as the device reports them: the four characters as a
// little-endian word.
constexpr uint32_t ZR_boardKey(const char* fourChars)
{
    return uint32_t(uint8_t(fourChars[0])) | uint32_t(uint8_t(fourChars[1])) << 8 |
           uint32_t(uint8_t(fourChars[2])) << 16 | uint32_t(uint8_t(fourChars[3])) << 24;
}

// The program entry for a board: the only entry of a one-entry table whatever
// its key, else the first entry keyed boardKey ("HB6T" boards also take
// "HB6W"). Null when there is no table or no match.
ZR_ProgramEntry* ZR_Package_findProgram(ZR_Package* package, uint32_t boardKey);

// Builds gpsProvinceRecords.assembled from the provinces whose flag in
// selection (indexed like ProvinceTable) is not 0: a 16-byte head (stamp,
// second word, record size, record total) and the provinces' records sorted by
// ZR_recordKey. Replaces a previous image. 1 on success; 0 when package or
// selection is null or memory runs out (no image then).
int ZR_Package_assembleProvinceGps(ZR_Package* package, const uint8_t selection[PROVINCE_COUNT]);
