// Writes an update package into a simulated device through the machine
// layer: identify, plan, write with progress, identify again, showing the
// device's information text before and after.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

#include "common_k52/hidc.h"
#include "common_k52/machine.h"
#include "core/package.h"
#include "core/runtime.h"
#include "core/temp_path.h"
#include "platform/text_codec.h"
#include "sim/presets.h"
#include "tools/command_line.h"

namespace {

// On a terminal one line is rewritten; elsewhere a line per tenth.
void showProgress(void*, ZR_Machine*, uint32_t phase, uint32_t value, uint32_t startTick)
{
    static uint32_t lastTenth = 0;
    if (phase == 0) {
        lastTenth = 0;
        return;
    }
    uint32_t seconds = (ZR_tickCount() - startTick) / 1000;
    if (isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "\r  written %6.2f%%   %u s", value / 100.0, seconds);
        if (value >= 10000) std::fputc('\n', stderr);
    } else if (value / 1000 > lastTenth) {
        lastTenth = value / 1000;
        std::fprintf(stderr, "  written %6.2f%%   %u s\n", value / 100.0, seconds);
    }
    std::fflush(stderr);
}

void printInfo(const ZR_Machine* machine, const char* heading)
{
    char path[1024];
    ZR_tempPath(path, ("tessaly-demo-info-" + std::to_string(getpid()) + ".txt").c_str());
    std::printf("%s\n", heading);
    if (!ZR_Machine_dumpInfo(machine, path)) return;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::printf("  %s\n", Text_gbkToUtf8(text.substr(start, end - start)).c_str());
        start = end + 1;
    }
}

const char* planText(int result)
{
    switch (result) {
    case ZR_PLAN_READY: return "ready";
    case ZR_PLAN_NO_FIT: return "the data does not fit";
    case ZR_PLAN_NO_VOICE: return "the voice data the program needs is missing";
    case ZR_PLAN_NO_GPS: return "the GPS data the program needs is missing";
    case ZR_PLAN_NO_OLED: return "the OLED data the program needs is missing";
    case ZR_PLAN_PARAM_FAILED: return "the parameter image could not be written";
    case ZR_PLAN_NO_PROGRAM: return "no program image for this board";
    case ZR_PLAN_NO_BOOT: return "no boot image";
    default: return "invalid";
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Writes an update package into a simulated device through the machine layer", "tessaly-machine-demo"};
    std::string presetName = "502";
    std::string packagePath;
    app.add_option("--preset", presetName, "simulated device preset")->check(CLI::IsMember(SimPreset_names()));
    app.add_option("PACKAGE", packagePath, "update container (.dzr)")->required();
    CommandLine_addVersion(app, "tessaly-machine-demo");
    if (int status = CommandLine_parse(app, "tessaly-machine-demo", argc, argv); status >= 0) return status;
    // Lines on stdout and the progress on stderr must come out in order.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    auto device = SimPreset_make(presetName);
    if (!device) return 1;
    MachinePtr machine(ZR_Machine_create(nullptr, nullptr, showProgress, nullptr));
    if (!machine) return 1;
    machine->channel->port = Hidc_portFromDevice(SimDevice_openTransport(device.get()));
    if (!ZR_Machine_identify(machine.get())) {
        std::fprintf(stderr, "the device did not identify\n");
        return 1;
    }
    printInfo(machine.get(), ("device (preset " + presetName + ") before the update:").c_str());

    PackagePtr package(ZR_Package_load(packagePath.c_str()));
    if (!package) {
        std::fprintf(stderr, "%s: not an update container\n", packagePath.c_str());
        return 1;
    }
    ZR_WritePlan plan{};
    plan.writeBoot = plan.writeProgram = plan.writeVoice = plan.writeRadarMute = plan.writeGps = 1;
    plan.writeUpdateTool = plan.resetSetting = 1;
    int planned = ZR_Machine_checkParamAndMainSetting(machine.get(), &plan, package.get());
    std::printf("plan: %d (%s)\n", planned, planText(planned));
    int status = 1;
    if (planned == ZR_PLAN_READY) {
        // As an update does: the client block is rewritten when the device
        // changes flash map or its client is unknown.
        char client[100];
        plan.writeClientId = uint32_t(machine->is502) != plan.target502 ||
                             ZR_Machine_findClient(ZR_Machine_getClientText(machine.get(), client)) < 0;
        uint64_t before = device->reportsIn() + device->reportsOut();
        uint32_t start = ZR_tickCount();
        int written = ZR_Machine_write(&plan, machine.get(), package.get());
        uint64_t reports = device->reportsIn() + device->reportsOut() - before;
        std::printf("write: %d, %llu reports in %.3f s (about %.0f s at USB full speed)\n", written,
                    (unsigned long long)reports, (ZR_tickCount() - start) / 1000.0, reports / 1000.0);
        if (written == ZR_WRITE_OK) {
            printInfo(machine.get(), "device after the update:");
            status = 0;
        }
    }
    return status;
}
