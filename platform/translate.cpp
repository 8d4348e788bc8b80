#include "platform/translate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "platform/text_codec.h"

#ifndef TESSALY_INSTALL_LOCALEDIR
#define TESSALY_INSTALL_LOCALEDIR "/usr/local/share/locale"
#endif

namespace {

// A catalogue ready for the three steps of the lookup rule.
struct Catalogue {
    TrLanguage language = TR_ORIGINAL;
    std::map<std::string, std::string> entries;
    // Ids holding printf directives, with their directives.
    std::vector<std::pair<const std::string*, std::vector<std::string>>> templates;
    // Ids written with non-ASCII characters (the pieces composed texts are
    // made of), by first byte, longest first.
    std::unordered_map<unsigned char, std::vector<const std::string*>> pieces;
};

Catalogue& current()
{
    static Catalogue catalogue;
    return catalogue;
}

bool hasNonAscii(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return (unsigned char)c >= 0x80; });
}

bool isAsciiAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// One printf directive starting at text[at] == '%': its length, or 0 when
// what follows is not a well-formed directive.
size_t directiveLength(std::string_view text, size_t at)
{
    size_t i = at + 1;
    auto digits = [&] {
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return i > start;
    };
    // n$: a positional argument, left unread when the digits are not one.
    auto position = [&] {
        size_t save = i;
        if (digits() && i < text.size() && text[i] == '$') ++i;
        else i = save;
    };
    // A width or precision: digits, or * with an optional position.
    auto amount = [&] {
        if (i < text.size() && text[i] == '*') {
            ++i;
            position();
        } else {
            digits();
        }
    };
    if (i < text.size() && text[i] == '%') return 2;
    position();
    while (i < text.size() && std::strchr("-+ #0'", text[i]) && text[i] != '\0') ++i;
    amount();
    if (i < text.size() && text[i] == '.') {
        ++i;
        amount();
    }
    static const char* const lengths[] = {"hh", "ll", "h", "l", "j", "z", "t", "L", "q"};
    for (const char* l : lengths) {
        size_t n = std::strlen(l);
        if (text.substr(i, n) == l) {
            i += n;
            break;
        }
    }
    if (i < text.size() && text[i] != '\0' && std::strchr("diouxXeEfFgGaAcspn", text[i])) return i + 1 - at;
    return 0;
}

// The position a directive takes its value from ("%2$s" → 1), or -1 when it
// takes the next one.
int directivePosition(const std::string& directive)
{
    size_t i = 1;
    int n = 0;
    while (i < directive.size() && directive[i] >= '0' && directive[i] <= '9') n = n * 10 + (directive[i++] - '0');
    return i < directive.size() && directive[i] == '$' && n > 0 ? n - 1 : -1;
}

// Whether `value` can be what `directive` printed.
bool valueFits(const std::string& directive, std::string_view value)
{
    const char conversion = directive.back();
    if (conversion == 's') return true;
    if (value.empty()) return false;
    if (conversion == 'c') return true;
    const char* allowed = "0123456789+- ";
    if (std::strchr("xXp", conversion)) allowed = "0123456789abcdefABCDEFx+- ";
    else if (std::strchr("eEfFgGaA", conversion)) allowed = "0123456789.+-eEinfINFaA ";
    return std::all_of(value.begin(), value.end(), [&](char c) { return c != '\0' && std::strchr(allowed, c); });
}

