#include "tiffstack.h"

#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <mutex>

namespace {

// More pages than this are taken for a broken file.
constexpr qint64 maxPages = 10'000'000;

constexpr ttag_t imagejByteCountsTag = 50838;
constexpr ttag_t imagejMetadataTag = 50839;

TIFFExtendProc parentExtender = nullptr;

void addImagejTags(TIFF *tiff)
{
    static const TIFFFieldInfo fields[] = {
        { imagejByteCountsTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_LONG, FIELD_CUSTOM, 1, 1,
          const_cast<char *>("IJMetadataByteCounts") },
        { imagejMetadataTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
          const_cast<char *>("IJMetadata") },
    };
    TIFFMergeFieldInfo(tiff, fields, 2);
    if (parentExtender)
        parentExtender(tiff);
}

QString formatted(const char *format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    // Some of libtiff's messages run over several lines; ours are one.
    return QString::fromLocal8Bit(text).simplified();
}

template <typename T>
void invert(unsigned char *bytes, size_t count)
{
    T *p = reinterpret_cast<T *>(bytes);
    for (size_t i = 0; i < count; ++i)
        p[i] = std::numeric_limits<T>::max() - p[i];
}

template <typename T>
void pick(const unsigned char *from, int stride, int sample, unsigned char *to, size_t count)
{
    const T *in = reinterpret_cast<const T *>(from) + sample;
    T *out = reinterpret_cast<T *>(to);
    for (size_t i = 0; i < count; ++i)
        out[i] = in[i * stride];
}

} // namespace

bool tiffStack::pageForm::operator==(const pageForm &o) const
{
    return width == o.width && height == o.height && bits == o.bits && samplesPerPixel == o.samplesPerPixel
        && format == o.format && photometric == o.photometric && planar == o.planar;
}

QString tiffStack::pageForm::sampleText() const
{
    const char *kind = format == SAMPLEFORMAT_IEEEFP ? "float" : format == SAMPLEFORMAT_INT ? "signed" : "unsigned";
    return QStringLiteral("%1 × %2-bit %3 samples (photometric %4, planar %5)")
        .arg(samplesPerPixel).arg(bits).arg(kind).arg(photometric).arg(planar);
}

tiffStack::tiffStack(const QString &fileName) : mFileName(fileName) { }

tiffStack::~tiffStack()
{
    if (mTiff)
        TIFFClose(mTiff);
}

std::unique_ptr<stack> tiffStack::open(const QString &fileName, const stackOptions &options, QString *error)
{
    std::unique_ptr<tiffStack> s(new tiffStack(fileName));
    if (!s->openFile(options)) {
        *error = s->mError;
        return nullptr;
    }
    return s;
}

bool tiffStack::present(int t, int z, int c) const
{
    return t >= 0 && t < times && z >= 0 && z < planes && c >= 0 && c < int(channels.size())
        && mLayout.page(t, z, c / mSamples) >= 0;
}

bool tiffStack::read(int t, int z, int c, planeData &out)
{
    if (!present(t, z, c))
        return fail(QStringLiteral("no page holds time point %1, focal plane %2, channel %3").arg(t).arg(z).arg(c));
    const int page = mLayout.page(t, z, c / mSamples);
    const int sample = c % mSamples;
    const qsizetype bytes = mForm.bits / 8;
    const size_t count = size_t(width) * height;
    out.bits = bits;
    out.format = format;
    if (mForm.photometric == PHOTOMETRIC_PALETTE) {
        if (!cachePage(page, 0, 1))
            return false;
        readPalette(sample, out);
        return true;
    }
    out.bytes.resize(count * bytes);
    if (mForm.samplesPerPixel > 1 && mForm.planar == PLANARCONFIG_CONTIG) {
        if (!cachePage(page, 0, bytes * mForm.samplesPerPixel))
            return false;
        if (bytes == 1)
            pick<uint8_t>(mPageBuffer.data(), mForm.samplesPerPixel, sample, out.bytes.data(), count);
        else if (bytes == 2)
            pick<uint16_t>(mPageBuffer.data(), mForm.samplesPerPixel, sample, out.bytes.data(), count);
        else
            pick<uint32_t>(mPageBuffer.data(), mForm.samplesPerPixel, sample, out.bytes.data(), count);
    } else if (!setPage(page) || !decode(sample, out.bytes.data(), bytes)) {
        return false;
    }
    if (mForm.photometric == PHOTOMETRIC_MINISWHITE) {
        if (bytes == 1)
            invert<uint8_t>(out.bytes.data(), count);
        else if (bytes == 2)
            invert<uint16_t>(out.bytes.data(), count);
        else
            invert<uint32_t>(out.bytes.data(), count);
    }
    return true;
}

