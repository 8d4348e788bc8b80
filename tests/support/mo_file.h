// GNU gettext .mo catalogues made in tests, so a test needs neither msgfmt
// nor the project's po/ files: the lookup's and the programs' tests write the
// few entries they use.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace test_support {

// The bytes of a .mo file holding id → translation (little-endian, revision
// 0, no hash table), with the usual header entry under the empty id.
std::string moFile(const std::map<std::string, std::string>& entries, bool bigEndian = false);

// Writes moFile(entries) as <localeDir>/<catalogue>/LC_MESSAGES/tessaly.mo.
bool writeCatalogue(const std::filesystem::path& localeDir, const std::string& catalogue,
                    const std::map<std::string, std::string>& entries);

} // namespace test_support
