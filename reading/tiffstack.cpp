#include "tiffstack.h"

#include <QFileInfo>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <mutex>

namespace {

constexpr ttag_t imagejByteCountsTag = 50838;
constexpr ttag_t imagejMetadataTag = 50839;
constexpr ttag_t lsmInfoTag = 34412;
// Longest LSM block of channel colours and names read; it says how long it is.
constexpr qint64 maxLsmBlock = 1 << 16;

TIFFExtendProc parentExtender = nullptr;

void addImagejTags(TIFF *tiff)
{
    static const TIFFFieldInfo fields[] = {
        { imagejByteCountsTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_LONG, FIELD_CUSTOM, 1, 1,
          const_cast<char *>("IJMetadataByteCounts") },
        { imagejMetadataTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1,
          const_cast<char *>("IJMetadata") },
        { lsmInfoTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1, const_cast<char *>("CZ_LSMINFO") },
    };
    TIFFMergeFieldInfo(tiff, fields, 3);
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

// The 8-bit levels of a colour map: some writers store 0..255 in its 16-bit entries.
void paletteLevels(uint16_t *const map[3], uint8_t levels[3][256])
{
    bool eightBit = true;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 256; ++i)
            eightBit = eightBit && map[k][i] < 256;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 256; ++i)
            levels[k][i] = uint8_t(eightBit ? map[k][i] : map[k][i] >> 8);
}

// Whether every entry is the last one's colour scaled by its index, as in a LUT of one colour.
bool isRamp(const uint8_t levels[3][256])
{
    if (levels[0][255] == 0 && levels[1][255] == 0 && levels[2][255] == 0)
        return false;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 256; ++i)
            if (std::abs(levels[k][i] - (i * levels[k][255] + 127) / 255) > 2)
                return false;
    return true;
}

