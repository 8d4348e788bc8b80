// The one package that a batch of update runs shares (`watch`): settled once,
// before any device is touched, and then only read. A local file, or the
// package the version file names, kept in the user's cache
// ($XDG_CACHE_HOME/tessaly, else ~/.cache/tessaly) under its version and file
// name so that the next batch for the same version downloads nothing.
#pragma once

#include <functional>
#include <string>

#include "cli/zip_container.h"

struct CliSharedPackage {
    std::string path;          // a container the runs read (never write)
    std::string description;   // for the user: the file, or the version and where it is cached
    int version = 0;           // the version file's number; 0 for a local file
    CliTempContainer unpacked; // a zip's container, unpacked once for every run
};

// Takes a local container, or unpacks a zip archive's container once. False
// with *error when the file is neither or the archive is damaged.
bool Cli_settleLocalPackage(const std::string& file, CliSharedPackage* package, std::string* error);

// Reads the version file at url (simple form only) and settles the package it
// names: the cached file when the cache holds that version and file name,
// else a download that is checked before it is given its cached name (a
// broken download is never reused). keepGoing is asked during the transfers;
// false stops them ("...: interrupted"). False with *error ("GET <url>: HTTP
// 404", "<url>: not a version file ...") on any failure.
bool Cli_settleServerPackage(const std::string& url, const std::function<bool()>& keepGoing,
                             CliSharedPackage* package, std::string* error);

// The cache folder, made (0700) when it is missing; "" with *error when there
// is no home, or it is a link or another user's.
std::string Cli_packageCacheFolder(std::string* error);

// The cached file's name: "<version>-<the address's file name>", reduced to
// letters, digits, '.', '-' and '_' and never starting with a dot.
std::string Cli_cachedPackageName(int version, const std::string& address);
