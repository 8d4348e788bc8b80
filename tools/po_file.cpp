#include "tools/po_file.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/translate.h"

namespace {

// A quoted PO string starting at line[at] == '"', unescaped into *out.
bool unquote(std::string_view line, std::string* out)
{
    size_t start = line.find('"');
    size_t end = line.rfind('"');
    if (start == std::string_view::npos || end == start) return false;
    for (size_t i = start + 1; i < end; ++i) {
        char c = line[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (++i >= end) return false;
        switch (line[i]) {
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case 'a': *out += '\a'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'v': *out += '\v'; break;
        case '\\': *out += '\\'; break;
        case '"': *out += '"'; break;
        default: return false;
        }
    }
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The directives in the order of the values they take.
std::vector<std::string> valueOrder(std::string_view text)
{
    std::vector<std::pair<int, std::string>> numbered;
    int next = 0;
    for (const std::string& d : Tr_printfDirectives(text)) {
        if (d == "%%") continue;
        size_t i = 1;
        int n = 0;
        while (i < d.size() && d[i] >= '0' && d[i] <= '9') n = n * 10 + (d[i++] - '0');
        if (i < d.size() && d[i] == '$' && n > 0) numbered.emplace_back(n, "%" + d.substr(i + 1));
        else numbered.emplace_back(++next, d);
    }
    std::stable_sort(numbered.begin(), numbered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (auto& [n, d] : numbered) out.push_back(d);
    return out;
}

bool hasNonAscii(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return (unsigned char)c >= 0x80; });
}

} // namespace

bool Po_parse(std::string_view text, std::vector<PoEntry>* entries, std::string* error)
{
    std::vector<PoEntry> out;
    PoEntry current;
    bool fuzzy = false;
    enum { NONE, ID, PLURAL, STR, STR_OTHER, CONTEXT } field = NONE;
    bool haveEntry = false;
    auto flush = [&] {
        if (haveEntry && !current.id.empty()) out.push_back(current);
        current = PoEntry();
        haveEntry = false;
        field = NONE;
    };
    int lineNumber = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++lineNumber;
        auto fail = [&](const char* what) {
            *error = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (line.rfind("#~", 0) == 0) continue;
            // A comment starts the next entry.
            if (field == STR || field == STR_OTHER) flush();
            if (line.rfind("#,", 0) == 0 && line.find("fuzzy") != std::string_view::npos) fuzzy = true;
            continue;
        }
        if (line[0] == '"') {
            std::string* target = field == ID ? &current.id : field == STR ? &current.translation : nullptr;
            std::string ignored;
            if (field == NONE) return fail("a string outside an entry");
            if (!unquote(line, target ? target : &ignored)) return fail("a malformed string");
            continue;
        }
        if (line.rfind("msgctxt", 0) == 0) {
            flush();
            haveEntry = true;
            field = CONTEXT;
            std::string ignored;
            if (!unquote(line, &ignored)) return fail("a malformed string");
            continue;
        }
        if (line.rfind("msgid_plural", 0) == 0) {
            field = PLURAL;
            std::string ignored;
            if (!unquote(line, &ignored)) return fail("a malformed string");
            continue;
        }
        if (line.rfind("msgid", 0) == 0) {
            if (field != CONTEXT) flush();
            haveEntry = true;
            current.fuzzy = fuzzy;
            fuzzy = false;
            current.line = lineNumber;
            field = ID;
            if (!unquote(line, &current.id)) return fail("a malformed string");
            continue;
        }
        if (line.rfind("msgstr", 0) == 0) {
            if (field == NONE) return fail("msgstr without msgid");
            const bool first = line.rfind("msgstr ", 0) == 0 || line.rfind("msgstr[0]", 0) == 0;
            field = first ? STR : STR_OTHER;
            std::string ignored;
            if (!unquote(line, first ? &current.translation : &ignored)) return fail("a malformed string");
            continue;
        }
        return fail("an unknown keyword");
    }
    flush();
    *entries = std::move(out);
    return true;
}

bool Po_sameDirectives(std::string_view id, std::string_view translation)
{
    return valueOrder(id) == valueOrder(translation);
}

std::vector<std::string> Po_check(const std::vector<PoEntry>& pot, const std::vector<PoEntry>& po,
                                  const PoCheckRules& rules)
{
    std::vector<std::string> problems;
    std::map<std::string, const PoEntry*> byId;
    for (const PoEntry& e : po) byId.emplace(e.id, &e);
    std::set<std::string> templateIds;
    for (const PoEntry& t : pot) {
        templateIds.insert(t.id);
        auto it = byId.find(t.id);
        if (it == byId.end()) {
            problems.push_back("missing (out of date; run make pot): \"" + t.id + "\"");
            continue;
        }
        const PoEntry& e = *it->second;
        const bool translated = !e.translation.empty() && !e.fuzzy;
        if (!translated) {
            const bool mayStayEmpty = rules.asciiIdsMayStayEmpty && !hasNonAscii(t.id) && e.translation.empty();
            if (rules.complete && !mayStayEmpty)
                problems.push_back(std::string(e.fuzzy ? "fuzzy" : "untranslated") + " (line " +
                                   std::to_string(e.line) + "): \"" + t.id + "\"");
            continue;
        }
        if (!Po_sameDirectives(t.id, e.translation))
            problems.push_back("printf directives differ (line " + std::to_string(e.line) + "): \"" + t.id +
                               "\" -> \"" + e.translation + "\"");
    }
    for (const PoEntry& e : po) {
        if (!templateIds.count(e.id))
            problems.push_back("no longer in the sources (run make pot) (line " + std::to_string(e.line) + "): \"" +
                               e.id + "\"");
    }
    return problems;
}
