#include "framereader.h"

#include <QImageReader>
#include <QPainter>
#include <QLoggingCategory>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <jerror.h>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// Everything libjpeg touches while it may jump back to setjmp: plain data
// only, so that no C++ object is left behind by the jump.
struct jpegDecoder
{
    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    jpeg_source_mgr source;
    jpeg_progress_mgr progress;
    std::jmp_buf failed;
    QFile *file;
    bool created;
    bool used;
    qint64 blocks;
    JOCTET buffer[64 * 1024];
    // The picture being written: malloc'ed, handed to a QImage when whole.
    uchar *bits;
    int stride;
};

namespace {

// libjpeg's own encoder writes at most a few dozen scans; 100 leaves room and
// stops files of endless near-empty scans.
constexpr int maxScans = 100;
// Nor may the scans of a large frame decode more blocks in all than a hundred
// scans of a frame of a million blocks, half a second's work.
constexpr qint64 maxBlocks = 100'000'000;
// Working memory: a progressive frame of 7680 x 4320 in full colour needs
// 200 MiB of coefficients; a larger claim fails before anything is allocated.
constexpr long maxMemory = 256L * 1024 * 1024;

constexpr J_COLOR_SPACE rgb32 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRA : JCS_EXT_ARGB;

void failed(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<jpegDecoder *>(info->client_data)->failed, 1);
}

// Stray bytes before a marker (cameras and acquisition software write them),
// an unknown JFIF revision and a broken ICC marker leave the picture whole.
// Every other warning means it is not: data that ends early, a bad Huffman or
// arithmetic code, a lost restart marker, an inconsistent progression.  There
// is no point decoding on after one.
void warned(j_common_ptr info, int level)
{
    if (level >= 0)
        return;
    switch (info->err->msg_code) {
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:
        return;
    default:
        failed(info);
    }
}

// Called for each row of blocks while the scans of a progressive frame are
// read in, and for each output row.
void progressed(j_common_ptr common)
{
    auto *info = reinterpret_cast<j_decompress_ptr>(common);
    auto *jpeg = reinterpret_cast<jpegDecoder *>(common->client_data);
    if (info->input_scan_number > maxScans)
        failed(common);
    if (info->output_scanline > 0 || info->comps_in_scan < 1)
        return;
    const int rows = info->comps_in_scan == 1 ? info->cur_comp_info[0]->v_samp_factor : 1;
    jpeg->blocks += qint64(info->MCUs_per_row) * info->blocks_in_MCU * rows;
    if (jpeg->blocks > maxBlocks)
        failed(common);
}

void startSource(j_decompress_ptr) { }

// The file ends without its end-of-image marker: that is a warning like any
// other, and the marker libjpeg is then given ends the frame.
boolean fillSource(j_decompress_ptr info)
{
    auto *jpeg = reinterpret_cast<jpegDecoder *>(info->client_data);
    const qint64 count = jpeg->file->read(reinterpret_cast<char *>(jpeg->buffer), sizeof jpeg->buffer);
    if (count <= 0) {
        WARNMS(info, JWRN_JPEG_EOF);
        jpeg->buffer[0] = 0xff;
        jpeg->buffer[1] = JPEG_EOI;
        info->src->bytes_in_buffer = 2;
    } else {
        info->src->bytes_in_buffer = size_t(count);
    }
    info->src->next_input_byte = jpeg->buffer;
    return TRUE;
}

void skipSource(j_decompress_ptr info, long count)
{
    while (count > long(info->src->bytes_in_buffer)) {
        count -= long(info->src->bytes_in_buffer);
        fillSource(info);
    }
    if (count > 0) {
        info->src->next_input_byte += count;
        info->src->bytes_in_buffer -= size_t(count);
    }
}

void endSource(j_decompress_ptr) { }

bool readHeader(jpegDecoder *jpeg)
{
    if (setjmp(jpeg->failed))
        return false;
    jpeg_decompress_struct *info = &jpeg->info;
    info->err = jpeg_std_error(&jpeg->error);
    jpeg->error.error_exit = failed;
    jpeg->error.emit_message = warned;
    info->client_data = jpeg;
    jpeg_create_decompress(info);
    jpeg->created = true;
    info->mem->max_memory_to_use = maxMemory;
    jpeg->source.init_source = startSource;
    jpeg->source.fill_input_buffer = fillSource;
    jpeg->source.skip_input_data = skipSource;
    jpeg->source.resync_to_restart = jpeg_resync_to_restart;
    jpeg->source.term_source = endSource;
    jpeg->source.bytes_in_buffer = 0;
    jpeg->source.next_input_byte = nullptr;
    info->src = &jpeg->source;
    jpeg->progress.progress_monitor = progressed;
    info->progress = &jpeg->progress;
    // No markers are kept: a file of many thousand would cost time for each.
    jpeg_save_markers(info, JPEG_COM, 0);
    for (int m = 0; m < 16; ++m)
        jpeg_save_markers(info, JPEG_APP0 + m, 0);
    return jpeg_read_header(info, TRUE) == JPEG_HEADER_OK;
}

