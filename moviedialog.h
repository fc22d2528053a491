#ifndef MOVIEDIALOG_H
#define MOVIEDIALOG_H

#include <QDialog>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QSpinBox;
QT_END_NAMESPACE

// File › Export Movie: where, in which format, over time points or focal
// planes and which of them, how fast, how well, how large, and with which
// overlays.
class moviedialog : public QDialog
{
    Q_OBJECT

public:
    struct choice
    {
        QString fileName;
        bool overPlanes = false;
        int first = 0;
        int last = 0;
        double fps = 7;
        QString quality;   // "high", "normal", "small"
        int maxWidth = 0;  // 0: the frame's own size
        bool scaleBar = false;
        bool timeStamp = false;
    };
    struct range
    {
        int first, last, shown;
    };

    moviedialog(const QString &proposed, const range &times, const range &planes, bool planesFree, double fps,
                bool scaleBarOffered, const choice &overlays, QWidget *parent = nullptr);

    choice chosen() const;

private:
    void browse();
    void setFormat(int index);
    void setAxis(int index);

    QLineEdit *file;
    QComboBox *formats;
    QComboBox *axis;
    QSpinBox *first;
    QSpinBox *last;
    QDoubleSpinBox *rate;
    QComboBox *quality;
    QSpinBox *width;
    QCheckBox *scaleBar;
    QCheckBox *timeStamp;
    range times;
    range planes;
};

#endif
