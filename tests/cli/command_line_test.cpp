// The command lines of the terminal programs: --version, usage errors and
// their status, global options after the command, and the refusals that come
// before any device is waited for.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

struct CommandLineCase {
    std::string program;            // TESSALY_CLI, TESSALY_DEVSIM or TESSALY_PACK
    std::vector<std::string> args;  // "@pkg": a package; "@bad": a file that is none
    int status;
    std::string fragment;           // shows on stdout or stderr
};

class CommandLine : public CliTest {
protected:
    // Runs the case with stderr into errPath (a file of its own when empty).
    RunResult run(const CommandLineCase& c, std::string errPath = "")
    {
        std::vector<std::string> argv = {c.program};
        // Every device look-up goes to the test's own empty folder.
        if (c.program == TESSALY_CLI) argv.insert(argv.end(), {"--sim-dir", simDir.string()});
        for (const std::string& a : c.args)
            argv.push_back(a == "@pkg" ? Samples::get().file("k502-full.dzr").string() : a == "@bad" ? bad() : a);
        const std::string base = (workDir() / ("run-" + std::to_string(++runs_))).string();
        Child child(argv, childEnvironment(tmpDir), base + ".stdout", errPath.empty() ? base + ".stderr" : errPath);
        const int status = child.wait(kRunMs);
        return {status, child.out(), errPath.empty() ? child.err() : std::string(), child.seconds()};
    }

    std::string bad()
    {
        const fs::path file = workDir() / "not-a-package.dzr";
        std::ofstream(file, std::ios::binary) << std::string(4096, 'x');
        return file.string();
    }

    int runs_ = 0;
};

TEST_F(CommandLine, StatusAndTextOfEachProgram)
{
    const std::string cli = TESSALY_CLI, devsim = TESSALY_DEVSIM, pack = TESSALY_PACK;
    const std::string version = " 2.0 (tool 425, client ", out = (workDir() / "out.dzr").string();
    const std::vector<CommandLineCase> cases = {
        {cli, {"--version"}, 0, "tessaly-cli" + version},
        {cli, {"info", "--version"}, 0, "tessaly-cli" + version},
        {cli, {"updte", "--package", "@pkg"}, 2, "tessaly-cli: unknown command 'updte'"},
        {cli, {"--wait", "30"}, 2, "a command is needed"},
        {cli, {"--wait", "soon"}, 2, "--wait: Value soon"},
        {cli, {"update", "--bogus"}, 2, "unknown option '--bogus'"},
        {cli, {"--simulate=nope", "info"}, 2, "unknown preset 'nope'"},
        {cli, {"info", "--simulate=nope"}, 2, "unknown preset 'nope'"},
        {cli, {"update", "--package", "@pkg", "--version-url", "http://127.0.0.1:9/v"}, 2, "excludes"},
        {cli, {"update", "--wait", "-1"}, 2, "--wait"},
        // Global options after the command are taken, not refused.
        {cli, {"info", "--simulate=502", "-v"}, 0, "program version:"},
        {cli, {"info", "--wait", "1"}, 3, "waited 1 s"},
        // A package that cannot be used fails at once, with or without a device.
        {cli, {"--wait", "30", "update", "--package", "/no/such/file"}, 1, "/no/such/file: no such file"},
        {cli, {"--wait", "30", "update", "--package", "@bad"}, 1, "not an update package"},
        {devsim, {"--version"}, 0, "tessaly-devsim" + version},
        {devsim, {"--mode", "usb"}, 2, "tessaly-devsim: --mode"},
        {devsim, {"--latency-us", "soon"}, 2, "--latency-us"},
        {devsim, {"--id", "x", "stray", "words"}, 2, "unexpected arguments: stray words"},
        {pack, {"--version"}, 0, "tessaly-pack" + version},
        {pack, {"bild"}, 2, "unknown command 'bild' (commands: build, sample)"},
        {pack, {"build", "-o", out}, 2, "manifest"},
        {pack, {}, 2, "a command is needed"},
        {pack, {"build", "/no/such.json", "-o", out}, 1, "tessaly-pack: "},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(fs::path(c.program).filename().string() + " " + (c.args.empty() ? "" : c.args[0]));
        RunResult r = run(c);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_NE((r.out + r.err).find(c.fragment), std::string::npos) << r;
        // Nothing here waits for the device longer than the 1 s one run asks for.
        EXPECT_LT(r.seconds, 10.0) << r;
        if (!c.args.empty() && c.args[0] == "--version") {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r;
        }
    }
}

TEST_F(CommandLine, WaitingIsAnnouncedOnATerminalOnly)
{
    const std::string kWaiting = "waiting for a device… (Ctrl-C to stop)";
    const CommandLineCase c{TESSALY_CLI, {"--wait", "1", "info"}, 3, "no device found"};
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_TRUE(grantpt(master) == 0 && unlockpt(master) == 0);
        RunResult r = run(c, terminal ? ptsname(master) : "");
        if (terminal) {
            // What the program wrote waits in the terminal after it ended.
            fcntl(master, F_SETFL, O_NONBLOCK);
            char buffer[512];
            for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) r.err.append(buffer, size_t(n));
        }
        close(master);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << r;
        EXPECT_EQ(r.err.find(kWaiting) != std::string::npos, terminal) << r;
    }
}

} // namespace
