#ifndef NAMES_H
#define NAMES_H

#include <QString>
#include <QStringList>

// Whether a name is one descriptor token: letters, digits, '-', '_' and '.'.
bool isDatasetName(const QString &name);
// The name for an input: its base name without extensions, other characters as '_'.
QString datasetNameFor(const QString &input);
// The name for the inputs: one input's as above; for several, what their
// names share before their indices, or else their folder's name.
QString datasetNameFor(const QStringList &inputs);

#endif
