// `tessaly-cli config show|set`: the device settings dialog in the terminal.
// The main window's configure action and the same dialog logic run here; this
// file reads what the dialog put into its controls, or types the user's
// values into them and presses OK, so that what is offered, checked and
// written is decided in one place for the window and the terminal alike.
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/connect.h"
#include "cli/terminal_host.h"
#include "platform/text_codec.h"
#include "ui/carrier_presets.h"
#include "ui/config_dialog.h"
#include "ui/tessaly_dlg.h"
#include "platform/translate_marks.h"

namespace {

constexpr unsigned kWmCommand = 0x0111;

struct ConfigArgs {
    bool json = false;
    bool showPassword = false;
    bool yes = false;
    std::vector<std::string> assignments;  // KEY=VALUE, UTF-8
};

// Connects through the terminal's own rules instead of the window's start-up timer.
class ConfigDiscovery : public TessalyDiscovery {
public:
    explicit ConfigDiscovery(const CliOptions& options) : options_(options) {}
    void onStartup(DiscoveryHooks* hooks) override
    {
        std::string error;
        if (!Cli_connectDevice(options_, hooks->machine, &error)) std::fprintf(stderr, "config: %s\n", error.c_str());
        if (hooks->refreshConnection) hooks->refreshConnection(hooks->user);
    }
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override { Discovery_handleEvent(hooks, event); }

private:
    const CliOptions& options_;
};

// A band box's text without its frequency window: "K2频段(24.050~24.250)" → "K2频段".
std::string bandName(const std::string& label) { return label.substr(0, label.find('(')); }

// A decimal integer as the whole text (one sign allowed); false for anything else.
bool parseInteger(const std::string& text, int* value)
{
    size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    if (i == text.size() || text.size() > 10) return false;
    long long n = 0;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
        n = n * 10 + (text[k] - '0');
    }
    *value = int(text[0] == '-' ? -n : n);
    return true;
}

// One star for each character, so the length shows but not the text.
std::string stars(const std::string& utf8)
{
    std::string out;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) out += '*';
    return out;
}

// ---------------------------------------------------------------------------
// What the dialog shows, read from its controls after its initialisation

struct ShownBand {
    std::string label;  // UTF-8, with the window
    bool enabled;
};

struct ShownSettings {
    int layout = 0;
    std::vector<ShownBand> bands;
    bool hasTimeZone = false, hasStart = false, hasEnd = false, hasShowNumber = false, hasMiles = false;
    int timeZone = 0, startHour = 0, endHour = 0;
    bool showNumber = false, miles = false;
    bool hasNetwork = false;
    std::string carrier, apn, user, password, server, port;  // UTF-8
};

ShownSettings readControls(const TerminalHost& host, const CConfigDialog& dialog, int layout)
{
    ShownSettings s;
    s.layout = layout;
    for (int i = 0; i < dialog.bandCount(); ++i)
        s.bands.push_back({Text_gbkToUtf8(host.text(IDC_CFG_BAND_BASE + i)), host.isChecked(IDC_CFG_BAND_BASE + i)});
    auto number = [&](int id, bool* has, int* value) {
        *has = host.isVisible(id) && parseInteger(host.text(id), value);
    };
    number(IDC_CFG_TIME_ZONE, &s.hasTimeZone, &s.timeZone);
    number(IDC_CFG_START_HOUR, &s.hasStart, &s.startHour);
    number(IDC_CFG_END_HOUR, &s.hasEnd, &s.endHour);
    s.hasShowNumber = host.isVisible(IDC_CFG_SHOW_NUMBER);
    s.showNumber = s.hasShowNumber && host.isChecked(IDC_CFG_SHOW_NUMBER);
    s.hasMiles = host.isVisible(IDC_CFG_MILES);
    s.miles = s.hasMiles && host.isChecked(IDC_CFG_MILES);
    s.hasNetwork = dialog.networkOffered() && host.isVisible(IDC_CFG_CARRIER);
    if (s.hasNetwork) {
        const std::vector<std::string> carriers = host.comboItems(IDC_CFG_CARRIER);
        const int choice = host.comboSelection(IDC_CFG_CARRIER);
        if (choice >= 0 && size_t(choice) < carriers.size()) s.carrier = Text_gbkToUtf8(carriers[size_t(choice)]);
        s.apn = Text_gbkToUtf8(host.text(IDC_CFG_APN));
        s.user = Text_gbkToUtf8(host.text(IDC_CFG_USER));
        s.password = Text_gbkToUtf8(host.text(IDC_CFG_PASSWORD));
        s.server = Text_gbkToUtf8(host.text(IDC_CFG_SERVER));
        s.port = Text_gbkToUtf8(host.text(IDC_CFG_PORT));
    }
    return s;
}

