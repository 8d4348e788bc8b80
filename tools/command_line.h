// Command-line handling every terminal program shares: `--version`, plain
// usage errors, and one exit status for all of them. Scripts tell a mistyped
// command line from a failed run by the status alone, so the parser's own
// codes (106, 109, ...) never leave the program.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "core/version.h"

// The exit status of a command line the program cannot take.
inline constexpr int COMMAND_LINE_USAGE = 2;

// How a program shows the texts below in its language (tessaly-cli sets its
// catalogue lookup here); the others show them as written. The texts are
// marked CommandLine_text("...") so the catalogue template finds them.
inline const char* (*CommandLine_translate)(const char*) = nullptr;
inline const char* CommandLine_text(const char* text)
{
    return CommandLine_translate ? CommandLine_translate(text) : text;
}

// Adds `--version` to app: the program's version line on stdout, exit 0.
inline void CommandLine_addVersion(CLI::App& app, const char* program)
{
    app.set_version_flag("--version", ZR_versionLine(program), "print the version and exit");
}

// The first argument that is neither an option nor an option's value: the
// command the user meant. "" when there is none.
inline std::string CommandLine_commandWord(CLI::App& app, const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
        if (a.size() < 2 || a[0] != '-') return a;
        const bool isLong = a[1] == '-';
        if (isLong && a.find('=') != std::string::npos) continue;
        // A short option's value may be glued to it (-ofile); only a bare one takes the next word.
        if (!isLong && a.size() > 2) continue;
        const CLI::Option* option = app.get_option_no_throw(a);
        if (option && option->get_expected_min() > 0) ++i;
    }
    return std::string();
}

// app's commands (option groups, which have no name, left out).
inline std::vector<CLI::App*> CommandLine_commands(CLI::App& app)
{
    return app.get_subcommands([](CLI::App* sub) { return !sub->get_name().empty(); });
}

// The names of app's commands, comma-separated.
inline std::string CommandLine_commandNames(CLI::App& app)
{
    std::string names;
    for (const CLI::App* sub : CommandLine_commands(app)) names += (names.empty() ? "" : ", ") + sub->get_name();
    return names;
}

// The parser's text for arguments nobody takes, said plainly: "unknown
// option '--x'" or "unexpected argument 'y'"; other texts as they are.
inline std::string CommandLine_plainCause(const std::string& what)
{
    for (const char* prefix :
         {"The following argument was not expected: ", "The following arguments were not expected: "}) {
        if (what.rfind(prefix, 0) != 0) continue;
        const std::string rest = what.substr(std::string(prefix).size());
        if (rest.find(' ') == std::string::npos)
            return (rest.rfind('-', 0) == 0 ? CommandLine_text("unknown option '")
                                            : CommandLine_text("unexpected argument '")) +
                   rest + "'";
        // The parser lists them last first.
        std::string words;
        for (size_t end = rest.size(), space; end > 0; end = space == std::string::npos ? 0 : space) {
            space = rest.rfind(' ', end - 1);
            const size_t begin = space == std::string::npos ? 0 : space + 1;
            words += (words.empty() ? "" : " ") + rest.substr(begin, end - begin);
        }
        return CommandLine_text("unexpected arguments: ") + words;
    }
    return what;
}

// Parses args (in their order) into app; the callbacks of the commands run
// in the parse. Returns -1 when the program goes on. Otherwise the program
// ends with the status returned: 0 after --help or --version (printed on
// stdout), COMMAND_LINE_USAGE after a usage error, its cause on stderr as
// "<program>: <cause>" with a pointer to --help.
inline int CommandLine_parse(CLI::App& app, const char* program, const std::vector<std::string>& args)
{
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
        return -1;
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e), 0;
        std::string cause = CommandLine_plainCause(e.what());
        // The parser reports a mistyped command as an argument nobody
        // expected, or as a command missing.
        const bool commandMissing = e.get_name() == "RequiredError" && cause.find("ubcommand") != std::string::npos;
        if (!CommandLine_commands(app).empty() && (commandMissing || e.get_name() == "ExtrasError")) {
            const std::string word = CommandLine_commandWord(app, args);
            bool known = false;
            for (const CLI::App* sub : CommandLine_commands(app))
                known = known || sub->check_name(word);
            if (!word.empty() && !known)
                cause = CommandLine_text("unknown command '") + word + CommandLine_text("' (commands: ") +
                        CommandLine_commandNames(app) + ")";
            else if (word.empty() && app.get_require_subcommand_min() > 0)
                cause = CommandLine_text("a command is needed (commands: ") + CommandLine_commandNames(app) + ")";
        }
        std::fprintf(stderr, "%s: %s\n%s\n", program, cause.c_str(),
                     CommandLine_text("Run with --help for more information."));
        return COMMAND_LINE_USAGE;
    }
}

// CommandLine_parse over main's arguments.
inline int CommandLine_parse(CLI::App& app, const char* program, int argc, char** argv)
{
    return CommandLine_parse(app, program, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