// Matches `text` against the template's pieces: literal runs and directives.
// Values are taken shortest first, so a literal run after a value ends it at
// its first occurrence that lets the rest match. A catalogue is read from a
// file: `budget` bounds the steps, so that an id made of many directives
// cannot make one lookup take exponential time (no match, then).
bool matchTemplate(std::string_view pattern, std::string_view text, std::vector<std::string>* values, int* budget)
{
    size_t p = 0;
    size_t t = 0;
    while (p < pattern.size()) {
        if (--*budget < 0) return false;
        if (pattern[p] != '%') {
            if (t >= text.size() || text[t] != pattern[p]) return false;
            ++p;
            ++t;
            continue;
        }
        size_t n = directiveLength(pattern, p);
        if (n == 0) {
            if (t >= text.size() || text[t] != '%') return false;
            ++p;
            ++t;
            continue;
        }
        std::string directive(pattern.substr(p, n));
        if (directive == "%%") {
            if (t >= text.size() || text[t] != '%') return false;
            p += n;
            ++t;
            continue;
        }
        std::string_view rest = pattern.substr(p + n);
        for (size_t len = 0; t + len <= text.size(); ++len) {
            if (--*budget < 0) return false;
            std::string_view value = text.substr(t, len);
            if (!valueFits(directive, value)) {
                if (directive.back() == 's') continue;
                if (len > 0) break; // longer values do not fit either
                continue;
            }
            std::vector<std::string> tail;
            if (matchTemplate(rest, text.substr(t + len), &tail, budget)) {
                values->push_back(std::string(value));
                values->insert(values->end(), tail.begin(), tail.end());
                return true;
            }
        }
        return false;
    }
    return t == text.size();
}

// The translation with the values put in place of its directives.
std::string fillTemplate(std::string_view translation, const std::vector<std::string>& values)
{
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < translation.size();) {
        size_t n = translation[i] == '%' ? directiveLength(translation, i) : 0;
        if (n == 0) {
            out += translation[i++];
            continue;
        }
        std::string directive(translation.substr(i, n));
        i += n;
        if (directive == "%%") {
            out += '%';
            continue;
        }
        int position = directivePosition(directive);
        size_t index = position >= 0 ? size_t(position) : next++;
        if (index < values.size()) out += values[index];
    }
    return out;
}

// Rule 3: the text cut into the longest known pieces.
std::string translatePieces(const Catalogue& c, std::string_view text)
{
    std::string out;
    bool changed = false;
    bool lastTranslated = false;
    for (size_t i = 0; i < text.size();) {
        const std::string* best = nullptr;
        auto it = c.pieces.find((unsigned char)text[i]);
        if (it != c.pieces.end()) {
            for (const std::string* id : it->second) {
                if (text.substr(i, id->size()) == *id) {
                    best = id;
                    break;
                }
            }
        }
        if (!best) {
            // Keep one whole UTF-8 character: a piece never starts inside one.
            size_t n = 1;
            while (i + n < text.size() && ((unsigned char)text[i + n] & 0xC0) == 0x80) ++n;
            if (lastTranslated && !out.empty() && isAsciiAlnum(out.back()) && isAsciiAlnum(text[i])) out += ' ';
            out.append(text.substr(i, n));
            lastTranslated = false;
            i += n;
            continue;
        }
        const std::string& translation = c.entries.at(*best);
        if (!out.empty() && !translation.empty() && isAsciiAlnum(out.back()) && isAsciiAlnum(translation.front()))
            out += ' ';
        out += translation;
        changed = true;
        lastTranslated = true;
        i += best->size();
    }
    return changed ? out : std::string(text);
}