// The brightest entry of a colour map: the colour of the channel it shows.
QRgb brightest(const uint8_t levels[3][256])
{
    int best = 0;
    for (int i = 1; i < 256; ++i)
        if (levels[0][i] + levels[1][i] + levels[2][i] >= levels[0][best] + levels[1][best] + levels[2][best])
            best = i;
    return qRgb(levels[0][best], levels[1][best], levels[2][best]);
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
    if (!present(t, z, c)) {
        const QString what = QStringLiteral("no page holds time point %1, focal plane %2, channel %3").arg(t).arg(z).arg(c);
        if (mLayout.countedPages == 0)
            return fail(what);
        return fail(QStringLiteral("%1: the file is cut short or damaged, its metadata counts %2 pages")
                        .arg(what).arg(mLayout.countedPages));
    }
    const int page = mLayout.page(t, z, c / mSamples);
    const int sample = c % mSamples;
    const qsizetype bytes = mForm.bits / 8;
    const size_t count = size_t(width) * height;
    out.bits = bits;
    out.format = format;
    if (mForm.photometric == PHOTOMETRIC_PALETTE && !mPaletteIndices) {
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

bool tiffStack::readRegion(int t, int z, int c, int level, const QRect &region, planeData &out)
{
    // Pages of interleaved samples, of colours by palette and of YCbCr are
    // decoded whole; the channels that follow take theirs from the same page.
    const bool whole = region == QRect(0, 0, width, height) || mYcbcr
        || (mForm.photometric == PHOTOMETRIC_PALETTE && !mPaletteIndices)
        || (mForm.samplesPerPixel > 1 && mForm.planar == PLANARCONFIG_CONTIG);
    if (whole || level != 0 || region.isEmpty() || !QRect(0, 0, width, height).contains(region) || !present(t, z, c))
        return stack::readRegion(t, z, c, level, region, out);
    const int sample = mForm.planar == PLANARCONFIG_SEPARATE ? c % mSamples : 0;
    const qsizetype bytes = mForm.bits / 8;
    const size_t count = size_t(region.width()) * size_t(region.height());
    out.bits = bits;
    out.format = format;
    out.bytes.resize(count * size_t(bytes));
    if (!setPage(mLayout.page(t, z, c / mSamples)) || !readPart(sample, region, out.bytes.data(), bytes))
        return false;
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

// Uncompressed samples, one to a pixel, are read as they are stored.
bool tiffStack::cheapRegions(int t, int z, int c)
{
    if (mYcbcr || mForm.photometric == PHOTOMETRIC_PALETTE || (mForm.samplesPerPixel > 1 && mForm.planar == PLANARCONFIG_CONTIG)
        || !present(t, z, c) || !setPage(mLayout.page(t, z, c / mSamples)))
        return false;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_COMPRESSION, &compression);
    return compression == COMPRESSION_NONE;
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
    // "m": no memory mapping, whose pages would count as the program's memory;
    // "c": a page stored as one strip is read in one piece, not 8 KB at a time.
    mTiff = TIFFOpenExt(QFile::encodeName(mFileName).constData(), "rmc", openOptions);
    TIFFOpenOptionsFree(openOptions);
    if (!mTiff)
        return libtiffFailed(QStringLiteral("not a readable TIFF file"));
    mDirectory = 0;

    const pageForm first = currentForm();
    if (!checkForm(first) || !countPages(first, options.partial) || !setPage(0))
        return false;
    // Palette pages of a stack, or with a map of one colour, hold a channel's
    // intensities; only a picture's own palette is turned into colour.
    uint8_t levels[3][256];
    if (first.photometric == PHOTOMETRIC_PALETTE && (mPages > 1 || (colourMap(levels) && isRamp(levels)))) {
        mPaletteIndices = true;
        mSamples = 1;
    }

    pageFacts facts;
    facts.fileName = QFileInfo(mFileName).fileName();
    facts.pages = mPages;
    facts.width = int(first.width);
    facts.height = int(first.height);
    facts.samples = mSamples;
    facts.storedSamples = first.samplesPerPixel;
    facts.contiguousPages = contiguousPages();
    facts.rgb = first.photometric == PHOTOMETRIC_RGB || (first.photometric == PHOTOMETRIC_PALETTE && !mPaletteIndices)
        || mYcbcr;
    facts.bits = bits;
    facts.format = format;

    const pageMetadata metadata = readMetadata();
    QString error;
    if (!layoutPages(facts, metadata, options, &mLayout, &error))
        return fail(error);
    // Every LSM page has its thumbnail.
    if (mThumbnails > 0 && !metadata.lsm)
        mWarnings << QStringLiteral("%1 reduced-resolution pages (thumbnails) are left out").arg(mThumbnails);

    mContiguous = mPages == 1 && *std::max_element(mLayout.pages.begin(), mLayout.pages.end()) > 0;
    width = facts.width;
    height = facts.height;
    times = mLayout.times;
    planes = mLayout.planes;
    axesGuessed = mLayout.axesGuessed;
    channels = mLayout.channels;
    description = mLayout.description;
    warnings = mLayout.warnings + mWarnings;
    images = mLayout.images;
    image = mLayout.image;
    // The first page's resolution: ImageJ's pixels per unit.
    float xResolution = 0;
    float yResolution = 0;
    uint16_t resolutionUnit = RESUNIT_NONE;
    TIFFGetField(mTiff, TIFFTAG_XRESOLUTION, &xResolution);
    TIFFGetField(mTiff, TIFFTAG_YRESOLUTION, &yResolution);
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_RESOLUTIONUNIT, &resolutionUnit);
    setSizes(tiffSizes(metadata.description, metadata.lsm, xResolution, yResolution, resolutionUnit, image), this);
    QByteArray lsmStamps;
    if (metadata.lsm && metadata.lsm->stampsOffset > 0 && metadata.lsm->times <= maxTimeStamps)
        lsmStamps = readAt(metadata.lsm->stampsOffset, 8 + 8 * metadata.lsm->times);
    setTimes(tiffTimes(metadata.description, metadata.lsm, lsmStamps, image), this);
    if (metadata.lsm && metadata.lsm->scanOffset > 0)
        objective = parseLsmObjective(readAt(metadata.lsm->scanOffset, maxLsmBlock));
    metadataText = tiffMetadataText(metadata.description, metadata.imagejDescription, metadata.imagej.info);
    return !mPaletteIndices || colourPaletteChannels();
}

// Each channel of palette pages without a colour of ImageJ's or OME's has
// the brightest colour of its first page's map.
bool tiffStack::colourPaletteChannels()
{
    for (size_t c = 0; c < channels.size(); ++c) {
        for (int k = 0; k < times * planes && !channels[c].colour; ++k) {
            const int page = mLayout.page(k / planes, k % planes, int(c));
            uint8_t levels[3][256];
            if (page < 0 || mOddPages.contains(page))
                continue;
            if (!setPage(page))
                return false;
            if (colourMap(levels))
                channels[c].colour = brightest(levels);
            break;
        }
    }
    return true;
}

// The current page's colour map as 8-bit levels, if it has one.
bool tiffStack::colourMap(uint8_t levels[3][256])
{
    uint16_t *map[3] = { nullptr, nullptr, nullptr };
    if (!TIFFGetField(mTiff, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2]) || !map[0] || !map[1] || !map[2])
        return false;
    paletteLevels(map, levels);
    return true;
}

