// `tessaly-cli update`: the main window's update run in the terminal. The
// same CTessalyDlg runs here as in the window; this file only answers what a
// user would click or type.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/terminal_host.h"
#include "cli/zip_container.h"
#include "common_k52/machine_verify.h"
#include "core/package.h"
#include "core/province_table.h"
#include "core/regular_file.h"
#include "core/stream.h"
#include "platform/text_codec.h"
#include "platform/translate.h"
#include "ui/province_model.h"
#include "ui/tessaly_dlg.h"

namespace {

struct UpdateArgs {
    std::string package;
    std::string versionUrl;
    std::string provinces;
    bool provincesGiven = false;
    bool yes = false;
    std::string verify = "ends";  // ends | full
    bool noVerify = false;
};

// Connects through the terminal's own rules (simulated device, or a switch
// and a bounded wait for the update-mode device) instead of the window's
// start-up timer.
class CliDiscovery : public TessalyDiscovery {
public:
    explicit CliDiscovery(const CliOptions& options) : options_(options) {}
    void onStartup(DiscoveryHooks* hooks) override
    {
        std::string error;
        if (!Cli_connectDevice(options_, hooks->machine, &error)) std::fprintf(stderr, "update: %s\n", error.c_str());
        if (hooks->refreshConnection) hooks->refreshConnection(hooks->user);
    }
    // Bound to the device it connected: another one plugged in or pulled out
    // meanwhile must not take over or close the channel.
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override
    {
        Discovery_handleEvent(hooks, event, Cli_connectedDeviceId());
    }

private:
    const CliOptions& options_;
};

std::string trim(std::string s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// A province by table position (0 to 33) or by its name (UTF-8); -1 if none.
int provinceIndex(const std::string& item)
{
    if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos) {
        int n = std::atoi(item.c_str());
        return n < PROVINCE_COUNT ? n : -1;
    }
    std::string gbk;
    if (!Text_utf8ToGbk(item, &gbk)) return -1;
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        if (gbk == ProvinceTable[i]) return i;
    return -1;
}

// Applies a comma-separated list to the choice and confirms it. False (with
// the reason on stderr) when an item is unknown or has no data in the package,
// does not fit, or nothing is chosen.
bool applyProvinceList(const std::string& list, ProvinceChoice* choice)
{
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        int index = provinceIndex(item);
        if (index < 0) {
            std::fprintf(stderr, "update: unknown province '%s'\n", item.c_str());
            return false;
        }
        // A province the package holds nothing for would add no data.
        if (Province_size(choice->package, index) == 0) {
            std::fprintf(stderr, "update: the package holds no data for %s\n",
                         Text_gbkToUtf8(ProvinceTable[index]).c_str());
            return false;
        }
        if (!ProvinceChoice_set(choice, index, true)) {
            std::fprintf(stderr, "update: %s: %s\n", item.c_str(), Tr_gbk(kProvinceTooLargeText).c_str());
            return false;
        }
    }
    if (!ProvinceChoice_confirm(choice)) {
        std::fprintf(stderr, "update: %s\n", Tr_gbk(kProvinceNoneChosenText).c_str());
        return false;
    }
    return true;
}

// The terminal's province dialog: the provinces the package carries, their
// sizes and the room, then a typed list.
bool askProvinces(ZR_Package* package, ProvinceChoice* choice)
{
    std::fprintf(stderr, "\nThe data does not fit the device. Provinces in the package (room %u K):\n",
                 choice->room / 1024);
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        uint32_t size = Province_size(package, i);
        if (size == 0) continue;
        std::fprintf(stderr, "  %2d  %s\n", i, Text_gbkToUtf8(Province_labelText(ProvinceTable[i], size)).c_str());
    }
    std::fprintf(stderr, "Provinces to write (names or numbers, comma-separated; empty cancels): ");
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line) || trim(line).empty()) return false;
    return applyProvinceList(line, choice);
}

// The final message of a package the update cannot use, as the window shows it.
const char* const kWrongFileText =
    "\xC7\xEB\xD1\xA1\xD4\xF1\xD5\xFD\xC8\xB7\xB5\xC4\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xA3\xA1"; /* 请选择正确的更新文件！ */

// True when the file ends in a container header that checks out; the
// sections are left to the update, which reads them anyway.
bool looksLikeContainer(const std::string& path)
{
    StreamPtr stream(ZR_Stream_openFile(path.c_str(), ZR_STREAM_READ));
    ZR_PackageHeader header;
    return stream && ZR_Package_readHeader(stream.get(), &header, nullptr) == 1;
}

