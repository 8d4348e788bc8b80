#include "cli/update_cause.h"

#include "common_k52/machine.h"
#include "platform/text_codec.h"
#include "ui/tessaly_dlg.h"

namespace {

// "FILE" stands for the package when the run had none of its own.
std::string packageName(const std::string& packagePath) { return packagePath.empty() ? "FILE" : packagePath; }

std::string inspectHint(const std::string& packagePath)
{
    return "(see tessaly-cli inspect " + packageName(packagePath) + ")";
}

std::string adviceFor(TessalyCauseKind kind, const CTessalyDlg& dlg, const std::string& packagePath)
{
    switch (kind) {
    case TessalyCauseKind::NONE: return {};
    case TessalyCauseKind::NO_DEVICE:
        return "plug the device in and rerun; tessaly-cli devices lists the devices it sees";
    case TessalyCauseKind::DEVICE_GONE: return "plug the device in again and rerun";
    case TessalyCauseKind::DEVICE: return "rerun; if it fails again, plug the device in again and rerun";
    case TessalyCauseKind::PACKAGE: return "use an update package made for this device " + inspectHint(packagePath);
    case TessalyCauseKind::BOARD: {
        char board[8] = {};
        ZR_Machine_getBoardName(dlg.machine(), board, sizeof board);
        std::string name = board[0] ? Text_gbkToUtf8(board) : std::string("this device");
        return "use a package that carries a program for " + name + " " + inspectHint(packagePath);
    }
    case TessalyCauseKind::NO_FIT:
        return "use --provinces \xE5\x8C\x97\xE4\xBA\xAC,\xE4\xB8\x8A\xE6\xB5\xB7 " /* 北京,上海 */ +
               inspectHint(packagePath);
    case TessalyCauseKind::NETWORK: return "check the address or the network";
    case TessalyCauseKind::VERSION_FILE:
        return "check the version file (line 1 the version number, line 2 the package address) or use --package";
    case TessalyCauseKind::VERIFY:
        return "rerun the update; if the same place fails again, the device's flash may be worn";
    case TessalyCauseKind::STOPPED: return "rerun the update";
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
    if (result.cause.empty()) result.cause = "no cause was recorded";
    result.advice = adviceFor(kind, dlg, packagePath);
    return result;
}

UpdateCause Cli_packageFileCause(const std::string& packagePath, const std::string& problem)
{
    UpdateCause result;
    result.cause = packagePath + ": " + problem;
    result.advice = "check the file name; --package takes an update package (.dzr) or a zip archive holding one";
    return result;
}

std::string Cli_causeLine(const UpdateCause& cause)
{
    if (cause.cause.empty()) return {};
    std::string line = "update: " + cause.cause;
    if (!cause.advice.empty()) line += "; " + cause.advice;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}
