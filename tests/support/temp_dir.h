// Private scratch folders and whole-file reads and writes for tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "support/random_bytes.h"

namespace test_support {

// A fresh folder under the system's temporary folder, made by mkdtemp (so
// 0700, as a simulation folder must be) and removed with everything in it
// when the record goes. A failure to make it is a test failure.
class TempDir {
public:
    explicit TempDir(std::string_view prefix = "tessaly-test-");
    // Under parent instead, for folders that must not follow a test's $TMPDIR.
    TempDir(std::string_view prefix, const std::filesystem::path& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::filesystem::path& path() const { return path_; }
    const std::string& str() const { return text_; }
    // path()/relative as text, for the C interfaces under test.
    std::string operator/(std::string_view relative) const;

private:
    std::filesystem::path path_;
    std::string text_;
};

// The whole file; empty when it cannot be read.
std::string readText(const std::filesystem::path& path);
Bytes readBytes(const std::filesystem::path& path);

// Replaces the file with data, making the folders on the way; false (and a
// test failure) when it cannot be written.
bool writeFile(const std::filesystem::path& path, std::string_view data);
bool writeFile(const std::filesystem::path& path, const Bytes& data);

} // namespace test_support
