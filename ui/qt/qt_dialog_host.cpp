#include "ui/qt/qt_dialog_host.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <QHash>
#include <QMutex>

#include "platform/text_codec.h"
#include "platform/translate.h"
#include "ui/qt/main_window.h"
#include "ui/qt/text_progress.h"

QtDialogHost::QtDialogHost(QWidget* window) : QObject(nullptr), window_(window)
{
    if (window) moveToThread(window->thread());
}

QtDialogHost::~QtDialogHost() = default;

void QtDialogHost::addControl(int id, QWidget* widget) { controls_[id] = widget; }

QWidget* QtDialogHost::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second.data();
}

namespace {

// What each translated text stood for, so that reading a control's text back
// gives the logic the GBK text it set, not its translation.
QMutex originalsLock;
QHash<QString, QByteArray>& originals()
{
    static QHash<QString, QByteArray> map;
    return map;
}

} // namespace

QString QtDialogHost::fromGbk(const std::string& gbk)
{
    const std::string utf8 = Text_gbkToUtf8(gbk);
    const std::string translated = Tr_text(utf8);
    // Captions are whole message ids; composed texts (progress, titles) are
    // set through setText, which keeps what the logic set, and are not
    // remembered here, so the map stays as small as the catalogue.
    if (translated != utf8 && translated == Tr_literal(utf8.c_str())) {
        QMutexLocker g(&originalsLock);
        originals().insert(QString::fromStdString(translated), QByteArray::fromStdString(gbk));
    }
    return QString::fromStdString(translated);
}

QString QtDialogHost::plainFromGbk(const std::string& gbk) { return QString::fromStdString(Text_gbkToUtf8(gbk)); }

std::string QtDialogHost::originalGbk(const QString& shown)
{
    {
        QMutexLocker g(&originalsLock);
        auto it = originals().constFind(shown);
        if (it != originals().constEnd()) return it->toStdString();
    }
    return toGbk(shown);
}

std::string QtDialogHost::toGbk(const QString& text)
{
    std::string out;
    if (Text_utf8ToGbk(text.toStdString(), &out)) return out;
    // Character by character, so that one foreign character costs only itself.
    out.clear();
    for (QChar c : text) {
        std::string one;
        out += Text_utf8ToGbk(QString(c).toStdString(), &one) ? one : std::string("?");
    }
    return out;
}

std::string QtDialogHost::nativePath(const QString& path)
{
    std::string bytes = QFile::encodeName(path).toStdString();
    nativePaths_.insert(bytes);
    return bytes;
}

QString QtDialogHost::shown(const std::string& text) const
{
    return nativePaths_.count(text) ? QFile::decodeName(QByteArray::fromStdString(text)) : fromGbk(text);
}

QString QtDialogHost::qtFilter(const std::string& windowsFilter)
{
    // Pairs of name and pattern, separated and ended by '|'. Qt reads the
    // patterns out of the name's parentheses; a name without them gets the
    // pattern appended.
    QStringList parts = QString::fromStdString(windowsFilter).split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& name = parts[i];
        QString pattern = parts[i + 1];
        if (name.isEmpty()) break;
        pattern.replace(';', ' ');
        filters << (name.contains('(') ? name : name + " (" + pattern + ")");
    }
    return filters.join(";;");
}

QString QtDialogHost::withDefaultExtension(const QString& path, const QString& extension)
{
    if (extension.isEmpty() || path.isEmpty()) return path;
    return QFileInfo(path).suffix().isEmpty() ? path + "." + extension : path;
}

void QtDialogHost::setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

void QtDialogHost::setText(int id, const std::string& text)
{
    texts_[id] = text;
    if (watchText) watchText(id, text);
    QWidget* w = control(id);
    if (!w) return;
    // Edit boxes and combo boxes hold values (names, numbers, addresses):
    // shown as they are. Everything else is a caption, shown translated.
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(plainFromGbk(text));
        return;
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        combo->setEditText(plainFromGbk(text));
        return;
    }
    const QString t = shown(text);
    if (auto* bar = qobject_cast<TextProgressBar*>(w))
        bar->setText(t);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(t);
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        group->setTitle(t);
    else if (auto* label = qobject_cast<QLabel*>(w)) {
        // A long path would push the frame open: shown elided, whole in the
        // tip (also one the logic cut short, no longer the one handed out).
        // Other texts are shown whole; the window makes room for them.
        QFontMetrics metrics(label->font());
        const bool path = nativePaths_.count(text) != 0 || (!text.empty() && text[0] == '/');
        label->setText(path ? metrics.elidedText(t, Qt::ElideMiddle, label->contentsRect().width() - 4) : t);
        label->setToolTip(t);
    }
}

