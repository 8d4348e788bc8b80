// Paths of the temporary files an update run leaves in the system's temporary
// directory (the unpacked container, downloaded packages, version files).
#pragma once

// The directory separator of this platform.
inline constexpr char ZR_PATH_SEPARATOR = '/';

// Fills buffer (1024 bytes, zeroed first) with the system's temporary
// directory, ending in exactly one separator, followed by name: "/tmp/Tmp".
// The directory is $TMPDIR, or /tmp when that is unset, empty or too long to
// leave room for a name. The name is appended only when the whole text stays
// below 1023 characters; a name that does not fit is left out rather than cut,
// so the result never names some other file. A null name counts as empty; a
// null buffer does nothing.
void ZR_tempPath(char buffer[1024], const char* name);
