// The command lines of the terminal programs: --version, usage errors and
// their status, global options after the command, and the refusals that come
// before any device is waited for.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tests/cli/cli_support.h"

namespace {

using namespace cli_test;

enum class Stream { Out, Err };

struct CommandLineCase {
    const char* name;
    std::string program;            // TESSALY_CLI, TESSALY_DEVSIM or TESSALY_PACK
    std::vector<std::string> args;  // "@pkg" stands for a package, "@bad" for a file that is none
    int status;
    Stream stream;
    std::string fragment;           // must show in the stream
};

class CommandLine : public CliTest {
protected:
    // The program with its arguments (placeholders replaced), stdin from
    // /dev/null, and stderr on errPath when given.
    RunResult run(const CommandLineCase& c, const std::string& errPath = "")
    {
        std::vector<std::string> argv = {c.program};
        for (const std::string& a : c.args)
            argv.push_back(a == "@pkg"   ? Samples::get().file("k502-full.dzr").string()
                           : a == "@bad" ? badPackage().string()
                                         : a);
        // Every device look-up goes to the test's own empty folder.
        if (c.program == TESSALY_CLI) argv.insert(argv.begin() + 1, {"--sim-dir", simDir.string()});
        const std::string base = (workDir() / c.name).string();
        Child child(argv, childEnvironment(tmpDir), base + ".stdout", errPath.empty() ? base + ".stderr" : errPath);
        EXPECT_TRUE(child.started());
        RunResult r;
        r.status = child.wait(kRunMs);
        r.seconds = child.seconds();
        r.out = child.out();
        if (errPath.empty()) r.err = child.err();
        return r;
    }

    fs::path badPackage()
    {
        const fs::path bad = workDir() / "not-a-package.dzr";
        if (!fs::exists(bad)) std::ofstream(bad, std::ios::binary) << std::string(4096, 'x');
        return bad;
    }
};

const std::string kVersion = " 2.0 (tool 425, client ";

TEST_F(CommandLine, StatusAndTextOfEachProgram)
{
    const std::string cli = TESSALY_CLI, devsim = TESSALY_DEVSIM, pack = TESSALY_PACK;
    const std::string manifest = (workDir() / "none.json").string(), out = (workDir() / "out.dzr").string();
    const std::vector<CommandLineCase> cases = {
        {"cli-version", cli, {"--version"}, 0, Stream::Out, "tessaly-cli" + kVersion},
        {"cli-version-after-command", cli, {"info", "--version"}, 0, Stream::Out, "tessaly-cli" + kVersion},
        {"cli-unknown-command", cli, {"updte", "--package", "@pkg"}, 2, Stream::Err, "unknown command 'updte'"},
        {"cli-no-command", cli, {"--wait", "30"}, 2, Stream::Err, "a command is needed"},
        {"cli-unknown-preset", cli, {"--simulate=nope", "info"}, 2, Stream::Err, "unknown preset 'nope'"},
        {"cli-unknown-preset-after", cli, {"info", "--simulate=nope"}, 2, Stream::Err, "unknown preset 'nope'"},
        {"cli-package-and-url", cli, {"update", "--package", "@pkg", "--version-url", "http://127.0.0.1:9/v"},
         2, Stream::Err, "excludes"},
        {"cli-bad-wait-after", cli, {"update", "--wait", "-1"}, 2, Stream::Err, "--wait"},
        // Global options after the command are taken, not refused.
        {"cli-simulate-after", cli, {"info", "--simulate=502", "-v"}, 0, Stream::Out, "program version:"},
        {"cli-wait-after", cli, {"info", "--wait", "1"}, 3, Stream::Err, "waited 1 s"},
        // A package that cannot be used fails at once, with or without a device.
        {"cli-missing-package", cli, {"--wait", "30", "update", "--package", "/no/such/file"}, 1, Stream::Err,
         "/no/such/file: no such file"},
        {"cli-not-a-package", cli, {"--wait", "30", "update", "--package", "@bad"}, 1, Stream::Err,
         "not an update package"},
        {"cli-not-a-package-message", cli, {"--wait", "30", "update", "--package", "@bad"}, 1, Stream::Out,
         kWrongFile},
        {"devsim-version", devsim, {"--version"}, 0, Stream::Out, "tessaly-devsim" + kVersion},
        {"devsim-bad-mode", devsim, {"--mode", "usb"}, 2, Stream::Err, "tessaly-devsim: --mode"},
        {"devsim-bad-number", devsim, {"--latency-us", "soon"}, 2, Stream::Err, "--latency-us"},
        {"devsim-stray-word", devsim, {"--id", "x", "stray"}, 2, Stream::Err, "stray"},
        {"pack-version", pack, {"--version"}, 0, Stream::Out, "tessaly-pack" + kVersion},
        {"pack-unknown-command", pack, {"bild"}, 2, Stream::Err, "unknown command 'bild' (commands: build, sample)"},
        {"pack-no-manifest", pack, {"build", "-o", out}, 2, Stream::Err, "manifest"},
        {"pack-no-command", pack, {}, 2, Stream::Err, "a command is needed"},
        {"pack-build-fails", pack, {"build", manifest, "-o", out}, 1, Stream::Err, "tessaly-pack: "},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = run(c);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_NE((c.stream == Stream::Out ? r.out : r.err).find(c.fragment), std::string::npos) << r;
        // Nothing here needs the device: only the run told to wait 1 s for it may take that long.
        EXPECT_LT(r.seconds, 10.0) << r;
        if (!c.args.empty() && c.args[0] == "--version") {
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r;
        }
    }
}

// The master side of a pseudo-terminal; the program gets the slave as its stderr.
class PseudoTerminal {
public:
    PseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
    }
    ~PseudoTerminal()
    {
        if (master_ >= 0) close(master_);
    }
    const std::string& slavePath() const { return slave_; }

    // Everything written to the terminal, once the program has ended.
    std::string drain()
    {
        std::string text;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        char buffer[512];
        for (ssize_t n; (n = read(master_, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);)
            if (n > 0) text.append(buffer, size_t(n));
        return text;
    }

private:
    int master_;
    std::string slave_;
};

TEST_F(CommandLine, WaitingIsAnnouncedOnATerminalOnly)
{
    const std::string kWaiting = "waiting for a device… (Ctrl-C to stop)";
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        PseudoTerminal tty;
        ASSERT_FALSE(tty.slavePath().empty());
        CommandLineCase c{terminal ? "wait-tty" : "wait-file", TESSALY_CLI, {"--wait", "1", "info"}, 3, Stream::Err, ""};
        RunResult r = run(c, terminal ? tty.slavePath() : "");
        const std::string err = terminal ? tty.drain() : r.err;
        EXPECT_EQ(r.status, 3) << r << err;
        EXPECT_EQ(err.find(kWaiting) != std::string::npos, terminal) << err;
        EXPECT_NE(err.find("no device found"), std::string::npos) << err;
    }
}

} // namespace
