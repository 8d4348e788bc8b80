// An update container delivered in a zip archive, for the commands that take
// a package file: the container is unpacked into a temporary file first, as
// an update from the server does with the archive it downloads.
#pragma once

#include <string>

#include "core/run_folder.h"

// True when the file opens as a zip archive does ("PK\3\4"). Only regular
// files are looked at: a FIFO or device is never read from here.
bool Cli_looksLikeZip(const std::string& path);

// True when the file ends in a container header that checks out; the
// sections are left to the update, which reads them anyway.
bool Cli_looksLikeContainer(const std::string& path);

// The unpacked container: "tmp.dzr" in a private run folder of its own,
// removed with the record.
class CliTempContainer {
public:
    CliTempContainer() = default;
    CliTempContainer(const CliTempContainer&) = delete;
    CliTempContainer& operator=(const CliTempContainer&) = delete;

    // Unpacks the archive's container. False with *error when the file cannot
    // be created or the archive is damaged (a partial file is removed).
    bool extract(const std::string& archive, std::string* error);
    const std::string& path() const { return path_; }

private:
    ZR_RunFolderPtr folder_;
    std::string path_;
};