bool tiffStack::openFile(const stackOptions &options)
{
    static std::once_flag extenderInstalled;
    std::call_once(extenderInstalled, [] { parentExtender = TIFFSetTagExtender(addImagejTags); });

    mMaxBytes = options.maxPlaneBytes;
    TIFFOpenOptions *openOptions = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(openOptions, onError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(openOptions, onWarning, this);
    TIFFOpenOptionsSetMaxSingleMemAlloc(openOptions, tmsize_t(std::max<qint64>(mMaxBytes, 1 << 20)));
    // "m": no memory mapping, whose pages would count as the program's memory.
    mTiff = TIFFOpenExt(QFile::encodeName(mFileName).constData(), "rm", openOptions);
    TIFFOpenOptionsFree(openOptions);
    if (!mTiff)
        return libtiffFailed(QStringLiteral("not a readable TIFF file"));
    mDirectory = 0;

    const pageForm first = currentForm();
    if (!checkForm(first) || !countPages(first) || !setPage(0))
        return false;

    pageFacts facts;
    facts.fileName = QFileInfo(mFileName).fileName();
    facts.pages = mPages;
    facts.width = int(first.width);
    facts.height = int(first.height);
    facts.samples = mSamples;
    facts.storedSamples = first.samplesPerPixel;
    facts.contiguousPages = contiguousPages();
    facts.rgb = first.photometric == PHOTOMETRIC_RGB || first.photometric == PHOTOMETRIC_PALETTE || mYcbcr;
    facts.bits = bits;
    facts.format = format;

    const char *text = nullptr;
    QByteArray metadata;
    if (TIFFGetField(mTiff, TIFFTAG_IMAGEDESCRIPTION, &text) && text)
        metadata = QByteArray(text, qsizetype(strnlen(text, size_t(maxMetadataText) + 1)));
    QString error;
    if (!layoutPages(facts, metadata, readImagejTags(), options, &mLayout, &error))
        return fail(error);

    mContiguous = mPages == 1 && *std::max_element(mLayout.pages.begin(), mLayout.pages.end()) > 0;
    width = facts.width;
    height = facts.height;
    times = mLayout.times;
    planes = mLayout.planes;
    channels = mLayout.channels;
    description = mLayout.description;
    warnings = mLayout.warnings + mWarnings;
    return true;
}

bool tiffStack::checkForm(const pageForm &first)
{
    if (first.width < 1 || first.height < 1 || first.width > uint32_t(maxSide) || first.height > uint32_t(maxSide))
        return fail(QStringLiteral("%1 x %2 pixels; at most %3 x %3 are read").arg(first.width).arg(first.height).arg(maxSide));
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFIsCODECConfigured(compression))
        return fail(QStringLiteral("compression %1 is not supported").arg(compression));

    const bool integer = first.format == SAMPLEFORMAT_UINT || first.format == SAMPLEFORMAT_INT
        || first.format == SAMPLEFORMAT_VOID;
    if (!(integer && (first.bits == 8 || first.bits == 16 || first.bits == 32))
        && !(first.format == SAMPLEFORMAT_IEEEFP && first.bits == 32))
        return fail(QStringLiteral("%1-bit %2 samples are not read; 8, 16 and 32-bit integers and 32-bit floats are")
                        .arg(first.bits).arg(first.format == SAMPLEFORMAT_IEEEFP ? "float" : "integer"));
    bits = first.bits;
    format = first.format == SAMPLEFORMAT_IEEEFP ? sampleFormat::floatingPoint
        : first.format == SAMPLEFORMAT_INT       ? sampleFormat::signedInt
                                                 : sampleFormat::unsignedInt;

    mSamples = first.samplesPerPixel;
    switch (first.photometric) {
    case PHOTOMETRIC_MINISBLACK:
        break;
    case PHOTOMETRIC_MINISWHITE:
        if (format != sampleFormat::unsignedInt)
            return fail(QStringLiteral("white-is-zero pages of signed or float samples are not read"));
        break;
    case PHOTOMETRIC_RGB:
        if (first.samplesPerPixel < 3 || first.bits > 16)
            return fail(QStringLiteral("RGB pages need 3 samples of 8 or 16 bits"));
        mSamples = 3;
        break;
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG || first.samplesPerPixel != 3 || first.bits != 8)
            return fail(QStringLiteral("YCbCr pages are read only when JPEG-compressed"));
        mYcbcr = true;
        mSamples = 3;
        break;
    case PHOTOMETRIC_PALETTE:
        if (first.samplesPerPixel != 1 || first.bits != 8)
            return fail(QStringLiteral("palette pages are read only with 8-bit indices"));
        mSamples = 3;
        break;
    default:
        return fail(QStringLiteral("photometric interpretation %1 is not read").arg(first.photometric));
    }
    if (mSamples > maxChannels)
        return fail(QStringLiteral("%1 samples per pixel; at most %2 channels are read").arg(mSamples).arg(maxChannels));
    if (qint64(first.width) * first.height * first.samplesPerPixel * (first.bits / 8) > mMaxBytes)
        return fail(QStringLiteral("a page of %1 x %2 pixels, %3 samples, is larger than %4 MiB")
                        .arg(first.width).arg(first.height).arg(first.samplesPerPixel).arg(mMaxBytes >> 20));
    mForm = first;
    return true;
}

