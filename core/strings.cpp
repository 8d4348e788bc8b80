#include "core/strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

int ZR_strAppend(const char* text, int capacity, char* buffer)
{
    if (!buffer || !text || capacity <= 0)
        return 0;
    size_t used = strnlen(buffer, size_t(capacity));
    if (used == size_t(capacity))
        return 0;
    size_t room = size_t(capacity) - 1 - used;
    size_t take = strnlen(text, room);
    std::memcpy(buffer + used, text, take);
    buffer[used + take] = 0;
    return 1;
}

char* ZR_strDup(const char* text)
{
    if (!text)
        return nullptr;
    size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

int ZR_format(char* buffer, int capacity, const char* format, ...)
{
    if (!buffer || !format || capacity <= 0)
        return -1;
    std::memset(buffer, 0, size_t(capacity));
    va_list args;
    va_start(args, format);
    int count = std::vsnprintf(buffer, size_t(capacity), format, args);
    va_end(args);
    if (count < 0)
        buffer[0] = 0;
    return count;
}

int ZR_strCopy(int capacity, const char* source, char* buffer, int length)
{
    if (!buffer || capacity <= 0)
        return 0;
    std::memset(buffer, 0, size_t(capacity));
    if (!source)
        return 0;
    size_t limit = size_t(capacity) - 1;
    if (length > 0 && size_t(length) < limit)
        limit = size_t(length);
    size_t take = strnlen(source, limit);
    std::memcpy(buffer, source, take);
    return int(take);
}

void ZR_trimLeft(char* text)
{
    if (!text)
        return;
    size_t skip = 0;
    while (isBlank(text[skip]))
        ++skip;
    if (skip)
        std::memmove(text, text + skip, std::strlen(text + skip) + 1);
}

void ZR_trimRight(char* text)
{
    if (!text)
        return;
    for (size_t n = std::strlen(text); n > 0 && isBlank(text[n - 1]); --n)
        text[n - 1] = 0;
}

int32_t ZR_parseInt(const char* text)
{
    if (!text)
        return 0;
    while (isBlank(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Unsigned arithmetic wraps where a signed overflow would be undefined.
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + uint32_t(*text - '0');
    return int32_t(negative ? 0u - value : value);
}

namespace {

void setTrimmedField(const char** starts, int* lengths, int index, const char* begin, const char* end)
{
    while (begin < end && isBlank(*begin))
        ++begin;
    while (end > begin && isBlank(end[-1]))
        --end;
    starts[index] = begin;
    lengths[index] = int(end - begin);
}

} // namespace

int ZR_splitFields(const char** starts, int* lengths, const char* text, int length)
{
    if (!starts || !lengths || !text)
        return 0;
    size_t limit = length > 0 ? strnlen(text, size_t(length)) : std::strlen(text);
    if (limit == 0)
        return 0;
    const char* end = text + limit;
    const char* fieldStart = text;
    int field = 0;
    for (const char* p = text; p < end; ++p) {
        if (*p != ',')
            continue;
        if (field == ZR_SPLIT_MAX_FIELDS - 1)
            return 0;
        setTrimmedField(starts, lengths, field++, fieldStart, p);
        fieldStart = p + 1;
    }
    setTrimmedField(starts, lengths, field++, fieldStart, end);
    return field;
}

std::string ZR_formatString(const char* format, ...)
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
