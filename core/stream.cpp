#include "core/stream.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "core/regular_file.h"

namespace {

int fileClose(void* handle);
int fileSeek(void* handle, uint32_t offset);
int32_t fileTell(void* handle);
int32_t fileRead(void* handle, void* buffer, uint32_t count);
int32_t fileWrite(void* handle, const void* data, uint32_t count);
int32_t fileSize(void* handle);
void fileFlush(void* handle);
int fileAtEnd(void* handle);

int memClose(void* handle);
int memSeek(void* handle, uint32_t offset);
int32_t memTell(void* handle);
int32_t memRead(void* handle, void* buffer, uint32_t count);
int32_t memWrite(void* handle, const void* data, uint32_t count);
int32_t memSize(void* handle);
void memFlush(void* handle);
int memAtEnd(void* handle);

const ZR_StreamOps kFileOps = {fileClose, fileSeek, fileTell, fileRead, fileWrite, fileSize, fileFlush, fileAtEnd};
const ZR_StreamOps kMemoryOps = {memClose, memSeek, memTell, memRead, memWrite, memSize, memFlush, memAtEnd};

constexpr uint32_t kGrowableInitialCapacity = 1024;
constexpr size_t kPrintfStackBuffer = 8192;

// Results are signed 32-bit, so one call never moves more than this.
constexpr uint32_t kMaxTransfer = INT32_MAX;

int32_t positionResult(long long position)
{
    return (position < 0 || position > INT32_MAX) ? -1 : int32_t(position);
}

// ---- files (stdio) ----

FILE* asFile(void* handle) { return static_cast<FILE*>(handle); }

int fileClose(void* handle) { return std::fclose(asFile(handle)); }

int fileSeek(void* handle, uint32_t offset)
{
    return fseeko(asFile(handle), off_t(offset), SEEK_SET) == 0 ? 1 : 0;
}

int32_t fileTell(void* handle) { return positionResult(ftello(asFile(handle))); }

int32_t fileRead(void* handle, void* buffer, uint32_t count)
{
    if (!buffer)
        return -1;
    size_t got = std::fread(buffer, 1, std::min(count, kMaxTransfer), asFile(handle));
    return got == 0 ? -1 : int32_t(got);
}

int32_t fileWrite(void* handle, const void* data, uint32_t count)
{
    if (!data)
        return -1;
    size_t put = std::fwrite(data, 1, std::min(count, kMaxTransfer), asFile(handle));
    return put == 0 ? -1 : int32_t(put);
}

int32_t fileSize(void* handle)
{
    FILE* file = asFile(handle);
    off_t here = ftello(file);
    if (here < 0 || fseeko(file, 0, SEEK_END) != 0)
        return -1;
    off_t end = ftello(file);
    fseeko(file, here, SEEK_SET);
    return positionResult(end);
}

void fileFlush(void* handle) { std::fflush(asFile(handle)); }

int fileAtEnd(void* handle) { return std::feof(asFile(handle)) ? 1 : 0; }

// ---- memory ----

ZR_MemBlock* asBlock(void* handle) { return static_cast<ZR_MemBlock*>(handle); }

bool hasBuffer(const ZR_MemBlock* block) { return block && block->start; }

int memClose(void* handle)
{
    ZR_MemBlock* block = asBlock(handle);
    if (block && block->owns)
        std::free(block->start);
    std::free(block);
    return 0;
}

int memSeek(void* handle, uint32_t offset)
{
    ZR_MemBlock* block = asBlock(handle);
    if (!hasBuffer(block) || offset > size_t(block->end - block->start))
        return 0;
    block->cursor = block->start + offset;
    return 1;
}

int32_t memTell(void* handle)
{
    ZR_MemBlock* block = asBlock(handle);
    return hasBuffer(block) ? positionResult(block->cursor - block->start) : -1;
}

int32_t memRead(void* handle, void* buffer, uint32_t count)
{
    ZR_MemBlock* block = asBlock(handle);
    if (!hasBuffer(block) || !buffer || block->cursor == block->end)
        return 0;
    size_t n = std::min<size_t>(std::min(count, kMaxTransfer), size_t(block->end - block->cursor));
    std::memcpy(buffer, block->cursor, n);
    block->cursor += n;
    return int32_t(n);
}

// Makes room for n more bytes at the cursor by doubling the capacity. The
// block stays as it was when the capacity would pass 32 bits or memory runs
// out; the write then stores only what fits.
void memGrow(ZR_MemBlock* block, size_t n)
{
    size_t used = size_t(block->cursor - block->start);
    size_t capacity = size_t(block->end - block->start);
    uint64_t needed = uint64_t(used) + n;
    if (needed <= capacity)
        return;
    uint64_t newCapacity = capacity ? capacity : kGrowableInitialCapacity;
    while (newCapacity < needed) {
        newCapacity *= 2;
        if (newCapacity > UINT32_MAX)
            return;
    }
    auto* buffer = static_cast<uint8_t*>(std::malloc(size_t(newCapacity)));
    if (!buffer)
        return;
    std::memcpy(buffer, block->start, used);
    std::free(block->start);
    block->start = buffer;
    block->cursor = buffer + used;
    block->end = buffer + newCapacity;
}

int32_t memWrite(void* handle, const void* data, uint32_t count)
{
    ZR_MemBlock* block = asBlock(handle);
    if (!hasBuffer(block) || !data)
        return 0;
    count = std::min(count, kMaxTransfer);
    if (block->owns)
        memGrow(block, count);
    size_t n = std::min<size_t>(count, size_t(block->end - block->cursor));
    if (n)
        std::memcpy(block->cursor, data, n);
    block->cursor += n;
    return int32_t(n);
}

int32_t memSize(void* handle)
{
    ZR_MemBlock* block = asBlock(handle);
    return hasBuffer(block) ? positionResult(block->cursor - block->start) : 0;
}

void memFlush(void*) {}

int memAtEnd(void* handle)
{
    ZR_MemBlock* block = asBlock(handle);
    return (!hasBuffer(block) || block->cursor == block->end) ? 1 : 0;
}

// ---- guards ----

bool usable(const ZR_Stream* stream) { return stream && stream->handle && stream->ops; }

const char* fileMode(int kind)
{
    switch (kind) {
    case ZR_STREAM_WRITE:
        return "wb";
    case ZR_STREAM_APPEND:
        return "ab";
    default:
        return "rb";
    }
}

} // namespace

