// The extraction of the window logic's GBK texts: what counts as one message,
// and the template written from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/message_scan.h"
#include "tools/po_file.h"

namespace {

TEST(MessageScan, LiteralsAsTheCompilerSeesThem)
{
    struct Case {
        const char* what;
        std::string source;
        std::vector<std::string> literals;
    };
    const Case cases[] = {
        {"plain", R"(f("a");)", {"a"}},
        {"adjacent ones joined across lines and comments",
         "x = \"ab\" /* c \"no\" */\n  \"cd\" // \"no\"\n \"e\";", {"abcde"}},
        {"separate literals", R"(f("a", "b");)", {"a", "b"}},
        {"escapes", R"(s = "\x41\102\n\t\"\\\?";)", {"AB\n\t\"\\?"}},
        {"hex escapes run to the last hex digit", R"(s = "\xB1\xB1x\xA3";)", {"\xB1\xB1x\xA3"}},
        {"character literals and digit separators", R"(c = '"'; n = 1'000; s = "a'b";)", {"a'b"}},
        {"wide and UTF-16 literals skipped", R"(a = L"w"; b = u"x"; c = U"y"; d = u8"z";)", {"z"}},
        {"raw strings", "s = R\"d(a\"b)d\";", {"a\"b"}},
        {"prefix-like names are not prefixes", "UR = 1; s = R\"(q)\"; t = LR\"(w)\";", {"q"}},
        {"comment-only file", "// \"a\"\n/* \"b\" */", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> got;
        for (const SourceLiteral& l : Messages_scanLiterals(c.source)) got.push_back(l.bytes);
        EXPECT_EQ(got, c.literals);
    }
    // The line a run of literals starts on.
    std::vector<SourceLiteral> lines = Messages_scanLiterals("a\n/*\n*/ b(\"x\"\n \"y\");\nc(\"z\");\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, 3);
    EXPECT_EQ(lines[1].line, 5);
}

TEST(MessageScan, WhichLiteralsAreMessages)
{
    struct Case {
        const char* what;
        std::string source;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {"GBK escapes", R"(t = "\xB8\xFC\xD0\xC2"; /* 更新 */)", {"更新"}},
        {"joined pieces, ASCII kept", "t = \"   \\xB5\\xB1\\xC7\\xB0\"\n    \"OK\\xA3\\xA1\";", {"   当前OK！"}},
        {"ASCII only", R"(t = "update: %s\n";)", {}},
        {"not GBK throughout", R"(t = "\xEF\xBF\xBD";)", {}},
        {"a cut character", R"(t = "\xB8\xFC\xD0";)", {}},
        {"UTF-8 written as itself", "t = \"更新\";", {}},
        {"the same text twice is one id", R"(a = "\xB8\xFC\xD0\xC2"; b = "\xB8\xFC" "\xD0\xC2";)", {"更新"}},
        {"Latin letters of GBK", R"(n = "M\xA8\xA2smovil";)", {"Másmovil"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<MessageEntry> entries;
        Messages_collect("f.cpp", c.source, &entries);
        std::vector<std::string> ids;
        for (const MessageEntry& e : entries) ids.push_back(e.id);
        EXPECT_EQ(ids, c.ids);
    }
}

TEST(MessageScan, TemplateReadsBackWithReferencesAndFlags)
{
    std::vector<MessageEntry> entries;
    Messages_collect("ui/a.cpp", "x = \"\\xB8\\xFC\\xD0\\xC2\";\ny = \"%d\\xC3\\xEB\\\"q\\\"\\n\";", &entries);
    Messages_collect("ui/b.cpp", "\n\nz = \"\\xB8\\xFC\\xD0\\xC2\";", &entries);
    const std::string pot = Messages_writePot(entries);
    EXPECT_NE(pot.find("#: ui/a.cpp:1\n#: ui/b.cpp:3\nmsgid \"更新\"\n"), std::string::npos) << pot;
    EXPECT_NE(pot.find("#: ui/a.cpp:2\n#, c-format\nmsgid \"%d秒\\\"q\\\"\\n\"\n"), std::string::npos) << pot;
    EXPECT_NE(pot.find("charset=UTF-8"), std::string::npos);

    std::vector<PoEntry> read;
    std::string error;
    ASSERT_TRUE(Po_parse(pot, &read, &error)) << error;
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].id, "更新");
    EXPECT_EQ(read[1].id, "%d秒\"q\"\n");
}

} // namespace
