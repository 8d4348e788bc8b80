#include "cli/progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// GBK fragments of the window's progress texts.
const char* const kDownloadHead = "\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8"; /* 下载进度 */
const char* const kUnpackHead = "\xD5\xFD\xD4\xDA\xBD\xE2\xD1\xB9";   /* 正在解压 */
const char* const kCheckWord = "\xD5\xFD\xD4\xDA\xD0\xA3\xD1\xE9";    /* 正在校验 */
const char* const kWrittenWord = "\xD2\xD1\xB8\xFC\xD0\xC2";          /* 已更新 */

// Below this the rate is mostly start-up noise.
constexpr double kMinSecondsForRate = 0.2;
constexpr int kMinBar = 10, kMaxBar = 40;

bool startsWith(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

std::string bytesText(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    return text;
}

} // namespace

const char* ProgressPhase_name(ProgressPhase phase)
{
    switch (phase) {
    case ProgressPhase::download: return "download";
    case ProgressPhase::unpack: return "unpack";
    case ProgressPhase::write: return "write";
    case ProgressPhase::check: return "check";
    default: return "";
    }
}

ProgressPhase ProgressLine_phaseOf(const std::string& gbkText, ProgressPhase current)
{
    if (startsWith(gbkText, kDownloadHead)) return ProgressPhase::download;
    if (startsWith(gbkText, kUnpackHead)) return ProgressPhase::unpack;
    // The read-back's text is the write's with its word replaced.
    if (gbkText.find(kCheckWord) != std::string::npos) return ProgressPhase::check;
    if (gbkText.find(kWrittenWord) != std::string::npos) return ProgressPhase::write;
    return current;
}

std::string ProgressLine_rate(double bytesPerSecond)
{
    if (!(bytesPerSecond >= 0) || std::isinf(bytesPerSecond)) return "-- KiB/s";
    char text[32];
    const double mib = 1024.0 * 1024.0;
    // Rounded as printed, so that 1023.96 KiB/s does not read "1024.0 KiB/s".
    if (std::round(bytesPerSecond / 1024.0 * 10.0) / 10.0 < 1024.0)
        std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / mib);
    return text;
}

std::string ProgressLine_duration(double seconds)
{
    if (!(seconds >= 0) || seconds > 360000.0 * 24) return "--:--";
    long long s = (long long)std::ceil(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

std::string ProgressLine_format(const ProgressSample& sample, int width)
{
    char head[16];
    std::snprintf(head, sizeof head, "%-8s ", ProgressPhase_name(sample.phase));
    if (sample.total == 0) return head + bytesText(sample.done);

    const uint64_t done = std::min(sample.done, sample.total);
    const double fraction = double(done) / double(sample.total);
    const bool measured = sample.seconds >= kMinSecondsForRate && done > 0;
    const double rate = measured ? double(done) / sample.seconds : -1.0;
    const double left = measured ? double(sample.total - done) / rate : -1.0;

    char tail[96];
    // Fixed widths, so the bar keeps its length while the figures change.
    std::snprintf(tail, sizeof tail, " %5.1f%%  %11s  %5s left", fraction * 100.0,
                  measured ? ProgressLine_rate(rate).c_str() : "-- KiB/s", ProgressLine_duration(left).c_str());
    // "[" and "]" around the bar.
    int room = width - int(std::string(head).size()) - int(std::string(tail).size()) - 2;
    int cells = std::clamp(room, kMinBar, kMaxBar);
    int filled = int(fraction * cells);
    std::string line = head;
    line += '[';
    line.append(size_t(filled), '#');
    line.append(size_t(cells - filled), '.');
    line += ']';
    line += tail;
    return line;
}
