#include "moviedialog.h"

#include <QtWidgets>

moviedialog::moviedialog(const QString &proposed, const range &times, const range &planes, bool planesFree, double fps,
                         bool scaleBarOffered, const choice &overlays, QWidget *parent)
    : QDialog(parent), times(times), planes(planes)
{
    setWindowTitle(tr("Export Movie"));
    file = new QLineEdit(QDir::toNativeSeparators(proposed), this);
    file->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
    auto *browseButton = new QPushButton(tr("&Browse..."), this);
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, &moviedialog::browse);
    formats = new QComboBox(this);
    formats->addItem(tr("MP4 with H.264"));
    formats->addItem(tr("AVI with Motion JPEG"));
    connect(formats, &QComboBox::activated, this, &moviedialog::setFormat);
    axis = new QComboBox(this);
    axis->addItem(tr("Time points, at the focal plane shown"));
    if (planesFree)
        axis->addItem(tr("Focal planes, at the time point shown"));
    first = new QSpinBox(this);
    last = new QSpinBox(this);
    connect(axis, &QComboBox::activated, this, &moviedialog::setAxis);
    connect(first, &QSpinBox::valueChanged, last, [this](int v) { last->setValue(std::max(last->value(), v)); });
    connect(last, &QSpinBox::valueChanged, first, [this](int v) { first->setValue(std::min(first->value(), v)); });
    setAxis(0);
    rate = new QDoubleSpinBox(this);
    rate->setRange(0.1, 240);
    rate->setDecimals(2);
    rate->setSuffix(tr(" frames a second"));
    rate->setValue(fps);
    quality = new QComboBox(this);
    quality->addItem(tr("High"), QStringLiteral("high"));
    quality->addItem(tr("Normal"), QStringLiteral("normal"));
    quality->addItem(tr("Small"), QStringLiteral("small"));
    quality->setCurrentIndex(1);
    width = new QSpinBox(this);
    width->setRange(0, 16384);
    width->setSpecialValueText(tr("The frame's own"));
    width->setSuffix(tr(" pixels wide at most"));
    scaleBar = new QCheckBox(tr("Scale &bar"), this);
    scaleBar->setEnabled(scaleBarOffered);
    scaleBar->setChecked(scaleBarOffered && overlays.scaleBar);
    timeStamp = new QCheckBox(tr("&Time stamp"), this);
    timeStamp->setChecked(overlays.timeStamp);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton *start = buttons->addButton(tr("&Export"), QDialogButtonBox::AcceptRole);
    start->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(file, 1);
    fileRow->addWidget(browseButton);
    auto *rangeRow = new QHBoxLayout;
    rangeRow->addWidget(first);
    rangeRow->addWidget(new QLabel(tr("to"), this));
    rangeRow->addWidget(last);
    auto *overlayRow = new QHBoxLayout;
    overlayRow->addWidget(scaleBar);
    overlayRow->addWidget(timeStamp);
    auto *form = new QFormLayout(this);
    form->addRow(tr("&File:"), fileRow);
    form->addRow(tr("F&ormat:"), formats);
    form->addRow(tr("O&ver:"), axis);
    form->addRow(tr("&From:"), rangeRow);
    form->addRow(tr("&Rate:"), rate);
    form->addRow(tr("&Quality:"), quality);
    form->addRow(tr("&Size:"), width);
    form->addRow(tr("Overlays:"), overlayRow);
    form->addRow(buttons);
}

moviedialog::choice moviedialog::chosen() const
{
    choice c;
    c.fileName = QDir::fromNativeSeparators(file->text().trimmed());
    c.overPlanes = axis->currentIndex() == 1;
    c.first = first->value();
    c.last = last->value();
    c.fps = rate->value();
    c.quality = quality->currentData().toString();
    c.maxWidth = width->value();
    c.scaleBar = scaleBar->isChecked();
    c.timeStamp = timeStamp->isChecked();
    return c;
}

void moviedialog::browse()
{
    const QString picked = QFileDialog::getSaveFileName(this, tr("Export Movie"), chosen().fileName,
                                                        tr("Movies (*.mp4 *.avi)"));
    if (!picked.isEmpty())
        file->setText(QDir::toNativeSeparators(picked));
}

// The file's suffix follows the format.
void moviedialog::setFormat(int index)
{
    const QFileInfo info(chosen().fileName);
    file->setText(QDir::toNativeSeparators(info.dir().filePath(info.completeBaseName() + (index == 0 ? ".mp4" : ".avi"))));
}

void moviedialog::setAxis(int index)
{
    const range &r = index == 1 ? planes : times;
    for (QSpinBox *box : { first, last })
        box->setRange(std::min(r.first, r.last), std::max(r.first, r.last));
    first->setValue(r.first);
    last->setValue(r.last);
}
