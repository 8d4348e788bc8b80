// The desktop window on a simulated device, for the Qt tests: shown and
// started, every message box answered and recorded.
#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>

#include "qt/spin.h"
#include "support/wait.h"
#include "ui/qt/config_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/shade_button.h"
#include "ui/qt/text_progress.h"
#include "ui/window_fixture.h"


inline QString u(const char* utf8) { return QString::fromUtf8(utf8); }


class QtWindowTest : public WindowTest {
protected:
    void TearDown() override
    {
        window_.reset();
        WindowTest::TearDown();
    }

    // The window on the test's simulated discovery, shown and started; every
    // message box is answered (Yes/OK) and recorded.
    void openWindow(bool showIt = true)
    {
        TessalyWindowOptions options;
        options.discovery = discovery_;
        options.prepare = [](CTessalyDlg& dlg) { dlg.versionLookup().clientName = "No Such Client"; };
        window_ = std::make_unique<TessalyWindow>(options);
        window_->host().answerMessageBox = [this](const QString& text, const QString& caption, unsigned flags) {
            boxes_.push_back(text + "|" + caption + "|" + QString::number(flags));
            return (flags & 0x0F) == HOST_MB_YESNO ? HOST_IDYES : HOST_IDOK;
        };
        ASSERT_TRUE(window_->start());
        if (showIt) window_->show();
        QCoreApplication::processEvents();
    }
    // Clicks configure; `inside` runs once on the dialog when it shows, and
    // the dialog is then rejected if `inside` left it open.
    void withConfigDialog(const std::function<void(ConfigWindow&)>& inside)
    {
        bool ran = false;
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<ConfigWindow*>(QApplication::activeModalWidget());
            if (!dialog || !dialog->isVisible() || ran) return;
            ran = true;
            poll.stop();
            inside(*dialog);
            if (dialog->isVisible()) dialog->reject();
        });
        poll.start();
        window_->button(IDC_CONFIGURE)->click();
        EXPECT_TRUE(ran);
    }
    bool enabled(int id) const { return window_->button(id)->isEnabled(); }
    void drop(const QString& path) { window_->dropFiles({QUrl::fromLocalFile(path), QUrl::fromLocalFile("/x.dzr")}); }

    std::unique_ptr<TessalyWindow> window_;
    QStringList boxes_;
};

