#ifndef TIFFSTACK_H
#define TIFFSTACK_H

#include "pagelayout.h"
#include "stack.h"

#include <QHash>

#include <tiffio.h>

#include <cstdarg>

// A TIFF file read with libtiff, one page at a time.  Every page must have
// the first page's size and sample type (with stackOptions::partial, only
// the pages that do are read); the metadata says which page holds which
// plane.
class tiffStack : public stack
{
public:
    ~tiffStack() override;

    static std::unique_ptr<stack> open(const QString &fileName, const stackOptions &options, QString *error);

    bool present(int t, int z, int c) const override;
    bool read(int t, int z, int c, planeData &out) override;
    // Reads only the strips or tiles that hold the region, and of
    // uncompressed ones only the region's samples.
    bool readRegion(int t, int z, int c, int level, const QRect &region, planeData &out) override;
    bool cheapRegions(int t, int z, int c) override;

private:
    // What must be the same on every page.
    struct pageForm
    {
        uint32_t width = 0;
        uint32_t height = 0;
        uint16_t bits = 1;
        uint16_t samplesPerPixel = 1;
        uint16_t format = SAMPLEFORMAT_UINT;
        uint16_t photometric = PHOTOMETRIC_MINISBLACK;
        uint16_t planar = PLANARCONFIG_CONTIG;

        bool operator==(const pageForm &o) const;
        QString sampleText() const;
    };

    explicit tiffStack(const QString &fileName);

    bool openFile(const stackOptions &options);
    bool checkForm(const pageForm &first);
    bool countPages(const pageForm &first, bool partial);
    qint64 contiguousPages();
    bool readContiguous(unsigned char *dest, qsizetype pixelBytes);
    imagejExtras readImagejTags();
    pageMetadata readMetadata();
    QByteArrayList descriptions();
    QByteArray readAt(qint64 offset, qint64 size);
    qint64 readInto(qint64 offset, char *dest, qint64 size);
    bool colourMap(uint8_t levels[3][256]);
    bool colourPaletteChannels();
    bool setPage(int page);
    pageForm currentForm() const;
    bool decode(int sample, unsigned char *dest, qsizetype pixelBytes);
    bool decodeStrips(int sample, unsigned char *dest, qsizetype rowBytes);
    bool decodeTiles(int sample, unsigned char *dest, qsizetype pixelBytes);
    bool readPart(int sample, const QRect &region, unsigned char *dest, qsizetype bytes);
    bool readBlock(uint32_t index, bool stored, const QRect &block, const QRect &region, unsigned char *dest,
                   qsizetype bytes);
    bool readStored(qint64 offset, const QRect &block, const QRect &region, unsigned char *dest, qsizetype bytes);
    bool cachePage(int page, int sample, qsizetype pixelBytes);
    void readPalette(int c, planeData &out);
    bool fail(const QString &what);
    bool libtiffFailed(const QString &what);

    static int onError(TIFF *, void *self, const char *module, const char *format, va_list arguments);
    static int onWarning(TIFF *, void *self, const char *module, const char *format, va_list arguments);

    QString mFileName;
    TIFF *mTiff = nullptr;
    pageForm mForm;
    pageLayout mLayout;
    int mSamples = 1;          // channels in a page
    bool mYcbcr = false;       // JPEG-compressed YCbCr, which libtiff turns into RGB
    bool mPaletteIndices = false;   // palette pages read as one channel's intensities
    qint64 mPages = 0;
    int mThumbnails = 0;       // reduced-resolution pages left out
    bool mContiguous = false;  // ImageJ's large stacks: one page, the samples of all images after it
    qint64 mDataOffset = 0;
    qint64 mMaxBytes = 0;
    std::vector<tdir_t> mDirectories;   // of each page
    std::vector<uint64_t> mOffsets;     // of each page's directory in the file
    QHash<int, QString> mOddPages;      // pages unlike the first, with what is different
    qint64 mDirectory = -1;    // the current one
    int mPage = -1;            // the page last set
    int mCachedPage = -1;      // the page in mPageBuffer
    int mCachedSample = -1;
    std::vector<unsigned char> mPageBuffer;
    std::vector<unsigned char> mTileBuffer;
    QString mMessage;          // libtiff's last error
    QStringList mWarnings;
};

#endif
