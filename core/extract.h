// Unpacking an update container (.dzr) from the zip archive it was delivered
// in, into a stream the container reader can then load.
#pragma once

#include <cstdint>

struct ZR_Stream;

// Drives the caller's progress bar during an extraction: range is the bar's
// full scale (the entry's uncompressed size, low 32 bits) and position the
// bytes written so far. The first call carries position 0; later ones rise to
// the entry's size. Called on the extracting thread.
typedef void (*ZR_ExtractProgressFn)(void* user, uint32_t range, uint64_t position);

// Writes the uncompressed bytes of the archive's first container entry into
// sink, a write-mode stream the caller owns (it is neither flushed nor
// released here). The container entry is the first entry, in archive order,
// with a non-zero size whose last name component has the extension "dzr" in any
// case, or is "dzr" itself. Only the first 1023 characters of archivePath are
// used. progress may be null; a sink without a handle or write operation
// receives nothing, though the entry is still read and checked.
//
// An entry larger than ZR_EXTRACT_MAX_ENTRY_SIZE is refused before anything
// is written (its recorded size is checked first, and the count of bytes
// actually inflated too, so a lying size cannot carry it past the bound).
//
// Returns 1 when the entry was extracted whole and its CRC-32 matched, and also
// when the archive holds no container entry at all (the sink then stays
// untouched and the following load fails). Returns 0 when the archive cannot be
// opened or walked, the entry is too large, cannot be opened, its data is corrupt (an inflate
// or read error, a CRC mismatch, fewer bytes than its recorded size); the sink
// may then hold part of the entry and must be discarded.
int ZR_extractContainer(const char* archivePath, ZR_ExtractProgressFn progress, void* user, ZR_Stream* sink);

// The largest container a zip entry may hold. A container carries at most
// eighteen sections; the ones with a fixed bound (boot 32 KiB, radar-mute
// 800 KiB, voice 2 MiB, GPS 0x522000 bytes) add up to about 8.3 MiB, and the
// further voice and GPS variants are of the same order, so even a container
// filling every slot stays well under this. Anything larger is not a
// container, and unpacking it would only fill the temporary folder.
inline constexpr uint64_t ZR_EXTRACT_MAX_ENTRY_SIZE = uint64_t(64) << 20;

// ZR_extractContainer with a bound of maxEntrySize bytes instead of
// ZR_EXTRACT_MAX_ENTRY_SIZE.
int ZR_extractContainerBounded(const char* archivePath, ZR_ExtractProgressFn progress, void* user, ZR_Stream* sink,
                               uint64_t maxEntrySize);