// The picture as Qt draws it, from libjpeg's CMYK (Adobe's inverted
// convention, as Qt reads it too).
void cmykToRgb32(const JSAMPLE *from, quint32 *to, int width)
{
    for (int x = 0; x < width; ++x, from += 4) {
        const int k = from[3];
        to[x] = qRgb(k * from[0] / 255, k * from[1] / 255, k * from[2] / 255);
    }
}

// libjpeg widens grey to 32 bits one byte at a time; this loop the compiler
// vectorizes.
void greyToRgb32(const JSAMPLE *__restrict from, quint32 *__restrict to, int width)
{
    for (int x = 0; x < width; ++x)
        to[x] = 0xff000000u | quint32(from[x]) * 0x010101u;
}

// Adds a row of pixels to a row of sums, `reduce` pixels to each sum.
void accumulate(const quint32 *from, int width, int reduce, quint64 *sums)
{
    for (int x = 0; x < width; ++x) {
        quint64 *sum = sums + 3 * (x / reduce);
        sum[0] += from[x] & 0xff;
        sum[1] += (from[x] >> 8) & 0xff;
        sum[2] += (from[x] >> 16) & 0xff;
    }
}

// Decodes the region at the scale set into jpeg->bits, `reduce` x `reduce`
// pixels averaged into one.  The columns decoded are widened by two blocks on
// each side, so that the region's edge pixels are upsampled and smoothed from
// the same neighbours as in the whole frame; *offset is where the region
// starts in each row of jpeg->bits.
bool decode(jpegDecoder *jpeg, int x, int y, int width, int height, int reduce, int *offset)
{
    if (setjmp(jpeg->failed))
        return false;
    jpeg_decompress_struct *info = &jpeg->info;
    const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    const bool grey = info->jpeg_color_space == JCS_GRAYSCALE;
    info->out_color_space = cmyk ? JCS_CMYK : grey ? JCS_GRAYSCALE : rgb32;
    jpeg_start_decompress(info);

    // libjpeg smooths the blocks of a progressive frame whose scans leave out
    // detail with two neighbours on each side.
    const int margin = 2 * info->max_h_samp_factor * DCTSIZE;
    JDIMENSION left = JDIMENSION(std::max(0, x - margin));
    JDIMENSION columns = JDIMENSION(std::min(int(info->output_width), x + width + margin)) - left;
    if (columns < info->output_width)
        jpeg_crop_scanline(info, &left, &columns);
    const int skip = x - int(left);
    const bool direct = !cmyk && !grey && reduce == 1;
    *offset = direct ? skip : 0;
    const int outWidth = (width + reduce - 1) / reduce;
    const int outHeight = (height + reduce - 1) / reduce;
    jpeg->stride = direct ? int(columns) * 4 : outWidth * 4;
    jpeg->bits = static_cast<uchar *>(std::malloc(size_t(jpeg->stride) * size_t(outHeight)));
    if (!jpeg->bits)
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    if (y > 0 && jpeg_skip_scanlines(info, JDIMENSION(y)) != JDIMENSION(y))
        ERREXIT(info, JERR_BAD_STATE);

    JSAMPROW scratch = nullptr;
    quint64 *sums = nullptr;
    if (!direct) {
        auto *common = reinterpret_cast<j_common_ptr>(info);
        scratch = static_cast<JSAMPROW>(
                (*info->mem->alloc_large)(common, JPOOL_IMAGE, (size_t(columns) + size_t(width)) * 4));
        sums = static_cast<quint64 *>(
                (*info->mem->alloc_large)(common, JPOOL_IMAGE, size_t(outWidth) * 3 * sizeof(quint64)));
    }
    for (int row = 0; row < height; ++row) {
        uchar *out = jpeg->bits + size_t(row / reduce) * size_t(jpeg->stride);
        if (direct) {
            jpeg_read_scanlines(info, &out, 1);
            continue;
        }
        // Grey and CMYK rows are widened straight into the picture, or for
        // averaging into the scratch row's second part.
        jpeg_read_scanlines(info, &scratch, 1);
        auto *pixels = reinterpret_cast<quint32 *>(reduce == 1 ? out : scratch + size_t(columns) * 4);
        if (cmyk)
            cmykToRgb32(scratch + skip * 4, pixels, width);
        else if (grey)
            greyToRgb32(scratch + skip, pixels, width);
        else
            pixels = reinterpret_cast<quint32 *>(scratch) + skip;
        if (reduce == 1)
            continue;
        if (row % reduce == 0)
            std::memset(sums, 0, size_t(outWidth) * 3 * sizeof(quint64));
        accumulate(pixels, width, reduce, sums);
        if (row % reduce == reduce - 1 || row == height - 1) {
            const int rows = row % reduce + 1;
            auto *to = reinterpret_cast<quint32 *>(out);
            for (int i = 0; i < outWidth; ++i) {
                const quint64 count = quint64(rows) * quint64(std::min(reduce, width - i * reduce));
                const quint64 *sum = sums + 3 * i;
                to[i] = 0xff000000u | quint32((sum[2] + count / 2) / count) << 16
                        | quint32((sum[1] + count / 2) / count) << 8 | quint32((sum[0] + count / 2) / count);
            }
        }
    }
    return true;
}

