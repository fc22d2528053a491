#ifndef PLANEWRITER_H
#define PLANEWRITER_H

#include "stack.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <optional>
#include <vector>

// Writes planes of one size and type as a TIFF stack that ImageJ opens as
// channels, with the pixel size where it is known, through a temporary file
// renamed into place: nothing half-written stays behind.
bool writePlanes(const QString &fileName, const std::vector<planeData> &planes, const QSize &size,
                 std::optional<double> pixelSize, const QString &unit, QString *error);
// Writes a picture as an 8-bit RGB TIFF the same way.
bool writePicture(const QString &fileName, const QImage &picture, std::optional<double> pixelSize, const QString &unit,
                  QString *error);

#endif
