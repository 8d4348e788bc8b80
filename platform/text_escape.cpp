// Escaping of texts for the terminal (no conversion library needed).
#include "platform/text_codec.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF count as invalid).
size_t sequenceLength(std::string_view s, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t lead = byte(i);
    size_t n;
    uint32_t min;
    uint32_t value;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, min = 0x80, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, min = 0x800, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4, min = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    if (s.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return n;
}

void appendEscaped(std::string* out, uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    *out += text;
}

} // namespace

std::string Text_terminalSafe(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<uint8_t>(utf8[i]);
        const size_t n = sequenceLength(utf8, i);
        if (n == 0 || lead < 0x20 || lead == 0x7F) {
            appendEscaped(&out, lead);
            ++i;
            continue;
        }
        // U+0080 to U+009F: the C1 controls, two bytes C2 80 to C2 9F.
        if (n == 2 && lead == 0xC2 && static_cast<uint8_t>(utf8[i + 1]) < 0xA0) {
            appendEscaped(&out, lead);
            appendEscaped(&out, static_cast<uint8_t>(utf8[i + 1]));
            i += 2;
            continue;
        }
        out.append(utf8.substr(i, n));
        i += n;
    }
    return out;
}
