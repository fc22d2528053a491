#ifndef NAMES_H
#define NAMES_H

#include <QString>

// The index text of frame names: at least three digits, padded with '0'.
QString digit3(int a);
// A frame's file name inside the dataset's img folder, as the viewer composes it.
QString frameFileName(const QString &dataset, int t, int z);
// Whether a name is one descriptor token: letters, digits, '-', '_' and '.'.
bool isDatasetName(const QString &name);
// The name for an input: its base name without extensions, other characters as '_'.
QString datasetNameFor(const QString &input);

#endif
