// The catalogues' completeness check (part of `make check`): the committed
// template matches the sources, every text has its Spanish and English
// translation, and no translation changes a text's printf directives. And
// the checker itself, on small catalogues.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/po_file.h"

namespace {

namespace fs = std::filesystem;

std::vector<PoEntry> parse(const std::string& text)
{
    std::vector<PoEntry> entries;
    std::string error;
    EXPECT_TRUE(Po_parse(text, &entries, &error)) << error;
    return entries;
}

std::vector<PoEntry> parseFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::ostringstream s;
    s << in.rdbuf();
    return parse(s.str());
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

TEST(CatalogueCheck, FindsMissingStaleUntranslatedAndChangedDirectives)
{
    const std::vector<PoEntry> pot = parse(R"(msgid ""
msgstr "Content-Type: text/plain; charset=UTF-8\n"

#: a.cpp:1
msgid "更新"
msgstr ""

#, c-format
msgid "cannot write %s: %d"
msgstr ""

msgid "as JSON"
msgstr ""
)");
    ASSERT_EQ(pot.size(), 3u);
    struct Case {
        const char* what;
        const char* po;
        PoCheckRules rules;
        size_t problems;
    };
    const Case cases[] = {
        {"complete", R"(msgid "更新"
msgstr "Actualizar"
msgid "cannot write %s: %d"
msgstr "no se puede escribir %s: %d"
msgid "as JSON"
msgstr "como JSON")", {}, 0},
        {"reordered by position", R"(msgid "更新"
msgstr "Actualizar"
msgid "cannot write %s: %d"
msgstr "%2$d: %1$s"
msgid "as JSON"
msgstr "como JSON")", {}, 0},
        {"directive changed, dropped, added", R"(msgid "更新"
msgstr "Actualizar %s"
msgid "cannot write %s: %d"
msgstr "no se puede escribir %d: %s"
msgid "as JSON"
msgstr "como JSON 100%%")", {}, 2},
        {"untranslated and fuzzy", R"(msgid "更新"
msgstr ""
#, fuzzy
msgid "cannot write %s: %d"
msgstr "no se puede escribir %s: %d"
msgid "as JSON"
msgstr "")", {}, 3},
        {"English ids may stay as they are in English", R"(msgid "更新"
msgstr "Update"
msgid "cannot write %s: %d"
msgstr ""
msgid "as JSON"
msgstr "")", {true, true}, 0},
        {"but Chinese ones may not", R"(msgid "更新"
msgstr ""
msgid "cannot write %s: %d"
msgstr ""
msgid "as JSON"
msgstr "")", {true, true}, 1},
        {"incomplete allowed, out of date not", R"(msgid "更新"
msgstr ""
msgid "gone from the sources"
msgstr "ya no está"
#~ msgid "obsolete"
#~ msgstr "obsoleto")", {false, false}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> problems = Po_check(pot, parse(c.po), c.rules);
        EXPECT_EQ(problems.size(), c.problems) << joined(problems);
    }
}

TEST(CatalogueCheck, ReadsWhatGettextWrites)
{
    const std::vector<PoEntry> entries = parse(R"(# comment
msgid ""
msgstr ""
"Project-Id-Version: tessaly\n"

#: cli/a.cpp:3 cli/b.cpp:4
#, c-format
msgid ""
"two "
"lines %s\n"
msgstr ""
"dos "
"líneas %s\n"

msgctxt "menu"
msgid "Open"
msgstr "Abrir"

msgid "one file"
msgid_plural "%d files"
msgstr[0] "un archivo"
msgstr[1] "%d archivos"
)");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].id, "two lines %s\n");
    EXPECT_EQ(entries[0].translation, "dos líneas %s\n");
    EXPECT_EQ(entries[1].id, "Open");
    EXPECT_EQ(entries[1].translation, "Abrir");
    EXPECT_EQ(entries[2].translation, "un archivo");

    std::vector<PoEntry> out;
    std::string error;
    EXPECT_FALSE(Po_parse("msgid \"a\nmsgstr \"b\"\n", &out, &error));
    EXPECT_FALSE(Po_parse("\"stray\"\n", &out, &error));
    EXPECT_FALSE(Po_parse("msgid \"a\"\nmsgstr \"bad \\q escape\"\n", &out, &error));
    EXPECT_FALSE(Po_parse("msgid \"a\"\nwhat \"b\"\n", &out, &error));
}

// The committed template is what the sources hold now.
TEST(Catalogues, TemplateMatchesTheSources)
{
    std::set<std::string> committed, built;
    for (const PoEntry& e : parseFile(fs::path(TESSALY_PO_DIR) / "tessaly.pot")) committed.insert(e.id);
    for (const PoEntry& e : parseFile(TESSALY_BUILT_POT)) built.insert(e.id);
    std::vector<std::string> differences;
    for (const std::string& id : built)
        if (!committed.count(id)) differences.push_back("new in the sources: \"" + id + "\"");
    for (const std::string& id : committed)
        if (!built.count(id)) differences.push_back("gone from the sources: \"" + id + "\"");
    EXPECT_TRUE(differences.empty()) << "po/tessaly.pot is out of date; run `make pot`:\n" << joined(differences);
}

// Spanish and English complete (English may leave the terminal's English
// texts empty: they are shown as they are); Chinese (the terminal's texts)
// may be partial. All of them current, and none changing a directive.
TEST(Catalogues, TranslationsCompleteAndCurrent)
{
    const fs::path dir = TESSALY_PO_DIR;
    if (!fs::exists(dir / "es.po")) GTEST_SKIP() << "no translations yet (po/es.po)";
    const std::vector<PoEntry> pot = parseFile(TESSALY_BUILT_POT);
    struct Language {
        const char* name;
        PoCheckRules rules;
        bool required;
    };
    const Language languages[] = {
        {"es", {true, false}, true},
        {"en", {true, true}, true},
        {"zh_CN", {false, false}, false},
    };
    for (const Language& l : languages) {
        SCOPED_TRACE(l.name);
        const fs::path po = dir / (std::string(l.name) + ".po");
        if (!fs::exists(po)) {
            EXPECT_FALSE(l.required) << po << " is missing";
            continue;
        }
        std::vector<std::string> problems = Po_check(pot, parseFile(po), l.rules);
        EXPECT_TRUE(problems.empty()) << po << ":\n" << joined(problems);
    }
}

} // namespace
