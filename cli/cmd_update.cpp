// `tessaly-cli update`: the main window's update run in the terminal. The
// same CTessalyDlg runs here as in the window; this file only answers what a
// user would click or type.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/device_json.h"
#include "cli/interrupt.h"
#include "cli/province_pick.h"
#include "cli/terminal_host.h"
#include "core/strings.h"
#include "cli/update_cause.h"
#include "cli/update_plan.h"
#include "cli/zip_container.h"
#include "common_k52/machine_verify.h"
#include "core/log.h"
#include "core/package.h"
#include "core/province_table.h"
#include "core/regular_file.h"
#include "core/stream.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"
#include "ui/province_model.h"
#include "ui/tessaly_dlg.h"

namespace {

struct UpdateArgs {
    std::string package;
    std::string versionUrl;
    std::string provinces;
    bool provincesGiven = false;
    bool yes = false;          // -y: every question answered yes
    bool json = false;         // one JSON report on stdout at the end
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
        connectError_.clear();
        // A busy device or an open choice ends the run at once, with its
        // cause (a list, for the choice) said here; a device that never came
        // is the run's cause line at the end.
        if (!Cli_connectDevice(options_, hooks->machine, &connectError_) &&
            Cli_connectFailureStatus() == CLI_EXIT_ERROR)
            std::fprintf(stderr, "update: %s\n", connectError_.c_str());
        if (hooks->refreshConnection) hooks->refreshConnection(hooks->user);
    }
    // What connecting said when it found no device to use ("" when it did).
    const std::string& connectError() const { return connectError_; }
    // Bound to the device it connected: another one plugged in or pulled out
    // meanwhile must not take over or close the channel.
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override
    {
        Discovery_handleEvent(hooks, event, Cli_connectedDeviceId());
    }

private:
    const CliOptions& options_;
    std::string connectError_;
};

// The one cause line on stderr, in the language in use; the log keeps it in
// English, as the layers wrote it.
void printCause(const UpdateCause& cause)
{
    std::string line = Cli_causeLine(cause);
    if (line.empty()) return;
    ZR_LOG("%s", line.c_str());
    std::fprintf(stderr, "%s\n", Cli_causeLine(cause, true).c_str());
}

// How a province list given on the command line or typed at the prompt
// becomes the choice: refused by name when it names what the package lacks,
// refused when it holds no GPS data or passes the room.
bool applyProvincePick(const ProvincePick& pick, const ProvinceSizes& sizes, ProvinceChoice* choice, int* chosen)
{
    std::string problem = ProvincePick_problem(pick, sizes, choice->room);
    if (!problem.empty()) {
        bool overRoom = pick.unknown.empty() && pick.absent.empty() && !pick.positions.empty();
        std::fprintf(stderr, "update: %s%s\n", overRoom ? (Tr_gbk(kProvinceTooLargeText) + " ").c_str() : "",
                     problem.c_str());
        // What was understood of the list, against the room.
        if (!pick.positions.empty())
            for (const std::string& line : ProvincePick_totals(pick, sizes, choice->room))
                std::fprintf(stderr, "%s\n", line.c_str());
        return false;
    }
    for (int position : pick.positions) ProvinceChoice_set(choice, position, true);
    if (!ProvinceChoice_confirm(choice)) {
        std::fprintf(stderr, "update: %s\n", Tr_gbk(kProvinceNoneChosenText).c_str());
        return false;
    }
    if (pick.all) {
        std::string names;
        for (int position : pick.positions)
            names += (names.empty() ? "" : ", ") + Text_gbkToUtf8(ProvinceTable[position]);
        std::fprintf(stderr, "update: %s\n",
                     ZR_formatString(_("all: %zu provinces that fit, largest first: %s"), pick.positions.size(),
                                names.c_str())
                         .c_str());
    }
    *chosen = int(pick.positions.size());
    return true;
}