// Counts the pages, leaving out reduced-resolution ones (thumbnails), and
// checks that each has the first page's form.
bool tiffStack::countPages(const pageForm &first)
{
    mMessage.clear();
    mDirectories = { 0 };
    int reduced = 0;
    while (TIFFReadDirectory(mTiff)) {
        if (++mDirectory > maxPages)
            return fail(QStringLiteral("more than %1 pages").arg(maxPages));
        uint32_t subfileType = 0;
        if (TIFFGetField(mTiff, TIFFTAG_SUBFILETYPE, &subfileType) && (subfileType & FILETYPE_REDUCEDIMAGE)) {
            ++reduced;
            continue;
        }
        const pageForm form = currentForm();
        if (form.width != first.width || form.height != first.height)
            return fail(QStringLiteral("page %1 is %2 x %3, the first page %4 x %5")
                            .arg(mDirectory + 1).arg(form.width).arg(form.height).arg(first.width).arg(first.height));
        if (!(form == first))
            return fail(QStringLiteral("page %1 has %2, the first page %3").arg(mDirectory + 1).arg(form.sampleText(), first.sampleText()));
        mDirectories.push_back(tdir_t(mDirectory));
    }
    // A failed read of a directory is an error; reaching the last one is not.
    if (!mMessage.isEmpty())
        return libtiffFailed(QStringLiteral("page %1 is unreadable").arg(mDirectory + 2));
    if (reduced > 0)
        mWarnings << QStringLiteral("%1 reduced-resolution pages (thumbnails) are left out").arg(reduced);
    mPages = qint64(mDirectories.size());
    return true;
}

// How many pages of samples follow from the start of the only page's, when
// that page is uncompressed and its strips lie one after the other.
qint64 tiffStack::contiguousPages()
{
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_COMPRESSION, &compression);
    uint64_t *offsets = nullptr;
    uint64_t *counts = nullptr;
    if (mPages != 1 || compression != COMPRESSION_NONE || TIFFIsTiled(mTiff) || mForm.planar != PLANARCONFIG_CONTIG
        || !TIFFGetField(mTiff, TIFFTAG_STRIPOFFSETS, &offsets) || !TIFFGetField(mTiff, TIFFTAG_STRIPBYTECOUNTS, &counts)
        || !offsets || !counts)
        return 0;
    const qint64 pageBytes = qint64(mForm.width) * mForm.height * mForm.samplesPerPixel * (mForm.bits / 8);
    uint64_t end = offsets[0];
    for (tstrip_t strip = 0; strip < TIFFNumberOfStrips(mTiff); ++strip) {
        if (offsets[strip] != end || counts[strip] > uint64_t(pageBytes))
            return 0;
        end += counts[strip];
    }
    struct stat status;
    if (qint64(end - offsets[0]) != pageBytes || fstat(TIFFFileno(mTiff), &status) != 0 || qint64(offsets[0]) > status.st_size)
        return 0;
    mDataOffset = qint64(offsets[0]);
    return (status.st_size - mDataOffset) / pageBytes;
}