void printSettings(const ShownSettings& s, const ConfigArgs& args)
{
    const std::string password = args.showPassword ? s.password : stars(s.password);
    if (args.json) {
        nlohmann::ordered_json out;
        out["layout"] = s.layout;
        out["bands"] = nlohmann::ordered_json::array();
        for (size_t i = 0; i < s.bands.size(); ++i)
            out["bands"].push_back({{"position", i + 1},
                                    {"label", s.bands[i].label},
                                    {"name", bandName(s.bands[i].label)},
                                    {"enabled", s.bands[i].enabled}});
        if (s.hasTimeZone) out["timezone"] = s.timeZone;
        if (s.hasStart) out["brightStart"] = s.startHour;
        if (s.hasEnd) out["brightEnd"] = s.endHour;
        if (s.hasShowNumber) out["showNumber"] = s.showNumber;
        if (s.hasMiles) out["miles"] = s.miles;
        if (s.hasNetwork)
            out["network"] = {{"carrier", s.carrier}, {"apn", s.apn},       {"user", s.user},
                              {"password", password}, {"server", s.server}, {"port", s.port}};
        std::printf("%s\n", out.dump(2).c_str());
        return;
    }
    auto onOff = [](bool on) { return on ? "on" : "off"; };
    auto safe = [](const std::string& utf8) { return Text_terminalSafe(utf8); };
    std::printf("layout: %d\n", s.layout);
    for (size_t i = 0; i < s.bands.size(); ++i)
        std::printf("band.%zu: %s %s\n", i + 1, safe(s.bands[i].label).c_str(), onOff(s.bands[i].enabled));
    if (s.hasTimeZone) std::printf("timezone: %d\n", s.timeZone);
    if (s.hasStart) std::printf("bright-start: %d\n", s.startHour);
    if (s.hasEnd) std::printf("bright-end: %d\n", s.endHour);
    if (s.hasShowNumber) std::printf("show-number: %s\n", onOff(s.showNumber));
    if (s.hasMiles) std::printf("miles: %s\n", onOff(s.miles));
    if (s.hasNetwork) {
        std::printf("carrier: %s\n", safe(s.carrier).c_str());
        std::printf("apn: %s\n", safe(s.apn).c_str());
        std::printf("user: %s\n", safe(s.user).c_str());
        std::printf("password: %s\n", safe(password).c_str());
        std::printf("server: %s\n", safe(s.server).c_str());
        std::printf("port: %s\n", safe(s.port).c_str());
    }
}

// ---------------------------------------------------------------------------
// Typing the user's values into the dialog

class Assigner {
public:
    Assigner(TerminalHost& host, CConfigDialog& dialog) : host_(host), dialog_(dialog) {}

    // Puts one KEY=VALUE into the controls as the user would. False, with a
    // plain message on stderr, for what the dialog does not offer or could
    // not take from its controls.
    bool apply(const std::string& assignment)
    {
        const size_t eq = assignment.find('=');
        if (eq == std::string::npos || eq == 0) return refuse(assignment, _("expected KEY=VALUE"));
        key_ = assignment.substr(0, eq);
        const std::string utf8 = assignment.substr(eq + 1);
        std::string value;
        if (!Text_utf8ToGbk(utf8, &value)) return refuse(key_, _("the text holds characters the device cannot store"));

        if (key_.rfind("band.", 0) == 0) return applyBand(key_.substr(5), value);
        if (key_ == "timezone") return applyTimeZone(value);
        if (key_ == "bright-start") return applyHour(IDC_CFG_START_HOUR, value);
        if (key_ == "bright-end") return applyHour(IDC_CFG_END_HOUR, value);
        if (key_ == "show-number") return applyCheck(IDC_CFG_SHOW_NUMBER, value);
        if (key_ == "miles") return applyCheck(IDC_CFG_MILES, value);
        if (key_ == "carrier") return applyCarrier(value);
        if (key_ == "apn") return applyText(IDC_CFG_APN, value);
        if (key_ == "user") return applyText(IDC_CFG_USER, value);
        if (key_ == "password") return applyText(IDC_CFG_PASSWORD, value);
        if (key_ == "server") return applyText(IDC_CFG_SERVER, value);
        if (key_ == "port") {
            // The port's edit takes digits only.
            if (value.find_first_not_of("0123456789") != std::string::npos)
                return refuse(key_, "'" + utf8 + _("' is not a port number"));
            return applyText(IDC_CFG_PORT, value);
        }
        std::fprintf(stderr,
                     _("config: unknown key '%s' (keys: band.LABEL, band.N, timezone, bright-start, bright-end, "
                       "show-number, miles, carrier, apn, user, password, server, port)\n"),
                     Text_terminalSafe(key_).c_str());
        return false;
    }

private:
    bool refuse(const std::string& key, const std::string& why)
    {
        std::fprintf(stderr, "config: %s: %s\n", Text_terminalSafe(key).c_str(), Text_terminalSafe(why).c_str());
        return false;
    }
    bool notOffered() { return refuse(key_, _("not offered by this device")); }

