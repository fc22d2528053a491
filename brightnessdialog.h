#ifndef BRIGHTNESSDIALOG_H
#define BRIGHTNESSDIALOG_H

#include "brightness.h"
#include "projection.h"

#include <QDialog>
#include <QList>
#include <QPoint>

#include <optional>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QSlider;
class QToolButton;
class QVBoxLayout;
QT_END_NAMESPACE
class histogramview;
class framesource;

// Image › Brightness and Contrast: for each channel of the recording shown,
// whether it is shown, its colour or lookup table, and its window over the
// histogram of the plane shown (or of the projection), by sliders or by
// values in the data's own units; Auto measures the plane shown, Reset
// brings back the window it opened with.  Every change is drawn at once
// from the planes the window holds.  The dialog keeps beside its parent
// window until the user moves it.
class brightnessdialog : public QDialog
{
    Q_OBJECT

public:
    explicit brightnessdialog(QWidget *parent = nullptr);

    void setRecording(framesource *shown);
    void frameLoaded();
    void refresh();

signals:
    void changed();

protected:
    void showEvent(QShowEvent *e) override;
    void moveEvent(QMoveEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    struct row
    {
        QGroupBox *box = nullptr;
        QCheckBox *shown = nullptr;
        QToolButton *colour = nullptr;
        QComboBox *table = nullptr;
        histogramview *histogram = nullptr;
        QSlider *lowSlider = nullptr;
        QSlider *highSlider = nullptr;
        QDoubleSpinBox *low = nullptr;
        QDoubleSpinBox *high = nullptr;
        double first = 0;   // the values the sliders span, none at first
        double last = 0;
        std::optional<::histogram> counts;   // of the plane shown
    };

    void addRow(int c);
    void chooseColour(int c);
    void chooseTable(int c, const QString &name);
    void setWindow(int c, double low, double high, bool lowMoved);
    void showRow(int c);
    void showCounts(int c);
    void spanValues(int c);
    void showProjection();
    void placeBesideParent();
    bool integers() const;

    framesource *recording = nullptr;
    projectionKind spannedFor = projectionKind::none;   // the sliders' spans were measured on
    bool placed = false;
    bool movedByUser = false;
    QList<QPoint> placements;   // where the dialog was put lately
    QLabel *note;
    QLabel *projectionNote;
    QCheckBox *logarithmic;
    QVBoxLayout *rowsLayout;
    QList<row> rows;

    friend class tst_recording;
};

#endif
