// `tessaly-cli dump-server -o FILE`: the device's server-data area saved to
// a file, as the window's service command does it.
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/terminal_host.h"
#include "common_k52/machine.h"
#include "ui/service_tools.h"

namespace {

int runDumpServer(const CliOptions& options, const std::string& output)
{
    int status = CLI_EXIT_OK;
    MachinePtr machine = Cli_openMachine(options, "dump-server", &status);
    if (!machine) return status;
    TerminalHost::Settings settings;
    settings.saveFile = output;
    settings.progressOnTerminal = isatty(STDERR_FILENO);
    TerminalHost host(settings);
    ServiceTools_serverImage(host, machine.get(), true);
    host.finishProgressLine();
    return host.lastMessage() == kServiceWriteOk ? CLI_EXIT_OK : CLI_EXIT_ERROR;
}

} // namespace

void Cli_addDumpServerCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    auto* cmd = app.add_subcommand("dump-server", "save the device's server-data area to a file");
    auto output = std::make_shared<std::string>();
    cmd->add_option("-o,--output", *output, "the file to write")->required();
    cmd->callback([=, &options] { *exitStatus = runDumpServer(options, *output); });
}
