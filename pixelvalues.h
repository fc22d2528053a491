#ifndef PIXELVALUES_H
#define PIXELVALUES_H

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
QT_END_NAMESPACE

// Image › Pixel Values: a small tool window that shows what lies under the
// pointer on the frame: the pixel's position, the frame's indices, each
// channel's value as read and the colour shown.  Arrow keys move the pointer
// by one frame pixel while it has the focus.
class pixelvalues : public QWidget
{
    Q_OBJECT

public:
    explicit pixelvalues(QWidget *parent = nullptr);

    // Lines of "name: value", or none while the pointer is off the frame.
    void showValues(const QList<QPair<QString, QString>> &lines);
    QString text() const;

signals:
    void nudged(int dx, int dy);
    void closed();

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    QLabel *names;
    QLabel *values;
};

#endif
