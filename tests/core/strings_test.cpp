#include "core/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const char* text, int length = 0)
{
    const char* starts[ZR_SPLIT_MAX_FIELDS];
    int lengths[ZR_SPLIT_MAX_FIELDS];
    int n = ZR_splitFields(starts, lengths, text, length);
    std::vector<std::string> fields;
    for (int i = 0; i < n; ++i)
        fields.emplace_back(starts[i], size_t(lengths[i]));
    return fields;
}

using Fields = std::vector<std::string>;

TEST(SplitFields, TrimsEachFieldAndCountsThem)
{
    EXPECT_EQ(split("a, b , c"), (Fields{"a", "b", "c"}));
    EXPECT_EQ(split(" \t padded \r\n"), (Fields{"padded"}));
    EXPECT_EQ(split("x,,  ,y"), (Fields{"x", "", "", "y"}));
    EXPECT_EQ(split(","), (Fields{"", ""}));
    EXPECT_EQ(split("   "), (Fields{""}));
}

TEST(SplitFields, FieldsPointIntoTheUnchangedText)
{
    const char text[] = " ab ,cd";
    const char* starts[ZR_SPLIT_MAX_FIELDS];
    int lengths[ZR_SPLIT_MAX_FIELDS];
    ASSERT_EQ(ZR_splitFields(starts, lengths, text, 0), 2);
    EXPECT_EQ(starts[0], text + 1);
    EXPECT_EQ(lengths[0], 2);
    EXPECT_EQ(starts[1], text + 5);
    EXPECT_STREQ(text, " ab ,cd");
}

TEST(SplitFields, TwentyFieldsAtMost)
{
    std::string nineteenCommas(19, ','), twentyCommas(20, ',');
    EXPECT_EQ(split(nineteenCommas.c_str()).size(), 20u);
    EXPECT_TRUE(split(twentyCommas.c_str()).empty());
    EXPECT_TRUE(split((twentyCommas + "tail").c_str()).empty());
}

TEST(SplitFields, LengthAndTerminatorBoundTheScan)
{
    EXPECT_EQ(split("a,b,c", 3), (Fields{"a", "b"}));
    EXPECT_EQ(split("a,b", 50), (Fields{"a", "b"}));
    EXPECT_EQ(split("a,b", -1), (Fields{"a", "b"}));
    EXPECT_TRUE(split("").empty());
    EXPECT_TRUE(split("", 10).empty());

    const char* starts[ZR_SPLIT_MAX_FIELDS];
    int lengths[ZR_SPLIT_MAX_FIELDS];
    EXPECT_EQ(ZR_splitFields(starts, lengths, nullptr, 5), 0);
    EXPECT_EQ(ZR_splitFields(nullptr, lengths, "a", 0), 0);
    EXPECT_EQ(ZR_splitFields(starts, nullptr, "a", 0), 0);
}

TEST(ParseInt, BlanksSignDigitsThenStop)
{
    EXPECT_EQ(ZR_parseInt("  -42x"), -42);
    EXPECT_EQ(ZR_parseInt("+7"), 7);
    EXPECT_EQ(ZR_parseInt("\t\r\n 12 34"), 12);
    EXPECT_EQ(ZR_parseInt("x5"), 0);
    EXPECT_EQ(ZR_parseInt("-"), 0);
    EXPECT_EQ(ZR_parseInt("+-3"), 0);
    EXPECT_EQ(ZR_parseInt(""), 0);
    EXPECT_EQ(ZR_parseInt(nullptr), 0);
    EXPECT_EQ(ZR_parseInt("-2147483648"), INT32_MIN);
    // Unchecked overflow wraps instead of being undefined.
    EXPECT_EQ(ZR_parseInt("4294967297"), 1);
}

