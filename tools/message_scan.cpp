#include "tools/message_scan.h"

#include <algorithm>
#include <cstring>

#include "platform/text_codec.h"
#include "platform/translate.h"

namespace {

bool isIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isIdentChar(char c) { return isIdentStart(c) || (c >= '0' && c <= '9'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendUtf8(std::string* out, uint32_t cp)
{
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | (cp >> 6));
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | (cp >> 12));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | (cp >> 18));
        *out += char(0x80 | ((cp >> 12) & 0x3F));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}

    std::vector<SourceLiteral> run()
    {
        std::vector<SourceLiteral> literals;
        while (i_ < s_.size()) {
            std::string prefix;
            if (!atLiteral(&prefix)) {
                step();
                continue;
            }
            SourceLiteral literal;
            literal.line = line_;
            bool plain = true;
            for (;;) {
                i_ += prefix.size();
                std::string bytes = readLiteral(prefix.find('R') != std::string::npos, &literal.rawNonAscii);
                // Wide and UTF-16/32 literals are not texts of the core.
                if (prefix != "" && prefix != "R" && prefix != "u8" && prefix != "u8R") plain = false;
                literal.bytes += bytes;
                skipSpaceAndComments();
                if (!atLiteral(&prefix)) break;
            }
            if (plain) literals.push_back(std::move(literal));
        }
        return literals;
    }

private:
    // Whether a string literal (with its prefix) starts at i_.
    bool atLiteral(std::string* prefix)
    {
        if (i_ >= s_.size()) return false;
        if (s_[i_] == '"') {
            prefix->clear();
            return true;
        }
        if (!isIdentStart(s_[i_]) || (i_ > 0 && isIdentChar(s_[i_ - 1]))) return false;
        size_t j = i_;
        while (j < s_.size() && isIdentChar(s_[j])) ++j;
        if (j >= s_.size() || s_[j] != '"') return false;
        std::string_view word = s_.substr(i_, j - i_);
        for (const char* p : {"u8", "L", "u", "U", "R", "u8R", "LR", "uR", "UR"}) {
            if (word == p) {
                *prefix = std::string(word);
                return true;
            }
        }
        return false;
    }

    // Moves over one token that is not a string literal.
    void step()
    {
        char c = s_[i_];
        if (c == '\n') {
            ++line_;
            ++i_;
        } else if (s_.substr(i_, 2) == "//" || s_.substr(i_, 2) == "/*") {
            skipSpaceAndComments();
        } else if (c == '\'') {
            ++i_;
            while (i_ < s_.size() && s_[i_] != '\'' && s_[i_] != '\n') i_ += s_[i_] == '\\' ? 2 : 1;
            if (i_ < s_.size() && s_[i_] == '\'') ++i_;
        } else if (isDigit(c) || (c == '.' && i_ + 1 < s_.size() && isDigit(s_[i_ + 1]))) {
            // A number, digit separators (1'000) and exponents included.
            ++i_;
            while (i_ < s_.size()) {
                char d = s_[i_];
                if ((d == '+' || d == '-') && std::strchr("eEpP", s_[i_ - 1])) ++i_;
                else if (isIdentChar(d) || d == '.' || (d == '\'' && i_ + 1 < s_.size() && isIdentChar(s_[i_ + 1]))) ++i_;
                else break;
            }
        } else if (isIdentStart(c)) {
            while (i_ < s_.size() && isIdentChar(s_[i_])) ++i_;
        } else {
            ++i_;
        }
    }

    void skipSpaceAndComments()
    {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == '\n') {
                ++line_;
                ++i_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++i_;
            } else if (s_.substr(i_, 2) == "//") {
                while (i_ < s_.size() && s_[i_] != '\n') ++i_;
            } else if (s_.substr(i_, 2) == "/*") {
                size_t end = s_.find("*/", i_ + 2);
                end = end == std::string_view::npos ? s_.size() : end + 2;
                line_ += int(std::count(s_.begin() + long(i_), s_.begin() + long(end), '\n'));
                i_ = end;
            } else if (c == '\\' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {
                i_ += 1;
            } else {
                break;
            }
        }
    }

    // Reads the literal whose opening quote is at i_; leaves i_ after it.
    std::string readLiteral(bool raw, bool* rawNonAscii)
    {
        std::string out;
        ++i_; // the quote
        if (raw) {
            size_t open = s_.find('(', i_);
            if (open == std::string_view::npos) {
                i_ = s_.size();
                return out;
            }
            std::string close(1, ')');
            close.append(s_.substr(i_, open - i_));
            close += '"';
            size_t end = s_.find(close, open + 1);
            if (end == std::string_view::npos) end = s_.size();
            out = std::string(s_.substr(open + 1, end - open - 1));
            if (std::any_of(out.begin(), out.end(), [](char c) { return (unsigned char)c >= 0x80; })) *rawNonAscii = true;
            line_ += int(std::count(out.begin(), out.end(), '\n'));
            i_ = std::min(s_.size(), end + close.size());
            return out;
        }
        while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\n') {
            char c = s_[i_++];
            if (c != '\\') {
                if ((unsigned char)c >= 0x80) *rawNonAscii = true;
                out += c;
                continue;
            }
            if (i_ >= s_.size()) break;
            char e = s_[i_++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case '\n': ++line_; break; // a continued line
            case 'x': {
                // As the compiler reads it: every hex digit that follows.
                unsigned value = 0;
                while (i_ < s_.size() && hexValue(s_[i_]) >= 0) value = (value << 4) | unsigned(hexValue(s_[i_++]));
                out += char(value & 0xFF);
                break;
            }
            case 'u':
            case 'U': {
                size_t digits = e == 'u' ? 4 : 8;
                uint32_t cp = 0;
                for (size_t k = 0; k < digits && i_ < s_.size() && hexValue(s_[i_]) >= 0; ++k)
                    cp = (cp << 4) | uint32_t(hexValue(s_[i_++]));
                appendUtf8(&out, cp);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    unsigned value = unsigned(e - '0');
                    for (int k = 0; k < 2 && i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '7'; ++k)
                        value = value * 8 + unsigned(s_[i_++] - '0');
                    out += char(value & 0xFF);
                } else {
                    out += e; // \" \' \\ \?
                }
            }
        }
        if (i_ < s_.size() && s_[i_] == '"') ++i_;
        return out;
    }

    std::string_view s_;
    size_t i_ = 0;
    int line_ = 1;
};

} // namespace

