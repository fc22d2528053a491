#ifndef RANGEDIALOG_H
#define RANGEDIALOG_H

#include <QWidget>

#include <optional>
#include <utility>

// Image › Projection › Focal Range: the first and last focal plane of the
// projection, within the planes there are.
namespace rangedialog {
std::optional<std::pair<int, int>> choose(QWidget *parent, int first, int last, int minimum, int maximum);
}

#endif