TEST(Trim, LeftAndRight)
{
    char blanks[] = "   ";
    ZR_trimLeft(blanks);
    EXPECT_STREQ(blanks, "");

    char left[] = " \t\r\nab c ";
    ZR_trimLeft(left);
    EXPECT_STREQ(left, "ab c ");

    char right[] = " ab c \t\r\n";
    ZR_trimRight(right);
    EXPECT_STREQ(right, " ab c");
    EXPECT_EQ(std::memcmp(right + 5, "\0\0\0\0\0", 5), 0);

    char onlyBlanks[] = " \n ";
    ZR_trimRight(onlyBlanks);
    EXPECT_STREQ(onlyBlanks, "");

    ZR_trimLeft(nullptr);
    ZR_trimRight(nullptr);
}

TEST(StrCopy, BoundedByCapacityAndLengthAndZeroFilled)
{
    char buffer[8];
    auto fresh = [&] { std::memset(buffer, 'X', sizeof buffer); };
    auto zeroAfter = [&](size_t from) {
        for (size_t i = from; i < sizeof buffer; ++i)
            if (buffer[i])
                return false;
        return true;
    };

    fresh();
    EXPECT_EQ(ZR_strCopy(5, "abcdefg", buffer, 0), 4);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(buffer[5], 'X') << "writes nothing beyond capacity";

    fresh();
    EXPECT_EQ(ZR_strCopy(8, "abcdefg", buffer, -3), 7);
    EXPECT_STREQ(buffer, "abcdefg");

    fresh();
    EXPECT_EQ(ZR_strCopy(8, "abcdefg", buffer, 2), 2);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_TRUE(zeroAfter(2));

    fresh();
    EXPECT_EQ(ZR_strCopy(8, "ab", buffer, 6), 2);
    EXPECT_TRUE(zeroAfter(2));

    fresh();
    EXPECT_EQ(ZR_strCopy(1, "abc", buffer, 0), 0);
    EXPECT_EQ(buffer[0], 0);

    fresh();
    EXPECT_EQ(ZR_strCopy(8, nullptr, buffer, 0), 0);
    EXPECT_TRUE(zeroAfter(0));

    fresh();
    EXPECT_EQ(ZR_strCopy(0, "abc", buffer, 0), 0);
    EXPECT_EQ(ZR_strCopy(-1, "abc", buffer, 0), 0);
    EXPECT_EQ(ZR_strCopy(8, "abc", nullptr, 0), 0);
    EXPECT_EQ(buffer[0], 'X');
}

TEST(StrAppend, KeepsTheWholeWithinCapacity)
{
    char buffer[8] = "abc";
    EXPECT_EQ(ZR_strAppend("defgh", 8, buffer), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(ZR_strAppend("z", 8, buffer), 1) << "a full buffer is not a failure";
    EXPECT_STREQ(buffer, "abcdefg");

    char small[8] = "ab";
    EXPECT_EQ(ZR_strAppend("cd", 8, small), 1);
    EXPECT_STREQ(small, "abcd");

    EXPECT_EQ(ZR_strAppend(nullptr, 8, small), 0);
    EXPECT_EQ(ZR_strAppend("x", 8, nullptr), 0);
    EXPECT_EQ(ZR_strAppend("x", 0, small), 0);
    EXPECT_STREQ(small, "abcd");

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(ZR_strAppend("x", 4, unterminated), 0);
    EXPECT_EQ(std::memcmp(unterminated, "abcd", 4), 0);
}

TEST(Format, CutsTerminatesAndReportsTheFullCount)
{
    char buffer[8];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(ZR_format(buffer, 8, "%d-%s", 12345, "abcdef"), 12);
    EXPECT_STREQ(buffer, "12345-a");

    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(ZR_format(buffer, 8, "%s", "ab"), 2);
    for (size_t i = 2; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], 0) << i;

    EXPECT_EQ(ZR_format(nullptr, 8, "x"), -1);
    EXPECT_EQ(ZR_format(buffer, 0, "x"), -1);
}

TEST(StrDup, CopiesIntoNewMemory)
{
    const char text[] = "\xB1\xB1\xBE\xA9" /* 北京 */;
    char* copy = ZR_strDup(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, text);
    EXPECT_STREQ(copy, text);
    std::free(copy);
    EXPECT_EQ(ZR_strDup(nullptr), nullptr);
}

} // namespace
