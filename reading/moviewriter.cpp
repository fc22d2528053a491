#include "moviewriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

// The temporary file beside fileName, created empty: ".NAME.XXXXXX.part".
QString createPart(const QString &fileName, int *code)
{
    const QFileInfo info(fileName);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString part = QDir(info.absolutePath()).filePath(
                QStringLiteral(".%1.%2.part").arg(info.fileName())
                        .arg(QRandomGenerator::global()->bounded(1 << 24), 6, 16, QLatin1Char('0')));
        const int fd = ::open(QFile::encodeName(part).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return part;
        }
        *code = errno;
        if (*code != EEXIST)
            break;
    }
    return QString();
}

} // namespace

struct moviewriter::state
{
    QString fileName;
    QString partName;
    QSize frameSize;
    QSize size;                    // even
    AVFormatContext *muxer = nullptr;
    AVCodecContext *encoder = nullptr;
    AVStream *stream = nullptr;
    AVFrame *picture = nullptr;
    AVPacket *packet = nullptr;
    SwsContext *scaler = nullptr;
    QImage padded;                 // an odd-sized frame with its black column or row
    int added = 0;

    ~state()
    {
        sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&picture);
        avcodec_free_context(&encoder);
        if (muxer) {
            if (muxer->pb)
                avio_closep(&muxer->pb);
            avformat_free_context(muxer);
        }
    }
};

moviewriter::moviewriter() = default;

moviewriter::~moviewriter()
{
    cancel();
}

std::optional<moviewriter::format> moviewriter::formatFor(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("mp4"))
        return format::mp4;
    if (suffix == QLatin1String("avi"))
        return format::avi;
    return std::nullopt;
}

std::optional<moviewriter::quality> moviewriter::qualityFor(const QString &key)
{
    if (key == QLatin1String("high"))
        return quality::high;
    if (key == QLatin1String("normal"))
        return quality::normal;
    if (key == QLatin1String("small"))
        return quality::small;
    return std::nullopt;
}

QSize moviewriter::movieSize(QSize frameSize)
{
    return QSize(frameSize.width() + (frameSize.width() & 1), frameSize.height() + (frameSize.height() & 1));
}

int moviewriter::framesAdded() const
{
    return d ? d->added : 0;
}

bool moviewriter::fail(const QString &why, int code, QString *error)
{
    *error = (d ? d->fileName : QString()) + QStringLiteral(": ") + why
            + (code ? QStringLiteral(": ") + errorText(code) : QString());
    cancel();
    return false;
}