    bool onOff(const std::string& value, bool* on)
    {
        if (value == "on" || value == "off") {
            *on = value == "on";
            return true;
        }
        return refuse(key_, "'" + Text_gbkToUtf8(value) + _("' is neither on nor off"));
    }

    bool applyBand(const std::string& label, const std::string& value)
    {
        const int count = dialog_.bandCount();
        int index = -1;
        int position = 0;
        if (!label.empty() && label.find_first_not_of("0123456789") == std::string::npos) {
            if (!parseInteger(label, &position) || position < 1 || position > count)
                return refuse(key_, _("no such band (the device has ") + std::to_string(count) + ")");
            index = position - 1;
        } else {
            std::string gbk;
            if (!Text_utf8ToGbk(label, &gbk)) return refuse(key_, _("unknown band"));
            for (int i = 0; i < count && index < 0; ++i)
                if (CarrierPreset_sameText(bandName(host_.text(IDC_CFG_BAND_BASE + i)).c_str(), gbk.c_str())) index = i;
            if (index < 0) return refuse(key_, _("unknown band (`config show` lists them)"));
        }
        bool on = false;
        if (!onOff(value, &on)) return false;
        host_.setChecked(IDC_CFG_BAND_BASE + index, on);
        return true;
    }

    // The zone box takes any text and reads a number from it, so "abc" would
    // silently become zone 0: only the zones the box lists are taken here.
    bool applyTimeZone(const std::string& value)
    {
        if (!host_.isVisible(IDC_CFG_TIME_ZONE)) return notOffered();
        const std::vector<std::string> zones = host_.comboItems(IDC_CFG_TIME_ZONE);
        int zone = 0;
        if (parseInteger(value, &zone))
            for (size_t i = 0; i < zones.size(); ++i)
                if (zones[i] == std::to_string(zone)) {
                    host_.setComboSelection(IDC_CFG_TIME_ZONE, int(i));
                    host_.setText(IDC_CFG_TIME_ZONE, zones[i]);
                    return true;
                }
        std::string range = zones.empty() ? std::string() : " (" + zones.front() + " to " + zones.back() + ")";
        return refuse(key_, "'" + Text_gbkToUtf8(value) + _("' is not a time zone") + range);
    }

    // A text that is no integer goes to the dialog, whose check refuses it
    // with its own prompt. An integer is stored as its low byte, so one that
    // is no hour of the day would reach the device as some other hour.
    bool applyHour(int id, const std::string& value)
    {
        if (!host_.isVisible(id)) return notOffered();
        int hour = 0;
        if (parseInteger(value, &hour) && (hour < 0 || hour > 23))
            return refuse(key_, "'" + value + _("' is not an hour of the day (0 to 23)"));
        host_.setText(id, value);
        return true;
    }

    bool applyCheck(int id, const std::string& value)
    {
        if (!host_.isVisible(id)) return notOffered();
        bool on = false;
        if (!onOff(value, &on)) return false;
        host_.setChecked(id, on);
        return true;
    }

    bool applyCarrier(const std::string& value)
    {
        if (!dialog_.networkOffered()) return notOffered();
        const std::vector<std::string> names = host_.comboItems(IDC_CFG_CARRIER);
        for (size_t i = 0; i < names.size(); ++i)
            if (CarrierPreset_sameText(names[i].c_str(), value.c_str())) {
                host_.setComboSelection(IDC_CFG_CARRIER, int(i));
                dialog_.windowProc(kWmCommand, IDC_CFG_CARRIER | CONFIG_CBN_SELCHANGE << 16, 0);
                return true;
            }
        return refuse(key_, _("unknown carrier '") + Text_gbkToUtf8(value) + "'");
    }

    bool applyText(int id, const std::string& value)
    {
        if (!dialog_.networkOffered()) return notOffered();
        if (!host_.isEnabled(id))
            return refuse(key_, id == IDC_CFG_SERVER || id == IDC_CFG_PORT
                                    ? _("not changeable on this device")
                                    : _("fixed by the chosen carrier"));
        host_.setText(id, value);
        return true;
    }

    TerminalHost& host_;
    CConfigDialog& dialog_;
    std::string key_;
};

// The carrier goes first, so that texts typed along with it are not
// replaced by the carrier's own when it is applied.
std::vector<std::string> carrierFirst(const std::vector<std::string>& assignments)
{
    std::vector<std::string> ordered;
    for (const std::string& a : assignments)
        if (a.rfind("carrier=", 0) == 0) ordered.push_back(a);
    for (const std::string& a : assignments)
        if (a.rfind("carrier=", 0) != 0) ordered.push_back(a);
    return ordered;
}

