// Drives a simulated device through the real command channel: asks its boot
// loader version and flash size, then writes, reads back and compares an
// image in plain and in encoded form.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "common_k52/hidc.h"
#include "core/ciphers.h"
#include "sim/sim_device.h"
#include "tools/command_line.h"
#include "tools/encode/cipher_encode.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Counts {
    uint64_t in, out;
};

Counts counts(const SimDevice& dev) { return {dev.reportsIn(), dev.reportsOut()}; }

// Writes the image, reads it back and compares it with the expected bytes.
bool roundTrip(const char* label, HidcChannel* ch, SimDevice& dev, uint32_t address, const std::vector<uint8_t>& sent,
               bool encoded, const std::vector<uint8_t>& expected, uint32_t latencyUs)
{
    Counts before = counts(dev);
    auto start = Clock::now();
    if (!Hidc_writeFlash(ch, address, sent.data(), uint32_t(sent.size()), encoded, 0)) {
        std::printf("  %-8s write failed\n", label);
        return false;
    }
    double writeSeconds = secondsSince(start);
    Counts afterWrite = counts(dev);

    std::vector<uint8_t> back(expected.size());
    start = Clock::now();
    if (!Hidc_readFlash(ch, address, back.data(), uint32_t(back.size()), 0)) {
        std::printf("  %-8s read failed\n", label);
        return false;
    }
    double readSeconds = secondsSince(start);
    Counts afterRead = counts(dev);
    bool same = back == expected;

    uint64_t writeReports = afterWrite.in - before.in + afterWrite.out - before.out;
    uint64_t readReports = afterRead.in - afterWrite.in + afterRead.out - afterWrite.out;
    std::printf("  %-8s write %7.3f s (%llu reports)   read %7.3f s (%llu reports)   %s\n", label, writeSeconds,
                (unsigned long long)writeReports, readSeconds, (unsigned long long)readReports,
                same ? "read-back matches" : "READ-BACK DIFFERS");
    if (latencyUs == 0) {
        double wire = double(writeReports + readReports) / 1000.0;
        std::printf("  %-8s at USB full speed (1 ms per report) the same exchange takes about %.1f s\n", "", wire);
    }
    return same;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Writes and reads back an image on a simulated device through the command channel", "tessaly-channel-demo"};
    std::string image;
    uint32_t latencyUs = 0;
    uint32_t sizeKiB = 1024;
    uint32_t bootVersion = 1046;
    app.add_option("--flash-image", image, "flash image file kept between runs");
    app.add_option("--latency-us", latencyUs, "time each report takes on the link");
    app.add_option("--size-kib", sizeKiB, "image size in KiB")->check(CLI::Range(1u, 4096u));
    app.add_option("--boot-version", bootVersion, "boot loader version the device reports");
    CommandLine_addVersion(app, "tessaly-channel-demo");
    if (int status = CommandLine_parse(app, "tessaly-channel-demo", argc, argv); status >= 0) return status;

    SimDeviceOptions options;
    options.imagePath = image;
    options.latencyUs = latencyUs;
    options.bootVersion = bootVersion;
    SimDevice device(options);
    std::string path = SimDevice_attach(&device, "demo");

    HidcChannel channel{};
    channel.port = Hidc_openPort(path.c_str());
    if (!channel.port) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    std::printf("device      %s\n", path.c_str());
    uint32_t boot = Hidc_getBootVersion(&channel);
    channel.bootVersion = boot;
    // Boot loaders before 1011 cannot say their flash size; they all have 8 MiB.
    uint32_t flashSize = boot >= 1011 ? Hidc_getFlashSize(&channel) : 0x800000;
    std::printf("boot        %u\n", boot);
    std::printf("flash size  %u bytes (%u MiB)\n", flashSize, flashSize >> 20);
    if (boot == 0 || flashSize == 0) {
        std::fprintf(stderr, "the device did not answer\n");
        Hidc_closePort(channel.port);
        return 1;
    }

    uint32_t length = sizeKiB * 1024;
    uint32_t address = 0x100000;
    if (uint64_t(address) + length > flashSize) address = 0;
    std::vector<uint8_t> plain(length);
    std::mt19937 rng(20261209);
    for (auto& b : plain) b = uint8_t(rng());
    std::vector<uint8_t> encoded = plain;
    ZR_rollingXorEncode(uint32_t(encoded.size()), encoded.data());

    std::printf("image       %u KiB at 0x%06X\n", sizeKiB, address);
    bool ok = roundTrip("plain", &channel, device, address, plain, false, plain, latencyUs);
    ok = roundTrip("encoded", &channel, device, address, encoded, true, plain, latencyUs) && ok;
    ok = Hidc_done(&channel) && ok;
    Hidc_closePort(channel.port);
    SimDevice_detach("demo");
    std::printf("%s\n", ok ? "all transfers verified" : "FAILED");
    return ok ? 0 : 1;
}