std::string readFile(const std::filesystem::path& path, bool* ok)
{
    std::ifstream in(path, std::ios::binary);
    *ok = bool(in);
    if (!in) return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

bool Tr_languageFromCode(std::string_view code, TrLanguage* language)
{
    static const std::pair<const char*, TrLanguage> codes[] = {
        {"zh", TR_ZH}, {"en", TR_EN}, {"es", TR_ES}, {"C", TR_ORIGINAL}, {"original", TR_ORIGINAL}};
    for (const auto& [name, value] : codes) {
        if (code == name) {
            *language = value;
            return true;
        }
    }
    return false;
}

const char* Tr_catalogueName(TrLanguage language)
{
    switch (language) {
    case TR_ZH: return "zh_CN";
    case TR_EN: return "en";
    case TR_ES: return "es";
    case TR_ORIGINAL: break;
    }
    return "";
}

const char* Tr_languageName(TrLanguage language)
{
    switch (language) {
    case TR_ZH: return "中文";
    case TR_EN: return "English";
    case TR_ES: return "Español";
    case TR_ORIGINAL: break;
    }
    // The texts as written: the window's Chinese, the terminal's English.
    return "中文 / English";
}

namespace {

// A locale or LANGUAGE entry ("es_ES.UTF-8@euro") to one of our catalogues:
// tried as "es_ES", then "es".
bool catalogueForEntry(std::string_view entry, TrLanguage* language)
{
    size_t cut = entry.find_first_of(".@");
    std::string_view full = entry.substr(0, cut);
    std::string_view lang = full.substr(0, full.find('_'));
    for (TrLanguage l : {TR_ZH, TR_EN, TR_ES}) {
        if (full == Tr_catalogueName(l) || lang == Tr_catalogueName(l)) {
            *language = l;
            return true;
        }
    }
    // Simplified Chinese only: zh_TW or zh_HK find no catalogue of ours.
    if (full == "zh" ) {
        *language = TR_ZH;
        return true;
    }
    return false;
}

} // namespace

TrLanguage Tr_languageFromEnvironment(const std::function<const char*(const char*)>& getenv)
{
    auto value = [&](const char* name) -> std::string_view {
        const char* v = getenv(name);
        return v ? std::string_view(v) : std::string_view();
    };
    std::string_view locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = value(name);
        if (!locale.empty()) break;
    }
    if (locale.empty() || locale == "C" || locale == "POSIX" || locale.substr(0, 2) == "C.") return TR_ORIGINAL;
    TrLanguage language = TR_ORIGINAL;
    std::string_view list = value("LANGUAGE");
    if (!list.empty()) {
        while (!list.empty()) {
            size_t colon = list.find(':');
            std::string_view entry = list.substr(0, colon);
            if (!entry.empty() && catalogueForEntry(entry, &language)) return language;
            list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
        }
        return TR_ORIGINAL;
    }
    return catalogueForEntry(locale, &language) ? language : TR_ORIGINAL;
}

std::vector<std::string> Tr_localeDirs()
{
    namespace fs = std::filesystem;
    std::vector<std::string> dirs;
    if (const char* dir = std::getenv("TESSALY_LOCALEDIR"); dir && *dir) dirs.push_back(dir);
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        fs::path dir = exe.parent_path();
        for (fs::path up = dir; !up.empty(); up = up.parent_path()) {
            if (fs::exists(up / "CMakeCache.txt", ec)) {
                dirs.push_back((up / "locale").string());
                break;
            }
            if (up == up.root_path()) break;
        }
        dirs.push_back((dir.parent_path() / "share" / "locale").string());
    }
    dirs.push_back(TESSALY_INSTALL_LOCALEDIR);
    return dirs;
}

bool Tr_init(std::string_view code)
{
    TrLanguage language = TR_ORIGINAL;
    if (!code.empty()) {
        if (!Tr_languageFromCode(code, &language)) return false;
    } else {
        language = Tr_languageFromEnvironment([](const char* name) { return std::getenv(name); });
    }
    if (language == TR_ORIGINAL) {
        Tr_setCatalogue(TR_ORIGINAL, {});
        return true;
    }
    for (const std::string& dir : Tr_localeDirs()) {
        bool ok = false;
        std::string bytes =
            readFile(std::filesystem::path(dir) / Tr_catalogueName(language) / "LC_MESSAGES" / "tessaly.mo", &ok);
        std::map<std::string, std::string> entries;
        if (ok && Tr_parseMo(bytes, &entries)) {
            Tr_setCatalogue(language, std::move(entries));
            return true;
        }
    }
    Tr_setCatalogue(TR_ORIGINAL, {});
    return false;
}

TrLanguage Tr_language() { return current().language; }