// A page of the samples that follow the only page's, as ImageJ writes them.
bool tiffStack::readContiguous(unsigned char *dest, qsizetype pixelBytes)
{
    const qint64 size = qint64(width) * height * pixelBytes;
    const qint64 offset = mDataOffset + mPage * size;
    for (qint64 done = 0; done < size;) {
        const ssize_t n = pread(TIFFFileno(mTiff), dest + done, size_t(size - done), off_t(offset + done));
        if (n <= 0)
            return fail(QStringLiteral("image %1 is truncated").arg(mPage + 1));
        done += n;
    }
    if (TIFFIsByteSwapped(mTiff)) {
        const size_t count = size_t(size) / (mForm.bits / 8);
        if (mForm.bits == 16)
            TIFFSwabArrayOfShort(reinterpret_cast<uint16_t *>(dest), tmsize_t(count));
        else if (mForm.bits == 32)
            TIFFSwabArrayOfLong(reinterpret_cast<uint32_t *>(dest), tmsize_t(count));
    }
    return true;
}

imagejExtras tiffStack::readImagejTags()
{
    uint32_t countsSize = 0;
    uint32_t *counts = nullptr;
    uint32_t dataSize = 0;
    uint8_t *data = nullptr;
    if (!TIFFGetField(mTiff, imagejByteCountsTag, &countsSize, &counts) || !counts
        || !TIFFGetField(mTiff, imagejMetadataTag, &dataSize, &data) || !data || dataSize > maxMetadataText)
        return imagejExtras();
    return parseImagejMetadata(std::vector<uint32_t>(counts, counts + countsSize),
                               QByteArray(reinterpret_cast<const char *>(data), qsizetype(dataSize)));
}

bool tiffStack::setPage(int page)
{
    mPage = page;
    if (mContiguous)
        return true;
    const qint64 directory = mDirectories[size_t(page)];
    if (directory != mDirectory) {
        mMessage.clear();
        const bool ok = mDirectory >= 0 && directory == mDirectory + 1 ? TIFFReadDirectory(mTiff)
                                                                       : TIFFSetDirectory(mTiff, tdir_t(directory));
        mDirectory = ok ? directory : -1;
        if (!ok)
            return libtiffFailed(QStringLiteral("page %1 is unreadable").arg(directory + 1));
        if (!(currentForm() == mForm))
            return fail(QStringLiteral("page %1 has changed since the file was opened").arg(directory + 1));
    }
    if (mYcbcr && !TIFFSetField(mTiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
        return libtiffFailed(QStringLiteral("page %1 cannot be turned from YCbCr into RGB").arg(directory + 1));
    return true;
}

tiffStack::pageForm tiffStack::currentForm() const
{
    pageForm form;
    TIFFGetField(mTiff, TIFFTAG_IMAGEWIDTH, &form.width);
    TIFFGetField(mTiff, TIFFTAG_IMAGELENGTH, &form.height);
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_BITSPERSAMPLE, &form.bits);
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_SAMPLESPERPIXEL, &form.samplesPerPixel);
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_SAMPLEFORMAT, &form.format);
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_PLANARCONFIG, &form.planar);
    if (!TIFFGetField(mTiff, TIFFTAG_PHOTOMETRIC, &form.photometric))
        form.photometric = PHOTOMETRIC_MINISBLACK;
    return form;
}

// Decodes the current page: one sample's plane when the samples are
// planar, else the whole page with its samples interleaved.
bool tiffStack::decode(int sample, unsigned char *dest, qsizetype pixelBytes)
{
    mMessage.clear();
    if (mForm.planar == PLANARCONFIG_CONTIG)
        sample = 0;
    if (mContiguous)
        return readContiguous(dest, pixelBytes);
    if (TIFFIsTiled(mTiff))
        return decodeTiles(sample, dest, pixelBytes);
    return decodeStrips(sample, dest, qsizetype(width) * pixelBytes);
}

bool tiffStack::decodeStrips(int sample, unsigned char *dest, qsizetype rowBytes)
{
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    const qint64 rows = std::clamp<qint64>(rowsPerStrip, 1, height);
    const qint64 stripsPerPlane = (height + rows - 1) / rows;
    const qint64 planesOfStrips = mForm.planar == PLANARCONFIG_SEPARATE ? mForm.samplesPerPixel : 1;
    if (qint64(TIFFNumberOfStrips(mTiff)) < stripsPerPlane * planesOfStrips || TIFFScanlineSize64(mTiff) != uint64_t(rowBytes))
        return fail(QStringLiteral("page %1 has strips that do not fit its size").arg(mDirectory + 1));
    for (qint64 strip = 0; strip < stripsPerPlane; ++strip) {
        const qint64 y = strip * rows;
        const tmsize_t size = tmsize_t(std::min(rows, height - y) * rowBytes);
        if (TIFFReadEncodedStrip(mTiff, uint32_t(sample * stripsPerPlane + strip), dest + y * rowBytes, size) != size)
            return libtiffFailed(QStringLiteral("page %1 is truncated or damaged").arg(mDirectory + 1));
    }
    return true;
}

