#ifndef IMAGEFILE_H
#define IMAGEFILE_H

#include "stack.h"

#include <QImage>

// A PNG or JPEG file read with Qt: one plane, greyscale or red, green and
// blue channels, of 8 or 16 bits.
class imageFile : public stack
{
public:
    static std::unique_ptr<stack> open(const QString &fileName, const QByteArray &format, QString *error);

    bool present(int t, int z, int c) const override;
    bool read(int t, int z, int c, planeData &out) override;

private:
    imageFile(const QString &fileName, const QByteArray &format);

    QString mFileName;
    QByteArray mFormat;
    QImage::Format mTarget = QImage::Format_Grayscale8;
    QImage mImage;   // the decoded picture, kept for the channels that follow
};

#endif
