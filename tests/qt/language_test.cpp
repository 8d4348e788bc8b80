// The Qt host's edge in another language: captions, titles, messages and
// progress texts shown translated, values (edit boxes, combo items) shown as
// they are, and the logic reading back the GBK texts it set.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

#include "platform/translate.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_dialog_host.h"
#include "ui/qt/text_progress.h"

namespace {

QString u(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kUpdate = "\xB8\xFC\xD0\xC2";                              /* 更新 */
const char* const kDone = "\xB8\xFC\xD0\xC2\xB3\xC9\xB9\xA6\xA3\xA1";        /* 更新成功！ */
const char* const kTitle = "\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1"; /* 数据更新服务 */

class QtLanguage : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tr_setCatalogue(TR_ES, {{"更新", "Actualizar"},
                                {"更新成功！", "¡Actualización correcta!"},
                                {"数据更新服务", "Servicio de actualización"},
                                {"   当前版本：", "   Versión actual: "},
                                {"已更新", "Actualizado"}});
    }
    void TearDown() override { Tr_setCatalogue(TR_ORIGINAL, {}); }
};

TEST_F(QtLanguage, CaptionsTranslatedValuesNotAndTheLogicReadsItsOwnTexts)
{
    QWidget window;
    QtDialogHost host(&window);
    auto* button = new QPushButton(&window);
    auto* made = new QPushButton(QtDialogHost::fromGbk(kUpdate), &window);
    auto* label = new QLabel(&window);
    auto* group = new QGroupBox(&window);
    auto* edit = new QLineEdit(&window);
    auto* combo = new QComboBox(&window);
    auto* bar = new TextProgressBar(&window);
    label->resize(400, 20);
    host.addControl(1, button);
    host.addControl(2, made);
    host.addControl(3, label);
    host.addControl(4, group);
    host.addControl(5, edit);
    host.addControl(6, combo);
    host.addControl(7, bar);

    struct Case {
        int id;
        std::string gbk;
        QString shown;
    };
    const Case cases[] = {
        {1, kUpdate, u("Actualizar")},
        {3, std::string(kTitle) + "   \xB5\xB1\xC7\xB0\xB0\xE6\xB1\xBE\xA3\xBA" "20240603", // 当前版本：
         u("Servicio de actualización   Versión actual: 20240603")},
        {4, kUpdate, u("Actualizar")},
        {5, kUpdate, u("更新")},
        {7, "\xD2\xD1\xB8\xFC\xD0\xC2 61.00%", u("Actualizado 61.00%")}, // 已更新
        {1, "\xCE\xB4\xD6\xAA", u("未知")},                               // 未知: no entry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        host.setText(c.id, c.gbk);
        QString shown;
        if (c.id == 1) shown = button->text();
        if (c.id == 3) shown = label->toolTip();
        if (c.id == 4) shown = group->title();
        if (c.id == 5) shown = edit->text();
        if (c.id == 7) shown = bar->text();
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(host.text(c.id), c.gbk);
    }
    // A control made with its caption already shown reads back as the logic's text.
    EXPECT_EQ(made->text(), u("Actualizar"));
    EXPECT_EQ(host.text(2), kUpdate);

    host.comboAdd(6, kUpdate);
    EXPECT_EQ(combo->itemText(0), u("更新"));
    ASSERT_TRUE(host.createControl(8, HOST_CONTROL_CHECKBOX, {0, 0, 40, 10}, kUpdate));
    ASSERT_TRUE(host.createControl(9, HOST_CONTROL_EDIT, {0, 0, 40, 10}, kUpdate));
    const QList<QCheckBox*> checks = window.findChildren<QCheckBox*>();
    ASSERT_EQ(checks.size(), 1);
    EXPECT_EQ(checks[0]->text(), u("Actualizar"));
    EXPECT_EQ(host.text(8), kUpdate);
    for (QLineEdit* e : window.findChildren<QLineEdit*>()) EXPECT_EQ(e->text(), u("更新"));

    host.setTitle(kTitle);
    EXPECT_EQ(window.windowTitle(), u("Servicio de actualización"));
    EXPECT_EQ(host.title(), kTitle);

    QString body, caption;
    host.answerMessageBox = [&](const QString& text, const QString& title, unsigned) {
        body = text;
        caption = title;
        return HOST_IDOK;
    };
    host.messageBox(kDone, kTitle, HOST_MB_OK);
    EXPECT_EQ(body, u("¡Actualización correcta!"));
    EXPECT_EQ(caption, u("Servicio de actualización"));
}

TEST_F(QtLanguage, AboutBoxNamesTheLanguage)
{
    const std::pair<TrLanguage, QString> languages[] = {
        {TR_ES, u("Español")}, {TR_EN, u("English")}, {TR_ORIGINAL, u("中文 / English")}};
    for (const auto& [language, name] : languages) {
        Tr_setCatalogue(language, {});
        QString shown;
        // The box is modal: read it and close it from its own event loop.
        std::function<void()> readAndClose = [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QDialog*>(w);
                QLabel* label = box ? box->findChild<QLabel*>(QStringLiteral("language")) : nullptr;
                if (!label || !box->isVisible()) continue;
                shown = label->text();
                box->accept();
                return;
            }
            QTimer::singleShot(10, readAndClose);
        };
        QTimer::singleShot(0, readAndClose);
        TessalyWindow_showAboutBox(nullptr);
        EXPECT_EQ(shown, name);
    }
}

} // namespace