// ---------------------------------------------------------------------------

int runConfig(const CliOptions& options, bool show, const ConfigArgs& args)
{
    TerminalHost::Settings settings;
    // Showing writes nothing, so the configure action's question needs no
    // answer from the user; its text goes to stderr as a note.
    settings.assumeYes = show || args.yes;
    settings.interactive = isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
    TerminalHost host(settings);

    CTessalyDlg* main = nullptr;
    bool dialogShown = false;
    bool refused = false;
    ShownSettings current;

    TessalyDlgHooks hooks;
    hooks.discovery = std::make_shared<ConfigDiscovery>(options);
    bool ended = false;
    hooks.endDialog = [&](int) { ended = true; };
    hooks.runConfigDialog = [&](CConfigDialog& dialog) {
        dialogShown = true;
        host.resetDialogResult();
        dialog.OnInitDialog(host);
        if (show) {
            current = readControls(host, dialog, main->machine()->layoutVersion);
        } else {
            Assigner assigner(host, dialog);
            for (const std::string& assignment : carrierFirst(args.assignments))
                if (!assigner.apply(assignment)) {
                    refused = true;
                    break;
                }
            // The dialog's own checks speak through a message box and keep
            // the dialog open; then it is cancelled and nothing is written.
            if (!refused) {
                dialog.windowProc(kWmCommand, HOST_IDOK, 0);
                refused = host.dialogResult() != HOST_IDOK;
            }
        }
        if (host.dialogResult() == 0) dialog.windowProc(kWmCommand, HOST_IDCANCEL, 0);
        return host.dialogResult();
    };

    auto dlg = std::make_unique<CTessalyDlg>(host, hooks);
    main = dlg.get();
    // Configuring needs no version file: a client name without one keeps the
    // lookup from going to the network when the device connects.
    dlg->versionLookup().clientName = "-";
    if (!dlg->OnInitDialog() || ended) return CLI_EXIT_ERROR;
    if (!dlg->isConnected()) {
        // Another run holds the device: the cause is on stderr already.
        if (Cli_connectFailureStatus() == CLI_EXIT_ERROR) return CLI_EXIT_ERROR;
        dlg->OnConfigure();  // shows the not-connected message as the window would
        return CLI_EXIT_NO_DEVICE;
    }

    const int before = host.messageCount();
    dlg->OnConfigure();
    if (!dialogShown) {
        // The action refused the device (its message is out) or the question
        // was answered No.
        if (host.messageCount() == before && !host.lastQuestion().empty())
            std::fprintf(stderr, _("config: %s\nconfig: not confirmed; nothing was written%s\n"),
                         Tr_gbk(host.lastQuestion()).c_str(),
                         settings.interactive ? "" : _(" (without a terminal, --yes confirms)"));
        return CLI_EXIT_ERROR;
    }
    if (show) {
        if (!host.lastQuestion().empty())
            std::fprintf(stderr, _("config: note: %s\n"), Tr_gbk(host.lastQuestion()).c_str());
        printSettings(current, args);
        return CLI_EXIT_OK;
    }
    if (refused) return CLI_EXIT_ERROR;
    if (host.messageCount() == before) {
        // Confirmed, but the device was gone or replaced before the write.
        std::fprintf(stderr, "config: %s\n", _("the device changed while it was being configured; nothing was written"));
        return CLI_EXIT_ERROR;
    }
    if ((host.lastMessageFlags() & 0xF0) == HOST_MB_ICONERROR) {
        const char* cause = ZR_Machine_lastError(dlg->machine());
        if (cause[0]) std::fprintf(stderr, "config: %s\n", cause);
        return CLI_EXIT_ERROR;
    }
    return CLI_EXIT_OK;
}

} // namespace

void Cli_addConfigCommand(CLI::App& app, CliOptions& options, int* exitStatus)
{
    auto* cmd = app.add_subcommand("config", "show or change the connected device's settings");
    cmd->require_subcommand(1);
    auto args = std::make_shared<ConfigArgs>();

    auto* show = cmd->add_subcommand("show", "the settings the device offers and their values");
    show->add_flag("--json", args->json, "as JSON");
    show->add_flag("--show-password", args->showPassword, "show the network password instead of stars");
    show->callback([=, &options] { *exitStatus = runConfig(options, true, *args); });

    auto* set = cmd->add_subcommand("set", "change settings and write them to the device");
    set->add_option("assignments", args->assignments,
                    "KEY=VALUE: band.LABEL or band.N=on|off, timezone=N, bright-start=N, bright-end=N, "
                    "show-number=on|off, miles=on|off, carrier=NAME, apn=, user=, password=, server=, port=")
        ->required();
    set->add_flag("--yes", args->yes, "confirm the configure action's questions without asking");
    set->callback([=, &options] { *exitStatus = runConfig(options, false, *args); });
}
