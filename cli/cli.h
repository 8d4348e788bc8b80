// The terminal front end: shared options and the commands' entry points.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

struct CliOptions {
    bool verbose = false;       // -v: log lines to stderr
    bool simulate = false;      // --simulate[=PRESET]: an in-process simulated device
    std::string preset;         // the simulated device's preset ("" the default one)
    std::string simDir;         // --sim-dir DIR (else TESSALY_SIM_DIR, else the default folder)
    int waitSeconds = 15;       // --wait: how long to wait for the update-mode device
    std::string device;         // --device ID: the device to use ("" the only one present)
};

// Each command adds itself to the application; the callback it installs runs
// the command and stores the process exit status in *exitStatus.
void Cli_addInspectCommand(CLI::App& app, CliOptions& options, int* exitStatus);
void Cli_addInfoCommand(CLI::App& app, CliOptions& options, int* exitStatus);
void Cli_addUpdateCommand(CLI::App& app, CliOptions& options, int* exitStatus);
void Cli_addDumpServerCommand(CLI::App& app, CliOptions& options, int* exitStatus);
// `devices`: the devices present in disk mode and in update mode.
void Cli_addDevicesCommand(CLI::App& app, CliOptions& options, int* exitStatus);
// `config show|set`: the device's settings through the configuration dialog.
void Cli_addConfigCommand(CLI::App& app, CliOptions& options, int* exitStatus);
// `watch`: updates every device plugged in, each in its own update run, until Ctrl-C.
void Cli_addWatchCommand(CLI::App& app, CliOptions& options, int* exitStatus);
// Further commands add themselves the same way, each from its own cmd_*.cpp,
// and are listed in main.cpp.

// Exit statuses shared by every command.
enum : int {
    CLI_EXIT_OK = 0,
    CLI_EXIT_ERROR = 1,         // also: several devices and no --device to choose one
    CLI_EXIT_USAGE = 2,
    CLI_EXIT_NO_DEVICE = 3,
    // 128 + the signal's number: the update stopped by SIGINT or SIGTERM (cli/interrupt.h).
};