std::string QtDialogHost::text(int id) const
{
    // What the user typed, not what the logic last put there.
    if (auto* edit = qobject_cast<QLineEdit*>(control(id))) return toGbk(edit->text());
    if (auto* combo = qobject_cast<QComboBox*>(control(id))) return toGbk(combo->currentText());
    auto it = texts_.find(id);
    if (it != texts_.end()) return it->second;
    QWidget* w = control(id);
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return originalGbk(button->text());
    if (auto* group = qobject_cast<QGroupBox*>(w)) return originalGbk(group->title());
    if (auto* label = qobject_cast<QLabel*>(w)) return originalGbk(label->text());
    return {};
}

void QtDialogHost::setEnabled(int id, bool enabled)
{
    if (QWidget* w = control(id)) w->setEnabled(enabled);
}

bool QtDialogHost::isEnabled(int id) const
{
    QWidget* w = control(id);
    return w && w->isEnabled();
}

void QtDialogHost::setVisible(int id, bool visible)
{
    if (QWidget* w = control(id)) w->setVisible(visible);
}

void QtDialogHost::setChecked(int id, bool checked)
{
    if (auto* button = qobject_cast<QAbstractButton*>(control(id))) button->setChecked(checked);
}

bool QtDialogHost::isChecked(int id) const
{
    auto* button = qobject_cast<QAbstractButton*>(control(id));
    return button && button->isChecked();
}

void QtDialogHost::setFocus(int id)
{
    if (QWidget* w = control(id)) w->setFocus();
}

void QtDialogHost::setTitle(const std::string& title)
{
    title_ = title;
    if (window_) window_->setWindowTitle(fromGbk(title));
}

std::string QtDialogHost::title() const { return title_; }

void QtDialogHost::setProgressRange(int id, uint32_t low, uint32_t high)
{
    if (auto* bar = qobject_cast<TextProgressBar*>(control(id)))
        bar->setRange(int(std::min<uint32_t>(low, INT32_MAX)), int(std::min<uint32_t>(high, INT32_MAX)));
}

void QtDialogHost::setProgressPos(int id, uint32_t position)
{
    if (auto* bar = qobject_cast<TextProgressBar*>(control(id))) bar->setPos(int(std::min<uint32_t>(position, INT32_MAX)));
}

int QtDialogHost::messageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    const QString body = fromGbk(text);
    const QString title = caption.empty() ? applicationName : fromGbk(caption);
    if (answerMessageBox) return answerMessageBox(body, title, flags);

    QMessageBox box(boxIcon(flags), title, body, boxButtons(flags), window_);
    box.setEscapeButton(QMessageBox::StandardButton(int(boxButtons(flags) & (QMessageBox::Cancel | QMessageBox::No))));
    return boxResult(flags, box.exec());
}