int ZR_Stream_initFile(int kind, ZR_Stream* stream, const char* path)
{
    if (!stream)
        return 0;
    *stream = ZR_Stream{};
    stream->refCount = 1;
    // Stored as opened, so that release flushes exactly the streams that write.
    stream->kind = (kind == ZR_STREAM_WRITE || kind == ZR_STREAM_APPEND) ? uint8_t(kind) : ZR_STREAM_READ;
    if (!path)
        return 0;
    FILE* file = nullptr;
    if (stream->kind == ZR_STREAM_READ) {
        int fd = ZR_openRegularFile(path, nullptr);
        if (fd < 0)
            return 0;
        file = fdopen(fd, "rb");
        if (!file)
            close(fd);
    } else {
        file = std::fopen(path, fileMode(kind));
    }
    if (!file)
        return 0;
    stream->handle = file;
    stream->ops = &kFileOps;
    return 1;
}

ZR_Stream* ZR_Stream_adoptFile(FILE* file, int kind)
{
    if (!file)
        return nullptr;
    auto* stream = new (std::nothrow) ZR_Stream;
    if (!stream)
        return nullptr;
    *stream = ZR_Stream{};
    stream->refCount = 1;
    stream->kind = (kind == ZR_STREAM_WRITE || kind == ZR_STREAM_APPEND) ? uint8_t(kind) : ZR_STREAM_READ;
    stream->handle = file;
    stream->ops = &kFileOps;
    return stream;
}

ZR_Stream* ZR_Stream_openFile(const char* path, int kind)
{
    auto* stream = new (std::nothrow) ZR_Stream;
    if (!stream)
        return nullptr;
    if (!ZR_Stream_initFile(kind, stream, path)) {
        ZR_Stream_release(stream);
        return nullptr;
    }
    return stream;
}

int ZR_Stream_initMemory(const void* block, ZR_Stream* stream, uint32_t length)
{
    if (!stream)
        return 0;
    *stream = ZR_Stream{};
    stream->refCount = 1;
    stream->kind = ZR_STREAM_READ;
    auto* mem = static_cast<ZR_MemBlock*>(std::malloc(sizeof(ZR_MemBlock)));
    if (!mem)
        return 0;
    if (block) {
        // Writes go into the caller's block; the caller decides whether it may.
        auto* bytes = static_cast<uint8_t*>(const_cast<void*>(block));
        *mem = ZR_MemBlock{0, bytes, bytes, bytes + length};
    } else {
        auto* buffer = static_cast<uint8_t*>(std::malloc(kGrowableInitialCapacity));
        if (!buffer) {
            std::free(mem);
            return 0;
        }
        *mem = ZR_MemBlock{1, buffer, buffer, buffer + kGrowableInitialCapacity};
    }
    stream->handle = mem;
    stream->ops = &kMemoryOps;
    return 1;
}

