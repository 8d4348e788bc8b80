#include "cli/terminal_host.h"

#include <algorithm>
#include <future>
#include <iostream>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/text_codec.h"
#include "platform/translate.h"
#include "platform/translate_marks.h"

namespace {

// Every text the logic shows passes here on its way to the terminal: GBK to
// UTF-8, in the chosen language.
std::string utf8(const std::string& gbk) { return Tr_gbk(gbk); }

// The device reports its progress in ten-thousandths of the run.
constexpr uint32_t kDeviceRunScale = 10000;

int terminalColumns()
{
    struct winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col - 1;
    return 79;
}

} // namespace

TerminalHost::TerminalHost(Settings settings) : settings_(std::move(settings)), windowThread_(std::this_thread::get_id())
{
}

TerminalHost::~TerminalHost() { finishProgressLine(); }

void TerminalHost::setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

bool TerminalHost::onWindowThread() const { return std::this_thread::get_id() == windowThread_; }

void TerminalHost::enqueue(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        queue_.push_back(Pending{std::move(fn)});
    }
    wake_.notify_all();
}

bool TerminalHost::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> g(lock_);
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return false;
            auto due = std::min_element(timers_.begin(), timers_.end(),
                                        [](const Timer& a, const Timer& b) { return a.due < b.due; });
            if (queue_.empty() && due != timers_.end() && due->due <= now) {
                job = std::move(due->fn);
                timers_.erase(due);
            } else if (!queue_.empty()) {
                job = std::move(queue_.front().run);
                queue_.pop_front();
            } else {
                // Wake for new messages, the next timer, the deadline, or at
                // least every 50 ms so that `done` is looked at again.
                auto wakeAt = std::min(deadline, now + std::chrono::milliseconds(50));
                if (due != timers_.end()) wakeAt = std::min(wakeAt, due->due);
                wake_.wait_until(g, wakeAt);
                continue;
            }
        }
        job();
    }
}

intptr_t TerminalHost::sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    if (onWindowThread()) return handler_ ? handler_(message, wParam, lParam) : 0;
    auto result = std::make_shared<std::promise<intptr_t>>();
    auto answer = result->get_future();
    enqueue([this, message, wParam, lParam, result] {
        result->set_value(handler_ ? handler_(message, wParam, lParam) : 0);
    });
    return answer.get();
}

void TerminalHost::postMessage(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    enqueue([this, message, wParam, lParam] {
        if (handler_) handler_(message, wParam, lParam);
    });
}

void TerminalHost::singleShot(uint32_t delayMs, std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        timers_.push_back(Timer{std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(fn)});
    }
    wake_.notify_all();
}

void TerminalHost::setText(int id, const std::string& text)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        texts_[id] = text;
        if (id == settings_.progressId) notePhase(text);
    }
    if (id == settings_.progressId) showProgress();
}

std::string TerminalHost::text(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = texts_.find(id);
    return it == texts_.end() ? std::string() : it->second;
}

void TerminalHost::setEnabled(int id, bool enabled)
{
    std::lock_guard<std::mutex> g(lock_);
    enabled_[id] = enabled;
}

bool TerminalHost::isEnabled(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = enabled_.find(id);
    return it == enabled_.end() ? true : it->second;
}

void TerminalHost::setVisible(int id, bool visible)
{
    std::lock_guard<std::mutex> g(lock_);
    visible_[id] = visible;
}

bool TerminalHost::isVisible(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = visible_.find(id);
    return it == visible_.end() || it->second;
}

void TerminalHost::setChecked(int id, bool checked)
{
    std::lock_guard<std::mutex> g(lock_);
    checked_[id] = checked;
}

bool TerminalHost::isChecked(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = checked_.find(id);
    return it != checked_.end() && it->second;
}

void TerminalHost::setFocus(int) {}

void TerminalHost::setTitle(const std::string& title)
{
    std::lock_guard<std::mutex> g(lock_);
    title_ = title;
}

std::string TerminalHost::title() const
{
    std::lock_guard<std::mutex> g(lock_);
    return title_;
}

void TerminalHost::setProgressRange(int id, uint32_t, uint32_t high)
{
    if (id != settings_.progressId) return;
    uint64_t runBytes = high == kDeviceRunScale && settings_.progressRunBytes ? settings_.progressRunBytes() : 0;
    std::lock_guard<std::mutex> g(lock_);
    progressHigh_ = high;
    progressPos_ = 0;
    lastDecile_ = -1;
    rangeSince_ = std::chrono::steady_clock::now();
    rangeRunBytes_ = runBytes;
}

