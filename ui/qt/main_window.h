// The tool's main window in Qt: lays the controls out from the dialog
// template in dialog units, hosts CTessalyDlg through QtDialogHost, and feeds
// it device events, dropped files, the header picture's menu and the hidden
// service shortcuts.
#pragma once

#include <QRect>
#include <QSize>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "ui/qt/qt_dialog_host.h"
#include "ui/tessaly_dlg.h"

class QLabel;
class QUrl;
class QGroupBox;
class QSocketNotifier;
class ShadeButton;
class SimDevice;
class TextProgressBar;

struct TessalyWindowOptions {
    // Device discovery; null: the system's devices (and simDir's, when set).
    std::shared_ptr<TessalyDiscovery> discovery;
    std::string simDir;
    // The version file to look the newest package up in ("" the build's).
    std::string versionUrl;
    uint32_t verifyMode = 0;
    // Runs on the window logic before its initialisation (tests, embedders).
    std::function<void(CTessalyDlg&)> prepare;
};

// Discovery over one in-process simulated device, plugged in from the start
// (`tessaly --simulate`).
class SimulatedDiscovery : public TessalyDiscovery {
public:
    // Null when the preset is unknown.
    static std::shared_ptr<SimulatedDiscovery> make(const std::string& preset);
    ~SimulatedDiscovery() override;
    void onStartup(DiscoveryHooks* hooks) override;
    void onDeviceChange(DiscoveryHooks* hooks, const DeviceEvent& event) override;
    SimDevice* device() const { return device_.get(); }

private:
    std::unique_ptr<SimDevice> device_;
    std::string path_;
};

class TessalyWindow : public QWidget {
    Q_OBJECT
public:
    explicit TessalyWindow(TessalyWindowOptions options = {}, QWidget* parent = nullptr);
    ~TessalyWindow() override;

    // Creates the window logic and runs its initialisation. False when the
    // window ended at once (the machine record could not be made).
    bool start();

    // Ends the window as the close button does: the logic goes first (its
    // bounded wait for a running update), then the window closes.
    void finish();

    // Brought to the front at a second copy's request.
    void activateFromOutside();
    // Files dropped on the window (dropEvent); only the first one counts.
    void dropFiles(const QList<QUrl>& urls);
    // The hidden service commands (10000, 10001), as if the system menu sent them.
    void runService(unsigned command);

    QtDialogHost& host() { return host_; }
    CTessalyDlg* dialog() const { return dlg_.get(); }
    ShadeButton* button(int id) const;
    TextProgressBar* progressBar() const { return progress_; }
    QLabel* header() const { return header_; }

    // Dialog units to pixels: horizontal units are a quarter of the font's
    // average character width, vertical ones an eighth of its height.
    static QSize baseUnits(const QFont& font);
    static QRect fromDialogUnits(const QRect& units, QSize base);

signals:
    void finished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildControls();
    void watchDeviceEvents();
    void readDeviceEvents();
    void showHeaderMenu(const QPoint& at);
    void showAbout();
    void endLogic();

    TessalyWindowOptions options_;
    std::shared_ptr<TessalySystemDiscovery> systemDiscovery_;
    QtDialogHost host_;
    std::unique_ptr<CTessalyDlg> dlg_;
    QSocketNotifier* deviceNotifier_ = nullptr;
    bool ending_ = false;

    QLabel* header_ = nullptr;
    QLabel* status_ = nullptr;
    TextProgressBar* progress_ = nullptr;
    ShadeButton* open_ = nullptr;
    ShadeButton* send_ = nullptr;
    ShadeButton* configure_ = nullptr;
    ShadeButton* close_ = nullptr;
    QGroupBox* fileGroup_ = nullptr;
    QGroupBox* progressGroup_ = nullptr;
};

// The about box: the program's name and version beside its icon.
void TessalyWindow_showAboutBox(QWidget* parent);