ZR_Stream* ZR_Stream_openMemory(const void* block, uint32_t length)
{
    auto* stream = new (std::nothrow) ZR_Stream;
    if (!stream)
        return nullptr;
    if (!ZR_Stream_initMemory(block, stream, length)) {
        ZR_Stream_release(stream);
        return nullptr;
    }
    return stream;
}

void ZR_Stream_release(ZR_Stream* stream)
{
    if (!stream)
        return;
    // A count that was already 0 wraps and keeps the record alive: a leak
    // rather than a second free.
    if (stream->refCount-- != 1)
        return;
    if (usable(stream) && (stream->kind == ZR_STREAM_WRITE || stream->kind == ZR_STREAM_APPEND) &&
        stream->ops->flush)
        stream->ops->flush(stream->handle);
    if (usable(stream) && stream->ops->close) {
        stream->ops->close(stream->handle);
        stream->handle = nullptr;
    }
    delete stream;
}

int32_t ZR_Stream_readBytes(ZR_Stream* stream, uint32_t count, void* buffer)
{
    if (!usable(stream) || !stream->ops->read || !buffer || count == 0)
        return -1;
    return stream->ops->read(stream->handle, buffer, count);
}

int32_t ZR_Stream_writeBytes(ZR_Stream* stream, uint32_t count, const void* data)
{
    if (!usable(stream) || !stream->ops->write || !data || count == 0)
        return -1;
    return stream->ops->write(stream->handle, data, count);
}

int ZR_Stream_seekTo(ZR_Stream* stream, uint32_t offset)
{
    if (!usable(stream) || !stream->ops->seek)
        return 0;
    return stream->ops->seek(stream->handle, offset);
}

int ZR_Stream_readByte(ZR_Stream* stream, uint8_t* out)
{
    if (!usable(stream) || !stream->ops->read || !out)
        return 0;
    return stream->ops->read(stream->handle, out, 1) == 1 ? 1 : 0;
}

int ZR_Stream_peekByte(ZR_Stream* stream, uint8_t* out)
{
    if (!usable(stream) || !stream->ops->read || !stream->ops->seek || !out)
        return 0;
    int32_t position = stream->ops->tell ? stream->ops->tell(stream->handle) : 0;
    // Without a known position the byte could not be given back.
    if (position < 0)
        return 0;
    if (stream->ops->read(stream->handle, out, 1) != 1)
        return 0;
    return stream->ops->seek(stream->handle, uint32_t(position));
}

int32_t ZR_Stream_readLine(char* buffer, ZR_Stream* stream, uint32_t capacity)
{
    if (buffer && capacity)
        std::memset(buffer, 0, capacity);
    if (!stream || !buffer || capacity == 0)
        return -1;
    // Keeps the count of consumed bytes within the signed result.
    uint32_t limit = std::min(capacity - 1, uint32_t(INT32_MAX - 1));
    int32_t consumed = 0;
    uint32_t i = 0;
    uint8_t byte = 0;
    while (i < limit && ZR_Stream_readByte(stream, &byte)) {
        ++consumed;
        if (byte == '\n')
            break;
        if (byte == '\r') {
            uint8_t next = 0;
            if (ZR_Stream_peekByte(stream, &next) && next == '\n')
                ZR_Stream_readByte(stream, &next);
            break;
        }
        buffer[i++] = char(byte);
    }
    return consumed ? consumed : -1;
}

int32_t ZR_Stream_printf(ZR_Stream* stream, const char* format, ...)
{
    if (!stream || !format)
        return -1;
    char text[kPrintfStackBuffer];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    int32_t result = -1;
    if (length <= 0) {
        // empty text or a format error: nothing to write
    } else if (size_t(length) < sizeof text) {
        if (usable(stream) && stream->ops->write)
            result = stream->ops->write(stream->handle, text, uint32_t(length));
    } else if (auto* heap = static_cast<char*>(std::malloc(size_t(length) + 1))) {
        std::vsnprintf(heap, size_t(length) + 1, format, again);
        result = ZR_Stream_writeBytes(stream, uint32_t(length), heap);
        std::free(heap);
    }
    va_end(again);
    return result;
}

int32_t ZR_Stream_size(ZR_Stream* stream)
{
    return (usable(stream) && stream->ops->size) ? stream->ops->size(stream->handle) : -1;
}

int32_t ZR_Stream_tell(ZR_Stream* stream)
{
    return (usable(stream) && stream->ops->tell) ? stream->ops->tell(stream->handle) : -1;
}

int ZR_Stream_atEnd(ZR_Stream* stream)
{
    return (usable(stream) && stream->ops->atEnd) ? stream->ops->atEnd(stream->handle) : 1;
}

int ZR_Stream_flush(ZR_Stream* stream)
{
    if (!usable(stream) || !stream->ops->flush)
        return 0;
    stream->ops->flush(stream->handle);
    return 1;
}