int runUpdate(const CliOptions& options, const UpdateArgs& args)
{
    // Before any device is waited for: a FIFO or device named as the package
    // would otherwise block the run for good.
    std::string notRegular;
    if (!args.package.empty() && !ZR_isRegularFile(args.package.c_str(), &notRegular)) {
        std::fprintf(stderr, "update: %s: %s\n", args.package.c_str(), notRegular.c_str());
        return CLI_EXIT_ERROR;
    }
    bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    TerminalHost::Settings settings;
    settings.assumeYes = args.yes;
    settings.interactive = interactive;
    settings.progressOnTerminal = isatty(STDERR_FILENO);
    settings.openFile = args.package;
    // The window takes containers only; an archive is unpacked here, as the
    // update does with one it downloads. A damaged one is refused as a wrong
    // file.
    CliTempContainer unpacked;
    std::string packageError;
    if (!args.package.empty() && Cli_looksLikeZip(args.package)) {
        if (unpacked.extract(args.package, &packageError)) settings.openFile = unpacked.path();
    }
    // A file that is no container fails the same way with a device or
    // without one, so it is refused before the wait for the device.
    if (!args.package.empty() && packageError.empty() && !looksLikeContainer(settings.openFile))
        packageError = "not an update package (no container header)";
    TerminalHost host(settings);
    if (!packageError.empty()) {
        host.messageBox(kWrongFileText, "", HOST_MB_ICONERROR);
        std::fprintf(stderr, "update: %s: %s\n", args.package.c_str(), packageError.c_str());
        return CLI_EXIT_ERROR;
    }

    TessalyDlgHooks hooks;
    hooks.discovery = std::make_shared<CliDiscovery>(options);
    hooks.chooseProvinces = [&](ZR_Package* package, int32_t, ProvinceChoice* choice) {
        host.finishProgressLine();
        if (args.provincesGiven) return applyProvinceList(args.provinces, choice);
        return interactive && askProvinces(package, choice);
    };
    hooks.verifyMode = args.noVerify ? ZR_VERIFY_OFF : args.verify == "full" ? ZR_VERIFY_FULL : ZR_VERIFY_ENDS;
    bool ended = false;
    hooks.endDialog = [&](int) { ended = true; };

    auto dlg = std::make_unique<CTessalyDlg>(host, hooks);
    if (!args.versionUrl.empty()) dlg->versionLookup().addressOverride = args.versionUrl;
    // A local package is chosen before the device is found, so no version
    // file is fetched for it.
    if (!args.package.empty()) dlg->OnOpenPackage();
    if (!dlg->OnInitDialog() || ended) return CLI_EXIT_ERROR;

    const auto generous = std::chrono::hours(24);
    // The version lookup runs on its own thread; its answer comes as a message.
    host.runUntil([&] { return dlg->versionLookup().downloadMode == 0; }, std::chrono::seconds(120));
    if (!dlg->isConnected()) {
        // Another run holds the device: the cause is on stderr already.
        if (Cli_connectFailureStatus() == CLI_EXIT_ERROR) return CLI_EXIT_ERROR;
        dlg->OnSend(); // shows the not-connected message as the window would
        return CLI_EXIT_NO_DEVICE;
    }
    if (args.package.empty() && dlg->versionLookup().networkVersion <= 0 &&
        dlg->versionLookup().packageAddress.empty()) {
        std::fprintf(stderr, "update: %s\n", Tr_gbk(host.text(IDC_STATUS)).c_str());
    }
    int before = host.messageCount();
    dlg->OnSend();
    host.runUntil([&] { return !dlg->isUpdating(); }, generous);
    host.finishProgressLine();
    if (!dlg->verifyCause().empty())
        std::fprintf(stderr, "update: the device does not hold what was written: %s\n", dlg->verifyCause().c_str());
    if (host.messageCount() == before) {
        // The "already newest" question was answered No: nothing was written.
        std::fprintf(stderr, "update: the device already holds the newest data; --yes updates it anyway\n");
        return CLI_EXIT_OK;
    }
    if ((host.lastMessageFlags() & 0xF0) != HOST_MB_ICONERROR) return CLI_EXIT_OK;
    // The window's message names the step; the machine layer knows the cause.
    const char* cause = ZR_Machine_lastError(dlg->machine());
    if (cause[0]) std::fprintf(stderr, "update: %s\n", cause);
    return CLI_EXIT_ERROR;
}

} // namespace

void Cli_addUpdateCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    auto* cmd = app.add_subcommand("update", "update the connected device from a package or the update server");
    auto args = std::make_shared<UpdateArgs>();
    auto* package =
        cmd->add_option("--package", args->package, "a local update package (.dzr, or a zip archive holding one)");
    // Both would name where the package comes from; neither may win silently.
    cmd->add_option("--version-url", args->versionUrl, "the version file to look the newest package up in")
        ->excludes(package);
    auto* provinces = cmd->add_option("--provinces", args->provinces,
                                      "provinces to write when the data does not fit (names or numbers 0-33)");
    cmd->add_flag("--yes", args->yes, "update even when the device already holds the newest data");
    auto* verify = cmd->add_option("--verify", args->verify,
                    "read back after writing: the blocks and the ends of every area (ends), or every byte (full)")
        ->check(CLI::IsMember({"ends", "full"}));
    cmd->add_flag("--no-verify", args->noVerify, "do not read back what was written")->excludes(verify);
    cmd->callback([=, &options] {
        args->provincesGiven = provinces->count() > 0;
        *exitStatus = runUpdate(options, *args);
    });
}
