#include "core/extract.h"
#include "core/stream.h"
#include "core/temp_path.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string written(ZR_Stream* s)
{
    auto* block = static_cast<ZR_MemBlock*>(s->handle);
    return {reinterpret_cast<char*>(block->start), size_t(ZR_Stream_size(s))};
}

using test_support::readText;
using test_support::writeFile;

// Deterministic bytes that deflate only a little, so corruption lands in
// real compressed data rather than in a few back-references.
std::string noise(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return s;
}

struct ProgressLog {
    std::vector<std::pair<uint32_t, uint64_t>> calls; // (range, position)
    static void record(void* user, uint32_t range, uint64_t position)
    {
        static_cast<ProgressLog*>(user)->calls.emplace_back(range, position);
    }
};

struct Extraction {
    int result;
    std::string bytes;
    ProgressLog progress;
};

Extraction extract(const std::string& archive)
{
    Extraction e{};
    StreamPtr sink(ZR_Stream_openMemory(nullptr, 0));
    e.result = ZR_extractContainer(archive.c_str(), ProgressLog::record, &e.progress, sink.get());
    e.bytes = written(sink.get());
    return e;
}

// Each test gets its own folder; archives are made there by Info-ZIP zip and
// Python's zipfile, the tools the packages come from in practice.
class Extract : public testing::Test {
protected:
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs zip in the test folder with the given arguments (archive first).
    void zip(const std::string& args) const
    {
        std::string cmd = "cd '" + dir_.string() + "' && zip -q " + args;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd << " (zip comes with scripts/install-deps.sh)";
    }

    // Runs a Python script in the test folder; zipfile is imported already.
    void python(const std::string& script) const
    {
        writeFile(dir_ / "make.py", "import struct, zipfile\n" + script);
        std::string cmd = "cd '" + dir_.string() + "' && python3 make.py";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << script;
    }

    test_support::TempDir temp_{"tessaly-extract-"};
    fs::path dir_ = temp_.path();
};

TEST_F(Extract, TakesTheFirstNonEmptyContainerOfAnInfoZipArchive)
{
    const std::string pack = noise(70000, 1);
    fs::create_directories(dir_ / "docs");
    writeFile(dir_ / "empty.dzr", "");
    writeFile(dir_ / "data/pack.DZR", pack);
    writeFile(dir_ / "later/second.dzr", noise(5000, 2));
    zip("pack.zip docs empty.dzr data/pack.DZR later/second.dzr");

    Extraction e = extract(path("pack.zip"));
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.bytes, pack);
}

TEST_F(Extract, RecognisesContainersByTheLastNameComponentOnly)
{
    writeFile(dir_ / "a.dzr.txt", "not a container");
    writeFile(dir_ / "notes.dzrx", "not a container");
    writeFile(dir_ / "box.dzr/readme", "not a container either");
    writeFile(dir_ / "sub/dzr", "bare name");
    zip("names.zip a.dzr.txt notes.dzrx box.dzr/readme sub/dzr");
    EXPECT_EQ(extract(path("names.zip")).bytes, "bare name");

    zip("none.zip a.dzr.txt notes.dzrx box.dzr/readme");
    Extraction none = extract(path("none.zip"));
    EXPECT_EQ(none.result, 1); // nothing found is not a failure here; loading the empty file is
    EXPECT_EQ(none.bytes, "");
    EXPECT_TRUE(none.progress.calls.empty());
}

TEST_F(Extract, LongNameComponentsAreCutBeforeTheExtensionIsTaken)
{
    // 251 + ".dzr" is exactly 255 characters, so ".txt" falls off; a component
    // of 300 characters ending in .dzr loses its extension instead. Names
    // longer than the 1024-byte name buffer must not overrun it.
    python("z = zipfile.ZipFile('long.zip', 'w')\n"
           "z.writestr('d' * 1500 + '.dzr', b'too long')\n"
           "z.writestr('a' * 300 + '.dzr', b'cut off')\n"
           "z.writestr('x/' + 'a' * 251 + '.dzr.txt', b'taken')\n"
           "z.close()\n");
    Extraction e = extract(path("long.zip"));
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.bytes, "taken");
}

