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
// Returns 1 when the entry was extracted whole and its CRC-32 matched, and also
// when the archive holds no container entry at all (the sink then stays
// untouched and the following load fails). Returns 0 when the archive cannot be
// opened or walked, the entry cannot be opened, its data is corrupt (an inflate
// or read error, a CRC mismatch, fewer bytes than its recorded size); the sink
// may then hold part of the entry and must be discarded.
int ZR_extractContainer(const char* archivePath, ZR_ExtractProgressFn progress, void* user, ZR_Stream* sink);
