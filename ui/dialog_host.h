// The small window layer the dialog logic is written against. The same
// CTessalyDlg runs under Qt (ui/qt/), in the terminal (cli/) and in tests (a
// recording fake), each of which implements this interface.
//
// Texts crossing it are GBK bytes, as everywhere in the core; a host converts
// at its own edge. Control ids, message numbers, message-box flags and results
// are the Windows values the dialogs were designed with.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/message_sink.h"

// Message-box flags (combinable) and results.
enum : unsigned {
    HOST_MB_OK = 0x00,
    HOST_MB_OKCANCEL = 0x01,
    HOST_MB_YESNO = 0x04,
    HOST_MB_ICONERROR = 0x10,
    HOST_MB_ICONQUESTION = 0x20,
    HOST_MB_ICONWARNING = 0x30,
    HOST_MB_ICONINFORMATION = 0x40,
};
enum : int {
    HOST_IDOK = 1,
    HOST_IDCANCEL = 2,
    HOST_IDYES = 6,
    HOST_IDNO = 7,
};

// Controls a dialog logic creates at run time.
enum HostControlKind : int {
    HOST_CONTROL_CHECKBOX = 0,  // automatic check box
    HOST_CONTROL_STATIC = 1,    // left-aligned text
    HOST_CONTROL_EDIT = 2,      // one-line edit
};

// A control's place in dialog units (the dialog font's base units, as the
// dialog templates give them).
struct HostRect {
    int left, top, width, height;
};

// A window message: number and the two values.
struct HostMessage {
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};

class DialogHost : public MessageSink {
public:
    // Runs on the window thread for every sent or posted message; its result
    // is what sendMessage returns.
    using MessageHandler = std::function<intptr_t(unsigned message, uintptr_t wParam, intptr_t lParam)>;

    ~DialogHost() override = default;

    // Installs the dialog's message handler (once, before messages flow).
    virtual void setMessageHandler(MessageHandler handler) = 0;

    // Controls by id.
    virtual void setText(int id, const std::string& text) = 0;
    virtual std::string text(int id) const = 0;
    virtual void setEnabled(int id, bool enabled) = 0;
    virtual bool isEnabled(int id) const = 0;
    virtual void setVisible(int id, bool visible) = 0;
    virtual void setChecked(int id, bool checked) = 0;
    virtual bool isChecked(int id) const = 0;
    virtual void setFocus(int id) = 0;

    // The window's title.
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;

    // Progress bars by id.
    virtual void setProgressRange(int id, uint32_t low, uint32_t high) = 0;
    virtual void setProgressPos(int id, uint32_t position) = 0;

    // A modal message box. An empty caption means the system's default one.
    // Returns one of HOST_ID*.
    virtual int messageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;

    // File dialogs. The filter is in the Windows form
    // "Update File(*.dzr)|*.dzr|All File(*.*)|*.*||". False when cancelled.
    virtual bool chooseOpenFile(const std::string& filter, const std::string& defaultExtension,
                                std::string* path) = 0;
    virtual bool chooseSaveFile(const std::string& filter, const std::string& defaultExtension,
                                std::string* path) = 0;

    // Runs the handler on the window thread and waits for its result. From the
    // window thread itself the handler runs at once.
    virtual intptr_t sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;
    // Queues the message for the window thread and returns (MessageSink).
    void post(unsigned message, uintptr_t wParam, intptr_t lParam) override { postMessage(message, wParam, lParam); }
    virtual void postMessage(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;

    // Calls fn once on the window thread after delayMs.
    virtual void singleShot(uint32_t delayMs, std::function<void()> fn) = 0;

    // True on the window thread.
    virtual bool onWindowThread() const = 0;

    // Combo boxes by id. Items are added at the end, so the list keeps the
    // order they were added in. The edit text of a combo box with an edit
    // field is text(id) / setText(id). The defaults suit a host without combo
    // boxes: no items, no selection.
    virtual void comboClear(int /*id*/) {}
    virtual void comboAdd(int /*id*/, const std::string& /*text*/) {}
    virtual int comboCount(int /*id*/) const { return 0; }
    virtual int comboSelection(int /*id*/) const { return -1; }  // -1: none
    virtual void setComboSelection(int /*id*/, int /*index*/) {}

    // A control created at run time, visible, in the dialog's font; false
    // when the host cannot create it. destroyControl removes it again (and
    // ignores ids it did not create).
    virtual bool createControl(int /*id*/, HostControlKind /*kind*/, HostRect /*rect*/, const std::string& /*text*/)
    {
        return false;
    }
    virtual void destroyControl(int /*id*/) {}

    // Ends this host's modal dialog with the result (HOST_IDOK, HOST_IDCANCEL).
    // The default does nothing: a host that shows no modal dialog of its own.
    virtual void endDialog(int /*result*/) {}
};
