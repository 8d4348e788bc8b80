#include "cli/connect.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "cli/interrupt.h"
#include "common_k52/discovery.h"
#include "core/runtime.h"
#include "platform/device_events.h"
#include "platform/sim_folder.h"
#include "sim/presets.h"
#include "sim/sim_device.h"
#include "platform/translate_marks.h"

namespace {

constexpr const char* kDefaultPreset = "classic";
constexpr int kRescanMs = 500;

// What the latest connection attempt on this thread settled.
thread_local std::string connectedId;
thread_local bool ambiguous = false;

struct EventsCloser {
    void operator()(DeviceEventSource* s) const { DeviceEvents_close(s); }
};

// The machine layer's cause, when it recorded one, after the message.
std::string withCause(const char* message, const ZR_Machine* machine)
{
    const char* cause = ZR_Machine_lastError(machine);
    return cause[0] ? std::string(message) + ": " + cause : std::string(message);
}

bool connectSimulated(const CliOptions& options, ZR_Machine* machine, std::string* error)
{
    // The device lives as long as the process: the machine record may still
    // hold its port when the command returns.
    static std::unique_ptr<SimDevice> device;
    static std::string path;
    if (!device) {
        std::string preset = options.preset.empty() ? kDefaultPreset : options.preset;
        device = SimPreset_make(preset);
        if (!device) {
            *error = _("unknown preset '") + preset + "'";
            return false;
        }
        path = SimDevice_attach(device.get(), "cli");
    }
    if (!Discovery_openChannel(machine, path.c_str())) {
        *error = withCause(_("the simulated device did not identify"), machine);
        return false;
    }
    connectedId = "simulated (" + (options.preset.empty() ? std::string(kDefaultPreset) : options.preset) + ")";
    return true;
}

std::string simFolderError(const std::string& dir)
{
    return _("the simulation folder ") + dir + _(" cannot be used (missing, a symlink, or not private)");
}

bool hasPort(const ZR_Machine* machine) { return machine->channel && machine->channel->port; }

enum OpenOutcome { OPEN_IDENTIFIED, OPEN_FAILED, OPEN_NOTHING };

// One attempt on the update-mode device. A device that opened but did not
// answer, or that another run holds, ends the command: waiting longer cures
// neither. OPEN_NOTHING when there was no device to open (yet).
OpenOutcome openUpdateDevice(ZR_Machine* machine, const std::string& id, std::string* error)
{
    error->clear();
    // Without a chosen id the first update-mode interface is the one opened.
    connectedId = id;
    if (id.empty())
        for (const DiscoveryDevice& device : Discovery_listDevices())
            if (device.updateMode) {
                connectedId = device.id;
                break;
            }
    if (Discovery_openUpdateDevice(machine, id)) return OPEN_IDENTIFIED;
    if (hasPort(machine)) {
        *error = withCause(_("the device in update mode did not answer"), machine);
        return OPEN_FAILED;
    }
    if (Discovery_lastOpenBusy()) {
        *error = Discovery_lastOpenError();
        return OPEN_FAILED;
    }
    return OPEN_NOTHING;
}

// The ids present in either mode, each once (a device seen in both modes
// during its switch counts once).
std::vector<DiscoveryDevice> distinctDevices()
{
    std::vector<DiscoveryDevice> distinct;
    for (const DiscoveryDevice& device : Discovery_listDevices()) {
        auto same = [&](const DiscoveryDevice& d) { return d.id == device.id; };
        if (std::find_if(distinct.begin(), distinct.end(), same) == distinct.end()) distinct.push_back(device);
    }
    return distinct;
}

// "several devices ..." with one line per device, as `devices` names them.
std::string ambiguityError(const std::vector<DiscoveryDevice>& devices)
{
    std::string text = _("several devices are connected; choose one with --device ID:");
    for (const DiscoveryDevice& device : devices)
        text += "\n  " + device.id + "\t" + (device.updateMode ? "update" : "disk") + "\t" + device.path;
    return text;
}

// Opens the chosen device and names it on stderr.
bool connected(OpenOutcome outcome)
{
    if (outcome != OPEN_IDENTIFIED) return false;
    std::fprintf(stderr, "device %s\n", connectedId.c_str());
    return true;
}

} // namespace

std::string Cli_connectedDeviceId() { return connectedId; }

bool Cli_askDevice(const std::string& path, const char* noAnswer, const std::function<void(const ZR_Machine*)>& read,
                   std::string* cause)
{
    MachinePtr machine(ZR_Machine_create(nullptr, nullptr, nullptr, nullptr));
    if (!machine) {
        *cause = N_("out of memory");
        return false;
    }
    const bool ok = Discovery_openChannel(machine.get(), path.c_str());
    if (ok) {
        read(machine.get());
    } else {
        *cause = hasPort(machine.get()) ? std::string(noAnswer) : Discovery_lastOpenError();
        if (machine->lastError[0]) *cause += std::string(": ") + machine->lastError;
    }
    Discovery_closeChannel(machine.get());
    return ok;
}