// Called with the lock held.
void TerminalHost::notePhase(const std::string& text)
{
    auto now = std::chrono::steady_clock::now();
    ProgressPhase phase = ProgressLine_phaseOf(text, phase_);
    if (phase != phase_) {
        if (phase_ != ProgressPhase::none) {
            double spent = std::chrono::duration<double>(now - phaseSince_).count();
            auto same = [&](const auto& entry) { return entry.first == ProgressPhase_name(phase_); };
            auto it = std::find_if(phaseSeconds_.begin(), phaseSeconds_.end(), same);
            if (it == phaseSeconds_.end())
                phaseSeconds_.emplace_back(ProgressPhase_name(phase_), spent);
            else
                it->second += spent;
        }
        phase_ = phase;
        phaseSince_ = now;
    }
    lastProgressAt_ = now;
}

std::vector<std::pair<std::string, double>> TerminalHost::phaseSeconds() const
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::pair<std::string, double>> seconds = phaseSeconds_;
    if (phase_ != ProgressPhase::none) {
        double spent = std::chrono::duration<double>(lastProgressAt_ - phaseSince_).count();
        auto same = [&](const auto& entry) { return entry.first == ProgressPhase_name(phase_); };
        auto it = std::find_if(seconds.begin(), seconds.end(), same);
        if (it == seconds.end())
            seconds.emplace_back(ProgressPhase_name(phase_), spent);
        else
            it->second += spent;
    }
    return seconds;
}

void TerminalHost::setProgressPos(int id, uint32_t position)
{
    if (id != settings_.progressId) return;
    bool wordless = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        progressPos_ = position;
        wordless = phase_ == ProgressPhase::unpack;
    }
    // The unpacking moves the bar without new words; on a terminal its line
    // moves too. A pipe gets the window's texts only.
    if (settings_.progressOnTerminal && wordless) showProgress();
}

// On a terminal one line is rewritten: the phase, a bar, the percentage, the
// rate and the time left. Elsewhere (a log, a pipe) the window's own text
// goes out each time the bar passes another tenth, so logs stay short.
void TerminalHost::showProgress()
{
    std::string text;
    int decile = -1;
    ProgressSample sample;
    {
        std::lock_guard<std::mutex> g(lock_);
        text = texts_[settings_.progressId];
        if (progressHigh_ > 0) decile = int(uint64_t(std::min(progressPos_, progressHigh_)) * 10 / progressHigh_);
        if (!settings_.progressOnTerminal) {
            if (text.empty() || decile == lastDecile_) return;
            lastDecile_ = decile;
        }
        sample.phase = phase_;
        bool deviceRun = (phase_ == ProgressPhase::write || phase_ == ProgressPhase::check) &&
                         progressHigh_ == kDeviceRunScale && rangeRunBytes_ > 0;
        sample.total = deviceRun ? rangeRunBytes_ : progressHigh_;
        // Without a range (a download of unknown size) the position is the bytes so far.
        sample.done = progressHigh_ > 0 ? uint64_t(std::min(progressPos_, progressHigh_)) * sample.total / progressHigh_
                                        : progressPos_;
        sample.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - rangeSince_).count();
    }
    if (settings_.progressOnTerminal) {
        // Between phases (and before the first) the window's own words say what goes on.
        std::string line = sample.phase == ProgressPhase::none || (sample.total == 0 && sample.done == 0)
                               ? utf8(text)
                               : ProgressLine_format(sample, terminalColumns());
        std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
        progressLineOpen_ = !text.empty();
    } else {
        std::fprintf(stderr, "%s\n", utf8(text).c_str());
    }
    std::fflush(stderr);
}

void TerminalHost::finishProgressLine()
{
    if (progressLineOpen_) {
        std::fputc('\n', stderr);
        progressLineOpen_ = false;
    }
}

bool TerminalHost::askYesNo(const std::string& question) { return askOnTerminal(utf8(question)); }

