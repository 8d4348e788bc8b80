#include "support/mo_file.h"

#include <cstdint>
#include <vector>

#include "support/temp_dir.h"

namespace test_support {

std::string moFile(const std::map<std::string, std::string>& given, bool bigEndian)
{
    std::map<std::string, std::string> entries = given;
    entries.emplace("", "Content-Type: text/plain; charset=UTF-8\n");
    auto u32 = [&](std::string* out, uint32_t v) {
        for (int k = 0; k < 4; ++k) *out += char(bigEndian ? (v >> (24 - 8 * k)) & 0xFF : (v >> (8 * k)) & 0xFF);
    };
    const uint32_t n = uint32_t(entries.size());
    const uint32_t originals = 28;
    const uint32_t translations = originals + 8 * n;
    uint32_t offset = translations + 8 * n;
    std::string head;
    u32(&head, 0x950412DEu);
    u32(&head, 0);
    u32(&head, n);
    u32(&head, originals);
    u32(&head, translations);
    u32(&head, 0); // no hash table
    u32(&head, offset);
    std::string tables[2];
    std::string strings;
    for (int which = 0; which < 2; ++which) {
        for (const auto& [id, translation] : entries) {
            const std::string& s = which == 0 ? id : translation;
            u32(&tables[which], uint32_t(s.size()));
            u32(&tables[which], offset + uint32_t(strings.size()));
            strings += s;
            strings += '\0';
        }
    }
    return head + tables[0] + tables[1] + strings;
}

bool writeCatalogue(const std::filesystem::path& localeDir, const std::string& catalogue,
                    const std::map<std::string, std::string>& entries)
{
    return writeFile(localeDir / catalogue / "LC_MESSAGES" / "tessaly.mo", moFile(entries));
}

} // namespace test_support
