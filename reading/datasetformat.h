#ifndef DATASETFORMAT_H
#define DATASETFORMAT_H

#include <QByteArray>
#include <QString>

#include <functional>

// A dataset is a descriptor, NAME.tz, beside an img folder of JPEG frames,
// one a time point and focal plane.  The descriptor is "tag value" pairs
// separated by white space.
struct descriptor
{
    QByteArray dataset;
    int width = 300, height = 300, minTime = 0, maxTime = 0, minFocal = 0, maxFocal = 0;
};

// Reads a descriptor into the fields it names, leaving the others, and
// calls traced with each value stored: the name, or a field's number in
// decimal.  A value that is not a number, or a last "dataset" with no name,
// ends reading.  Only regular files are read.
void readDescriptor(const QString &fileName, descriptor &into, const std::function<void(const QByteArray &)> &traced);

// The descriptor of a dataset of times time points and planes focal planes, from 0.
QByteArray descriptorText(const QByteArray &dataset, int width, int height, int times, int planes);

// The index text of frame names: at least three digits, padded with '0'.
QByteArray digit3(int a);

// A frame's path, from the descriptor's folder and name as bytes, so that a
// name in any 8-bit encoding finds its files.
QByteArray frameName(const QByteArray &root, const QByteArray &dataset, int t, int z);

// A frame's file name inside the img folder.
QString frameFileName(const QString &dataset, int t, int z);

#endif
