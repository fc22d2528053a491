#ifndef OVERLAYDIALOG_H
#define OVERLAYDIALOG_H

#include "overlay.h"

#include <QWidget>

#include <optional>

// View › Overlay Settings: where the scale bar and the time stamp go, their
// colour and their size.
namespace overlaydialog {
std::optional<overlayStyle> choose(QWidget *parent, const overlayStyle &style);
}

#endif