bool tiffStack::decodeTiles(int sample, unsigned char *dest, qsizetype pixelBytes)
{
    uint32_t tileWidth = 0;
    uint32_t tileHeight = 0;
    TIFFGetField(mTiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(mTiff, TIFFTAG_TILELENGTH, &tileHeight);
    const tmsize_t tileSize = TIFFTileSize(mTiff);
    if (tileWidth < 1 || tileHeight < 1 || tileSize <= 0 || tileSize > mMaxBytes
        || qint64(tileWidth) * tileHeight * pixelBytes != tileSize)
        return fail(QStringLiteral("page %1 has tiles that do not fit its size").arg(mDirectory + 1));
    mTileBuffer.resize(size_t(tileSize));
    const qsizetype rowBytes = width * pixelBytes;
    for (uint32_t y = 0; y < uint32_t(height); y += tileHeight) {
        for (uint32_t x = 0; x < uint32_t(width); x += tileWidth) {
            const uint32_t tile = TIFFComputeTile(mTiff, x, y, 0, uint16_t(sample));
            if (TIFFReadEncodedTile(mTiff, tile, mTileBuffer.data(), tileSize) != tileSize)
                return libtiffFailed(QStringLiteral("page %1 is truncated or damaged").arg(mDirectory + 1));
            const size_t part = std::min<uint32_t>(tileWidth, width - x) * pixelBytes;
            const uint32_t rows = std::min<uint32_t>(tileHeight, height - y);
            for (uint32_t r = 0; r < rows; ++r)
                std::memcpy(dest + (y + r) * rowBytes + x * pixelBytes, mTileBuffer.data() + r * tileWidth * pixelBytes, part);
        }
    }
    return true;
}

// Keeps the decoded page for the channels that follow on the same page.
bool tiffStack::cachePage(int page, int sample, qsizetype pixelBytes)
{
    if (page == mCachedPage && sample == mCachedSample)
        return true;
    mCachedPage = -1;
    mPageBuffer.resize(size_t(width) * height * pixelBytes);
    if (!setPage(page) || !decode(sample, mPageBuffer.data(), pixelBytes))
        return false;
    mCachedPage = page;
    mCachedSample = sample;
    return true;
}

void tiffStack::readPalette(int c, planeData &out)
{
    uint16_t *map[3] = { nullptr, nullptr, nullptr };
    const size_t count = size_t(width) * height;
    out.bytes.assign(count, 0);
    if (!TIFFGetField(mTiff, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2]) || !map[c])
        return;
    // Some writers store 8-bit entries in the 16-bit map.
    bool eightBit = true;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 256; ++i)
            eightBit = eightBit && map[k][i] < 256;
    uint8_t level[256];
    for (int i = 0; i < 256; ++i)
        level[i] = uint8_t(eightBit ? map[c][i] : map[c][i] >> 8);
    for (size_t i = 0; i < count; ++i)
        out.bytes[i] = level[mPageBuffer[i]];
}

bool tiffStack::fail(const QString &what)
{
    mError = QStringLiteral("%1: %2").arg(mFileName, what);
    return false;
}

bool tiffStack::libtiffFailed(const QString &what)
{
    return fail(mMessage.isEmpty() ? what : QStringLiteral("%1 (%2)").arg(what, mMessage));
}

int tiffStack::onError(TIFF *, void *self, const char *module, const char *format, va_list arguments)
{
    auto *s = static_cast<tiffStack *>(self);
    if (s->mMessage.isEmpty())
        s->mMessage = (module ? QString::fromLocal8Bit(module) + QStringLiteral(": ") : QString()) + formatted(format, arguments);
    return 1;
}

int tiffStack::onWarning(TIFF *, void *self, const char *, const char *format, va_list arguments)
{
    auto *s = static_cast<tiffStack *>(self);
    const QString text = formatted(format, arguments);
    if (!text.contains(QLatin1String("nknown field")) && s->mWarnings.size() < 5 && !s->mWarnings.contains(text))
        s->mWarnings << text;
    return 1;
}
