#include "brightnessdialog.h"

#include "histogramview.h"
#include "framesource.h"

#include <QtWidgets>

#include <cmath>

namespace {

constexpr int sliderSteps = 1000;
constexpr int histogramBins = 256;

QIcon swatch(QRgb colour)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(QColor(colour));
    return QIcon(pixmap);
}

} // namespace

brightnessdialog::brightnessdialog(QWidget *parent)
    : QDialog(parent)
{
    note = new QLabel(tr("A dataset shows as stored; brightness and channels are those of a recording."));
    note->setWordWrap(true);
    auto *rowsHolder = new QWidget;
    rowsLayout = new QVBoxLayout(rowsHolder);
    rowsLayout->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea;
    scroll->setWidget(rowsHolder);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(note);
    layout->addWidget(scroll, 1);
    layout->addWidget(buttons);
    setWindowTitle(tr("Brightness and Contrast"));
    setModal(false);
    resize(480, 300);
}

// One row per channel of the recording, or a note for a dataset.
void brightnessdialog::setRecording(framesource *shown)
{
    recording = shown;
    while (QLayoutItem *item = rowsLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    rows.clear();
    note->setVisible(!recording);
    const int count = recording ? int(recording->channels().size()) : 0;
    for (int c = 0; c < count; ++c)
        addRow(c);
    rowsLayout->addStretch();
    refresh();
    frameLoaded();
}

// The histograms of the planes just loaded, while they are seen.
void brightnessdialog::frameLoaded()
{
    if (!isVisible())
        return;
    for (int c = 0; c < rows.size(); ++c) {
        row &r = rows[c];
        const planeData *plane = recording->plane(c);
        const std::optional<histogram> counts = plane ? std::optional<histogram>(histogram::of(*plane)) : std::nullopt;
        r.values = counts ? counts->range() : std::nullopt;
        spanValues(c);
        r.histogram->setCounts(counts ? counts->folded(r.first, r.last, histogramBins) : std::vector<std::uint64_t>(),
                               r.first, r.last);
        showRow(c);
    }
}

void brightnessdialog::refresh()
{
    for (int c = 0; c < rows.size(); ++c) {
        spanValues(c);
        showRow(c);
    }
}

// The first time, tall enough for three channels and beside the window,
// so that the frame stays in sight.
void brightnessdialog::showEvent(QShowEvent *e)
{
    if (!placed && parentWidget()) {
        placed = true;
        const QRect screen = parentWidget()->screen()->availableGeometry();
        resize(width(), std::min(screen.height() - 80, 120 + 180 * int(std::min<qsizetype>(rows.size(), 3))));
        const QRect beside = parentWidget()->frameGeometry();
        if (beside.right() + width() + 20 < screen.right())
            move(beside.right() + 10, beside.top());
        else if (beside.left() - width() - 20 > screen.left())
            move(beside.left() - width() - 20, beside.top());
    }
    QDialog::showEvent(e);
    frameLoaded();
}

void brightnessdialog::chooseColour(int c)
{
    channel &channel = recording->channels()[size_t(c)];
    const QColor colour = QColorDialog::getColor(QColor(channel.colour), this, tr("Colour of %1").arg(channel.name));
    if (!colour.isValid())
        return;
    channel.colour = colour.rgb();
    showRow(c);
    emit changed();
}

void brightnessdialog::addRow(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    const intensityWindow whole = typeRange(recording->bits(), recording->format());
    row r;
    auto *box = new QGroupBox;
    r.shown = new QCheckBox(channel.name);
    r.colour = new QToolButton;
    r.colour->setToolTip(tr("Colour"));
    r.colour->setAccessibleName(tr("Colour of %1").arg(channel.name));
    auto *autoButton = new QPushButton(tr("&Auto"));
    autoButton->setToolTip(tr("The window that saturates 0.35 % of the plane shown at each end"));
    auto *resetButton = new QPushButton(tr("&Reset"));
    resetButton->setToolTip(tr("The window the recording opened with"));
    for (QPushButton *button : { autoButton, resetButton })
        button->setAutoDefault(false);
    r.histogram = new histogramview;
    r.lowSlider = new QSlider(Qt::Horizontal);
    r.highSlider = new QSlider(Qt::Horizontal);
    r.low = new QDoubleSpinBox;
    r.high = new QDoubleSpinBox;
    for (QSlider *slider : { r.lowSlider, r.highSlider })
        slider->setRange(0, sliderSteps);
    for (QDoubleSpinBox *box : { r.low, r.high }) {
        box->setDecimals(integers() ? 0 : 3);
        box->setRange(integers() ? whole.low : -1e30, integers() ? whole.high : 1e30);
        box->setKeyboardTracking(false);
    }
    r.lowSlider->setAccessibleName(tr("Low"));
    r.low->setAccessibleName(tr("Low"));
    r.highSlider->setAccessibleName(tr("High"));
    r.high->setAccessibleName(tr("High"));

    auto *top = new QHBoxLayout;
    top->addWidget(r.shown);
    top->addWidget(r.colour);
    top->addStretch();
    top->addWidget(autoButton);
    top->addWidget(resetButton);
    auto *grid = new QGridLayout(box);
    grid->addLayout(top, 0, 0, 1, 3);
    grid->addWidget(r.histogram, 1, 0, 1, 3);
    grid->addWidget(new QLabel(tr("Low:")), 2, 0);
    grid->addWidget(r.lowSlider, 2, 1);
    grid->addWidget(r.low, 2, 2);
    grid->addWidget(new QLabel(tr("High:")), 3, 0);
    grid->addWidget(r.highSlider, 3, 1);
    grid->addWidget(r.high, 3, 2);
    rowsLayout->addWidget(box);
    rows << r;

    connect(r.shown, &QCheckBox::toggled, this, [this, c](bool on) {
        recording->channels()[size_t(c)].shown = on;
        emit changed();
    });
    connect(r.colour, &QToolButton::clicked, this, [this, c] { chooseColour(c); });
    const auto valueOf = [this, c](int step) {
        const double v = rows[c].first + (rows[c].last - rows[c].first) * step / sliderSteps;
        return integers() ? std::round(v) : v;
    };
    connect(r.lowSlider, &QSlider::valueChanged, this, [this, c, valueOf](int step) {
        setWindow(c, valueOf(step), recording->channels()[size_t(c)].high, true);
    });
    connect(r.highSlider, &QSlider::valueChanged, this, [this, c, valueOf](int step) {
        setWindow(c, recording->channels()[size_t(c)].low, valueOf(step), false);
    });
    connect(r.low, &QDoubleSpinBox::valueChanged, this, [this, c](double v) {
        setWindow(c, v, recording->channels()[size_t(c)].high, true);
    });
    connect(r.high, &QDoubleSpinBox::valueChanged, this, [this, c](double v) {
        setWindow(c, recording->channels()[size_t(c)].low, v, false);
    });
    connect(autoButton, &QPushButton::clicked, this, [this, c] {
        if (const std::optional<intensityWindow> w = recording->autoWindow(c))
            setWindow(c, w->low, w->high, true);
    });
    connect(resetButton, &QPushButton::clicked, this, [this, c] {
        const ::channel &channel = recording->channels()[size_t(c)];
        if (channel.started)
            setWindow(c, channel.startLow, channel.startHigh, true);
    });
}

// A window of the channel, kept with its low value below its high one.
void brightnessdialog::setWindow(int c, double low, double high, bool lowMoved)
{
    channel &channel = recording->channels()[size_t(c)];
    const double step = integers() ? 1 : (rows[c].last - rows[c].first) / sliderSteps;
    if (high <= low) {
        if (lowMoved)
            high = low + step;
        else
            low = high - step;
    }
    if (low == channel.low && high == channel.high)
        return;
    channel.low = low;
    channel.high = high;
    channel.started = true;
    spanValues(c);
    showRow(c);
    emit changed();
}

// The controls of a channel as it stands.
void brightnessdialog::showRow(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    row &r = rows[c];
    const auto step = [&r](double v) {
        return int(std::lround(std::clamp((v - r.first) / (r.last - r.first), 0.0, 1.0) * sliderSteps));
    };
    const QSignalBlocker blockers[] = { QSignalBlocker(r.shown), QSignalBlocker(r.lowSlider), QSignalBlocker(r.highSlider),
                                        QSignalBlocker(r.low), QSignalBlocker(r.high) };
    r.shown->setChecked(channel.shown);
    r.colour->setIcon(swatch(channel.colour));
    r.lowSlider->setValue(step(channel.low));
    r.highSlider->setValue(step(channel.high));
    r.low->setValue(channel.low);
    r.high->setValue(channel.high);
    r.histogram->setWindow(channel.low, channel.high, QColor(channel.colour));
}

// What the sliders span: the values of the plane shown and the window,
// widened as they need, never narrowed, so that the sliders stay put.
void brightnessdialog::spanValues(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    row &r = rows[c];
    double first = std::min(channel.low, channel.startLow);
    double last = std::max(channel.high, channel.startHigh);
    if (r.values) {
        first = std::min(first, r.values->first);
        last = std::max(last, r.values->second);
    }
    if (r.last > r.first) {
        first = std::min(first, r.first);
        last = std::max(last, r.last);
    }
    r.first = first;
    r.last = last > first ? last : first + 1;
}

bool brightnessdialog::integers() const
{
    return recording && recording->format() != sampleFormat::floatingPoint;
}
