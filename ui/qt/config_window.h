// The device settings dialog in Qt: template 141 laid out in dialog units of
// the dialog's 8-point font, CConfigDialog hosted through QtDialogHost. The
// logic decides what shows; this only draws and forwards the user's actions.
#pragma once

#include <QDialog>

#include "ui/config_dialog.h"
#include "ui/qt/qt_dialog_host.h"

class ConfigWindow : public QDialog {
    Q_OBJECT
public:
    ConfigWindow(CConfigDialog& dialog, QWidget* parent = nullptr);
    ~ConfigWindow() override;

    QtDialogHost& host() { return host_; }
    // A control of the template (or a band box made at run time) by id.
    QWidget* control(int id) const;

    // Shows the dialog modally over the logic: what TessalyDlgHooks::runConfigDialog runs.
    static int run(CConfigDialog& dialog, QWidget* parent);

public slots:
    // Escape and the close box count as "取消", decided by the logic.
    void reject() override;

private:
    void command(unsigned wParam);

    CConfigDialog& dialog_;
    QtDialogHost host_;
};
