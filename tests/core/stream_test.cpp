#include "core/stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace {

std::string tempPath(const char* name)
{
    static const test_support::TempDir dir("tessaly-stream-");
    return dir / name;
}

std::string fileContents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

ZR_MemBlock* block(ZR_Stream* s) { return static_cast<ZR_MemBlock*>(s->handle); }
std::string written(ZR_Stream* s) { return {reinterpret_cast<char*>(block(s)->start), size_t(ZR_Stream_size(s))}; }

TEST(StreamMemory, CursorDrivesSeekTellSizeAndReads)
{
    std::string data(100, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i);
    StreamPtr s(ZR_Stream_openMemory(data.data(), 100));
    char buf[100];
    EXPECT_EQ(ZR_Stream_readBytes(s.get(), 10, buf), 10);
    EXPECT_EQ(ZR_Stream_size(s.get()), 10); // the cursor, not the block length
    EXPECT_EQ(ZR_Stream_tell(s.get()), 10);
    EXPECT_EQ(ZR_Stream_seekTo(s.get(), 100), 1);
    EXPECT_EQ(ZR_Stream_readBytes(s.get(), 1, buf), 0);
    EXPECT_EQ(ZR_Stream_seekTo(s.get(), 40), 1);
    EXPECT_EQ(ZR_Stream_seekTo(s.get(), 101), 0);
    EXPECT_EQ(ZR_Stream_readBytes(s.get(), 100, buf), 60);
    EXPECT_EQ(std::string(buf, 60), data.substr(40));
}

TEST(StreamMemory, CallersBlockIsFilledButNeverOverrun)
{
    char area[9] = "....####";
    StreamPtr s(ZR_Stream_openMemory(area, 4));
    EXPECT_EQ(ZR_Stream_writeBytes(s.get(), 10, "0123456789"), 4);
    EXPECT_EQ(ZR_Stream_writeBytes(s.get(), 10, "0123456789"), 0);
    s.reset(); // a caller's block is never freed: the sanitizer build would see it
    EXPECT_STREQ(area, "0123####");
}

TEST(StreamMemory, GrowableBlockKeepsItsBytes)
{
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7);
    StreamPtr s(ZR_Stream_openMemory(nullptr, 0));
    EXPECT_EQ(ZR_Stream_writeBytes(s.get(), 1024, bytes.data()), 1024);
    EXPECT_EQ(ZR_Stream_writeBytes(s.get(), 1, &bytes[1024]), 1);
    EXPECT_EQ(ZR_Stream_writeBytes(s.get(), 5000 - 1025, &bytes[1025]), 5000 - 1025);
    EXPECT_EQ(written(s.get()), bytes);

    StreamPtr fresh(ZR_Stream_openMemory(nullptr, 0));
    EXPECT_EQ(ZR_Stream_writeBytes(fresh.get(), 1500, bytes.data()), 1500);
    EXPECT_EQ(written(fresh.get()), bytes.substr(0, 1500));
}

TEST(StreamFile, UnopenedFileLeavesAnInertRecord)
{
    auto* failed = new ZR_Stream;
    EXPECT_EQ(ZR_Stream_initFile(ZR_STREAM_READ, failed, tempPath("missing/none").c_str()), 0);
    EXPECT_EQ(failed->handle, nullptr);
    EXPECT_EQ(failed->ops, nullptr);
    uint8_t byte;
    EXPECT_EQ(ZR_Stream_readBytes(failed, 1, &byte), -1);
    EXPECT_EQ(ZR_Stream_peekByte(failed, &byte), 0);
    EXPECT_EQ(ZR_Stream_atEnd(failed), 1); // read loops stop
    ZR_Stream_release(failed);
    EXPECT_EQ(ZR_Stream_openFile(tempPath("missing/none").c_str(), ZR_STREAM_READ), nullptr);
}

TEST(StreamFile, WriteAppendThenReadBack)
{
    const std::string path = tempPath("file.bin");
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i % 251);
    ZR_Stream* s = ZR_Stream_openFile(path.c_str(), ZR_STREAM_WRITE);
    EXPECT_EQ(ZR_Stream_writeBytes(s, uint32_t(big.size()), big.data()), int32_t(big.size()));
    ZR_Stream_release(s); // must leave the file complete
    EXPECT_EQ(fileContents(path), big);
    s = ZR_Stream_openFile(path.c_str(), ZR_STREAM_APPEND);
    ZR_Stream_printf(s, "%s", "tail\r");
    ZR_Stream_release(s);

    StreamPtr r(ZR_Stream_openFile(path.c_str(), ZR_STREAM_READ));
    char buf[16];
    EXPECT_EQ(ZR_Stream_readBytes(r.get(), 10, buf), 10);
    EXPECT_EQ(ZR_Stream_size(r.get()), 100005);
    EXPECT_EQ(ZR_Stream_tell(r.get()), 10); // measuring does not move the cursor
    EXPECT_EQ(ZR_Stream_seekTo(r.get(), 100000), 1);
    EXPECT_EQ(ZR_Stream_readLine(buf, r.get(), 16), 5); // the CR's peek meets the end of the file
    EXPECT_STREQ(buf, "tail");
    EXPECT_EQ(ZR_Stream_readBytes(r.get(), 1, buf), -1); // unlike memory, which gives 0
    std::remove(path.c_str());
}

TEST(StreamReadLine, EndsAtLfCrOrCrLfAndAtCapacity)
{
    char line[16];
    StreamPtr crlf(ZR_Stream_openMemory("ab\r\ncd\n", 7));
    EXPECT_EQ(ZR_Stream_readLine(line, crlf.get(), 16), 3);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(ZR_Stream_readLine(line, crlf.get(), 16), 3);
    EXPECT_STREQ(line, "cd");
    EXPECT_EQ(ZR_Stream_readLine(line, crlf.get(), 16), -1);

    StreamPtr cr(ZR_Stream_openMemory("ab\rcd", 5));
    EXPECT_EQ(ZR_Stream_readLine(line, cr.get(), 16), 3);
    EXPECT_EQ(ZR_Stream_tell(cr.get()), 3); // the peeked c stays unread

    StreamPtr longLine(ZR_Stream_openMemory("abcdef", 6));
    EXPECT_EQ(ZR_Stream_readLine(line, longLine.get(), 4), 3);
    EXPECT_STREQ(line, "abc");
    EXPECT_EQ(ZR_Stream_readLine(line, longLine.get(), 1), -1);
    EXPECT_EQ(line[0], 0);
    EXPECT_EQ(ZR_Stream_readLine(line, longLine.get(), 16), 3);
    EXPECT_STREQ(line, "def");
}

TEST(StreamPrintf, EmptyShortAndLongTexts)
{
    StreamPtr s(ZR_Stream_openMemory(nullptr, 0));
    EXPECT_EQ(ZR_Stream_printf(s.get(), "%s", ""), -1);
    EXPECT_EQ(ZR_Stream_printf(s.get(), "%d-%s", 42, "x"), 4);
    EXPECT_EQ(written(s.get()), "42-x");
    // Either side of the stack buffer's limit the text arrives whole, without terminator.
    for (size_t length : {8191u, 8192u, 20000u}) {
        StreamPtr out(ZR_Stream_openMemory(nullptr, 0));
        std::string text(length, 'q');
        text.back() = 'z';
        EXPECT_EQ(ZR_Stream_printf(out.get(), "%s", text.c_str()), int32_t(length));
        EXPECT_EQ(written(out.get()), text);
    }
}

} // namespace
