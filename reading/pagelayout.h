#ifndef PAGELAYOUT_H
#define PAGELAYOUT_H

#include "metadata.h"
#include "stack.h"

// Most channels a stack may have.
constexpr int maxChannels = 64;
// Widest and tallest planes read: the JPEG frames written from them could hold no more.
constexpr int maxSide = 65500;
// More pages than this are taken for a broken file.
constexpr qint64 maxPages = 10'000'000;

// What the pages of a TIFF file are, as far as laying them out goes.
struct pageFacts
{
    QString fileName;      // without folder, to compare with OME's UUID FileName
    qint64 pages = 0;
    qint64 contiguousPages = 0;   // pages of samples that follow the only page's, uncompressed
    int width = 0;
    int height = 0;
    int samples = 1;       // channels held in one page
    int storedSamples = 1; // samples per pixel in the file: 1 for a palette
    bool rgb = false;      // the samples are red, green and blue
    int bits = 8;
    sampleFormat format = sampleFormat::unsignedInt;
};

// The metadata of a TIFF file that says how its pages are laid out.
struct pageMetadata
{
    QByteArray description;        // the first page's ImageDescription
    QByteArray imagejDescription;  // a later one of ImageJ's, as Micro-Manager writes beside OME-XML
    imagejExtras imagej;           // ImageJ's metadata tags
    std::optional<lsmInfo> lsm;    // Zeiss LSM's CZ_LSMINFO
    lsmColours lsmChannels;
};

// Where each (time, focal plane, channel) is among the pages.  Channel c is
// sample c % samples of the page of page channel c / samples.
struct pageLayout
{
    int times = 0;
    int planes = 0;
    int pageChannels = 1;
    std::vector<int> pages;            // by (t, z, page channel); -1 when none
    std::vector<channelInfo> channels;
    QString description;
    QStringList warnings;
    std::vector<imageSummary> images;   // every image of the file, when it holds several
    int image = 0;                      // the one laid out
    bool axesGuessed = false;           // no metadata says whether the pages are time points or focal planes
    qint64 countedPages = 0;            // with partial, the pages the metadata counts when the file holds fewer

    int page(int t, int z, int pageChannel) const
    {
        return pages[(size_t(t) * planes + z) * pageChannels + pageChannel];
    }
};

// Lays the pages of one image out by the file's metadata, or by the
// options when there is none.  With options.partial, metadata that counts
// more pages than the file holds is laid out all the same, the planes of
// the pages beyond the file's without a page.  On failure returns false and
// *error says what is wrong, without the file name.
bool layoutPages(const pageFacts &facts, const pageMetadata &metadata, const stackOptions &options, pageLayout *out,
                 QString *error);

#endif
