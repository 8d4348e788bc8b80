// printf into a std::string, for the terminal's texts that are printf
// templates (so that a translation can move the values where its language
// puts them).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

inline std::string Cli_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string Cli_format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (n > 0) {
        text.resize(size_t(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(size_t(n));
    }
    va_end(again);
    return text;
}
