// Reading GNU gettext .po/.pot files and checking a translation against the
// template: every text translated, printf directives kept, nothing stale.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One entry of a catalogue. Obsolete entries ("#~") are not read.
struct PoEntry {
    std::string id;          // msgid, unescaped (UTF-8)
    std::string translation; // msgstr (or msgstr[0]), unescaped
    bool fuzzy = false;      // "#, fuzzy": not used when compiled
    int line = 0;            // where the entry's msgid stands (1-based)
};

// The entries of a .po/.pot text, the header (empty id) left out. False (and
// *error says where) when the text is not well-formed.
bool Po_parse(std::string_view text, std::vector<PoEntry>* entries, std::string* error);

// What a translation must do, by language.
struct PoCheckRules {
    bool complete = true;            // every id needs a translation (not empty, not fuzzy)
    bool asciiIdsMayStayEmpty = false; // ids without a non-ASCII byte may stay untranslated
};

// The problems of `po` against the template `pot`, one line each ("" none):
// an id of the template missing from the translation or one the template no
// longer has (the translation is out of date: `make pot`), an untranslated id
// (by the rules), a translation whose printf directives differ from its id's
// (same directives in the same order; "%2$s"-style positions may reorder them).
std::vector<std::string> Po_check(const std::vector<PoEntry>& pot, const std::vector<PoEntry>& po,
                                  const PoCheckRules& rules);

// Whether two texts carry the same printf directives by the rule above.
bool Po_sameDirectives(std::string_view id, std::string_view translation);
