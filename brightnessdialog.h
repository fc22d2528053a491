#ifndef BRIGHTNESSDIALOG_H
#define BRIGHTNESSDIALOG_H

#include <QDialog>
#include <QList>

#include <optional>
#include <utility>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSlider;
class QToolButton;
class QVBoxLayout;
QT_END_NAMESPACE
class histogramview;
class framesource;

// Image › Brightness and Contrast: for each channel of the recording shown,
// whether it is shown, its colour, and its window over the histogram of the
// plane shown, by sliders or by values in the data's own units; Auto
// measures the plane shown, Reset brings back the window it opened with.
// Every change is drawn at once from the planes the window holds.
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

private slots:
    void chooseColour(int c);

private:
    struct row
    {
        QCheckBox *shown = nullptr;
        QToolButton *colour = nullptr;
        histogramview *histogram = nullptr;
        QSlider *lowSlider = nullptr;
        QSlider *highSlider = nullptr;
        QDoubleSpinBox *low = nullptr;
        QDoubleSpinBox *high = nullptr;
        double first = 0;   // the values the sliders span, none at first
        double last = 0;
        std::optional<std::pair<double, double>> values;   // of the plane shown
    };

    void addRow(int c);
    void setWindow(int c, double low, double high, bool lowMoved);
    void showRow(int c);
    void spanValues(int c);
    bool integers() const;

    framesource *recording = nullptr;
    bool placed = false;
    QLabel *note;
    QVBoxLayout *rowsLayout;
    QList<row> rows;

    friend class tst_recording;
};

#endif