bool TerminalHost::askOnTerminal(const std::string& question)
{
    if (!settings_.interactive) return false;
    finishProgressLine();
    // TRANSLATORS: the answers a yes-or-no question takes; the capital one is
    // what an empty answer means. Keep it in step with the next text.
    std::fprintf(stderr, "%s %s ", question.c_str(), _("[y/N]"));
    std::fflush(stderr);
    std::string answer;
    // A signal ends the read (and the stream) before any answer: that is a no.
    if (!std::getline(std::cin, answer) || answer.empty()) return false;
    // "y" is yes in every language, and so is the language's own initial.
    // TRANSLATORS: the initial of "yes", as typed in answer to "[y/N]".
    const unsigned char yes = (unsigned char)_("y")[0];
    const unsigned char first = (unsigned char)answer[0];
    return first == 'y' || first == 'Y' || (yes >= 'a' && yes <= 'z' && (first == yes || first == yes - 32));
}

int TerminalHost::messageBox(const std::string& text, const std::string&, unsigned flags)
{
    if ((flags & 0x0F) == HOST_MB_YESNO) {
        {
            std::lock_guard<std::mutex> g(lock_);
            lastQuestion_ = text;
        }
        bool yes = settings_.assumeYes || (settings_.interactive && askYesNo(text));
        return yes ? HOST_IDYES : HOST_IDNO;
    }
    if (!settings_.quietMessages) {
        finishProgressLine();
        std::printf("%s\n", utf8(text).c_str());
        std::fflush(stdout);
    }
    std::lock_guard<std::mutex> g(lock_);
    lastMessage_ = text;
    lastFlags_ = flags;
    ++messageCount_;
    return HOST_IDOK;
}

std::string TerminalHost::lastMessage() const
{
    std::lock_guard<std::mutex> g(lock_);
    return lastMessage_;
}

unsigned TerminalHost::lastMessageFlags() const
{
    std::lock_guard<std::mutex> g(lock_);
    return lastFlags_;
}

int TerminalHost::messageCount() const
{
    std::lock_guard<std::mutex> g(lock_);
    return messageCount_;
}

bool TerminalHost::chooseOpenFile(const std::string&, const std::string&, std::string* path)
{
    if (settings_.openFile.empty()) return false;
    *path = settings_.openFile;
    return true;
}

bool TerminalHost::chooseSaveFile(const std::string&, const std::string&, std::string* path)
{
    if (settings_.saveFile.empty()) return false;
    *path = settings_.saveFile;
    return true;
}

std::string TerminalHost::lastQuestion() const
{
    std::lock_guard<std::mutex> g(lock_);
    return lastQuestion_;
}

void TerminalHost::comboClear(int id)
{
    std::lock_guard<std::mutex> g(lock_);
    comboItems_[id].clear();
    comboSelections_.erase(id);
}

void TerminalHost::comboAdd(int id, const std::string& text)
{
    std::lock_guard<std::mutex> g(lock_);
    comboItems_[id].push_back(text);
}

int TerminalHost::comboCount(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = comboItems_.find(id);
    return it == comboItems_.end() ? 0 : int(it->second.size());
}

int TerminalHost::comboSelection(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = comboSelections_.find(id);
    return it == comboSelections_.end() ? -1 : it->second;
}

// As a combo box does it: a selection outside the list clears it, and the
// chosen item becomes the box's text.
void TerminalHost::setComboSelection(int id, int index)
{
    std::lock_guard<std::mutex> g(lock_);
    const std::vector<std::string>& items = comboItems_[id];
    if (index < 0 || size_t(index) >= items.size()) {
        comboSelections_.erase(id);
        return;
    }
    comboSelections_[id] = index;
    texts_[id] = items[size_t(index)];
}

std::vector<std::string> TerminalHost::comboItems(int id) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = comboItems_.find(id);
    return it == comboItems_.end() ? std::vector<std::string>() : it->second;
}

bool TerminalHost::createControl(int id, HostControlKind kind, HostRect, const std::string& text)
{
    std::lock_guard<std::mutex> g(lock_);
    created_[id] = kind;
    texts_[id] = text;
    visible_[id] = true;
    enabled_[id] = true;
    checked_[id] = false;
    return true;
}

void TerminalHost::destroyControl(int id)
{
    std::lock_guard<std::mutex> g(lock_);
    if (created_.erase(id) == 0) return;
    texts_.erase(id);
    visible_.erase(id);
    enabled_.erase(id);
    checked_.erase(id);
}

void TerminalHost::endDialog(int result)
{
    std::lock_guard<std::mutex> g(lock_);
    dialogResult_ = result;
}

int TerminalHost::dialogResult() const
{
    std::lock_guard<std::mutex> g(lock_);
    return dialogResult_;
}

void TerminalHost::resetDialogResult()
{
    std::lock_guard<std::mutex> g(lock_);
    dialogResult_ = 0;
}