bool moviewriter::open(const QString &fileName, format kind, double fps, quality level, QSize frameSize,
                       QString *error)
{
    cancel();
    av_log_set_level(AV_LOG_ERROR);
    d = std::make_unique<state>();
    d->fileName = fileName;
    if (frameSize.isEmpty() || frameSize.width() > 16384 || frameSize.height() > 16384)
        return fail(QStringLiteral("frames of %1 x %2 pixels cannot be encoded")
                            .arg(frameSize.width()).arg(frameSize.height()), 0, error);
    if (!(fps >= 0.01 && fps <= 1000))
        return fail(QStringLiteral("%1 frames per second cannot be encoded").arg(fps), 0, error);
    if (QFileInfo(fileName).isDir())
        return fail(QStringLiteral("is a folder"), 0, error);
    int code = 0;
    d->partName = createPart(fileName, &code);
    if (d->partName.isEmpty())
        return fail(QStringLiteral("cannot be written: ") + QString::fromLocal8Bit(std::strerror(code)), 0, error);

    const bool mp4 = kind == format::mp4;
    const QByteArray path = QFile::encodeName(d->partName);
    code = avformat_alloc_output_context2(&d->muxer, nullptr, mp4 ? "mp4" : "avi", path.constData());
    if (code < 0)
        return fail(QStringLiteral("cannot start a movie"), code, error);
    const AVCodec *codec = avcodec_find_encoder_by_name(mp4 ? "libx264" : "mjpeg");
    if (!codec)
        return fail(mp4 ? QStringLiteral("FFmpeg has no H.264 encoder (libx264)")
                        : QStringLiteral("FFmpeg has no Motion JPEG encoder"), 0, error);
    d->stream = avformat_new_stream(d->muxer, nullptr);
    d->encoder = avcodec_alloc_context3(codec);
    if (!d->stream || !d->encoder)
        return fail(QStringLiteral("out of memory"), 0, error);

    AVCodecContext *encoder = d->encoder;
    d->frameSize = frameSize;
    d->size = movieSize(frameSize);
    encoder->width = d->size.width();
    encoder->height = d->size.height();
    const AVRational rate = av_d2q(fps, 100000);
    encoder->time_base = av_inv_q(rate);
    encoder->framerate = rate;
    encoder->sample_aspect_ratio = AVRational { 1, 1 };
    // A key frame every few seconds of playback, for seeking.
    encoder->gop_size = int(std::clamp(std::lround(fps * 5), 1L, 250L));
    if (mp4) {
        encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        // Without B-frames the first frame shown is the first decoded, and the file needs no edit list.
        encoder->max_b_frames = 0;
        encoder->color_range = AVCOL_RANGE_MPEG;
        encoder->colorspace = AVCOL_SPC_BT709;
        encoder->color_primaries = AVCOL_PRI_BT709;
        encoder->color_trc = AVCOL_TRC_BT709;
        av_opt_set(encoder->priv_data, "preset", "medium", 0);
        // x264 holds whole every frame it looks ahead at, every reference and
        // the frames its threads work on: for 2048 x 2048 frames the preset
        // kept 680 MiB.  Threads within a frame, one frame of lookahead and
        // one reference keep a few (180 MiB for the whole importer), as fast;
        // the lookahead's macroblock tree keeps the movie as small as with
        // ten frames, where none made it a third larger.
        av_opt_set(encoder->priv_data, "x264-params", "sliced-threads=1:rc-lookahead=1:ref=1", 0);
        av_opt_set_double(encoder->priv_data, "crf",
                          level == quality::high ? 14 : level == quality::small ? 24 : 18, 0);
    } else {
        encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
        encoder->color_range = AVCOL_RANGE_JPEG;
        encoder->colorspace = AVCOL_SPC_BT470BG;
        const int q = level == quality::high ? 2 : level == quality::small ? 5 : 3;
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * q;
        encoder->qmin = encoder->qmax = q;
    }
    if (d->muxer->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    code = avcodec_open2(encoder, codec, nullptr);
    if (code < 0)
        return fail(QStringLiteral("cannot start the encoder"), code, error);
    code = avcodec_parameters_from_context(d->stream->codecpar, encoder);
    if (code < 0)
        return fail(QStringLiteral("cannot start the encoder"), code, error);
    d->stream->time_base = encoder->time_base;
    d->stream->avg_frame_rate = rate;
    d->stream->r_frame_rate = rate;

    code = avio_open(&d->muxer->pb, path.constData(), AVIO_FLAG_WRITE);
    if (code < 0)
        return fail(QStringLiteral("cannot be written"), code, error);
    AVDictionary *options = nullptr;
    if (mp4) {
        av_dict_set(&options, "movflags", "+faststart", 0);
        av_dict_set(&options, "use_editlist", "0", 0);
    }
    code = avformat_write_header(d->muxer, &options);
    av_dict_free(&options);
    if (code < 0)
        return fail(QStringLiteral("cannot be written"), code, error);

    d->picture = av_frame_alloc();
    d->packet = av_packet_alloc();
    if (!d->picture || !d->packet)
        return fail(QStringLiteral("out of memory"), 0, error);
    d->picture->format = encoder->pix_fmt;
    d->picture->width = encoder->width;
    d->picture->height = encoder->height;
    d->picture->color_range = encoder->color_range;
    d->picture->colorspace = encoder->colorspace;
    code = av_frame_get_buffer(d->picture, 0);
    if (code < 0)
        return fail(QStringLiteral("out of memory"), code, error);
    d->scaler = sws_getContext(encoder->width, encoder->height, AV_PIX_FMT_RGB32, encoder->width, encoder->height,
                               encoder->pix_fmt, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!d->scaler)
        return fail(QStringLiteral("cannot convert frames to YUV"), 0, error);
    sws_setColorspaceDetails(d->scaler, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(mp4 ? SWS_CS_ITU709 : SWS_CS_ITU601), mp4 ? 0 : 1, 0, 1 << 16,
                             1 << 16);
    return true;
}

bool moviewriter::add(const QImage &frame, QString *error)
{
    if (!d)
        return fail(QStringLiteral("no movie is being written"), 0, error);
    if (frame.size() != d->frameSize)
        return fail(QStringLiteral("a frame of %1 x %2 pixels in a movie of %3 x %4")
                            .arg(frame.width()).arg(frame.height())
                            .arg(d->frameSize.width()).arg(d->frameSize.height()), 0, error);
    const QImage rgb = frame.format() == QImage::Format_RGB32 || frame.format() == QImage::Format_ARGB32
            ? frame : frame.convertToFormat(QImage::Format_RGB32);
    const QImage *source = &rgb;
    if (d->size != d->frameSize) {
        if (d->padded.isNull()) {
            d->padded = QImage(d->size, QImage::Format_RGB32);
            d->padded.fill(Qt::black);
        }
        for (int y = 0; y < rgb.height(); ++y)
            std::memcpy(d->padded.scanLine(y), rgb.constScanLine(y), std::size_t(rgb.width()) * 4);
        source = &d->padded;
    }
    const int code = av_frame_make_writable(d->picture);
    if (code < 0)
        return fail(QStringLiteral("out of memory"), code, error);
    const uint8_t *planes[1] = { source->constBits() };
    const int strides[1] = { int(source->bytesPerLine()) };
    sws_scale(d->scaler, planes, strides, 0, source->height(), d->picture->data, d->picture->linesize);
    d->picture->pts = d->added++;
    d->picture->quality = d->encoder->global_quality;
    return encode(false, error);
}

// Hands the encoder a frame, or the end, and writes the packets it has ready.
bool moviewriter::encode(bool flushing, QString *error)
{
    int code = avcodec_send_frame(d->encoder, flushing ? nullptr : d->picture);
    if (code < 0)
        return fail(QStringLiteral("cannot encode"), code, error);
    for (;;) {
        code = avcodec_receive_packet(d->encoder, d->packet);
        if (code == AVERROR(EAGAIN) || code == AVERROR_EOF)
            return true;
        if (code < 0)
            return fail(QStringLiteral("cannot encode"), code, error);
        av_packet_rescale_ts(d->packet, d->encoder->time_base, d->stream->time_base);
        d->packet->stream_index = d->stream->index;
        code = av_interleaved_write_frame(d->muxer, d->packet);
        if (code < 0)
            return fail(QStringLiteral("cannot be written"), code, error);
    }
}

bool moviewriter::finish(QString *error)
{
    if (!d)
        return fail(QStringLiteral("no movie is being written"), 0, error);
    if (!encode(true, error))
        return false;
    int code = av_write_trailer(d->muxer);
    if (code < 0)
        return fail(QStringLiteral("cannot be written"), code, error);
    code = avio_closep(&d->muxer->pb);
    if (code < 0)
        return fail(QStringLiteral("cannot be written"), code, error);
    if (std::rename(QFile::encodeName(d->partName).constData(), QFile::encodeName(d->fileName).constData()) != 0)
        return fail(QStringLiteral("cannot be written: ") + QString::fromLocal8Bit(std::strerror(errno)), 0, error);
    d.reset();
    return true;
}

void moviewriter::cancel()
{
    if (!d)
        return;
    const QString part = d->partName;
    d.reset();
    if (!part.isEmpty())
        ::unlink(QFile::encodeName(part).constData());
}
