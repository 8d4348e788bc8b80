// The province map dialog in Qt: the map painted stretched over the client
// area, the province check boxes laid over it in dialog units, the status
// line in red. The rules are CDialogProvince's, reached through a
// QtDialogHost of the dialog's own.
#pragma once

#include <QDialog>
#include <QImage>

#include <functional>
#include <map>

#include "ui/province_dialog.h"
#include "ui/qt/qt_dialog_host.h"

class QCheckBox;
class QLabel;
class QPushButton;

class ProvinceWindow : public QDialog {
    Q_OBJECT
public:
    explicit ProvinceWindow(QWidget* parent = nullptr);
    ~ProvinceWindow() override;

    // One showing: the offered package and the room, modal. True when the
    // user confirmed; choice then holds the flags and the accepted mark.
    bool choose(const ZR_Package* package, int64_t room, ProvinceChoice* choice);
    // What choose does before it runs the dialog: the logic's initialisation
    // and the map taken from it.
    void prepare(const ZR_Package* package, int64_t room);

    QtDialogHost& host() { return host_; }
    CDialogProvince& dialog() { return dlg_; }
    QCheckBox* box(int position) const;
    QLabel* statusLine() const { return status_; }
    QWidget* control(int id) const;
    // The map as drawn (null when the picture could not be decoded).
    const QImage& map() const { return map_; }

    // The decoded bitmap (bottom-up rows) as a top-down image; alpha is not
    // used. Null for null or empty images.
    static QImage toImage(const ZR_Ximage* image);
    // The template's font: the dialog font at 8 points.
    static QFont templateFont();

    // Test seam: when set, choose() calls it instead of running the dialog
    // modally; it drives the shown window and gives the dialog's result.
    static std::function<int(ProvinceWindow&)> testDriver;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void buildControls();

    QtDialogHost host_;
    CDialogProvince dlg_;
    QImage map_;
    QCheckBox* boxes_[PROVINCE_COUNT] = {};
    QLabel* status_ = nullptr;
    std::map<int, QWidget*> controls_;
};
