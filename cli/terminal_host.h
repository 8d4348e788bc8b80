// The terminal's implementation of the window layer: the main thread plays
// the window thread (a message loop), message boxes become lines on stdout or
// questions on the terminal, the progress bar becomes a line on stderr.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/progress_line.h"
#include "ui/dialog_host.h"

class TerminalHost : public DialogHost {
public:
    struct Settings {
        bool assumeYes = false;       // answer Yes to questions without asking
        bool interactive = false;     // stdin and stderr are a terminal: questions may be asked
        bool progressOnTerminal = false;  // stderr is a terminal: rewrite one progress line
        int progressId = 1007;        // the progress bar whose text and position are shown
        std::string saveFile;         // answer of the file-save dialog ("" cancels)
        std::string openFile;         // answer of the file-open dialog ("" cancels)
        bool quietMessages = false;   // message boxes are recorded but not printed (a report follows instead)
        // Bytes of a device progress run (the bar's range is then 10000) when
        // it begins, for the rate of the write and the check; empty: unknown.
        std::function<uint64_t()> progressRunBytes;
    };

    explicit TerminalHost(Settings settings);
    ~TerminalHost() override;

    // Runs the window thread's loop on the calling thread until done() is true
    // (checked after every message and timer) or the deadline passes. False on
    // time-out.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // The last message box: its text (GBK) and flags; the count of boxes shown.
    std::string lastMessage() const;
    unsigned lastMessageFlags() const;
    int messageCount() const;

    // DialogHost
    void setMessageHandler(MessageHandler handler) override;
    void setText(int id, const std::string& text) override;
    std::string text(int id) const override;
    void setEnabled(int id, bool enabled) override;
    bool isEnabled(int id) const override;
    void setVisible(int id, bool visible) override;
    void setChecked(int id, bool checked) override;
    bool isChecked(int id) const override;
    void setFocus(int id) override;
    void setTitle(const std::string& title) override;
    std::string title() const override;
    void setProgressRange(int id, uint32_t low, uint32_t high) override;
    void setProgressPos(int id, uint32_t position) override;
    int messageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    bool chooseOpenFile(const std::string& filter, const std::string& defaultExtension, std::string* path) override;
    bool chooseSaveFile(const std::string& filter, const std::string& defaultExtension, std::string* path) override;
    intptr_t sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override;
    void postMessage(unsigned message, uintptr_t wParam, intptr_t lParam) override;
    void singleShot(uint32_t delayMs, std::function<void()> fn) override;
    bool onWindowThread() const override;

    // Combo boxes (items kept in memory), controls made at run time, and the
    // end of a modal dialog, for dialog logic run in the terminal.
    void comboClear(int id) override;
    void comboAdd(int id, const std::string& text) override;
    int comboCount(int id) const override;
    int comboSelection(int id) const override;
    void setComboSelection(int id, int index) override;
    bool createControl(int id, HostControlKind kind, HostRect rect, const std::string& text) override;
    void destroyControl(int id) override;
    void endDialog(int result) override;

    // Ends the rewritten progress line so that later output starts on a fresh line.
    void finishProgressLine();

    // Asks a yes/no question (UTF-8) on the terminal; true for an answer
    // beginning with y. False at once when the host is not interactive.
    bool askOnTerminal(const std::string& question);

    // Seconds spent in each phase the progress texts named, in the order
    // first seen ("download", "unpack", "write", "check").
    std::vector<std::pair<std::string, double>> phaseSeconds() const;

    // What a dialog left in the controls: every control counts as visible
    // until hidden; a combo box's items in the order they were added.
    bool isVisible(int id) const;
    std::vector<std::string> comboItems(int id) const;
    // The result the last modal dialog ended with; 0 while none has ended.
    // resetDialogResult() before the next one is shown.
    int dialogResult() const;
    void resetDialogResult();
    // The last question asked (GBK), whatever the answer; "" when none was.
    std::string lastQuestion() const;

private:
    struct Pending {
        std::function<void()> run;
    };
    struct Timer {
        std::chrono::steady_clock::time_point due;
        std::function<void()> fn;
    };
    void enqueue(std::function<void()> fn);
    void showProgress();
    bool askYesNo(const std::string& question);

    Settings settings_;
    std::thread::id windowThread_;
    MessageHandler handler_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Pending> queue_;
    std::vector<Timer> timers_;

    std::map<int, std::string> texts_;
    std::map<int, bool> enabled_;
    std::map<int, bool> checked_;
    std::map<int, bool> visible_;
    std::map<int, std::vector<std::string>> comboItems_;
    std::map<int, int> comboSelections_;
    std::map<int, HostControlKind> created_;
    int dialogResult_ = 0;
    std::string lastQuestion_;
    std::string title_;
    uint32_t progressHigh_ = 0;
    uint32_t progressPos_ = 0;
    int lastDecile_ = -1;
    bool progressLineOpen_ = false;
    // The phase the progress texts name, and how long each lasted.
    ProgressPhase phase_ = ProgressPhase::none;
    std::chrono::steady_clock::time_point phaseSince_{};
    std::chrono::steady_clock::time_point lastProgressAt_{};
    std::vector<std::pair<std::string, double>> phaseSeconds_;
    // When the bar's range was last set, and the bytes it stands for.
    std::chrono::steady_clock::time_point rangeSince_{};
    uint64_t rangeRunBytes_ = 0;
    void notePhase(const std::string& text);

    std::string lastMessage_;
    unsigned lastFlags_ = 0;
    int messageCount_ = 0;
};
