// The terminal front end: shared options and the commands' entry points.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

struct CliOptions {
    bool verbose = false;  // -v: log lines to stderr
};

// Each command adds itself to the application; the callback it installs runs
// the command and stores the process exit status in *exitStatus.
void Cli_addInspectCommand(CLI::App& app, CliOptions& options, int* exitStatus);

// Exit statuses shared by every command.
enum : int {
    CLI_EXIT_OK = 0,
    CLI_EXIT_ERROR = 1,
    CLI_EXIT_USAGE = 2,
    CLI_EXIT_NO_DEVICE = 3,
};