// The terminal's province dialog: the provinces the package carries with
// their sizes and the room, then a typed list, asked again until it can be
// written or the answer is empty.
bool askProvinces(const ProvinceSizes& sizes, ProvinceChoice* choice, int* chosen)
{
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, _("The data does not fit the device. Provinces in the package (room %u K):"),
                 choice->room / 1024);
    std::fprintf(stderr, "\n");
    for (;;) {
        for (const std::string& line : ProvincePick_table(sizes)) std::fprintf(stderr, "%s\n", line.c_str());
        std::fprintf(stderr, "%s ", _("Provinces to write (names or numbers, comma-separated, or all; empty cancels):"));
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line) || line.find_first_not_of(" \t\r") == std::string::npos) return false;
        ProvinceChoice_clear(choice);
        if (applyProvincePick(ProvincePick_parse(line, sizes, choice->room), sizes, choice, chosen)) return true;
        std::fprintf(stderr, _("Again (room %u K):"), choice->room / 1024);
        std::fprintf(stderr, "\n");
    }
}

// The final message of a package the update cannot use, as the window shows it.
const char* const kWrongFileText =
    "\xC7\xEB\xD1\xA1\xD4\xF1\xD5\xFD\xC8\xB7\xB5\xC4\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xA3\xA1"; /* 请选择正确的更新文件！ */

// What `--json` reports once the run is over.
struct UpdateReport {
    std::string outcome = "failed"; // updated | already-newest | not-confirmed | failed | no-device | interrupted
    std::string message;             // the final message, UTF-8 ("" none)
    std::string cause;               // why it failed ("" none)
    std::string advice;              // what to do about it ("" none)
    std::string deviceId;            // "" when no device was connected
    CliJson device;                  // the device as found before the update (null: none)
    std::vector<std::pair<std::string, double>> timings; // seconds per phase, then "total"
};

void printReport(const UpdateReport& report, int exitCode)
{
    CliJson timings = CliJson::object();
    for (const auto& [phase, seconds] : report.timings) timings[phase] = double(int64_t(seconds * 1000.0)) / 1000.0;
    CliJson device = nullptr;
    if (!report.device.is_null()) {
        device = CliJson{{"id", report.deviceId}};
        device.update(report.device);
    }
    CliJson json = {
        {"device", device},
        {"outcome", report.outcome},
        {"message", report.message.empty() ? CliJson(nullptr) : CliJson(report.message)},
        {"cause", report.cause.empty() ? CliJson(nullptr) : CliJson(report.cause)},
        {"advice", report.advice.empty() ? CliJson(nullptr) : CliJson(report.advice)},
        {"exit_code", exitCode},
        {"timings", timings},
    };
    std::printf("%s\n", json.dump(2).c_str());
    std::fflush(stdout);
}

double secondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