TEST_F(Extract, ReadsZip64ArchivesStoredAndDeflated)
{
    const std::string pack = noise(300000, 3) + std::string(300000, 'z');
    writeFile(dir_ / "pack.bin", pack);
    python("data = open('pack.bin', 'rb').read()\n"
           "for name, method in (('stored.zip', zipfile.ZIP_STORED), ('deflated.zip', zipfile.ZIP_DEFLATED)):\n"
           "    with zipfile.ZipFile(name, 'w', method) as z:\n"
           "        with z.open('pkg/UPDATE.Dzr', 'w', force_zip64=True) as f:\n"
           "            f.write(data)\n"
           "    assert b'\\x01\\x00\\x10\\x00' in open(name, 'rb').read()  # a zip64 extra field\n");
    for (const char* name : {"stored.zip", "deflated.zip"}) {
        Extraction e = extract(path(name));
        EXPECT_EQ(e.result, 1) << name;
        EXPECT_TRUE(e.bytes == pack) << name;
    }
}

TEST_F(Extract, ProgressSetsTheRangeThenRisesToTheSize)
{
    const std::string pack = noise(600 * 1024 + 17, 4);
    writeFile(dir_ / "p.dzr", pack);
    zip("p.zip p.dzr");
    Extraction e = extract(path("p.zip"));
    ASSERT_EQ(e.result, 1);
    const auto& calls = e.progress.calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front().second, 0u);
    EXPECT_EQ(calls.back().second, pack.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first, pack.size());
        if (i > 0) {
            EXPECT_GT(calls[i].second, calls[i - 1].second);
        }
    }
}

TEST_F(Extract, SinksOfEveryKind)
{
    const std::string pack = noise(40000, 5);
    writeFile(dir_ / "s.dzr", pack);
    zip("s.zip s.dzr");

    // The update workflow's sink: a file the container reader opens next.
    StreamPtr file(ZR_Stream_openFile(path("tmp.dzr").c_str(), ZR_STREAM_WRITE));
    ASSERT_TRUE(file);
    EXPECT_EQ(ZR_extractContainer(path("s.zip").c_str(), nullptr, nullptr, file.get()), 1);
    file.reset();
    EXPECT_TRUE(readText(dir_ / "tmp.dzr") == pack);

    // Without a usable sink the entry is still read through and checked.
    ProgressLog log;
    EXPECT_EQ(ZR_extractContainer(path("s.zip").c_str(), ProgressLog::record, &log, nullptr), 1);
    ASSERT_FALSE(log.calls.empty());
    EXPECT_EQ(log.calls.back().second, pack.size());
    ZR_Stream inert{};
    EXPECT_EQ(ZR_extractContainer(path("s.zip").c_str(), nullptr, nullptr, &inert), 1);

    // A sink that takes less than it is given (a full disk) fails the extraction.
    std::vector<uint8_t> small(1000);
    StreamPtr full(ZR_Stream_openMemory(small.data(), uint32_t(small.size())));
    EXPECT_EQ(ZR_extractContainer(path("s.zip").c_str(), nullptr, nullptr, full.get()), 0);
}

TEST_F(Extract, MissingBrokenAndEmptyArchives)
{
    Extraction missing = extract(path("absent.zip"));
    EXPECT_EQ(missing.result, 0);
    EXPECT_TRUE(missing.progress.calls.empty());
    EXPECT_EQ(ZR_extractContainer(nullptr, nullptr, nullptr, nullptr), 0);

    writeFile(dir_ / "plain.zip", noise(3000, 6));
    EXPECT_EQ(extract(path("plain.zip")).result, 0);

    // An archive without entries opens only behind a stub (as in a
    // self-extracting archive): minizip does not find an end record that
    // starts the file, so the bare 22-byte form counts as unopenable.
    python("zipfile.ZipFile('empty.zip', 'w').close()\n"
           "open('stub.zip', 'wb').write(b'MZ' + bytes(62) + open('empty.zip', 'rb').read())\n");
    Extraction empty = extract(path("stub.zip"));
    EXPECT_EQ(empty.result, 1);
    EXPECT_EQ(empty.bytes, "");
    EXPECT_TRUE(empty.progress.calls.empty());
    EXPECT_EQ(extract(path("empty.zip")).result, 0);
}

