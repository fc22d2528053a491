#include "pixelvalues.h"

#include <QtWidgets>

pixelvalues::pixelvalues(QWidget *parent)
    : QWidget(parent, Qt::Tool)
{
    setWindowTitle(tr("Pixel Values"));
    setFocusPolicy(Qt::StrongFocus);
    names = new QLabel(this);
    values = new QLabel(this);
    for (QLabel *label : { names, values }) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    values->setTextInteractionFlags(Qt::TextSelectableByMouse);
    values->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("00000.000, 00000.000 µm")));
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(names);
    layout->addWidget(values, 1);
    showValues({});
}

void pixelvalues::showValues(const QList<QPair<QString, QString>> &lines)
{
    QStringList left, right;
    for (const auto &[name, value] : lines) {
        left << name;
        right << value;
    }
    if (lines.isEmpty())
        left << tr("Point at the frame");
    names->setText(left.join(QLatin1Char('\n')));
    values->setText(right.join(QLatin1Char('\n')));
}

QString pixelvalues::text() const
{
    const QStringList left = names->text().split(QLatin1Char('\n'));
    const QStringList right = values->text().split(QLatin1Char('\n'));
    QStringList lines;
    for (qsizetype i = 0; i < left.size(); ++i)
        lines << left[i] + QLatin1Char(' ') + right.value(i);
    return lines.join(QLatin1Char('\n'));
}

void pixelvalues::keyPressEvent(QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Left:
        emit nudged(-1, 0);
        break;
    case Qt::Key_Right:
        emit nudged(1, 0);
        break;
    case Qt::Key_Up:
        emit nudged(0, -1);
        break;
    case Qt::Key_Down:
        emit nudged(0, 1);
        break;
    default:
        QWidget::keyPressEvent(e);
    }
}

void pixelvalues::closeEvent(QCloseEvent *e)
{
    QWidget::closeEvent(e);
    emit closed();
}
