// Connecting the terminal front end to a device: the in-process simulated
// device, or a real or simulated device found through discovery (switched
// from disk mode when needed and waited for in update mode).
#pragma once

#include <functional>
#include <string>

#include "cli/cli.h"
#include "common_k52/machine.h"

// The simulation folder the CLI uses: --sim-dir, else the default folder
// ($TESSALY_SIM_DIR, $XDG_RUNTIME_DIR/tessaly-sim, /tmp/tessaly-sim-<uid>)
// when it exists and is usable; "" for none.
std::string Cli_simFolder(const CliOptions& options);

// Registers the back ends of the simulation folder Cli_simFolder names, once
// per process. False, with *error set, only when --sim-dir names a folder
// that cannot be used.
bool Cli_useSimFolder(const CliOptions& options, std::string* error);

// Puts an identified device into machine's channel. With options.simulate an
// in-process simulated device made from options.preset ("" → "classic"),
// kept for the life of the process. Otherwise a device already in update mode
// is opened; else a disk-mode device is switched and the update-mode device
// waited for up to options.waitSeconds (device events, and a rescan every
// 500 ms). False with *error set when no device could be connected; a device
// that opened but did not identify stays in the channel. A device another
// run holds fails at once with its cause ("device in use by process N");
// Discovery_lastOpenBusy() then gives 1.
//
// The device is the one options.device names (waited for like any other), else
// the only one present in either mode; several present and none named is
// refused at once with their list. On success the id used goes to stderr
// ("device ID") and Cli_connectedDeviceId() gives it.
bool Cli_connectDevice(const CliOptions& options, ZR_Machine* machine, std::string* error);

// The id of the device the latest successful Cli_connectDevice used ("" none).
std::string Cli_connectedDeviceId();

// Opens the update-mode device at path as it is (no switch, no wait), hands
// it to read while it is open, and closes it. False with *cause when it
// cannot be asked: noAnswer for a device that opened but did not answer, else
// why it did not open; either followed by ": " and the device's own error.
bool Cli_askDevice(const std::string& path, const char* noAnswer, const std::function<void(const ZR_Machine*)>& read,
                   std::string* cause);

// The exit status after a failed Cli_connectDevice: CLI_EXIT_ERROR when
// another run holds the device or several devices left the choice open, else
// CLI_EXIT_NO_DEVICE.
int Cli_connectFailureStatus();

// The first step of the commands that work on the device: a new machine
// record connected as Cli_connectDevice does it. On failure null, the cause on
// stderr as "<command>: ...", and *exitStatus set to CLI_EXIT_ERROR (out of
// memory) or CLI_EXIT_NO_DEVICE.
MachinePtr Cli_openMachine(const CliOptions& options, const char* command, int* exitStatus);