void freeBits(void *bits)
{
    std::free(bits);
}

// Opens a frame by its exact 8-bit name.  Only regular files: a pipe or a
// device could block the viewer for good.
bool openFrame(QFile &file, const QByteArray &name)
{
    if (name.contains('\0'))
        return false;
#ifdef Q_OS_WIN
    file.setFileName(QString::fromLocal8Bit(name));
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
#else
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
        && file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
#endif
}

QStringList decoderWarnings;
QtMessageHandler passOn = nullptr;

void catchDecoderWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrncmp(context.category, "qt.gui.imageio", 14) == 0) {
        decoderWarnings << message;
        return;
    }
    passOn(type, context, message);
}

} // namespace

framereader::framereader(const QByteArray &fileName)
{
    if (!openFrame(file, fileName))
        return;
    char start[2];
    const bool isJpeg = file.read(start, 2) == 2 && uchar(start[0]) == 0xff && uchar(start[1]) == 0xd8;
    file.seek(0);
    if (isJpeg) {
        jpeg.reset(new jpegDecoder);
        std::memset(static_cast<void *>(jpeg.get()), 0, sizeof(jpegDecoder));
        jpeg->file = &file;
        if (readHeader(jpeg.get()))
            frameSize = QSize(int(jpeg->info.image_width), int(jpeg->info.image_height));
        return;
    }
    frameSize = QImageReader(&file).size();
    file.seek(0);
}

framereader::~framereader()
{
    if (jpeg && jpeg->created)
        jpeg_destroy_decompress(&jpeg->info);
    if (jpeg)
        std::free(jpeg->bits);
}

// The frame's size, or an empty size for a file that holds no picture.
QSize framereader::size() const
{
    return frameSize;
}

// The part rect of the frame, or the whole frame scaled down to scaledSize
// if one is given.  One read per framereader.
QImage framereader::read(const QRect &rect, const QSize &scaledSize)
{
    if (!scaledSize.isValid())
        return readScaled(size(), rect);
    if (rect != QRect(QPoint(), size()))
        return QImage();
    return readScaled(scaledSize, QRect(QPoint(), scaledSize));
}

// The part of the frame scaled down to scaledSize (or at its own size) that
// lies at part.  One read per framereader.
QImage framereader::readScaled(const QSize &scaledSize, const QRect &part)
{
    const QSize frame = size();
    if (scaledSize.isEmpty() || scaledSize.width() > frame.width() || scaledSize.height() > frame.height())
        return QImage();
    if (part.isEmpty() || (part & QRect(QPoint(), scaledSize)) != part)
        return QImage();
    return jpeg ? readJpeg(scaledSize, part) : readOther(scaledSize, part);
}

QImage framereader::read(const QByteArray &fileName, const QRect &rect, const QSize &scaledSize)
{
    framereader reader(fileName);
    return reader.read(rect, scaledSize);
}

