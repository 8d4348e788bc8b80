// An update container delivered in a zip archive, for the commands that take
// a package file: the container is unpacked into a temporary file first, as
// an update from the server does with the archive it downloads.
#pragma once

#include <string>

// True when the file opens as a zip archive does ("PK\3\4").
bool Cli_looksLikeZip(const std::string& path);

// The unpacked container: a file in the temporary folder named after the
// command and the process, removed with the record.
class CliTempContainer {
public:
    explicit CliTempContainer(const std::string& command) : command_(command) {}
    ~CliTempContainer();
    CliTempContainer(const CliTempContainer&) = delete;
    CliTempContainer& operator=(const CliTempContainer&) = delete;

    // Unpacks the archive's container. False with *error when the file cannot
    // be created or the archive is damaged (a partial file is removed).
    bool extract(const std::string& archive, std::string* error);
    const std::string& path() const { return path_; }

private:
    std::string command_;
    std::string path_;
};
