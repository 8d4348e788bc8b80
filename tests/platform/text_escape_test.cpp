// Texts from containers and devices on the terminal: no control byte and no
// broken UTF-8 gets through.
#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TerminalSafe, ControlsAndBrokenSequencesAreEscaped)
{
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"K502", "K502"},
        {"M\xff\x1b" "7", "M\\xFF\\x1B7"},                     // the board key that broke inspect
        {"\x1b[2J\x07", "\\x1B[2J\\x07"},                       // terminal commands, bell
        {"tab\there\nnew", "tab\\x09here\\x0Anew"},
        {"del\x7f", "del\\x7F"},
        {"\xc2\x9b" "31m", "\\xC2\\x9B31m"},                    // the C1 form of ESC [
        {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},               // no-break space, é
        {"\xe5\x8c\x97\xe4\xba\xac", "\xe5\x8c\x97\xe4\xba\xac"}, // 北京
        {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},               // beyond the BMP
        {"\xe5\x8c", "\\xE5\\x8C"},                             // cut short
        {"\xc0\xaf", "\\xC0\\xAF"},                             // overlong '/'
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                    // a surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},           // past U+10FFFF
        {std::string("a\0b", 3), "a\\x00b"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(Text_terminalSafe(c.in), c.out);
    }
}

} // namespace
