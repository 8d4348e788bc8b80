// The lookup at the hosts' edges: the one rule for whole, template and
// composed texts, GBK input, the language choice, and reading catalogues.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/translate.h"
#include "support/mo_file.h"
#include "support/temp_dir.h"

namespace {

using test_support::moFile;

// Every test leaves the original texts behind it.
class Translate : public ::testing::Test {
protected:
    void TearDown() override { Tr_setCatalogue(TR_ORIGINAL, {}); }
};

const std::map<std::string, std::string> kSpanish = {
    {"更新成功！", "¡Actualización correcta!"},
    {"更新失败！", "¡Error de actualización!"},
    {"   当前版本：", "   Versión actual: "},
    {"数据更新服务", "Servicio de actualización de datos"},
    {"   连接成功！", "   ¡Conectado!"},
    {"已更新", "Actualizado"},
    {"时间", "tiempo"},
    {"秒", "s"},
    {"更新", "Actualizar"},
    {"正在写入", "Escribiendo"},
    {"info: cannot write %s\n", "info: no se puede escribir %s\n"},
    {"%d of %d provinces chosen", "%d de %d provincias elegidas"},
    {"%1$s holds %2$d K", "%2$d K en %1$s"},
    {"%2$s before %1$s", "%1$s tras %2$s"},
    {"band %s is %s", "la banda %s está %s"},
    {"progress 100%%", "progreso 100%%"},
    {"writing %s: %s", "al escribir %s: %s"},
    {"writing the %s at 0x%X failed: %s", "falló la escritura de %s en 0x%X: %s"},
};

TEST_F(Translate, OneRuleForWholeTemplateAndComposedTexts)
{
    Tr_setCatalogue(TR_ES, kSpanish);
    struct Case {
        const char* text;
        const char* shown;
    };
    const Case cases[] = {
        // A whole id, and a text nobody translated.
        {"更新成功！", "¡Actualización correcta!"},
        {"not in the catalogue", "not in the catalogue"},
        {"", ""},
        // An id holding directives: the values carried over, in place.
        {"3 of 34 provinces chosen", "3 de 34 provincias elegidas"},
        {"x of 34 provinces chosen", "x of 34 provinces chosen"},
        {"北京 holds 1200 K", "1200 K en 北京"},
        {"b before a", "a tras b"},
        {"band K is on", "la banda K está on"},
        {"progress 100%", "progreso 100%"},
        // The template that fixes more of the text wins over a general one.
        {"writing the program at 0x1000 failed: no reply in time",
         "falló la escritura de program en 0x1000: no reply in time"},
        {"writing /tmp/x: No space left on device", "al escribir /tmp/x: No space left on device"},
        // Composed texts: the longest known pieces, the rest kept.
        {"更新失败！  -5", "¡Error de actualización!  -5"},
        {"   当前版本：20240603", "   Versión actual: 20240603"},
        {"数据更新服务   连接成功！   当前版本：20240603",
         "Servicio de actualización de datos   ¡Conectado!   Versión actual: 20240603"},
        {"已更新 61.00%   时间 12 秒", "Actualizado 61.00%   tiempo 12 s"},
        // A translated piece touching a number gets a space; longest piece wins.
        {"正在写入61%", "Escribiendo 61%"},
        {"更新成功！更新", "¡Actualización correcta!Actualizar"},
        {"已更新100", "Actualizado 100"},
        // Unknown Chinese stays whole around known pieces.
        {"未知更新未知", "未知Actualizar未知"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Tr_text(c.text), c.shown);
    }
}

// A catalogue is a file: an id made of many directives must not make a
// lookup search for ever (it would try every way to cut the text).
TEST_F(Translate, TemplatesOfManyDirectivesStayCheap)
{
    std::string id, translation;
    for (int i = 0; i < 30; ++i) id += "%s";
    translation = id + "Y";
    Tr_setCatalogue(TR_ES, {{id + "X", translation}, {"更新", "Actualizar"}});
    const std::string text(60, 'a');
    EXPECT_EQ(Tr_text(text), text);
    EXPECT_EQ(Tr_text(text + "更新"), text + " Actualizar");
}

TEST_F(Translate, GbkInputAndLiteralsAndTheOriginal)
{
    // Without a catalogue every text is shown as written, converted to UTF-8.
    EXPECT_EQ(Tr_gbk("\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\xA3\xA1" /* 更新成功！ */), "更新成功！");
    EXPECT_STREQ(Tr_literal("as written"), "as written");

    Tr_setCatalogue(TR_ES, kSpanish);
    EXPECT_EQ(Tr_language(), TR_ES);
    EXPECT_EQ(Tr_gbk("\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\xA3\xA1" /* 更新成功！ */), "¡Actualización correcta!");
    EXPECT_EQ(Tr_gbk("\xB8\xFC\xD0\xC2\xCA\xA7\xB0\xDC\xA3\xA1  -3" /* 更新失败！  -3 */),
              "¡Error de actualización!  -3");
    // Bytes that are not GBK do not stop the rest from being shown.
    EXPECT_EQ(Tr_gbk("\xB8\xFC\xD0\xC2\xFF"), "Actualizar\xEF\xBF\xBD");
    // Literals by exact id only, their directives kept for printf.
    EXPECT_STREQ(Tr_literal("info: cannot write %s\n"), "info: no se puede escribir %s\n");
    EXPECT_STREQ(Tr_literal("info: cannot write"), "info: cannot write");
    EXPECT_EQ(Tr_literal(nullptr), nullptr);
}

TEST(TranslateDirectives, WellFormedOnesInOrder)
{
    struct Case {
        const char* text;
        std::vector<std::string> directives;
    };
    const Case cases[] = {
        {"plain", {}},
        {"%s: %d", {"%s", "%d"}},
        {"%-8s|%08.3f|%lld|%zu|%hhx", {"%-8s", "%08.3f", "%lld", "%zu", "%hhx"}},
        {"%2$s %1$d", {"%2$s", "%1$d"}},
        {"%*d %.*s", {"%*d", "%.*s"}},
        {"100%%", {"%%"}},
        {"61%, nearly", {}},
        {"61% done", {"% d"}}, // as printf reads it: the space flag and d
        {"ends in %", {}},
        {"%y", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Tr_printfDirectives(c.text), c.directives);
    }
}

TEST(TranslateLanguage, ChosenFromTheEnvironmentAsGettextDoes)
{
    struct Case {
        std::map<std::string, std::string> env;
        TrLanguage language;
    };
    const Case cases[] = {
        {{}, TR_ORIGINAL},
        {{{"LANG", "es_ES.UTF-8"}}, TR_ES},
        {{{"LANG", "es_MX"}}, TR_ES},
        {{{"LANG", "en_GB.UTF-8@euro"}}, TR_EN},
        {{{"LANG", "zh_CN.GB18030"}}, TR_ZH},
        {{{"LANG", "zh_TW.UTF-8"}}, TR_ORIGINAL},
        {{{"LANG", "fr_FR.UTF-8"}}, TR_ORIGINAL},
        {{{"LANG", "C"}}, TR_ORIGINAL},
        {{{"LANG", "C.UTF-8"}}, TR_ORIGINAL},
        {{{"LANG", "POSIX"}}, TR_ORIGINAL},
        // LC_ALL before LC_MESSAGES before LANG; an empty one counts as unset.
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "es_ES.UTF-8"}}, TR_ES},
        {{{"LANG", "en_US.UTF-8"}, {"LC_MESSAGES", "es_ES.UTF-8"}, {"LC_ALL", "C"}}, TR_ORIGINAL},
        {{{"LANG", "es_ES.UTF-8"}, {"LC_ALL", ""}}, TR_ES},
        // LANGUAGE first, entry by entry, but never over the C locale.
        {{{"LANG", "es_ES.UTF-8"}, {"LANGUAGE", "en"}}, TR_EN},
        {{{"LANG", "fr_FR.UTF-8"}, {"LANGUAGE", "fr:de_DE:es"}}, TR_ES},
        {{{"LANG", "es_ES.UTF-8"}, {"LANGUAGE", "fr:de"}}, TR_ORIGINAL},
        {{{"LANG", "es_ES.UTF-8"}, {"LANGUAGE", "::en_US"}}, TR_EN},
        {{{"LANG", "es_ES.UTF-8"}, {"LANGUAGE", ""}}, TR_ES},
        {{{"LC_ALL", "C"}, {"LANGUAGE", "es"}}, TR_ORIGINAL},
        {{{"LANGUAGE", "es"}}, TR_ORIGINAL},
        {{{"LC_MESSAGES", "POSIX"}, {"LANG", "es_ES.UTF-8"}, {"LANGUAGE", "es"}}, TR_ORIGINAL},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const auto& [k, v] : c.env) trace += k + "=" + v + " ";
        SCOPED_TRACE(trace);
        TrLanguage got = Tr_languageFromEnvironment([&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        });
        EXPECT_EQ(got, c.language);
    }

    const std::pair<const char*, bool> codes[] = {{"zh", true}, {"en", true}, {"es", true}, {"C", true},
                                                  {"fr", false}, {"", false}, {"ES", false}};
    for (const auto& [code, known] : codes) {
        TrLanguage l;
        EXPECT_EQ(Tr_languageFromCode(code, &l), known) << code;
    }
}