std::string Cli_simFolder(const CliOptions& options)
{
    if (!options.simDir.empty()) return options.simDir;
    std::string dir = SimFolder_defaultPath();
    return SimFolder_isUsable(dir) ? dir : std::string();
}

bool Cli_useSimFolder(const CliOptions& options, std::string* error)
{
    std::string dir = Cli_simFolder(options);
    if (dir.empty() || SimFolder_registerBackends(dir)) return true;
    if (error) *error = simFolderError(dir);
    return false;
}

bool Cli_connectDevice(const CliOptions& options, ZR_Machine* machine, std::string* error)
{
    std::string ignored;
    if (!error) error = &ignored;
    if (!machine || !machine->channel) {
        *error = _("no machine record");
        return false;
    }
    connectedId.clear();
    ambiguous = false;
    if (options.simulate) {
        if (!connectSimulated(options, machine, error)) return false;
        std::fprintf(stderr, "device %s\n", connectedId.c_str());
        return true;
    }

    // Listening starts before the switch, so the arrival cannot slip by.
    std::string dir = Cli_simFolder(options);
    DeviceEventSource* raw = nullptr;
    int listening = Discovery_registerNotifications(dir.empty() ? nullptr : dir.c_str(), &raw);
    std::unique_ptr<DeviceEventSource, EventsCloser> events(raw);
    if (!listening && !dir.empty()) {
        *error = simFolderError(dir);
        return false;
    }

    // Picking one of several devices silently could write to the wrong one.
    std::string id = options.device;
    if (id.empty()) {
        std::vector<DiscoveryDevice> present = distinctDevices();
        if (present.size() > 1) {
            *error = ambiguityError(present);
            ambiguous = true;
            return false;
        }
        // The one present is followed through its switch; another plugged
        // in meanwhile is not taken for it.
        if (present.size() == 1) id = present[0].id;
    }

    if (OpenOutcome outcome = openUpdateDevice(machine, id, error); outcome != OPEN_NOTHING)
        return connected(outcome);
    bool switched = Discovery_switchToUpdateMode(id) != 0;
    if (options.verbose && switched) std::fprintf(stderr, "%s\n", _("switching the device into update mode..."));
    // Someone at a terminal sees why nothing happens and how to end it;
    // scripts get only the outcome.
    if (options.verbose || isatty(STDERR_FILENO)) std::fprintf(stderr, "%s\n", _("waiting for a device… (Ctrl-C to stop)"));

    const uint32_t start = ZR_tickCount();
    const int32_t limit = int32_t(options.waitSeconds) * 1000;
    uint32_t lastScan = start;
    std::vector<DeviceEvent> arrived;
    for (;;) {
        int32_t left = limit - int32_t(ZR_tickCount() - start);
        if (left <= 0) break;
        // Ctrl-C ends the wait; the command decides what follows.
        if (Cli_interruptPending()) {
            *error = "stopped while waiting for the device";
            return false;
        }
        arrived.clear();
        DeviceEvents_wait(events.get(), std::min<int32_t>(left, kRescanMs), &arrived);
        bool look = int32_t(ZR_tickCount() - lastScan) >= kRescanMs;
        for (const DeviceEvent& event : arrived) {
            if (event.kind != DEVICE_ARRIVAL) continue;
            if (Discovery_isUpdateInterface(event)) look = true;
            // A device plugged in while we wait is switched as it comes.
            if (event.interfaceClass == DEVICE_CLASS_VOLUME && Discovery_switchToUpdateMode(id)) switched = true;
        }
        if (!look) continue;
        lastScan = ZR_tickCount();
        if (OpenOutcome outcome = openUpdateDevice(machine, id, error); outcome != OPEN_NOTHING)
            return connected(outcome);
    }
    const std::string which = options.device.empty() ? "" : " " + options.device;
    *error = switched ? _("the device was switched but did not come back in update mode within ") +
                            std::to_string(options.waitSeconds) + " s"
                      : _("no device") + which + _(" found (waited ") + std::to_string(options.waitSeconds) + " s)";
    return false;
}

int Cli_connectFailureStatus()
{
    return ambiguous || Discovery_lastOpenBusy() ? CLI_EXIT_ERROR : CLI_EXIT_NO_DEVICE;
}

MachinePtr Cli_openMachine(const CliOptions& options, const char* command, int* exitStatus)
{
    MachinePtr machine(ZR_Machine_create(nullptr, nullptr, nullptr, nullptr));
    if (!machine) {
        std::fprintf(stderr, "%s: %s\n", command, _("out of memory"));
        *exitStatus = CLI_EXIT_ERROR;
        return nullptr;
    }
    std::string error;
    if (!Cli_connectDevice(options, machine.get(), &error)) {
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
        *exitStatus = Cli_connectFailureStatus();
        return nullptr;
    }
    return machine;
}