pageMetadata tiffStack::readMetadata()
{
    pageMetadata metadata;
    const QByteArrayList texts = descriptions();
    if (!texts.isEmpty())
        metadata.description = texts.first();
    for (const QByteArray &text : texts.mid(1))
        if (text.startsWith("ImageJ=") && metadata.imagejDescription.isEmpty())
            metadata.imagejDescription = text;
    metadata.imagej = readImagejTags();

    uint32_t size = 0;
    uint8_t *data = nullptr;
    if (TIFFGetField(mTiff, lsmInfoTag, &size, &data) && data)
        metadata.lsm = parseLsmInfo(QByteArray(reinterpret_cast<const char *>(data), qsizetype(std::min<uint32_t>(size, 4096))));
    if (metadata.lsm && metadata.lsm->colourOffset > 0)
        metadata.lsmChannels = parseLsmColours(readAt(metadata.lsm->colourOffset, maxLsmBlock));
    return metadata;
}

// Every ImageDescription of the first page: libtiff gives only the first, and Micro-Manager writes ImageJ's after its OME-XML.
QByteArrayList tiffStack::descriptions()
{
    QByteArrayList texts;
    const bool big = TIFFIsBigTIFF(mTiff);
    const bool bigEndian = TIFFIsBigEndian(mTiff);
    const auto number = [bigEndian](const char *p, int bytes) -> quint64 {
        if (bytes == 2)
            return bigEndian ? qFromBigEndian<quint16>(p) : qFromLittleEndian<quint16>(p);
        if (bytes == 4)
            return bigEndian ? qFromBigEndian<quint32>(p) : qFromLittleEndian<quint32>(p);
        return bigEndian ? qFromBigEndian<quint64>(p) : qFromLittleEndian<quint64>(p);
    };
    const QByteArray header = readAt(0, 16);
    if (header.size() < 16)
        return texts;
    const qint64 at = qint64(big ? number(header.constData() + 8, 8) : number(header.constData() + 4, 4));
    const int countBytes = big ? 8 : 2;
    const int entryBytes = big ? 20 : 12;
    const int fieldBytes = big ? 8 : 4;
    const QByteArray countField = readAt(at, countBytes);
    if (countField.size() != countBytes)
        return texts;
    const qint64 entries = qint64(std::min<quint64>(number(countField.constData(), countBytes), 4096));
    const QByteArray table = readAt(at + countBytes, entries * entryBytes);
    for (qint64 i = 0; i + 1 <= table.size() / entryBytes; ++i) {
        const char *entry = table.constData() + i * entryBytes;
        if (number(entry, 2) != TIFFTAG_IMAGEDESCRIPTION || number(entry + 2, 2) != TIFF_ASCII)
            continue;
        const quint64 count = number(entry + 4, fieldBytes);
        const char *field = entry + 4 + fieldBytes;
        QByteArray text = count <= quint64(fieldBytes) ? QByteArray(field, qsizetype(count))
                                                        : readAt(qint64(number(field, fieldBytes)), qint64(std::min<quint64>(count, maxMetadataText)));
        texts << text.left(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    }
    return texts;
}

// Up to size bytes of the file from offset.
QByteArray tiffStack::readAt(qint64 offset, qint64 size)
{
    QByteArray bytes(qsizetype(std::max<qint64>(size, 0)), Qt::Uninitialized);
    bytes.truncate(qsizetype(readInto(offset, bytes.data(), bytes.size())));
    return bytes;
}

// Reads size bytes of the file from offset into dest, past libtiff; returns how many there were.
qint64 tiffStack::readInto(qint64 offset, char *dest, qint64 size)
{
    qint64 done = 0;
    while (offset >= 0 && done < size) {
        const ssize_t n = pread(TIFFFileno(mTiff), dest + done, size_t(size - done), off_t(offset + done));
        if (n <= 0)
            break;
        done += n;
    }
    return done;
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
// checks that each has the first page's form.  With partial, a page unlike
// the first is kept to fail when read, and an unreadable directory ends the
// file.
bool tiffStack::countPages(const pageForm &first, bool partial)
{
    mMessage.clear();
    mDirectories = { 0 };
    mOffsets = { TIFFCurrentDirOffset(mTiff) };
    while (TIFFReadDirectory(mTiff)) {
        if (++mDirectory > maxPages)
            return fail(QStringLiteral("more than %1 pages").arg(maxPages));
        uint32_t subfileType = 0;
        if (TIFFGetField(mTiff, TIFFTAG_SUBFILETYPE, &subfileType) && (subfileType & FILETYPE_REDUCEDIMAGE)) {
            ++mThumbnails;
            continue;
        }
        const pageForm form = currentForm();
        QString odd;
        if (form.width != first.width || form.height != first.height)
            odd = QStringLiteral("page %1 is %2 x %3, the first page %4 x %5")
                      .arg(mDirectory + 1).arg(form.width).arg(form.height).arg(first.width).arg(first.height);
        else if (!(form == first))
            odd = QStringLiteral("page %1 has %2, the first page %3").arg(mDirectory + 1).arg(form.sampleText(), first.sampleText());
        if (!odd.isEmpty() && !partial)
            return fail(odd);
        if (!odd.isEmpty())
            mOddPages.insert(int(mDirectories.size()), odd);
        mDirectories.push_back(tdir_t(mDirectory));
        mOffsets.push_back(TIFFCurrentDirOffset(mTiff));
    }
    // A failed read of a directory is an error; reaching the last one is not.
    if (!mMessage.isEmpty() && !partial)
        return libtiffFailed(QStringLiteral("page %1 is unreadable").arg(mDirectory + 2));
    if (!mMessage.isEmpty()) {
        mWarnings << QStringLiteral("the file ends after page %1: it is cut short or damaged (%2)").arg(mDirectory + 1).arg(mMessage);
        // The failed read may have left no directory current.
        mDirectory = -1;
    }
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
    if (readInto(mDataOffset + mPage * size, reinterpret_cast<char *>(dest), size) != size)
        return fail(QStringLiteral("image %1 is truncated").arg(mPage + 1));
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
    if (const auto odd = mOddPages.constFind(page); odd != mOddPages.cend())
        return fail(*odd);
    if (directory != mDirectory) {
        mMessage.clear();
        // Straight to the page's directory: TIFFSetDirectory may walk the chain from the first.
        const bool ok = TIFFSetSubDirectory(mTiff, mOffsets[size_t(page)]);
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

// The region of the current page: of ImageJ's samples after the only page,
// of the strips or of the tiles that hold it.
bool tiffStack::readPart(int sample, const QRect &region, unsigned char *dest, qsizetype bytes)
{
    mMessage.clear();
    if (mContiguous) {
        const qint64 size = qint64(width) * height * bytes;
        if (!readStored(mDataOffset + mPage * size, QRect(0, 0, width, height), region, dest, bytes))
            return fail(QStringLiteral("image %1 is truncated").arg(mPage + 1));
        return true;
    }
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_COMPRESSION, &compression);
    const bool stored = compression == COMPRESSION_NONE;
    if (TIFFIsTiled(mTiff)) {
        uint32_t tileWidth = 0;
        uint32_t tileHeight = 0;
        TIFFGetField(mTiff, TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(mTiff, TIFFTAG_TILELENGTH, &tileHeight);
        const tmsize_t tileSize = TIFFTileSize(mTiff);
        if (tileWidth < 1 || tileHeight < 1 || tileSize <= 0 || tileSize > mMaxBytes
            || qint64(tileWidth) * tileHeight * bytes != tileSize)
            return fail(QStringLiteral("page %1 has tiles that do not fit its size").arg(mDirectory + 1));
        const int tw = int(tileWidth);
        const int th = int(tileHeight);
        for (int y = region.top() / th * th; y <= region.bottom(); y += th) {
            for (int x = region.left() / tw * tw; x <= region.right(); x += tw) {
                const uint32_t tile = TIFFComputeTile(mTiff, uint32_t(x), uint32_t(y), 0, uint16_t(sample));
                if (tile >= TIFFNumberOfTiles(mTiff))
                    return fail(QStringLiteral("page %1 has tiles that do not fit its size").arg(mDirectory + 1));
                if (!readBlock(tile, stored, QRect(x, y, tw, th), region, dest, bytes))
                    return false;
            }
        }
        return true;
    }
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(mTiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    const int rows = int(std::clamp<qint64>(rowsPerStrip, 1, height));
    const qint64 stripsPerPlane = (height + rows - 1) / rows;
    const qint64 planesOfStrips = mForm.planar == PLANARCONFIG_SEPARATE ? mForm.samplesPerPixel : 1;
    if (qint64(TIFFNumberOfStrips(mTiff)) < stripsPerPlane * planesOfStrips
        || TIFFScanlineSize64(mTiff) != uint64_t(width * bytes))
        return fail(QStringLiteral("page %1 has strips that do not fit its size").arg(mDirectory + 1));
    for (int strip = region.top() / rows; strip <= region.bottom() / rows; ++strip) {
        const int y = strip * rows;
        if (!readBlock(uint32_t(sample * stripsPerPlane + strip), stored, QRect(0, y, width, std::min(rows, height - y)),
                       region, dest, bytes))
            return false;
    }
    return true;
}

// The part of the region in one strip or tile, block in the page's pixels:
// uncompressed, only its rows in the region are read; else it is decoded
// as far as the region's last row in it.
bool tiffStack::readBlock(uint32_t index, bool stored, const QRect &block, const QRect &region, unsigned char *dest,
                          qsizetype bytes)
{
    const QRect part = block & region;
    const qint64 blockBytes = qint64(block.width()) * block.height() * bytes;
    const QString damaged = QStringLiteral("page %1 is truncated or damaged").arg(mDirectory + 1);
    if (stored) {
        const uint64_t offset = TIFFGetStrileOffset(mTiff, index);
        if (TIFFGetStrileByteCount(mTiff, index) < uint64_t(blockBytes) || offset > uint64_t(1) << 62
            || !readStored(qint64(offset), block, region, dest, bytes))
            return libtiffFailed(damaged);
        return true;
    }
    const tmsize_t size = tmsize_t((part.bottom() + 1 - block.top()) * qint64(block.width()) * bytes);
    mTileBuffer.resize(size_t(size));
    const tmsize_t decoded = TIFFIsTiled(mTiff) ? TIFFReadEncodedTile(mTiff, index, mTileBuffer.data(), size)
                                                : TIFFReadEncodedStrip(mTiff, index, mTileBuffer.data(), size);
    if (decoded != size)
        return libtiffFailed(damaged);
    const size_t rowBytes = size_t(part.width()) * size_t(bytes);
    for (int y = part.top(); y <= part.bottom(); ++y)
        std::memcpy(dest + (size_t(y - region.top()) * size_t(region.width()) + size_t(part.left() - region.left())) * size_t(bytes),
                    mTileBuffer.data() + (size_t(y - block.top()) * size_t(block.width()) + size_t(part.left() - block.left())) * size_t(bytes),
                    rowBytes);
    return true;
}

// The part of the region in a block stored uncompressed from offset, rows
// of the block's width one after another, in the file's byte order.
bool tiffStack::readStored(qint64 offset, const QRect &block, const QRect &region, unsigned char *dest, qsizetype bytes)
{
    const QRect part = block & region;
    const qint64 blockRow = qint64(block.width()) * bytes;
    const qint64 rowBytes = qint64(part.width()) * bytes;
    const qint64 from = offset + qint64(part.top() - block.top()) * blockRow + qint64(part.left() - block.left()) * bytes;
    unsigned char *to = dest + (qint64(part.top() - region.top()) * region.width() + (part.left() - region.left())) * bytes;
    if (part.width() == block.width() && part.width() == region.width()) {
        // Whole rows, one read.
        if (readInto(from, reinterpret_cast<char *>(to), rowBytes * part.height()) != rowBytes * part.height())
            return false;
    } else {
        for (int y = 0; y < part.height(); ++y)
            if (readInto(from + y * blockRow, reinterpret_cast<char *>(to + y * region.width() * bytes), rowBytes) != rowBytes)
                return false;
    }
    if (TIFFIsByteSwapped(mTiff) && bytes > 1) {
        for (int y = 0; y < part.height(); ++y) {
            unsigned char *row = to + qint64(y) * region.width() * bytes;
            if (bytes == 2)
                TIFFSwabArrayOfShort(reinterpret_cast<uint16_t *>(row), part.width());
            else
                TIFFSwabArrayOfLong(reinterpret_cast<uint32_t *>(row), part.width());
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
    const size_t count = size_t(width) * height;
    out.bytes.assign(count, 0);
    uint8_t levels[3][256];
    if (!colourMap(levels))
        return;
    for (size_t i = 0; i < count; ++i)
        out.bytes[i] = levels[c][mPageBuffer[i]];
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
    // Unknown tags, and tags out of order as Micro-Manager writes them, mean nothing to a user.
    if (!text.contains(QLatin1String("nknown field")) && !text.contains(QLatin1String("not sorted"))
        && s->mWarnings.size() < 5 && !s->mWarnings.contains(text))
        s->mWarnings << text;
    return 1;
}
