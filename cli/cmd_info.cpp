// `tessaly-cli info [-o FILE]`: the connected device's information text.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/connect.h"
#include "common_k52/machine.h"
#include "core/run_folder.h"
#include "platform/text_codec.h"

namespace {

int runInfo(const CliOptions& options, const std::string& output)
{
    int status = CLI_EXIT_OK;
    MachinePtr machine = Cli_openMachine(options, "info", &status);
    if (!machine) return status;
    // The text is written as a file first, exactly as the service command
    // saves it; without -o it is shown and the file removed.
    std::string path = output;
    ZR_RunFolderPtr folder;
    if (path.empty()) {
        folder.reset(ZR_RunFolder_create());
        path = ZR_RunFolder_pathOf(folder.get(), "info.txt");
        if (path.empty()) {
            std::fprintf(stderr, "info: cannot create a temporary folder\n");
            return CLI_EXIT_ERROR;
        }
    }
    if (!ZR_Machine_dumpInfo(machine.get(), path.c_str())) {
        std::fprintf(stderr, "info: cannot write %s\n", path.c_str());
        return CLI_EXIT_ERROR;
    }
    if (output.empty()) {
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fputs(Text_gbkToUtf8(text).c_str(), stdout);
    }
    return CLI_EXIT_OK;
}

} // namespace

void Cli_addInfoCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    auto* cmd = app.add_subcommand("info", "the connected device's information text");
    auto output = std::make_shared<std::string>();
    cmd->add_option("-o,--output", *output, "write the text to FILE instead of showing it");
    cmd->callback([=, &options] { *exitStatus = runInfo(options, *output); });
}
