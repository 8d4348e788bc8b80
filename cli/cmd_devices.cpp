// `tessaly-cli devices [--json]`: the devices present in either mode, on the
// system and in the simulation folder. One line each, tab-separated, the id
// first (the one --device takes):
//   <id><TAB>disk<TAB><root folder><TAB><drive name><TAB><decoded vendor>
//   <id><TAB>update<TAB><HID path><TAB><back end><TAB><board><TAB><program version>
//       <TAB>gps <date><TAB>voice <date><TAB>radar-mute <date>
// An update-mode device that cannot be asked (another run holds it, it does
// not answer) shows its cause in place of board and version. With --json one
// object: {"devices": [...]}.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/device_json.h"
#include "common_k52/discovery.h"
#include "platform/translate_marks.h"

namespace {

// What an update-mode device says of itself; {"error": cause} when it cannot
// be asked.
CliJson askDevice(const DiscoveryDevice& device)
{
    CliJson summary;
    std::string cause;
    if (!Cli_askDevice(
            device.path, _("the device did not answer"),
            [&summary](const ZR_Machine* machine) { summary = Cli_deviceSummaryJson(machine); }, &cause))
        return CliJson{{"error", cause}};
    return summary;
}

std::string dateText(const CliJson& date) { return date.is_null() ? std::string("-") : date.get<std::string>(); }

void printLine(const CliJson& d)
{
    const std::string id = d["id"], mode = d["mode"], path = d["path"];
    if (mode == "disk") {
        const std::string name = d["name"], vendor = d["vendor"];
        std::printf("%s\tdisk\t%s\t%s\t%s\n", id.c_str(), path.c_str(), name.c_str(), vendor.c_str());
        return;
    }
    const std::string backend = d["backend"];
    std::printf("%s\tupdate\t%s\t%s", id.c_str(), path.c_str(), backend.c_str());
    if (d.contains("error")) {
        std::printf("\t%s\n", d["error"].get<std::string>().c_str());
        return;
    }
    std::printf("\t%s\t%d\tgps %s\tvoice %s\tradar-mute %s\n", d["board"].get<std::string>().c_str(),
                d["program_version"].get<int>(), dateText(d["gps_date"]).c_str(), dateText(d["voice_date"]).c_str(),
                dateText(d["radar_mute_date"]).c_str());
}

int listDevices(const CliOptions& options, bool json)
{
    std::string error;
    if (!Cli_useSimFolder(options, &error)) {
        std::fprintf(stderr, "tessaly-cli: %s\n", error.c_str());
        return CLI_EXIT_ERROR;
    }
    CliJson list = CliJson::array();
    for (const DiscoveryDevice& device : Discovery_listDevices()) {
        CliJson d = {{"id", device.id}, {"mode", device.updateMode ? "update" : "disk"}, {"path", device.path}};
        if (device.updateMode) {
            d["backend"] = device.name;
            d.update(askDevice(device));
        } else {
            d["name"] = device.name;
            d["vendor"] = device.vendor;
        }
        if (!json) printLine(d);
        list.push_back(std::move(d));
    }
    if (json) {
        CliJson out = {{"devices", list}};
        std::printf("%s\n", out.dump(2, ' ', false, CliJson::error_handler_t::replace).c_str());
    }
    if (list.empty()) {
        std::fprintf(stderr, "tessaly-cli: %s\n", _("no device found"));
        return CLI_EXIT_NO_DEVICE;
    }
    return CLI_EXIT_OK;
}

} // namespace

void Cli_addDevicesCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    CLI::App* cmd = app.add_subcommand("devices", "list the devices in disk mode and in update mode");
    auto json = std::make_shared<bool>(false);
    cmd->add_flag("--json", *json, "list them as one JSON object");
    cmd->callback([&options, exitStatus, json] { *exitStatus = listDevices(options, *json); });
}
