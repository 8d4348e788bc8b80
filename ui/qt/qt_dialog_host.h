// The Qt implementation of the window layer: controls by id on one top-level
// widget, message boxes and file dialogs, and the window's messages on the
// thread the widget lives on.
//
// Texts crossing the layer are GBK and are converted here, at the edge. File
// paths are the exception: the host hands out native file-system bytes (from
// the file dialogs and drops) and shows them back as such when the logic puts
// one into a control.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "ui/dialog_host.h"

class TextProgressBar;

class QtDialogHost : public QObject, public DialogHost {
    Q_OBJECT
public:
    // window: the top-level widget whose title the host sets and which owns
    // the message boxes and file dialogs. The host lives on its thread.
    explicit QtDialogHost(QWidget* window);
    ~QtDialogHost() override;

    // Controls the logic reaches by id: buttons, group boxes, labels and
    // TextProgressBars.
    void addControl(int id, QWidget* widget);
    // The control of an id (also one made at run time); null when none.
    QWidget* widget(int id) const { return control(id); }
    // Dialog units to pixels for controls made at run time; an empty size:
    // the base units of the window's font.
    QSize dialogUnitBase;
    // The caption of message boxes the logic gives none.
    QString applicationName = QStringLiteral("Tessaly");

    // Test seams. When set, a message box or file dialog is not shown: the
    // function answers it (the box's text and caption in UTF-8).
    std::function<int(const QString& text, const QString& caption, unsigned flags)> answerMessageBox;
    std::function<bool(bool save, const QString& filter, QString* path)> answerFileDialog;
    // Sees every text the logic sets, as it sets it (GBK).
    std::function<void(int id, const std::string& text)> watchText;

    // Windows filter text ("Name(*.a)|*.a|All(*.*)|*.*||") as a Qt name filter
    // list ("Name(*.a);;All(*.*)").
    static QString qtFilter(const std::string& windowsFilter);
    // The chosen save path with the default extension appended when the
    // user typed none.
    static QString withDefaultExtension(const QString& path, const QString& extension);
    // Message-box flags onto Qt's box, and the button pressed back onto the
    // HOST_ID* results (a box closed without a button gives its way out).
    static QMessageBox::Icon boxIcon(unsigned flags);
    static QMessageBox::StandardButtons boxButtons(unsigned flags);
    static int boxResult(unsigned flags, int button);
    // A GBK text of the logic as shown to the user: in UTF-8 and in the chosen
    // language (Tr_gbk). Every caption, title, message and label passes here.
    static QString fromGbk(const std::string& gbk);
    // A GBK value (an edit box's or a combo item's text) in UTF-8, untranslated.
    static QString plainFromGbk(const std::string& gbk);
    // A shown caption back to the GBK text it was made from (its translation
    // undone), else toGbk.
    static std::string originalGbk(const QString& shown);
    // Text to GBK; characters GBK cannot hold become '?'.
    static std::string toGbk(const QString& text);
    // A native path as the logic takes it (remembered, so it can be shown again).
    std::string nativePath(const QString& path);

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
    void comboClear(int id) override;
    void comboAdd(int id, const std::string& text) override;
    int comboCount(int id) const override;
    int comboSelection(int id) const override;
    void setComboSelection(int id, int index) override;
    bool createControl(int id, HostControlKind kind, HostRect rect, const std::string& text) override;
    void destroyControl(int id) override;
    // Ends the window with done(result) when it is a QDialog.
    void endDialog(int result) override;

private:
    QWidget* control(int id) const;
    QString shown(const std::string& text) const;
    intptr_t deliver(unsigned message, uintptr_t wParam, intptr_t lParam);
    bool chooseFile(bool save, const std::string& filter, const std::string& defaultExtension, std::string* path);

    QPointer<QWidget> window_;
    std::map<int, QPointer<QWidget>> controls_;
    std::map<int, std::string> texts_; // what the logic last set, as it set it
    std::string title_;
    std::set<std::string> nativePaths_;
    std::set<int> created_; // ids of the controls made at run time

    MessageHandler handler_; // used on the window thread only
};