// Scaled pictures are read from libjpeg at the smallest of its scales M/8 that
// still gives at least the size asked for, averaged down by the largest whole
// factor that still does, and then scaled by Qt with bilinear filtering.  So the working
// picture stays within four times the size asked for, however large the frame.
// A part is decoded with a pixel to spare on each side for the filter, and
// from the same groups of averaged pixels as the whole frame.
QImage framereader::readJpeg(const QSize &scaledSize, const QRect &part)
{
    if (jpeg->used)
        return QImage();
    jpeg->used = true;
    int reduce = 1;
    QRect region = part;
    QSize reduced = scaledSize;
    if (scaledSize != size()) {
        const qint64 w = size().width(), h = size().height();
        int m = 1;
        while (m < 8 && (w * m + 7) / 8 < scaledSize.width())
            ++m;
        while (m < 8 && (h * m + 7) / 8 < scaledSize.height())
            ++m;
        jpeg->info.scale_num = unsigned(m);
        jpeg->info.scale_denom = 8;
        // Chroma upsampled by plain replication: the picture is scaled down anyway.
        jpeg->info.do_fancy_upsampling = FALSE;
        jpeg_calc_output_dimensions(&jpeg->info);
        const int outW = int(jpeg->info.output_width), outH = int(jpeg->info.output_height);
        reduce = std::max(1, std::min(outW / scaledSize.width(), outH / scaledSize.height()));
        reduced = QSize((outW + reduce - 1) / reduce, (outH + reduce - 1) / reduce);
        auto first = [&](int at, int to, int from) { return std::max<qint64>(0, qint64(at) * to / from - 1); };
        auto last = [&](int end, int to, int from) {
            return std::min<qint64>(to, (qint64(end) * to + from - 1) / from + 1);
        };
        const qint64 left = first(part.left(), reduced.width(), scaledSize.width());
        const qint64 top = first(part.top(), reduced.height(), scaledSize.height());
        const qint64 right = last(part.right() + 1, reduced.width(), scaledSize.width());
        const qint64 bottom = last(part.bottom() + 1, reduced.height(), scaledSize.height());
        region = QRect(int(left * reduce), int(top * reduce), int(std::min<qint64>((right - left) * reduce, outW - left * reduce)),
                       int(std::min<qint64>((bottom - top) * reduce, outH - top * reduce)));
    }

    int offset = 0;
    const bool ok = decode(jpeg.get(), region.x(), region.y(), region.width(), region.height(), reduce, &offset);
    jpeg_abort_decompress(&jpeg->info);
    if (!ok || !reachesEndOfImage())
        return QImage();
    uchar *bits = jpeg->bits;
    jpeg->bits = nullptr;
    const int width = (region.width() + reduce - 1) / reduce;
    const int height = (region.height() + reduce - 1) / reduce;
    uchar *first = bits + offset * 4;
    QImage image(first, width, height, jpeg->stride, QImage::Format_RGB32, freeBits, bits);
    if (image.isNull()) {
        std::free(bits);
        return image;
    }
    if (reduced == scaledSize)
        return QRect(region.topLeft() / reduce, image.size()) == part ? image
                                                                      : image.copy(part.translated(-region.topLeft() / reduce));
    // Less than twice the size asked for: bilinear filtering is smooth enough,
    // at a quarter of the cost of Qt's area-averaging scaling.
    QImage scaled(part.size(), QImage::Format_RGB32);
    QPainter painter(&scaled);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(-part.topLeft());
    painter.scale(qreal(scaledSize.width()) / reduced.width(), qreal(scaledSize.height()) / reduced.height());
    painter.drawImage(QPointF(region.topLeft() / reduce), image);
    return scaled;
}

// Formats other than JPEG, found by their content, as Qt reads them; any
// warning of its decoder leaves the frame out.
QImage framereader::readOther(const QSize &scaledSize, const QRect &part)
{
    const QSize shown = part.size();
    QImageReader::setAllocationLimit(int(std::max<qint64>(128, qint64(shown.width()) * shown.height() * 4 / (1024 * 1024) + 1)));
    QImageReader reader(&file);
    if (scaledSize != size())
        reader.setScaledSize(scaledSize);
    if (part.size() != scaledSize && scaledSize != size())
        reader.setScaledClipRect(part);
    else if (part.size() != scaledSize)
        reader.setClipRect(part);
    decoderWarnings.clear();
    passOn = qInstallMessageHandler(catchDecoderWarning);
    QImage image = reader.read();
    qInstallMessageHandler(passOn);
    if (!decoderWarnings.isEmpty() || image.size() != shown)
        return QImage();
    return image.format() == QImage::Format_RGB32 || image.hasAlphaChannel()
            ? image : image.convertToFormat(QImage::Format_RGB32);
}

// Whether the end-of-image marker comes after the last scan begins, looking
// back from the end of the file: the parts of a frame that were not decoded
// must at least be there.
bool framereader::reachesEndOfImage()
{
    const qint64 tail = 64 * 1024;
    if (!file.seek(std::max<qint64>(0, file.size() - tail)))
        return false;
    const QByteArray data = file.read(tail);
    return data.lastIndexOf("\xff\xd9") > data.lastIndexOf("\xff\xda");
}
