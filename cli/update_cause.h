// Why an update failed and what to do about it, as the terminal says it: one
// line on stderr after the window's own final message, which stays on stdout
// unchanged. `--json` reports the same two parts.
#pragma once

#include <string>

class CTessalyDlg;

struct UpdateCause {
    std::string cause;   // what went wrong, in the terms of the layer that saw it (UTF-8); "" when nothing did
    std::string advice;  // the next step for the user (UTF-8); "" when cause is
};

// The cause of the update run that just ended on dlg (dlg.lastCause() and its
// kind; call once isUpdating() is false), with the advice for its kind.
//   packagePath:  the --package given ("" for none), named in the advice;
//   connectError: what connecting said when no device was found ("" when one was),
//                 taken as the cause when the run ended for want of a device.
// An empty cause when the run did not fail.
UpdateCause Cli_updateCause(const CTessalyDlg& dlg, const std::string& packagePath,
                            const std::string& connectError = {});

// The cause for a --package refused before any device is waited for:
// problem is the file check's text ("No such file or directory", "not an
// update package (no container header)").
UpdateCause Cli_packageFileCause(const std::string& packagePath, const std::string& problem);

// "update: <cause>; <advice>" (without a newline); "" for an empty cause. The
// cause's line breaks become blanks, so that it stays one line. `translated`:
// the cause and the advice in the language in use (the terminal's line); the
// log keeps the English. The "update: " that starts the line is never
// translated: `watch` finds the cause of its update runs by it.
std::string Cli_causeLine(const UpdateCause& cause, bool translated = false);

// A cause (or advice) as the terminal shows it: the whole text looked up
// (platform/translate.h), or else, split at its first ": ", each part.
std::string Cli_translatedCause(const std::string& text);
