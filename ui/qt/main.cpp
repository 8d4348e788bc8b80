// tessaly: the desktop program.
//
//   tessaly                      the window, with the devices plugged into this computer
//   tessaly --simulate[=PRESET]  ... with an in-process simulated device plugged in
//   tessaly --sim-dir DIR        ... and the devices of a simulation folder (tessaly-devsim)
//   tessaly --version-url URL    look the newest package up in this version file
//   tessaly --service 10000|10001  ask the running window for a service command
//   tessaly --lang zh|en|es      show the texts in this language (default: from the locale)
//   tessaly --version            print the version and exit
#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "common_k52/machine_verify.h"
#include "core/run_folder.h"
#include "core/version.h"
#include "platform/sim_folder.h"
#include "platform/translate.h"
#include "ui/qt/main_window.h"
#include "ui/qt/single_instance.h"

namespace {

struct Arguments {
    bool simulate = false;
    std::string preset;
    std::string simDir;
    std::string versionUrl;
    unsigned service = 0;
    uint32_t verifyMode = 0;
    bool verbose = false;
    std::string lang; // --lang: "" chooses by the environment
};

void usage()
{
    std::fprintf(stderr, "usage: tessaly [--simulate[=PRESET]] [--sim-dir DIR] [--version-url URL]\n"
                         "               [--verify=full | --no-verify] [--lang zh|en|es] [-v]\n"
                         "       tessaly --service 10000|10001 | --version\n");
}

// Options of our own; Qt has taken its own (-platform and the like) by now.
bool parse(const QStringList& args, Arguments* out)
{
    for (int i = 1; i < args.size(); ++i) {
        const std::string a = args[i].toStdString();
        auto value = [&](const char* name, std::string* to) {
            const size_t n = std::strlen(name);
            if (a.compare(0, n, name) != 0) return false;
            if (a.size() > n && a[n] == '=') {
                *to = a.substr(n + 1);
                return true;
            }
            if (a.size() == n && i + 1 < args.size()) {
                *to = args[++i].toStdString();
                return true;
            }
            return false;
        };
        std::string service;
        if (a == "--simulate") {
            out->simulate = true;
        } else if (a.rfind("--simulate=", 0) == 0) {
            out->simulate = true;
            out->preset = a.substr(11);
        } else if (value("--sim-dir", &out->simDir) || value("--version-url", &out->versionUrl)) {
        } else if (value("--lang", &out->lang)) {
            TrLanguage language;
            if (out->lang == "C" || !Tr_languageFromCode(out->lang, &language)) return false;
        } else if (value("--service", &service)) {
            out->service = unsigned(std::strtoul(service.c_str(), nullptr, 10));
            if (out->service != 10000 && out->service != 10001) return false;
        } else if (a == "--verify=full") {
            out->verifyMode = ZR_VERIFY_FULL;
        } else if (a == "--no-verify") {
            out->verifyMode = ZR_VERIFY_OFF;
        } else if (a == "-v" || a == "--verbose") {
            out->verbose = true;
        } else {
            return false;
        }
    }
    return true;
}

std::string envOr(const std::string& given, const char* name)
{
    if (!given.empty()) return given;
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

int main(int argc, char** argv)
{
    // Temporary files go with the run however it ends, and what a killed run
    // left behind goes now.
    ZR_RunFolder_cleanUpOnSignals();
    ZR_RunFolder_removeStale();

    // Answered without a display, as the terminal programs answer it.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") != 0) continue;
        std::printf("%s\n", ZR_versionLine("tessaly").c_str());
        return 0;
    }
    QApplication app(argc, argv);
    Arguments args;
    if (!parse(app.arguments(), &args)) {
        usage();
        return 2;
    }
    ZR_logSetSink(args.verbose ? ZR_logFileSink : nullptr, stderr);
    Tr_init(args.lang);
    // Qt's own words (the message boxes' Yes, No, OK) from Qt's catalogues,
    // where the system has them installed.
    QTranslator qtWords;
    if (Tr_language() != TR_ORIGINAL &&
        qtWords.load(QLocale(QString::fromLatin1(Tr_catalogueName(Tr_language()))), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtWords);

    TessalyWindowOptions options;
    options.versionUrl = envOr(args.versionUrl, "TESSALY_VERSION_URL");
    options.verifyMode = args.verifyMode;
    options.simDir = envOr(args.simDir, "TESSALY_SIM_DIR");
    if (options.simDir.empty() && SimFolder_isUsable(SimFolder_defaultPath())) options.simDir = SimFolder_defaultPath();
    if (args.simulate) {
        options.discovery = SimulatedDiscovery::make(args.preset);
        if (!options.discovery) {
            std::fprintf(stderr, "tessaly: unknown preset '%s'\n", args.preset.c_str());
            return 2;
        }
    }

    if (args.service) {
        if (SingleInstance::sendService(args.service)) return 0;
        std::fprintf(stderr, "tessaly: no running window took service command %u\n", args.service);
        return 1;
    }
    // A second copy asks the first to come to the front and ends, showing
    // nothing. Without a usable lock the window runs all the same.
    SingleInstance instance;
    if (!instance.acquire() && instance.heldByAnother()) {
        SingleInstance::activateRunning();
        return 0;
    }

    TessalyWindow window(options);
    if (!window.start()) return 1;
    QObject::connect(&instance, &SingleInstance::activateRequested, &window, &TessalyWindow::activateFromOutside);
    QObject::connect(&instance, &SingleInstance::serviceRequested, &window, &TessalyWindow::runService);
    window.show();
    // The door from outside opens once there is a window to bring forward.
    instance.listen();
    return app.exec();
}