QMessageBox::Icon QtDialogHost::boxIcon(unsigned flags)
{
    switch (flags & 0xF0) {
    case HOST_MB_ICONERROR: return QMessageBox::Critical;
    case HOST_MB_ICONQUESTION: return QMessageBox::Question;
    case HOST_MB_ICONWARNING: return QMessageBox::Warning;
    case HOST_MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

QMessageBox::StandardButtons QtDialogHost::boxButtons(unsigned flags)
{
    switch (flags & 0x0F) {
    case HOST_MB_OKCANCEL: return QMessageBox::Ok | QMessageBox::Cancel;
    case HOST_MB_YESNO: return QMessageBox::Yes | QMessageBox::No;
    default: return QMessageBox::Ok;
    }
}

int QtDialogHost::boxResult(unsigned flags, int button)
{
    switch (button) {
    case QMessageBox::Yes: return HOST_IDYES;
    case QMessageBox::No: return HOST_IDNO;
    case QMessageBox::Cancel: return HOST_IDCANCEL;
    case QMessageBox::Ok: return HOST_IDOK;
    // Closed without a button: the box's way out.
    default: return (flags & 0x0F) == HOST_MB_YESNO ? HOST_IDNO : (flags & 0x0F) == HOST_MB_OK ? HOST_IDOK : HOST_IDCANCEL;
    }
}

bool QtDialogHost::chooseFile(bool save, const std::string& filter, const std::string& defaultExtension,
                              std::string* path)
{
    const QString qtFilters = qtFilter(filter);
    QString chosen;
    if (answerFileDialog) {
        if (!answerFileDialog(save, qtFilters, &chosen)) return false;
    } else if (save) {
        chosen = QFileDialog::getSaveFileName(window_, QString(), QString(), qtFilters);
    } else {
        chosen = QFileDialog::getOpenFileName(window_, QString(), QString(), qtFilters);
    }
    if (chosen.isEmpty()) return false;
    if (save) chosen = withDefaultExtension(chosen, QString::fromStdString(defaultExtension));
    *path = nativePath(chosen);
    return true;
}

bool QtDialogHost::chooseOpenFile(const std::string& filter, const std::string& defaultExtension, std::string* path)
{
    return chooseFile(false, filter, defaultExtension, path);
}

bool QtDialogHost::chooseSaveFile(const std::string& filter, const std::string& defaultExtension, std::string* path)
{
    return chooseFile(true, filter, defaultExtension, path);
}

intptr_t QtDialogHost::deliver(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    // A copy: the handler may uninstall itself (the window closing) while it runs.
    MessageHandler handler = handler_;
    return handler ? handler(message, wParam, lParam) : 0;
}

intptr_t QtDialogHost::sendMessage(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    if (onWindowThread()) return deliver(message, wParam, lParam);
    // A blocking queued call is served by any event loop the window thread
    // runs, a modal box's included, so a worker waiting here cannot deadlock
    // against a box the window shows.
    intptr_t result = 0;
    QMetaObject::invokeMethod(
        this, [&] { result = deliver(message, wParam, lParam); }, Qt::BlockingQueuedConnection);
    return result;
}

void QtDialogHost::postMessage(unsigned message, uintptr_t wParam, intptr_t lParam)
{
    QMetaObject::invokeMethod(
        this, [this, message, wParam, lParam] { deliver(message, wParam, lParam); }, Qt::QueuedConnection);
}

void QtDialogHost::singleShot(uint32_t delayMs, std::function<void()> fn)
{
    auto start = [this, delayMs, fn = std::move(fn)] { QTimer::singleShot(int(delayMs), this, fn); };
    if (onWindowThread())
        start();
    else
        QMetaObject::invokeMethod(this, start, Qt::QueuedConnection);
}

bool QtDialogHost::onWindowThread() const { return QThread::currentThread() == thread(); }

void QtDialogHost::comboClear(int id)
{
    if (auto* combo = qobject_cast<QComboBox*>(control(id))) combo->clear();
}

void QtDialogHost::comboAdd(int id, const std::string& text)
{
    if (auto* combo = qobject_cast<QComboBox*>(control(id))) combo->addItem(plainFromGbk(text));
}

int QtDialogHost::comboCount(int id) const
{
    auto* combo = qobject_cast<QComboBox*>(control(id));
    return combo ? combo->count() : 0;
}

int QtDialogHost::comboSelection(int id) const
{
    auto* combo = qobject_cast<QComboBox*>(control(id));
    return combo ? combo->currentIndex() : -1;
}

void QtDialogHost::setComboSelection(int id, int index)
{
    if (auto* combo = qobject_cast<QComboBox*>(control(id))) combo->setCurrentIndex(index);
}

bool QtDialogHost::createControl(int id, HostControlKind kind, HostRect rect, const std::string& text)
{
    if (!window_ || control(id)) return false;
    QWidget* widget = nullptr;
    switch (kind) {
    case HOST_CONTROL_CHECKBOX: widget = new QCheckBox(fromGbk(text), window_); break;
    case HOST_CONTROL_STATIC: widget = new QLabel(fromGbk(text), window_); break;
    case HOST_CONTROL_EDIT: widget = new QLineEdit(plainFromGbk(text), window_); break;
    default: return false;
    }
    const QSize base = dialogUnitBase.isValid() ? dialogUnitBase : TessalyWindow::baseUnits(window_->font());
    widget->setGeometry(TessalyWindow::fromDialogUnits(QRect(rect.left, rect.top, rect.width, rect.height), base));
    widget->show();
    controls_[id] = widget;
    created_.insert(id);
    return true;
}

void QtDialogHost::destroyControl(int id)
{
    if (!created_.erase(id)) return;
    if (QWidget* w = control(id)) delete w;
    controls_.erase(id);
    texts_.erase(id);
}

void QtDialogHost::endDialog(int result)
{
    if (auto* dialog = qobject_cast<QDialog*>(window_.data())) dialog->done(result);
}
