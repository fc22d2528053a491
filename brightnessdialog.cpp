#include "brightnessdialog.h"

#include "histogramview.h"
#include "framesource.h"

#include <QtWidgets>

#include <cmath>

namespace {

constexpr int sliderSteps = 1000;
constexpr int histogramBins = 256;
constexpr int gap = 10;   // between the dialog and its parent window

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
    projectionNote = new QLabel;
    projectionNote->hide();
    logarithmic = new QCheckBox(tr("&Logarithmic"));
    logarithmic->setToolTip(tr("The histograms' counts on a logarithmic scale"));
    auto *rowsHolder = new QWidget;
    rowsLayout = new QVBoxLayout(rowsHolder);
    rowsLayout->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea;
    scroll->setWidget(rowsHolder);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    // Return applies a value typed; only Escape and Close close.
    buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(logarithmic, &QCheckBox::toggled, this, [this](bool on) {
        for (const row &r : std::as_const(rows))
            r.histogram->setLogarithmic(on);
    });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(note);
    layout->addWidget(projectionNote);
    layout->addWidget(logarithmic);
    layout->addWidget(scroll, 1);
    layout->addWidget(buttons);
    setWindowTitle(tr("Brightness and Contrast"));
    setModal(false);
    resize(480, 300);
    if (parent)
        parent->installEventFilter(this);
}

// One row per channel of the recording, or a note for a dataset.  Nothing
// of the recording shown before is kept: it may be gone already.
void brightnessdialog::setRecording(framesource *shown)
{
    recording = nullptr;
    const QList<row> old = std::exchange(rows, {});
    for (const row &r : old) {
        for (QWidget *w : r.box->findChildren<QWidget *>())
            w->blockSignals(true);
        delete r.box;
    }
    while (QLayoutItem *item = rowsLayout->takeAt(0))
        delete item;
    recording = shown;
    spannedFor = recording ? recording->projection() : projectionKind::none;
    note->setVisible(!recording);
    logarithmic->setVisible(recording != nullptr);
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
    refresh();
    for (int c = 0; c < rows.size(); ++c) {
        row &r = rows[c];
        const planeData *plane = recording->plane(c);
        r.counts = plane ? std::optional<histogram>(histogram::of(*plane)) : std::nullopt;
        spanValues(c);
        showCounts(c);
        showRow(c);
    }
}

void brightnessdialog::refresh()
{
    // The source found another number of channels in its planes.
    if (recording && size_t(rows.size()) != recording->channels().size()) {
        setRecording(recording);
        return;
    }
    showProjection();
    for (int c = 0; c < rows.size(); ++c) {
        spanValues(c);
        showRow(c);
    }
}

// The first time, tall enough for three channels; beside the window, so
// that the frame stays in sight, until the user puts the dialog elsewhere.
void brightnessdialog::showEvent(QShowEvent *e)
{
    if (!placed && parentWidget()) {
        placed = true;
        const QRect screen = parentWidget()->screen()->availableGeometry();
        resize(width(), std::min(screen.height() - 80, 120 + 180 * int(std::min<qsizetype>(rows.size(), 3))));
    }
    if (!movedByUser)
        placeBesideParent();
    QDialog::showEvent(e);
    frameLoaded();
}

// A move to none of the places the dialog was put (give or take a window
// frame) is the user's.
void brightnessdialog::moveEvent(QMoveEvent *e)
{
    QDialog::moveEvent(e);
    if (!isVisible() || movedByUser)
        return;
    movedByUser = std::none_of(placements.begin(), placements.end(),
                               [this](const QPoint &p) { return (p - pos()).manhattanLength() < 50; });
}

bool brightnessdialog::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == parentWidget() && (e->type() == QEvent::Move || e->type() == QEvent::Resize) && isVisible()
        && !movedByUser)
        placeBesideParent();
    return QDialog::eventFilter(watched, e);
}

// To the right of the parent window, else to its left, else at the right
// edge of its screen, over it.
void brightnessdialog::placeBesideParent()
{
    if (!parentWidget())
        return;
    const QRect screen = parentWidget()->screen()->availableGeometry();
    const QRect beside = parentWidget()->frameGeometry();
    if (frameGeometry().height() > screen.height())
        resize(width(), height() - (frameGeometry().height() - screen.height()));
    const QSize size = frameGeometry().size();
    int x = screen.right() + 1 - size.width();
    if (beside.right() + gap + size.width() <= screen.right())
        x = beside.right() + 1 + gap;
    else if (beside.left() - gap - size.width() >= screen.left())
        x = beside.left() - gap - size.width();
    const int y = std::max(screen.top(), std::min(beside.top(), screen.bottom() + 1 - size.height()));
    placements.append(QPoint(x, y));
    if (placements.size() > 4)
        placements.removeFirst();
    move(x, y);
}

// A colour of one's own, in a chooser that goes with the row.
void brightnessdialog::chooseColour(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    auto *chooser = new QColorDialog(QColor(channel.colour), rows[c].box);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setWindowTitle(tr("Colour of %1").arg(channel.name));
    connect(chooser, &QColorDialog::colorSelected, chooser, [this, c](const QColor &colour) {
        ::channel &chosen = recording->channels()[size_t(c)];
        chosen.colour = colour.rgb();
        chosen.table.clear();
        showRow(c);
        emit changed();
    });
    chooser->open();
}

// A lookup table by name: a colour's ramp, or Fire.
void brightnessdialog::chooseTable(int c, const QString &name)
{
    channel &channel = recording->channels()[size_t(c)];
    if (const std::optional<QRgb> colour = lookupTableColour(name)) {
        channel.colour = *colour;
        channel.table.clear();
    } else {
        channel.table = name;
    }
    showRow(c);
    emit changed();
}

