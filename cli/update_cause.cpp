#include "cli/update_cause.h"

#include "core/strings.h"
#include "common_k52/machine.h"
#include "core/province_table.h"
#include "platform/text_codec.h"
#include "platform/translate_marks.h"
#include "ui/tessaly_dlg.h"

namespace {

// "FILE" stands for the package when the run had none of its own.
std::string packageName(const std::string& packagePath) { return packagePath.empty() ? "FILE" : packagePath; }

// Two provinces as the example of a list, named as the table names them.
std::string exampleProvinces()
{
    return Text_gbkToUtf8(ProvinceTable[0]) + "," + Text_gbkToUtf8(ProvinceTable[1]);
}

// The advice is kept in English (the log, --json); the texts are printf
// templates, so that the terminal can translate the finished line.
std::string adviceFor(TessalyCauseKind kind, const CTessalyDlg& dlg, const std::string& packagePath)
{
    const std::string file = packageName(packagePath);
    switch (kind) {
    case TessalyCauseKind::NONE: return {};
    case TessalyCauseKind::NO_DEVICE:
        return N_("plug the device in and rerun; tessaly-cli devices lists the devices it sees");
    case TessalyCauseKind::DEVICE_GONE: return N_("plug the device in again and rerun");
    case TessalyCauseKind::DEVICE: return N_("rerun; if it fails again, plug the device in again and rerun");
    case TessalyCauseKind::PACKAGE:
        return ZR_formatString(N_("use an update package made for this device (see tessaly-cli inspect %s)"), file.c_str());
    case TessalyCauseKind::BOARD: {
        char board[8] = {};
        ZR_Machine_getBoardName(dlg.machine(), board, sizeof board);
        if (!board[0])
            return ZR_formatString(N_("use a package that carries a program for this device (see tessaly-cli inspect %s)"),
                              file.c_str());
        return ZR_formatString(N_("use a package that carries a program for %s (see tessaly-cli inspect %s)"),
                          Text_gbkToUtf8(board).c_str(), file.c_str());
    }
    case TessalyCauseKind::NO_FIT:
        return ZR_formatString(N_("use --provinces %s (see tessaly-cli inspect %s)"), exampleProvinces().c_str(),
                          file.c_str());
    case TessalyCauseKind::NETWORK: return N_("check the address or the network");
    case TessalyCauseKind::VERSION_FILE:
        return N_("check the version file (line 1 the version number, line 2 the package address) or use --package");
    case TessalyCauseKind::VERIFY:
        return N_("rerun the update; if the same place fails again, the device's flash may be worn");
    case TessalyCauseKind::STOPPED: return N_("rerun the update");
    }
    return {};
}

} // namespace

UpdateCause Cli_updateCause(const CTessalyDlg& dlg, const std::string& packagePath, const std::string& connectError)
{
    TessalyCauseKind kind = dlg.lastCauseKind();
    if (kind == TessalyCauseKind::NONE) return {};
    UpdateCause result;
    // Connecting knows more of a missing device than the window's "no device".
    result.cause = kind == TessalyCauseKind::NO_DEVICE && !connectError.empty() ? connectError
                                                                                : Text_gbkToUtf8(dlg.lastCause());
    if (result.cause.empty()) result.cause = N_("no cause was recorded");
    result.advice = adviceFor(kind, dlg, packagePath);
    return result;
}

UpdateCause Cli_packageFileCause(const std::string& packagePath, const std::string& problem)
{
    UpdateCause result;
    result.cause = packagePath + ": " + problem;
    result.advice = N_("check the file name; --package takes an update package (.dzr) or a zip archive holding one");
    return result;
}

// Causes are often "<what>: <why>", each part a text of its own (a file and
// the reason it was refused, a request and its failure): when the whole is no
// known text, its parts are looked up.
std::string Cli_translatedCause(const std::string& text)
{
    std::string shown = Tr_text(text);
    if (shown != text) return shown;
    size_t colon = text.find(": ");
    if (colon == std::string::npos) return text;
    return Tr_text(text.substr(0, colon)) + ": " + Cli_translatedCause(text.substr(colon + 2));
}

std::string Cli_causeLine(const UpdateCause& cause, bool translated)
{
    if (cause.cause.empty()) return {};
    std::string line = "update: " + (translated ? Cli_translatedCause(cause.cause) : cause.cause);
    if (!cause.advice.empty()) line += "; " + (translated ? Cli_translatedCause(cause.advice) : cause.advice);
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}
