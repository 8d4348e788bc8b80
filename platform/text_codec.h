// Conversions between the core's GBK texts and UTF-8 at the edges of the
// program (terminal output, JSON, command-line input).
#pragma once

#include <string>
#include <string_view>

// GBK bytes to UTF-8. Bytes that are not valid GBK come out as U+FFFD, so the
// result is always valid UTF-8.
std::string Text_gbkToUtf8(std::string_view gbk);

// UTF-8 to GBK. False (and *gbk untouched) when the text holds characters GBK
// cannot represent or is not valid UTF-8.
bool Text_utf8ToGbk(std::string_view utf8, std::string* gbk);

// UTF-8 text made safe to print on a terminal: C0 control bytes, DEL and the
// C1 controls (U+0080 to U+009F) are written as \xNN, and so is every byte
// that is not part of a valid UTF-8 sequence. The result is valid UTF-8 and
// holds no control character; everything else passes unchanged.
std::string Text_terminalSafe(std::string_view utf8);