// Corrupted packages must never come out as a success: the bytes would go
// into the device's flash.
TEST_F(Extract, CorruptEntriesFail)
{
    writeFile(dir_ / "pack.bin", noise(200000, 7));
    python("data = open('pack.bin', 'rb').read()\n"
           "def make(name, method):\n"
           "    with zipfile.ZipFile(name, 'w', method) as z:\n"
           "        z.writestr('c.dzr', data)\n"
           "    return bytearray(open(name, 'rb').read())\n"
           "def data_start(b):\n"
           "    n, m = struct.unpack_from('<HH', b, 26)\n"
           "    return 30 + n + m\n"
           // A flipped byte in stored data: only the CRC can tell.
           "b = make('stored.zip', zipfile.ZIP_STORED)\n"
           "b[data_start(b) + 100000] ^= 0x40\n"
           "open('stored.zip', 'wb').write(b)\n"
           // Flipped bytes in deflated data: inflate or the CRC objects.
           "b = make('deflated.zip', zipfile.ZIP_DEFLATED)\n"
           "for k in range(8): b[data_start(b) + 50000 + 997 * k] ^= 0xA5\n"
           "open('deflated.zip', 'wb').write(b)\n"
           // A recorded size beyond the data, in both headers: the entry
           // ends early and minizip skips its CRC check.
           "b = make('short.zip', zipfile.ZIP_DEFLATED)\n"
           "for at in (22, b.find(b'PK\\x01\\x02') + 24):\n"
           "    struct.pack_into('<I', b, at, struct.unpack_from('<I', b, at)[0] + 4096)\n"
           "open('short.zip', 'wb').write(b)\n"
           // Compressed data cut off before its end.
           "b = make('cut.zip', zipfile.ZIP_DEFLATED)\n"
           "cd = b.find(b'PK\\x01\\x02')\n"
           "open('cut.zip', 'wb').write(b[:data_start(b) + 1000] + bytes(cd - data_start(b) - 1000) + b[cd:])\n");
    for (const char* name : {"stored.zip", "deflated.zip", "short.zip", "cut.zip"})
        EXPECT_EQ(extract(path(name)).result, 0) << name;
    // The check does not depend on a sink being there.
    EXPECT_EQ(ZR_extractContainer(path("stored.zip").c_str(), nullptr, nullptr, nullptr), 0);
}

TEST_F(Extract, ArchivePathIsCutTo1023Characters)
{
    // An archive whose path is exactly 1023 characters long, addressed by a
    // 1500-character text that starts with that path.
    std::string cut = dir_.string() + "/";
    while (1023 - cut.size() > 201)
        cut += std::string(199, 'p') + "/";
    cut += std::string(1023 - cut.size(), 'f');
    ASSERT_EQ(cut.size(), 1023u);

    writeFile(dir_ / "c.dzr", "container");
    zip("c.zip c.dzr");
    fs::create_directories(fs::path(cut).parent_path());
    fs::rename(dir_ / "c.zip", cut);

    std::string longPath = cut + "/beyond/";
    longPath += std::string(1500 - longPath.size(), 'x');
    Extraction e = extract(longPath);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.bytes, "container");
}

// ---- temporary paths ----

// Sets the recorded uncompressed size of every entry (local and central
// headers) to declared, as a crafted archive would.
std::string withDeclaredSize(std::string zip, uint32_t declared)
{
    auto patch = [&](const char* signature, size_t offset) {
        for (size_t at = zip.find(signature, 0, 4); at != std::string::npos; at = zip.find(signature, at + 4, 4))
            for (int i = 0; i < 4 && at + offset + 4 <= zip.size(); ++i)
                zip[at + offset + i] = char(declared >> (8 * i));
    };
    patch("PK\x03\x04", 22);
    patch("PK\x01\x02", 24);
    return zip;
}