void Tr_setCatalogue(TrLanguage language, std::map<std::string, std::string> entries)
{
    Catalogue& c = current();
    c.language = language;
    c.entries = std::move(entries);
    c.templates.clear();
    c.pieces.clear();
    for (auto it = c.entries.begin(); it != c.entries.end();) {
        if (it->first.empty() || it->second.empty()) {
            it = c.entries.erase(it);
            continue;
        }
        std::vector<std::string> directives = Tr_printfDirectives(it->first);
        if (!directives.empty()) c.templates.emplace_back(&it->first, std::move(directives));
        if (hasNonAscii(it->first)) c.pieces[(unsigned char)it->first[0]].push_back(&it->first);
        ++it;
    }
    // A text can match a general template ("writing %s: %s") and a more
    // specific one ("writing the %s at 0x%X failed: %s"); the one that fixes
    // more of the text is meant, so it is tried first.
    auto literalLength = [](const std::string& id) {
        size_t n = id.size();
        for (size_t i = 0; i < id.size(); ++i) {
            size_t d = id[i] == '%' ? directiveLength(id, i) : 0;
            if (d > 0 && id.compare(i, d, "%%") != 0) n -= d;
            if (d > 0) i += d - 1;
        }
        return n;
    };
    std::stable_sort(c.templates.begin(), c.templates.end(), [&](const auto& a, const auto& b) {
        return literalLength(*a.first) > literalLength(*b.first);
    });
    for (auto& [first, ids] : c.pieces) {
        std::stable_sort(ids.begin(), ids.end(),
                         [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    }
}

std::string Tr_text(std::string_view utf8)
{
    const Catalogue& c = current();
    if (c.entries.empty() || utf8.empty()) return std::string(utf8);
    auto exact = c.entries.find(std::string(utf8));
    if (exact != c.entries.end()) return exact->second;
    for (const auto& [id, directives] : c.templates) {
        std::vector<std::string> values;
        int budget = 20000;
        if (!matchTemplate(*id, utf8, &values, &budget)) continue;
        // The values in the order of the arguments they were printed from.
        std::vector<std::string> byPosition(values.size());
        size_t next = 0;
        size_t k = 0;
        for (const std::string& d : directives) {
            if (d == "%%") continue;
            int position = directivePosition(d);
            size_t index = position >= 0 ? size_t(position) : next++;
            if (index < byPosition.size() && k < values.size()) byPosition[index] = values[k];
            ++k;
        }
        return fillTemplate(c.entries.at(*id), byPosition);
    }
    return translatePieces(c, utf8);
}

std::string Tr_gbk(std::string_view gbk) { return Tr_text(Text_gbkToUtf8(gbk)); }

const char* Tr_literal(const char* id)
{
    const Catalogue& c = current();
    if (!id || c.entries.empty()) return id;
    auto it = c.entries.find(id);
    return it == c.entries.end() ? id : it->second.c_str();
}

std::vector<std::string> Tr_printfDirectives(std::string_view text)
{
    std::vector<std::string> directives;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        size_t n = directiveLength(text, i);
        if (n == 0) continue;
        directives.emplace_back(text.substr(i, n));
        i += n - 1;
    }
    return directives;
}

bool Tr_parseMo(std::string_view bytes, std::map<std::string, std::string>* catalogue)
{
    if (bytes.size() < 28) return false;
    auto u32 = [&](size_t at, bool bigEndian) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            uint32_t b = (unsigned char)bytes[at + size_t(bigEndian ? k : 3 - k)];
            v = (v << 8) | b;
        }
        return v;
    };
    bool bigEndian;
    if (u32(0, false) == 0x950412DEu) bigEndian = false;
    else if (u32(0, true) == 0x950412DEu) bigEndian = true;
    else return false;
    const uint32_t revision = u32(4, bigEndian);
    if ((revision >> 16) > 1) return false;
    const uint64_t count = u32(8, bigEndian);
    const uint64_t originals = u32(12, bigEndian);
    const uint64_t translations = u32(16, bigEndian);
    if (originals + count * 8 > bytes.size() || translations + count * 8 > bytes.size()) return false;
    auto stringAt = [&](uint64_t table, uint64_t index, std::string_view* out) {
        const uint64_t length = u32(size_t(table + index * 8), bigEndian);
        const uint64_t offset = u32(size_t(table + index * 8 + 4), bigEndian);
        if (offset > bytes.size() || length > bytes.size() - offset) return false;
        *out = bytes.substr(size_t(offset), size_t(length));
        return true;
    };
    std::map<std::string, std::string> entries;
    for (uint64_t i = 0; i < count; ++i) {
        std::string_view id;
        std::string_view translation;
        if (!stringAt(originals, i, &id) || !stringAt(translations, i, &translation)) return false;
        // Plural forms follow the first after a NUL; the first is the one shown.
        id = id.substr(0, id.find('\0'));
        translation = translation.substr(0, translation.find('\0'));
        if (id.empty()) continue;
        entries.emplace(std::string(id), std::string(translation));
    }
    *catalogue = std::move(entries);
    return true;
}
