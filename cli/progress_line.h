// The update's progress as one terminal line: the phase, a bar, the
// percentage, the rate and the time left. Plain functions of their inputs, so
// the terminal host only measures and the wording is tested apart from it.
#pragma once

#include <cstdint>
#include <string>

enum class ProgressPhase { none, download, unpack, write, check };

// "download", "unpack", "write", "check"; "" for none.
const char* ProgressPhase_name(ProgressPhase phase);

// The phase a progress text of the update (GBK, as the window shows it) tells:
// the download's figures, the unpacking notice, the device write's "已更新"
// and the read-back's "正在校验". Any other text (the "正在更新" shown between
// steps, an empty one) leaves the phase at current.
ProgressPhase ProgressLine_phaseOf(const std::string& gbkText, ProgressPhase current);

// "512.0 KiB/s" below one MiB a second, "1.5 MiB/s" from there on; one
// decimal. A negative or unmeasurable rate gives "-- KiB/s".
std::string ProgressLine_rate(double bytesPerSecond);

// "0:07", "12:34", "1:02:03" (whole seconds, rounded up so that a run never
// shows 0:00 while bytes are left); "--:--" when unknown (negative).
std::string ProgressLine_duration(double seconds);

struct ProgressSample {
    ProgressPhase phase = ProgressPhase::none;
    uint64_t done = 0;   // bytes of the phase done so far
    uint64_t total = 0;  // bytes the phase moves; 0 unknown
    double seconds = 0;  // since the phase's bytes began to count
};

// "write    [#######.............]  35.0%  1.2 MiB/s  0:07 left" in at most
// width columns (the bar shrinks first, down to 10 cells). Without a total
// only the phase and the bytes so far are shown; the rate and the time left
// need some time and some bytes behind them ("--" until then).
std::string ProgressLine_format(const ProgressSample& sample, int width);
