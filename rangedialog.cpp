#include "rangedialog.h"

#include <QtWidgets>

std::optional<std::pair<int, int>> rangedialog::choose(QWidget *parent, int first, int last, int minimum, int maximum)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(QCoreApplication::translate("window", "Focal Range"));
    auto *from = new QSpinBox(&dialog);
    auto *to = new QSpinBox(&dialog);
    for (QSpinBox *box : { from, to })
        box->setRange(minimum, maximum);
    from->setValue(first);
    to->setValue(last);
    // The range stays the right way round whichever end moves.
    QObject::connect(from, &QSpinBox::valueChanged, to, [to](int v) { to->setValue(std::max(to->value(), v)); });
    QObject::connect(to, &QSpinBox::valueChanged, from, [from](int v) { from->setValue(std::min(from->value(), v)); });
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto *all = buttons->addButton(QCoreApplication::translate("window", "All Planes"), QDialogButtonBox::ResetRole);
    QObject::connect(all, &QPushButton::clicked, &dialog, [=] {
        from->setValue(minimum);
        to->setValue(maximum);
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *form = new QFormLayout(&dialog);
    form->addRow(QCoreApplication::translate("window", "&First plane:"), from);
    form->addRow(QCoreApplication::translate("window", "&Last plane:"), to);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return std::make_pair(from->value(), to->value());
}
