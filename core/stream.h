// Byte streams over a file, a caller's memory block or a memory block that
// grows as it is written. Callers hold a ZR_Stream and never need to know which
// kind it is: every kind answers the same eight operations.
//
// Ownership: a stream record lives on the heap, allocated with `new ZR_Stream`
// (by ZR_Stream_openFile / ZR_Stream_openMemory, or by a caller that then hands
// it to ZR_Stream_initFile / ZR_Stream_initMemory) and destroyed by
// ZR_Stream_release, which deletes it. A stream is used by one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "core/printf_format.h"

// Stream kinds; a file stream opens with the mode in the comment.
inline constexpr uint8_t ZR_STREAM_READ = 0;   // "rb"; memory streams are always READ
inline constexpr uint8_t ZR_STREAM_WRITE = 1;  // "wb": create or truncate
inline constexpr uint8_t ZR_STREAM_APPEND = 2; // "ab"

// What one kind of stream does. Every slot takes the stream's handle.
// A single read or write moves at most INT32_MAX bytes so that counts fit the
// signed results.
struct ZR_StreamOps {
    // Releases the handle; the handle is invalid afterwards. 0 on success.
    int (*close)(void* handle);
    // Absolute position from the start. 1 on success, 0 on failure.
    int (*seek)(void* handle, uint32_t offset);
    // Current position; -1 when unknown or beyond INT32_MAX.
    int32_t (*tell)(void* handle);
    // Up to count bytes into buffer. Bytes read; a file gives -1 when none was
    // read, a memory stream 0 at its end.
    int32_t (*read)(void* handle, void* buffer, uint32_t count);
    // count bytes from data. Bytes written; a file gives -1 when none was
    // written, a memory stream 0 when its block is full.
    int32_t (*write)(void* handle, const void* data, uint32_t count);
    // A file's length (-1 when unknown); for a memory stream the bytes before
    // the cursor, i.e. what has been written to a growable block.
    int32_t (*size)(void* handle);
    // Pushes buffered bytes out; nothing to do for memory.
    void (*flush)(void* handle);
    // 1 at the end of the data, else 0.
    int (*atEnd)(void* handle);
};

struct ZR_Stream {
    uint8_t refCount;        // 1 when created; the stream is destroyed when it drops to 0
    uint8_t kind;            // ZR_STREAM_READ, _WRITE or _APPEND
    void* handle;            // FILE* or ZR_MemBlock*; null when opening failed
    const ZR_StreamOps* ops; // the eight operations of this kind; null when opening failed
};

// Handle of a memory stream. Invariant: start <= cursor <= end.
struct ZR_MemBlock {
    int32_t owns;    // 1: the stream allocated the buffer and may grow and free it; 0: the caller's
    uint8_t* start;  // first byte of the buffer
    uint8_t* cursor; // read/write position
    uint8_t* end;    // one past the last usable byte: capacity of a growable block, data end of a caller's
};

// Clears *stream and opens path with the kind's mode (any kind other than WRITE
// or APPEND reads). A stream that reads opens regular files only: a FIFO,
// device or folder is refused at once instead of blocking or reading garbage.
// 1 on success; 0 with a null handle and no operations when the file does not
// open (the caller still releases the record).
int ZR_Stream_initFile(int kind, ZR_Stream* stream, const char* path);

// A new file stream, or null when the file does not open.
ZR_Stream* ZR_Stream_openFile(const char* path, int kind);

// A new file stream over a file the caller opened (kind as above); the stream
// owns the file from here and closes it on release. Null (the file still the
// caller's) when file is null or memory runs out.
ZR_Stream* ZR_Stream_adoptFile(FILE* file, int kind);

// Clears *stream and lays it over block[0, length), which stays the caller's:
// never resized or freed, and written in place by writes (so it must be
// writable if the stream is written). A null block gives a growable block of
// 1024 bytes owned by the stream; length is then ignored. 1 on success; 0 with a
// null handle when memory runs out.
int ZR_Stream_initMemory(const void* block, ZR_Stream* stream, uint32_t length);

// A new memory stream as ZR_Stream_initMemory makes it, or null when memory runs out.
ZR_Stream* ZR_Stream_openMemory(const void* block, uint32_t length);

// Drops one reference; at zero flushes a write or append stream, closes the
// handle and deletes the record. Null is ignored.
void ZR_Stream_release(ZR_Stream* stream);

// Owns one reference to a stream.
struct ZR_StreamReleaser {
    void operator()(ZR_Stream* stream) const { ZR_Stream_release(stream); }
};
using StreamPtr = std::unique_ptr<ZR_Stream, ZR_StreamReleaser>;

// The guarded calls check the stream, its handle and the operation they need.

// Bytes read; -1 when anything is missing or count is 0.
int32_t ZR_Stream_readBytes(ZR_Stream* stream, uint32_t count, void* buffer);

// Bytes written; -1 when anything is missing or count is 0.
int32_t ZR_Stream_writeBytes(ZR_Stream* stream, uint32_t count, const void* data);

// 1 when the stream is now at offset from the start, else 0.
int ZR_Stream_seekTo(ZR_Stream* stream, uint32_t offset);

// 1 and *out set when exactly one byte was read, else 0.
int ZR_Stream_readByte(ZR_Stream* stream, uint8_t* out);

// Like ZR_Stream_readByte, but the position is where it was before.
int ZR_Stream_peekByte(ZR_Stream* stream, uint8_t* out);

// Reads one line of at most capacity - 1 bytes into buffer, which is zeroed
// first and always terminated. LF, CR or CR LF ends a line and is not stored; a
// line longer than the buffer is cut and its rest stays unread. Returns the
// bytes consumed (CR or LF counted, the LF of CR LF not), -1 when nothing could
// be read or stream or buffer is missing.
int32_t ZR_Stream_readLine(char* buffer, ZR_Stream* stream, uint32_t capacity);

// Formats and writes the text without its terminator. Bytes written; -1 when the
// text is empty, cannot be formatted or anything is missing.
int32_t ZR_Stream_printf(ZR_Stream* stream, const char* format, ...) ZR_PRINTF_FORMAT(2, 3);

// Guarded forms of the remaining operations.
int32_t ZR_Stream_size(ZR_Stream* stream); // -1 when anything is missing
int32_t ZR_Stream_tell(ZR_Stream* stream); // -1 when anything is missing
int ZR_Stream_atEnd(ZR_Stream* stream);    // 1 when anything is missing, so read loops stop
int ZR_Stream_flush(ZR_Stream* stream);    // 1 when flushed, 0 when anything is missing
