// tessaly-cli: the update tool in the terminal.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "core/log.h"
#include "core/run_folder.h"
#include "platform/translate_marks.h"
#include "sim/presets.h"
#include "tools/command_line.h"

namespace {

// A preset the simulated device cannot be made from is a mistyped command
// line, not a missing device.
std::string checkPreset(const std::string& name)
{
    if (name.empty()) return std::string();
    const std::vector<std::string> names = SimPreset_names();
    if (std::find(names.begin(), names.end(), name) != names.end()) return std::string();
    std::string known;
    for (const std::string& n : names) known += (known.empty() ? "" : ", ") + n;
    return _("unknown preset '") + name + _("' (presets: ") + known + ")";
}

// The language is chosen before the commands are built, so that everything
// they print, --help included, comes out in it: `--lang` wins over the
// environment. An invalid value is left for the parser to refuse.
std::string languageArgument(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") break;
        if (a == "--lang" && i + 1 < argc) return argv[i + 1];
        if (a.rfind("--lang=", 0) == 0) return a.substr(7);
    }
    return std::string();
}

// The help texts given at registration (every command's own file) are
// translated here, in one pass over the finished command tree; the
// catalogue template finds them by the registration calls (po/make_pot.sh).
void translateHelp(CLI::App* app)
{
    app->description(std::string(Tr_literal(std::string(app->get_description()).c_str())));
    for (CLI::Option* option : app->get_options()) {
        std::string description = option->get_description();
        option->description(std::string(Tr_literal(description.c_str())));
        // The help lists options under their group's name ("Options").
        if (!option->get_group().empty()) option->group(std::string(Tr_literal(option->get_group().c_str())));
    }
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) translateHelp(sub);
}

// The parser's own words: the labels of its help text, and its help flag's
// description (translated with the other options by translateHelp).
const char* const kParserLabels[] = {N_("Usage"),    N_("OPTIONS"),     N_("SUBCOMMAND"), N_("SUBCOMMANDS"),
                                     N_("REQUIRED"), N_("Positionals"), N_("Options"),    N_("Subcommands"),
                                     N_("Excludes"), N_("Needs")};
[[maybe_unused]] const char* const kParserHelpFlag = N_("Print this help message and exit");

void translateHelpLabels(CLI::App& app)
{
    for (const char* label : kParserLabels) app.get_formatter()->label(label, _(label));
}

} // namespace

int main(int argc, char** argv)
{
    // Temporary files go with the run however it ends, and what a killed run
    // left behind goes now.
    ZR_RunFolder_cleanUpOnSignals();
    ZR_RunFolder_removeStale();

    std::string language = languageArgument(argc, argv);
    Tr_init(language);
    CommandLine_translate = Tr_literal;

    CLI::App app{N_("Tessaly: keeps GPS radar detectors up to date"), "tessaly-cli"};
    app.require_subcommand(1);
    // Global options are taken after the command too; the commands inherit this.
    app.fallthrough();
    CommandLine_addVersion(app, "tessaly-cli");
    CliOptions options;
    int exitStatus = CLI_EXIT_OK;
    app.add_flag("-v,--verbose", options.verbose, "write log lines to stderr");
    auto* simulate = app.add_option("--simulate", options.preset,
                                    "use an in-process simulated device (optionally a named preset)");
    simulate->expected(0, 1)->check(CLI::Validator(checkPreset, "PRESET"));
    app.add_option("--sim-dir", options.simDir, "simulation folder (default: $TESSALY_SIM_DIR)");
    app.add_option("--wait", options.waitSeconds, "seconds to wait for the update-mode device")
        ->check(CLI::Range(0, 3600));
    app.add_option("--device", options.device, "the device to use, by the id `devices` shows (needed when several are connected)");

    Cli_addInspectCommand(app, options, &exitStatus);
    Cli_addInfoCommand(app, options, &exitStatus);
    Cli_addDevicesCommand(app, options, &exitStatus);
    Cli_addUpdateCommand(app, options, &exitStatus);
    Cli_addConfigCommand(app, options, &exitStatus);
    Cli_addWatchCommand(app, options, &exitStatus);
    Cli_addDumpServerCommand(app, options, &exitStatus);
    app.add_option("--lang", language, "the language of the texts: zh, en or es (default: from the locale)")
        ->check(CLI::IsMember({"zh", "en", "es"}));
    translateHelp(&app);
    translateHelpLabels(app);

    // Log lines must not mix with the results on stdout.
    app.parse_complete_callback([&] {
        options.simulate = simulate->count() > 0;
        ZR_logSetSink(options.verbose ? ZR_logFileSink : nullptr, stderr);
    });
    // A bare --simulate takes no value: it must not swallow the command
    // name that follows it.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(std::string(argv[i]) == "--simulate" ? "--simulate=" : argv[i]);
    int status = CommandLine_parse(app, "tessaly-cli", args);
    return status >= 0 ? status : exitStatus;
}