void brightnessdialog::addRow(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    row r;
    r.box = new QGroupBox;
    r.shown = new QCheckBox(channel.name);
    r.colour = new QToolButton;
    r.colour->setToolTip(tr("Colour"));
    r.colour->setAccessibleName(tr("Colour of %1").arg(channel.name));
    r.table = new QComboBox;
    r.table->addItems(lookupTableNames());
    r.table->setPlaceholderText(tr("Own colour"));
    r.table->setToolTip(tr("Lookup table"));
    r.table->setAccessibleName(tr("Lookup table of %1").arg(channel.name));
    auto *autoButton = new QPushButton(tr("&Auto"));
    autoButton->setToolTip(tr("The window that saturates 0.35 % of the plane shown at each end"));
    auto *resetButton = new QPushButton(tr("&Reset"));
    resetButton->setToolTip(tr("The window the recording opened with"));
    for (QPushButton *button : { autoButton, resetButton })
        button->setAutoDefault(false);
    r.histogram = new histogramview;
    r.histogram->setLogarithmic(logarithmic->isChecked());
    r.lowSlider = new QSlider(Qt::Horizontal);
    r.highSlider = new QSlider(Qt::Horizontal);
    r.low = new QDoubleSpinBox;
    r.high = new QDoubleSpinBox;
    for (QSlider *slider : { r.lowSlider, r.highSlider })
        slider->setRange(0, sliderSteps);
    for (QDoubleSpinBox *box : { r.low, r.high })
        box->setKeyboardTracking(false);
    r.lowSlider->setAccessibleName(tr("Low"));
    r.low->setAccessibleName(tr("Low"));
    r.highSlider->setAccessibleName(tr("High"));
    r.high->setAccessibleName(tr("High"));

    auto *top = new QHBoxLayout;
    top->addWidget(r.shown);
    top->addWidget(r.colour);
    top->addWidget(r.table);
    top->addStretch();
    top->addWidget(autoButton);
    top->addWidget(resetButton);
    auto *grid = new QGridLayout(r.box);
    grid->addLayout(top, 0, 0, 1, 3);
    grid->addWidget(r.histogram, 1, 0, 1, 3);
    grid->addWidget(new QLabel(tr("Low:")), 2, 0);
    grid->addWidget(r.lowSlider, 2, 1);
    grid->addWidget(r.low, 2, 2);
    grid->addWidget(new QLabel(tr("High:")), 3, 0);
    grid->addWidget(r.highSlider, 3, 1);
    grid->addWidget(r.high, 3, 2);
    rowsLayout->addWidget(r.box);
    rows << r;

    connect(r.shown, &QCheckBox::toggled, this, [this, c](bool on) {
        recording->channels()[size_t(c)].shown = on;
        emit changed();
    });
    connect(r.colour, &QToolButton::clicked, this, [this, c] { chooseColour(c); });
    connect(r.table, &QComboBox::textActivated, this, [this, c](const QString &name) { chooseTable(c, name); });
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
    int table = -1;
    const QStringList names = lookupTableNames();
    for (int i = 0; i < names.size() && table < 0; ++i) {
        if (channel.table.isEmpty() ? lookupTableColour(names[i]) == channel.colour : names[i] == channel.table)
            table = i;
    }
    r.table->setCurrentIndex(table);
    // A projection of integers may be of floats, and beyond their type's range.
    const intensityWindow whole = typeRange(recording->bits(), recording->format());
    for (QDoubleSpinBox *box : { r.low, r.high }) {
        box->setDecimals(integers() ? 0 : 3);
        box->setRange(integers() ? whole.low : -1e30, integers() ? whole.high : 1e30);
    }
    r.lowSlider->setValue(step(channel.low));
    r.highSlider->setValue(step(channel.high));
    r.low->setValue(channel.low);
    r.high->setValue(channel.high);
    r.histogram->setWindow(channel.low, channel.high, QColor(channel.colour));
}

// The counts of the plane shown over the values the sliders span.
void brightnessdialog::showCounts(int c)
{
    row &r = rows[c];
    r.histogram->setCounts(r.counts ? r.counts->folded(r.first, r.last, histogramBins) : std::vector<std::uint64_t>(),
                           r.first, r.last);
}

// What the sliders span: the values of the plane shown and the window,
// widened as they need, never narrowed, so that the sliders stay put; but
// measured anew for another projection.
void brightnessdialog::spanValues(int c)
{
    const channel &channel = recording->channels()[size_t(c)];
    row &r = rows[c];
    double first = std::min(channel.low, channel.startLow);
    double last = std::max(channel.high, channel.startHigh);
    if (r.counts) {
        if (const std::optional<std::pair<double, double>> values = r.counts->range()) {
            first = std::min(first, values->first);
            last = std::max(last, values->second);
        }
    }
    if (r.last > r.first) {
        first = std::min(first, r.first);
        last = std::max(last, r.last);
    }
    last = last > first ? last : first + 1;
    if (first == r.first && last == r.last)
        return;
    r.first = first;
    r.last = last;
    showCounts(c);
}

// Sum and Standard Deviation have windows of their own, and the sliders
// span their values rather than the planes'.
void brightnessdialog::showProjection()
{
    const projectionKind kind = recording ? recording->projection() : projectionKind::none;
    if (kind != spannedFor) {
        spannedFor = kind;
        for (row &r : rows) {
            r.first = r.last = 0;
            r.counts.reset();
        }
    }
    const bool own = recording && recording->ownWindows();
    projectionNote->setVisible(own);
    if (own)
        projectionNote->setText(tr("Windows measured on the %1 projection").arg(projectionName(kind)));
}

bool brightnessdialog::integers() const
{
    return recording && recording->format() != sampleFormat::floatingPoint;
}
