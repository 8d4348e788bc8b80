// Opening a file the user named as a package: only a regular file will do.
// Anything else (a FIFO, a device, a folder, a socket) would block a read,
// never end or make no sense as a container, so it is refused at once.
#pragma once

#include <string>

// Opens path for reading without waiting on a FIFO's writer or a device, and
// keeps the descriptor only when fstat says it is a regular file. Returns the
// descriptor (in blocking mode, close-on-exec), which the caller closes, or -1
// with *reason (when reason is not null) set to why: "no such file", "a FIFO,
// not a regular file", "a folder, not a regular file", "a device, not a
// regular file", "a socket, not a regular file", or the system's error text.
int ZR_openRegularFile(const char* path, std::string* reason);

// True when path opens as ZR_openRegularFile opens it (the file is closed
// again); otherwise false with *reason as above.
bool ZR_isRegularFile(const char* path, std::string* reason);
