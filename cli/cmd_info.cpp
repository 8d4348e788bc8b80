// `tessaly-cli info [-o FILE] [--json]`: the connected device's information
// text; with --json the same fields as one JSON object on stdout (the file of
// -o is still the text the service command saves).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/device_json.h"
#include "common_k52/machine.h"
#include "core/run_folder.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"

namespace {

struct InfoOptions {
    std::string output;
    bool json = false;
};

int runInfo(const CliOptions& options, const InfoOptions& info)
{
    const std::string& output = info.output;
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
            std::fprintf(stderr, _("info: cannot create a temporary folder\n"));
            return CLI_EXIT_ERROR;
        }
    }
    if (!ZR_Machine_dumpInfo(machine.get(), path.c_str())) {
        std::fprintf(stderr, _("info: cannot write %s\n"), path.c_str());
        return CLI_EXIT_ERROR;
    }
    if (info.json) {
        CliJson json = {{"device", {{"id", Cli_connectedDeviceId()}}}};
        json.update(Cli_deviceInfoJson(machine.get()));
        std::printf("%s\n", json.dump(2, ' ', false, CliJson::error_handler_t::replace).c_str());
    } else if (output.empty()) {
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
    auto info = std::make_shared<InfoOptions>();
    cmd->add_option("-o,--output", info->output, "write the text to FILE instead of showing it");
    cmd->add_flag("--json", info->json, "show the information as one JSON object");
    cmd->callback([=, &options] { *exitStatus = runInfo(options, *info); });
}
