// Arbitrary bytes as a message catalogue (.mo). Besides the sanitizers it
// checks that a catalogue read is then usable: every lookup returns (bounded
// in time, whatever directives the ids hold) and a whole id gives its own
// translation.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/translate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::map<std::string, std::string> entries;
    if (!Tr_parseMo(std::string_view(reinterpret_cast<const char*>(data), size), &entries)) return 0;
    Tr_setCatalogue(TR_ES, entries);
    for (const auto& [id, translation] : entries) {
        if (translation.empty()) continue;
        if (Tr_text(id) != translation) std::abort();
        Tr_text(id + " 12%s%d");
        Tr_text("%" + id + id);
    }
    const std::string plain = "plain ascii text 61% without pieces %s %d";
    std::string shown = Tr_text(plain);
    (void)shown;
    Tr_setCatalogue(TR_ORIGINAL, {});
    return 0;
}