TEST(TranslateCatalogue, MoFilesReadAndMalformedOnesRefused)
{
    const std::map<std::string, std::string> entries = {{"a", "b"}, {"更新", "Actualizar"}, {"x", ""}};
    for (bool bigEndian : {false, true}) {
        std::map<std::string, std::string> read;
        ASSERT_TRUE(Tr_parseMo(moFile(entries, bigEndian), &read)) << bigEndian;
        EXPECT_EQ(read, entries); // the header entry left out
    }

    const std::string good = moFile({{"a", "b"}});
    auto patched = [&](size_t at, uint32_t v) {
        std::string s = good;
        for (int k = 0; k < 4; ++k) s[at + size_t(k)] = char((v >> (8 * k)) & 0xFF);
        return s;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case bad[] = {
        {"empty", ""},
        {"cut header", good.substr(0, 20)},
        {"wrong magic", patched(0, 0x12345678)},
        {"later major revision", patched(4, 0x00020000)},
        {"count past the end", patched(8, 1000)},
        {"count that overflows", patched(8, 0xFFFFFFFF)},
        {"originals table past the end", patched(12, 0xFFFFFFF0)},
        {"translations table past the end", patched(16, uint32_t(good.size()))},
        {"string length past the end", patched(28, 0xFFFFFFFF)},
        {"string offset past the end", patched(32, uint32_t(good.size()) + 1)},
        {"cut strings", good.substr(0, good.size() - 3)},
    };
    for (const Case& c : bad) {
        std::map<std::string, std::string> read = {{"kept", "kept"}};
        EXPECT_FALSE(Tr_parseMo(c.bytes, &read)) << c.what;
        EXPECT_EQ(read.size(), 1u) << c.what;
    }
}

TEST_F(Translate, InitFindsTheCatalogueOrKeepsTheOriginal)
{
    test_support::TempDir dir;
    ASSERT_TRUE(test_support::writeCatalogue(dir.path(), "es", {{"更新", "Actualizar"}}));
    ASSERT_TRUE(test_support::writeFile(dir.path() / "en" / "LC_MESSAGES" / "tessaly.mo", "not a catalogue"));
    ::setenv("TESSALY_LOCALEDIR", dir.str().c_str(), 1);

    EXPECT_TRUE(Tr_init("es"));
    EXPECT_EQ(Tr_language(), TR_ES);
    EXPECT_EQ(Tr_text("更新"), "Actualizar");

    // A damaged catalogue is passed over for the next folder's (the build
    // tree's, when it has one), else the original texts.
    Tr_init("en");
    EXPECT_NE(Tr_text("更新"), "Actualizar");
    if (Tr_language() == TR_ORIGINAL) {
        EXPECT_EQ(Tr_text("更新"), "更新");
    }

    EXPECT_TRUE(Tr_init("C"));
    EXPECT_EQ(Tr_language(), TR_ORIGINAL);
    EXPECT_FALSE(Tr_init("fr"));
    EXPECT_EQ(Tr_localeDirs().front(), dir.str());
    ::unsetenv("TESSALY_LOCALEDIR");

    // Run from the build tree (as this test is): that tree's locale/ first.
    const std::vector<std::string> dirs = Tr_localeDirs();
    ASSERT_GE(dirs.size(), 3u);
    const std::filesystem::path tree = std::filesystem::path(dirs.front()).parent_path();
    EXPECT_EQ(std::filesystem::path(dirs.front()).filename(), "locale");
    EXPECT_TRUE(std::filesystem::exists(tree / "CMakeCache.txt")) << dirs.front();
}

} // namespace
