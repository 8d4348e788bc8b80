// iconv back end of the text codec (glibc's GBK converter).
#include "platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace {

// Runs one whole conversion. On an invalid or unconvertible sequence it either
// substitutes (when `replacement` is given) or fails.
bool convert(const char* to, const char* from, std::string_view in, std::string* out, const char* replacement,
             size_t skipOnError)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1)) return false;
    std::string result;
    std::vector<char> buffer(4 * in.size() + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = buffer.data();
        size_t dstLeft = buffer.size();
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        result.append(buffer.data(), size_t(dst - buffer.data()));
        if (r != size_t(-1)) continue;
        if (errno == E2BIG) continue;
        if (!replacement) {
            ok = false;
            break;
        }
        // EILSEQ or EINVAL (cut sequence at the end): substitute and step over.
        result += replacement;
        size_t step = srcLeft < skipOnError ? srcLeft : skipOnError;
        src += step;
        srcLeft -= step;
    }
    iconv_close(cd);
    if (ok) *out = std::move(result);
    return ok;
}

} // namespace

std::string Text_gbkToUtf8(std::string_view gbk)
{
    std::string out;
    if (!convert("UTF-8", "GBK", gbk, &out, "\xEF\xBF\xBD", 1)) return std::string();
    return out;
}

bool Text_utf8ToGbk(std::string_view utf8, std::string* gbk)
{
    std::string out;
    if (!convert("GBK", "UTF-8", utf8, &out, nullptr, 0)) return false;
    *gbk = std::move(out);
    return true;
}