// An entry larger than any container is refused before a byte of it is
// written, whatever size it records; one at the bound is taken whole.
TEST_F(Extract, EntriesBeyondTheContainerBoundAreRefusedBeforeWriting)
{
    constexpr uint64_t kBound = 64 * 1024;
    struct Case {
        const char* what;
        size_t entryBytes;       // zeros in the entry
        int64_t declared;        // recorded size patched in; -1 keeps the true one
        uint64_t bound;          // 0: the default bound
        int result;
        size_t maxWritten;
    };
    const Case cases[] = {
        {"exactly the bound", kBound, -1, kBound, 1, kBound},
        {"one byte past the bound", kBound + 1, -1, kBound, 0, 0},
        {"a recorded size of 4 GiB", 4096, 0xFFFFFF00, 0, 0, 0},
        {"a recorded size past the default bound", 4096, int64_t(ZR_EXTRACT_MAX_ENTRY_SIZE + 1), 0, 0, 0},
        {"a recorded size smaller than the stream", kBound * 4, 1000, kBound, 0, kBound},
    };
    std::string sizes;
    for (const Case& c : cases) sizes += std::to_string(c.entryBytes) + ",";
    python("for n in (" + sizes + "):\n"
           "    with zipfile.ZipFile('zeros-%d.zip' % n, 'w', zipfile.ZIP_DEFLATED) as z:\n"
           "        z.writestr('a.dzr', bytes(n))\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string zip = readText(dir_ / ("zeros-" + std::to_string(c.entryBytes) + ".zip"));
        if (c.declared >= 0) zip = withDeclaredSize(zip, uint32_t(c.declared));
        writeFile(dir_ / "crafted.zip", zip);

        StreamPtr sink(ZR_Stream_openMemory(nullptr, 0));
        int result = c.bound ? ZR_extractContainerBounded(path("crafted.zip").c_str(), nullptr, nullptr, sink.get(),
                                                          c.bound)
                             : ZR_extractContainer(path("crafted.zip").c_str(), nullptr, nullptr, sink.get());
        EXPECT_EQ(result, c.result);
        EXPECT_LE(written(sink.get()).size(), c.maxWritten);
        if (c.result == 1) {
            EXPECT_EQ(written(sink.get()), std::string(c.entryBytes, '\0'));
        }
    }
}

// Sets TMPDIR (or unsets it for null) for one test and puts it back after.
class TempDirVariable {
public:
    explicit TempDirVariable(const char* value)
    {
        if (const char* old = std::getenv("TMPDIR"))
            saved_ = old;
        value ? setenv("TMPDIR", value, 1) : unsetenv("TMPDIR");
    }
    ~TempDirVariable() { saved_ ? setenv("TMPDIR", saved_->c_str(), 1) : unsetenv("TMPDIR"); }

private:
    std::optional<std::string> saved_;
};

std::string tempPath(const char* name)
{
    char buffer[1024];
    std::memset(buffer, 'X', sizeof buffer);
    ZR_tempPath(buffer, name);
    EXPECT_EQ(buffer[1023], '\0');
    return buffer;
}

TEST(TempPath, ExactlyOneSeparatorBeforeTheName)
{
    {
        TempDirVariable env(nullptr);
        EXPECT_EQ(tempPath("Tmp"), "/tmp/Tmp");
    }
    for (const char* dir : {"/var/spool/t", "/var/spool/t/", "/var/spool/t///"}) {
        TempDirVariable env(dir);
        EXPECT_EQ(tempPath("Tmp"), "/var/spool/t/Tmp") << dir;
    }
    {
        TempDirVariable env("/");
        EXPECT_EQ(tempPath("Tmp"), "/Tmp");
    }
    {
        TempDirVariable env("");
        EXPECT_EQ(tempPath("tmp.dzr"), "/tmp/tmp.dzr");
    }
}

TEST(TempPath, StaysBelow1023Characters)
{
    TempDirVariable env("/tmp/");
    const std::string fits(1023 - 1 - 5, 'n'); // "/tmp/" + name = 1022
    EXPECT_EQ(tempPath(fits.c_str()), "/tmp/" + fits);
    const std::string tooLong = fits + "n";
    EXPECT_EQ(tempPath(tooLong.c_str()), "/tmp/");
    EXPECT_EQ(tempPath(nullptr), "/tmp/");

    // A directory that leaves no room for any name is not used.
    const std::string deep = "/" + std::string(1500, 'd');
    TempDirVariable longEnv(deep.c_str());
    EXPECT_EQ(tempPath("Tmp"), "/tmp/Tmp");
}

} // namespace
