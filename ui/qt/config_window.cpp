#include "ui/qt/config_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "ui/qt/main_window.h"
#include "ui/qt/text_fit.h"

namespace {

constexpr double kConfigFontPoints = 8.0;
constexpr unsigned kWmCommand = 0x0111;

} // namespace

ConfigWindow::ConfigWindow(CConfigDialog& dialog, QWidget* parent)
    : QDialog(parent), dialog_(dialog), host_(this)
{
    QFont font = QApplication::font();
    font.setPointSizeF(kConfigFontPoints);
    setFont(font);
    const QSize base = TessalyWindow::baseUnits(font);
    host_.dialogUnitBase = base;
    host_.applicationName = QtDialogHost::fromGbk("\xCA\xFD\xBE\xDD\xB8\xFC\xD0\xC2\xB7\xFE\xCE\xF1" /* 数据更新服务 */);
    setFixedSize(TessalyWindow::fromDialogUnits(QRect(0, 0, kConfigDialogWidth, kConfigDialogHeight), base).size());

    for (size_t i = 0; i < kConfigTemplateCount; ++i) {
        const ConfigTemplateControl& item = kConfigTemplate[i];
        const QString text = QtDialogHost::fromGbk(item.text);
        QRect units(item.rect.left, item.rect.top, item.rect.width, item.rect.height);
        QWidget* widget = nullptr;
        switch (item.kind) {
        case CFG_DEFAULT_BUTTON:
        case CFG_BUTTON: {
            auto* button = new QPushButton(text, this);
            button->setDefault(item.kind == CFG_DEFAULT_BUTTON);
            button->setAutoDefault(item.kind == CFG_DEFAULT_BUTTON);
            const int id = item.id;
            connect(button, &QPushButton::clicked, this, [this, id] { command(unsigned(id)); });
            widget = button;
            break;
        }
        case CFG_CHECKBOX: widget = new QCheckBox(text, this); break;
        case CFG_STATIC:
        case CFG_STATIC_RIGHT: {
            auto* label = new QLabel(text, this);
            label->setWordWrap(true);
            label->setAlignment((item.kind == CFG_STATIC_RIGHT ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
            widget = label;
            break;
        }
        case CFG_COMBO_EDIT:
        case CFG_COMBO_LIST: {
            auto* combo = new QComboBox(this);
            combo->setEditable(item.kind == CFG_COMBO_EDIT);
            if (item.kind == CFG_COMBO_LIST) {
                const int id = item.id;
                // A choice the user makes, not one the logic sets.
                connect(combo, &QComboBox::activated, this,
                        [this, id] { command(unsigned(id) | CONFIG_CBN_SELCHANGE << 16); });
            }
            // The template's height is that of the opened list; the box itself
            // is one edit high.
            units.setHeight(14);
            widget = combo;
            break;
        }
        case CFG_EDIT:
        case CFG_EDIT_PASSWORD:
        case CFG_EDIT_DIGITS: {
            auto* edit = new QLineEdit(this);
            if (item.kind == CFG_EDIT_PASSWORD) edit->setEchoMode(QLineEdit::Password);
            if (item.kind == CFG_EDIT_DIGITS)
                edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
            widget = edit;
            break;
        }
        }
        widget->setGeometry(TessalyWindow::fromDialogUnits(units, base));
        widget->setVisible(!item.hidden);
        host_.addControl(item.id, widget);
    }
    TextFit::install(this);
}

ConfigWindow::~ConfigWindow() = default;

QWidget* ConfigWindow::control(int id) const { return host_.widget(id); }

void ConfigWindow::command(unsigned wParam) { dialog_.windowProc(kWmCommand, wParam, 0); }

void ConfigWindow::reject() { command(HOST_IDCANCEL); }

int ConfigWindow::run(CConfigDialog& dialog, QWidget* parent)
{
    ConfigWindow window(dialog, parent);
    dialog.OnInitDialog(window.host());
    TextFit::of(&window)->apply();
    return window.exec();
}
