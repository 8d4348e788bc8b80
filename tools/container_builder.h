// The container builder: turns a description of a package (ContainerSpec)
// into the bytes of an update container that ZR_Package_load reads back to
// exactly that description. Every section is given in the form the loaded
// package holds it; the builder applies the ciphers the loader undoes.
//
// Anything the loader could not give back unchanged (a block-enciphered
// section whose length is not a multiple of 8, parameter words without the
// pre-header, a version 3 boot image of 32769 bytes, voice2 in a format
// version 4 container, ...) is refused with an error text instead of being
// written in a form that would load differently.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/package.h"

// Sections are named by the loader's ZR_Section, in header table order;
// version 1 and 2 headers carry the first five only.
inline constexpr int kContainerSectionCount = ZR_SECTION_COUNT;

// Looks a section up by its ZR_Section_name ("radarMute"); false for an
// unknown name.
bool ContainerSection_fromName(std::string_view name, ZR_Section* section);

// Parameter words are indexed by ZR_ProgramParam and named in manifests by
// ZR_ProgramParam_name ("serverDataSize", "altLayout", ...).

struct ProgramEntrySpec {
    std::string board;                 // board key, 1 to 4 ASCII characters, NUL-padded in the file
    std::vector<uint8_t> image;        // as the package keeps it (rolling-XOR form); empty: no image
    std::array<uint32_t, ZR_PROGRAM_PARAM_COUNT> params{}; // by ZR_ProgramParam
};

struct ProgramTableSpec {
    bool preHeader = true;                 // 60-byte pre-header and 220-byte entries; else 16-byte entries
    std::vector<ProgramEntrySpec> entries; // at least one
};

struct ProvinceItemsEntrySpec {
    std::string name;           // GBK, at most 50 bytes
    std::vector<uint8_t> items; // plain 12-byte items, as the loader gives them back
};

struct ProvinceItemsSpec {
    uint32_t stamp = 0;                         // seconds since 1970
    std::vector<ProvinceItemsEntrySpec> entries; // at least one
};

struct ProvinceRecordsEntrySpec {
    std::string name;             // GBK, at most 50 bytes
    std::vector<uint8_t> records; // plain records, a non-zero multiple of the record size
};

struct ProvinceRecordsSpec {
    uint32_t stamp = 0;      // seconds since 1970
    uint32_t secondWord = 0; // carried unchanged into the assembled GPS image
    uint32_t recordSize = 16;
    std::vector<ProvinceRecordsEntrySpec> entries; // at least one
};

struct ContainerSpec {
    uint32_t headerVersion = 3;  // 1, 2 or 3: the trailer is 304, 320 or 520 bytes
    uint32_t formatVersion = 5;  // version 3 only; voice2, voice4 and voice6 need 5 or more
    std::string title;           // GBK, at most 256 bytes, zero-padded in the header
    uint32_t magic = ZR_PACKAGE_MAGIC_PLAIN; // version 3 only; versions 1 and 2 are always plain

    // Plain sections (all but program and the two province tables) in the
    // form the loaded package holds them; empty means absent:
    //   radarMute, gps3               plain bytes (enciphered here under the block magic)
    //   gps, gps2                     rolling-XOR form (enciphered here under the block magic)
    //   boot, oled                    rolling-XOR form, stored as given
    //   voice..voice8, updateTool     stored as given
    // ContainerBuilder_rollingForm makes the rolling-XOR form of plain data.
    std::array<std::vector<uint8_t>, kContainerSectionCount> sections;
    std::optional<ProgramTableSpec> program;
    std::optional<ProvinceItemsSpec> provinceItems;
    std::optional<ProvinceRecordsSpec> provinceRecords;

    // Order of the section bodies in the file; sections not listed follow in
    // table order. The header trailer always comes last.
    std::vector<ZR_Section> order;
    uint32_t alignment = 1; // each section body starts at a multiple of this, zero-filled between

    std::vector<uint8_t>& section(ZR_Section s) { return sections[size_t(s)]; }
    const std::vector<uint8_t>& section(ZR_Section s) const { return sections[size_t(s)]; }
};

// Builds the container into *out (replaced). Returns false with a text in
// *error (when not null), and *out untouched, when the ContainerSpec cannot be written
// so that the loader reads it back unchanged.
bool ContainerBuilder_build(const ContainerSpec& spec, std::vector<uint8_t>* out, std::string* error);

// Builds the container and writes it to path. False with *error on a spec
// error or a file error (the file may then be partly written).
bool ContainerBuilder_writeFile(const ContainerSpec& spec, const std::string& path, std::string* error);

// Reads a JSON manifest (docs/container-manifest.md) and the data files it
// names (relative to the manifest's folder) into *spec (replaced on success).
// Errors name the manifest and the field: "m.json: sections.gps.file: ...".
bool ContainerBuilder_fromManifest(const std::string& manifestPath, ContainerSpec* spec, std::string* error);

// The rolling-XOR form of plain bytes: what ZR_rollingXorReset followed by
// ZR_rollingXor over the whole buffer turns back into `plain`. Leaves the
// process-wide rolling XOR state alone.
std::vector<uint8_t> ContainerBuilder_rollingForm(std::vector<uint8_t> plain);
// The inverse: the plain bytes behind a rolling-XOR form. Also stateless.
std::vector<uint8_t> ContainerBuilder_plainForm(std::vector<uint8_t> rolling);

// Writes a date stamp (seconds since 1970) where the loader reads the
// section's date: word 0 or word 1 of the bytes, and for gps, gps2 and oled
// word 0 of the plain form behind the rolling XOR (the rest of the section
// is re-encoded, since every later stretch depends on it). `data` is in the
// section's in-memory form. False with *error for a section without a date
// or data too short to hold the word.
bool ContainerBuilder_stamp(ZR_Section section, uint32_t seconds, std::vector<uint8_t>* data,
                            std::string* error);

// Seconds since 1970-01-01 00:00:00 of a date (no time zone, no leap
// seconds), the inverse of ZR_secondsToDate; nullopt outside 1970 to
// 2106-02-07 06:28:15 or for an impossible date.
std::optional<uint32_t> ContainerBuilder_secondsFromDate(int year, int month, int day, int hour = 0,
                                                         int minute = 0, int second = 0);

// One file of a zip archive.
struct ZipEntry {
    std::string name;          // path inside the archive, '/'-separated
    std::vector<uint8_t> data;
};

// Writes a zip archive holding the entries (deflated, in the given order,
// all dated 2024-01-01 so the archive's bytes depend on the entries alone).
// False with *error when the archive cannot be written.
bool ContainerBuilder_zip(const std::string& zipPath, const std::vector<ZipEntry>& entries, std::string* error);
