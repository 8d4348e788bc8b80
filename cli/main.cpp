// tessaly-cli: the update tool in the terminal.
#include <cstdio>

#include "cli/cli.h"
#include "core/log.h"

int main(int argc, char** argv)
{
    CLI::App app{"Tessaly: keeps GPS radar detectors up to date"};
    app.require_subcommand(1);
    CliOptions options;
    int exitStatus = CLI_EXIT_OK;
    app.add_flag("-v,--verbose", options.verbose, "write log lines to stderr");

    Cli_addInspectCommand(app, options, &exitStatus);

    // Log lines must not mix with the results on stdout.
    app.parse_complete_callback([&] { ZR_logSetSink(options.verbose ? ZR_logFileSink : nullptr, stderr); });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? CLI_EXIT_OK : CLI_EXIT_USAGE;
    }
    return exitStatus;
}
