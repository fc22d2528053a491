#include "overlaydialog.h"

#include <QtWidgets>

namespace {

QComboBox *cornerBox(QWidget *parent, overlayStyle::corner corner)
{
    auto *box = new QComboBox(parent);
    for (const char *name : { "Top left", "Top right", "Bottom left", "Bottom right" })
        box->addItem(QCoreApplication::translate("window", name));
    box->setCurrentIndex(int(corner));
    return box;
}

void paintSwatch(QToolButton *button, const QColor &colour)
{
    QPixmap swatch(24, 16);
    swatch.fill(colour);
    button->setIcon(QIcon(swatch));
}

} // namespace

std::optional<overlayStyle> overlaydialog::choose(QWidget *parent, const overlayStyle &style)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QCoreApplication::translate("window", "Overlay Settings"));
    overlayStyle chosen = style;
    QComboBox *bar = cornerBox(&dialog, style.barCorner);
    QComboBox *stamp = cornerBox(&dialog, style.stampCorner);
    auto *colour = new QToolButton(&dialog);
    paintSwatch(colour, chosen.colour);
    QObject::connect(colour, &QToolButton::clicked, &dialog, [&] {
        const QColor picked = QColorDialog::getColor(chosen.colour, &dialog);
        if (picked.isValid()) {
            chosen.colour = picked;
            paintSwatch(colour, picked);
        }
    });
    auto *length = new QSpinBox(&dialog);
    length->setRange(2, 50);
    length->setSuffix(QCoreApplication::translate("window", " % of the frame's width"));
    length->setValue(qRound(style.barFraction * 100));
    auto *text = new QSpinBox(&dialog);
    text->setRange(1, 20);
    text->setSuffix(QCoreApplication::translate("window", " % of the frame's height"));
    text->setValue(qRound(style.textSize * 100));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults,
                                         &dialog);
    QObject::connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, &dialog, [&] {
        const overlayStyle defaults;
        bar->setCurrentIndex(int(defaults.barCorner));
        stamp->setCurrentIndex(int(defaults.stampCorner));
        chosen.colour = defaults.colour;
        paintSwatch(colour, defaults.colour);
        length->setValue(qRound(defaults.barFraction * 100));
        text->setValue(qRound(defaults.textSize * 100));
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *form = new QFormLayout(&dialog);
    form->addRow(QCoreApplication::translate("window", "&Scale bar:"), bar);
    form->addRow(QCoreApplication::translate("window", "Scale bar &length:"), length);
    form->addRow(QCoreApplication::translate("window", "&Time stamp:"), stamp);
    form->addRow(QCoreApplication::translate("window", "&Colour:"), colour);
    form->addRow(QCoreApplication::translate("window", "Te&xt size:"), text);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    chosen.barCorner = overlayStyle::corner(bar->currentIndex());
    chosen.stampCorner = overlayStyle::corner(stamp->currentIndex());
    chosen.barFraction = length->value() / 100.0;
    chosen.textSize = text->value() / 100.0;
    return chosen;
}