std::vector<SourceLiteral> Messages_scanLiterals(std::string_view source) { return Scanner(source).run(); }

std::string Messages_gbkId(std::string_view bytes)
{
    if (std::none_of(bytes.begin(), bytes.end(), [](char c) { return (unsigned char)c >= 0x80; })) return std::string();
    // Valid throughout: converting back gives the same bytes (a byte that is
    // not GBK became U+FFFD, which does not).
    std::string utf8 = Text_gbkToUtf8(bytes);
    std::string back;
    if (utf8.empty() || !Text_utf8ToGbk(utf8, &back) || back != bytes) return std::string();
    return utf8;
}

void Messages_collect(std::string_view path, std::string_view source, std::vector<MessageEntry>* entries)
{
    for (const SourceLiteral& literal : Messages_scanLiterals(source)) {
        if (literal.rawNonAscii) continue;
        std::string id = Messages_gbkId(literal.bytes);
        if (id.empty()) continue;
        std::string reference = std::string(path) + ":" + std::to_string(literal.line);
        auto it = std::find_if(entries->begin(), entries->end(), [&](const MessageEntry& e) { return e.id == id; });
        if (it == entries->end()) entries->push_back(MessageEntry{id, {reference}});
        else it->references.push_back(reference);
    }
}

std::string Messages_poQuote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\v': out += "\\v"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

std::string Messages_writePot(const std::vector<MessageEntry>& entries)
{
    std::string pot =
        "# Message catalogue template of Tessaly. Generated from the sources: do not edit;\n"
        "# regenerate with `make pot`.\n"
        "msgid \"\"\n"
        "msgstr \"\"\n"
        "\"Project-Id-Version: tessaly\\n\"\n"
        "\"Report-Msgid-Bugs-To: \\n\"\n"
        "\"Language: \\n\"\n"
        "\"MIME-Version: 1.0\\n\"\n"
        "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
        "\"Content-Transfer-Encoding: 8bit\\n\"\n";
    for (const MessageEntry& e : entries) {
        pot += "\n";
        for (const std::string& r : e.references) pot += "#: " + r + "\n";
        if (!Tr_printfDirectives(e.id).empty()) pot += "#, c-format\n";
        pot += "msgid " + Messages_poQuote(e.id) + "\n";
        pot += "msgstr \"\"\n";
    }
    return pot;
}
