#ifndef DATASETSOURCE_H
#define DATASETSOURCE_H

#include "framesource.h"

#include <memory>

class framereader;

// A dataset's frames: one JPEG file per (time point, focal plane) in the
// folder "img" beside the descriptor, named after the dataset.  Every read
// of a file is traced with its name; a picture that needs more of a frame
// than was decoded reads the file again.
class datasetsource : public framesource
{
public:
    datasetsource(const QByteArray &path, const QByteArray &dataset);
    ~datasetsource() override;

    void load(int t, int z) override;
    QSize size() override;
    QString title() const override;
    QImage picture(const QSize &scaled, const QRect &part) override;

    static QByteArray frameName(const QByteArray &path, const QByteArray &dataset, int t, int z);
    static QByteArray digit3(int a);

private:
    framereader &reader();

    QByteArray path;
    QByteArray dataset;
    QByteArray name;
    std::unique_ptr<framereader> opened;
};

#endif
