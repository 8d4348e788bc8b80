// `tessaly-cli devices`: the devices present in either mode, on the system
// and in the simulation folder. One line each, tab-separated:
//   disk<TAB><root folder><TAB><drive name><TAB><decoded vendor>
//   update<TAB><HID path><TAB><back end>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/connect.h"
#include "common_k52/discovery.h"
#include "platform/hid_transport.h"
#include "platform/removable_storage.h"

namespace {

int listDevices(const CliOptions& options)
{
    std::string error;
    if (!Cli_useSimFolder(options, &error)) {
        std::fprintf(stderr, "tessaly-cli: %s\n", error.c_str());
        return CLI_EXIT_ERROR;
    }
    int found = 0;
    for (const RemovableDrive& drive : RemovableStorage_listAll()) {
        if (!Discovery_isDeviceVendor(drive.descriptor.data(), drive.vendorOffset)) continue;
        char vendor[kDiscoveryDescriptorSize];
        Discovery_decodeStorageString(drive.descriptor.data(), drive.vendorOffset, vendor, sizeof vendor);
        std::printf("disk\t%s\t%s\t%s\n", drive.root.c_str(), drive.name.c_str(), vendor);
        ++found;
    }
    for (const HidDeviceInfo& info : HidTransport_enumerate()) {
        if (!Discovery_isUpdateDevicePath(info.path.c_str())) continue;
        std::printf("update\t%s\t%s\n", info.path.c_str(), info.backend.c_str());
        ++found;
    }
    if (found == 0) {
        std::fprintf(stderr, "tessaly-cli: no device found\n");
        return CLI_EXIT_NO_DEVICE;
    }
    return CLI_EXIT_OK;
}

} // namespace

void Cli_addDevicesCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    CLI::App* cmd = app.add_subcommand("devices", "list the devices in disk mode and in update mode");
    cmd->callback([&options, exitStatus] { *exitStatus = listDevices(options); });
}