int runUpdate(const CliOptions& options, const UpdateArgs& args)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    // From here on Ctrl-C is the run's to handle: it ends waits and
    // downloads with their files removed, and a write only on the second.
    CliInterrupts interrupts;
    InterruptRule rule;
    bool writing = false;     // the device is being changed
    int stopSignal = 0;       // the signal that ended (or cancelled) the run
    UpdateReport report;
    // The cause line on stderr, and the same cause in the report.
    auto sayCause = [&](const UpdateCause& cause) {
        printCause(cause);
        report.cause = cause.cause;
        report.advice = cause.advice;
    };
    auto finish = [&](int status) {
        if (args.json) {
            report.timings.emplace_back("total", secondsBetween(started, Clock::now()));
            printReport(report, status);
        }
        return status;
    };

    // Before any device is waited for: a FIFO or device named as the package
    // would otherwise block the run for good.
    std::string notRegular;
    if (!args.package.empty() && !ZR_isRegularFile(args.package.c_str(), &notRegular)) {
        sayCause(Cli_packageFileCause(args.package, notRegular));
        return finish(CLI_EXIT_ERROR);
    }
    bool interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    TerminalHost::Settings settings;
    settings.assumeYes = args.yes;
    settings.interactive = interactive;
    settings.progressOnTerminal = isatty(STDERR_FILENO);
    settings.openFile = args.package;
    settings.quietMessages = args.json;
    CTessalyDlg* running = nullptr;
    settings.progressRunBytes = [&running] { return running ? uint64_t(running->machine()->run.total) : 0; };
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
    if (!args.package.empty() && packageError.empty() && !Cli_looksLikeContainer(settings.openFile))
        packageError = N_("not an update package (no container header)");
    TerminalHost host(settings);
    if (!packageError.empty()) {
        host.messageBox(kWrongFileText, "", HOST_MB_ICONERROR);
        report.message = Text_gbkToUtf8(kWrongFileText);
        sayCause(Cli_packageFileCause(args.package, packageError));
        return finish(CLI_EXIT_ERROR);
    }

    // Signals since the last look, by the rule: true when the run is to stop now.
    auto interrupted = [&] {
        int signal = 0;
        for (int n = interrupts.take(&signal); n > 0; --n) {
            double now = secondsBetween(started, Clock::now());
            switch (rule.onSignal(writing, now)) {
            case InterruptAction::stop:
                stopSignal = signal;
                return true;
            case InterruptAction::warn:
                host.finishProgressLine();
                std::fprintf(stderr, "update: ");
                std::fprintf(stderr,
                             _("stopping now leaves the device without data; the write goes on "
                               "(press Ctrl-C again within %.0f s to stop anyway)"),
                             InterruptRule::kGraceSeconds);
                std::fprintf(stderr, "\n");
                break;
            case InterruptAction::cancel:
                host.finishProgressLine();
                std::fprintf(stderr, "update: %s\n", _("cancelling the transfer"));
                if (running) running->cancelTransfer();
                stopSignal = signal;
                break;
            }
        }
        return false;
    };

    int provincesChosen = 0;
    bool declined = false;
    TessalyDlgHooks hooks;
    auto discovery = std::make_shared<CliDiscovery>(options);
    hooks.discovery = discovery;
    hooks.chooseProvinces = [&](ZR_Package* package, int32_t, ProvinceChoice* choice) {
        host.finishProgressLine();
        ProvinceSizes sizes(PROVINCE_COUNT);
        for (int p = 0; p < PROVINCE_COUNT; ++p) sizes[size_t(p)] = Province_size(package, p);
        if (args.provincesGiven) {
            if (applyProvincePick(ProvincePick_parse(args.provinces, sizes, choice->room), sizes, choice,
                                  &provincesChosen))
                return true;
            ProvinceChoice_clear(choice);
        }
        return interactive && !Cli_interruptPending() && askProvinces(sizes, choice, &provincesChosen);
    };
    hooks.confirmPlan = [&](ZR_Machine* machine, ZR_Package* package, const ZR_WritePlan* plan) {
        host.finishProgressLine();
        PlanView view = Cli_planView(machine, package, plan, Cli_connectedDeviceId(), provincesChosen);
        for (const std::string& line : Cli_planLines(view)) std::fprintf(stderr, "%s\n", line.c_str());
        for (const std::string& line : Cli_planWarnings(view)) std::fprintf(stderr, "%s\n", line.c_str());
        // Scripts (no terminal) go ahead as they always have.
        bool go = args.yes || !interactive || host.askOnTerminal(_("Write to the device?"));
        if (!go || interrupted() || stopSignal) {
            declined = true;
            return false;
        }
        writing = true;
        return true;
    };
    hooks.verifyMode = args.noVerify ? ZR_VERIFY_OFF : args.verify == "full" ? ZR_VERIFY_FULL : ZR_VERIFY_ENDS;
    bool ended = false;
    hooks.endDialog = [&](int) { ended = true; };

    auto dlg = std::make_unique<CTessalyDlg>(host, hooks);
    running = dlg.get();
    if (!args.versionUrl.empty()) dlg->versionLookup().addressOverride = args.versionUrl;
    // A local package is chosen before the device is found, so no version
    // file is fetched for it.
    if (!args.package.empty()) dlg->OnOpenPackage();
    const Clock::time_point connecting = Clock::now();
    if (!dlg->OnInitDialog() || ended) return finish(CLI_EXIT_ERROR);
    report.timings.emplace_back("connect", secondsBetween(connecting, Clock::now()));
    // Ended by Ctrl-C (or SIGTERM): the run's files go with the window and
    // the unpacked container.
    auto stopped = [&] {
        dlg.reset();
        running = nullptr;
        std::fprintf(stderr, "update: %s\n",
                     writing ? _("stopped; the device holds incomplete data: run the update again")
                             : _("stopped; nothing was written"));
        report.outcome = "interrupted";
        return finish(Cli_interruptExitStatus(stopSignal));
    };
    if (interrupted()) return stopped();

    const auto generous = std::chrono::hours(24);
    // The version lookup runs on its own thread; its answer comes as a message.
    const Clock::time_point lookingUp = Clock::now();
    host.runUntil([&] { return dlg->versionLookup().downloadMode == 0 || interrupted(); }, std::chrono::seconds(120));
    if (stopSignal) return stopped();
    if (!dlg->isConnected()) {
        report.outcome = "no-device";
        // Another run holds the device: the cause is on stderr already.
        if (Cli_connectFailureStatus() == CLI_EXIT_ERROR) return finish(CLI_EXIT_ERROR);
        dlg->OnSend(); // shows the not-connected message as the window would
        report.message = Text_gbkToUtf8(host.lastMessage());
        sayCause(Cli_updateCause(*dlg, args.package, discovery->connectError()));
        return finish(CLI_EXIT_NO_DEVICE);
    }
    report.deviceId = Cli_connectedDeviceId();
    report.device = Cli_deviceSummaryJson(dlg->machine());
    if (args.package.empty())
        report.timings.emplace_back("version_file", secondsBetween(lookingUp, Clock::now()));
    int before = host.messageCount();
    dlg->OnSend();
    host.runUntil([&] { return !dlg->isUpdating() || interrupted(); }, generous);
    for (const auto& phase : host.phaseSeconds()) report.timings.push_back(phase);
    host.finishProgressLine();
    if (stopSignal) {
        // Stopped before the device changed, or its transfer cancelled: the
        // run's files go with the window.
        if (!dlg->isUpdating() && host.messageCount() != before) report.message = Text_gbkToUtf8(host.lastMessage());
        return stopped();
    }
    if (declined) {
        std::fprintf(stderr, "update: %s\n", _("not confirmed; nothing was written"));
        report.outcome = "not-confirmed";
        return finish(CLI_EXIT_ERROR);
    }
    if (host.messageCount() == before) {
        // The "already newest" question was answered No: nothing was written.
        std::fprintf(stderr, "update: %s\n", _("the device already holds the newest data; -y updates it anyway"));
        report.outcome = "already-newest";
        return finish(CLI_EXIT_OK);
    }
    report.message = Text_gbkToUtf8(host.lastMessage());
    if ((host.lastMessageFlags() & 0xF0) != HOST_MB_ICONERROR) {
        report.outcome = "updated";
        return finish(CLI_EXIT_OK);
    }
    // The window's message names the step; the machine layer knows the cause.
    sayCause(Cli_updateCause(*dlg, args.package));
    return finish(CLI_EXIT_ERROR);
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
                                      "provinces to write when the data does not fit (names or numbers 0-33, or all)");
    // --yes is the older name, kept for the scripts that use it.
    cmd->add_flag("-y,--assume-yes,--yes", args->yes,
                  "answer yes to every question: write without asking, and update even when the device already "
                  "holds the newest data");
    cmd->add_flag("--json", args->json, "print one JSON object with the outcome at the end instead of the message");
    auto* verify = cmd->add_option("--verify", args->verify,
                    "read back after writing: the blocks and the ends of every area (ends), or every byte (full)")
        ->check(CLI::IsMember({"ends", "full"}));
    cmd->add_flag("--no-verify", args->noVerify, "do not read back what was written")->excludes(verify);
    cmd->callback([=, &options] {
        args->provincesGiven = provinces->count() > 0;
        *exitStatus = runUpdate(options, *args);
    });
}
