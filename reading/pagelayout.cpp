#include "pagelayout.h"

namespace {

constexpr qint64 maxCount = 0x7fffffff;

// An axis of the pages, slowest first: T, Z or C.
struct axis
{
    char name;
    qint64 size;
};

QString joined(const std::vector<qint64> &numbers)
{
    QStringList list;
    for (qint64 n : numbers)
        list << QString::number(n);
    return list.join(", ");
}

// The product of counts that are each at most limit, or limit + 1 when it is larger.
qint64 product(std::initializer_list<qint64> counts, qint64 limit)
{
    qint64 result = 1;
    for (qint64 n : counts) {
        if (n > limit || (result *= n) > limit)
            return limit + 1;
    }
    return result;
}

bool failWith(QString *error, const QString &what)
{
    *error = what;
    return false;
}

// Sets the counts of T, Z and C from the axes; the pages themselves are left to the caller.
bool setCounts(const std::vector<axis> &axes, const pageFacts &facts, pageLayout *out, QString *error)
{
    qint64 counts[3] = { 1, 1, 1 };
    bool seen[3] = { false, false, false };
    for (const axis &a : axes) {
        const int i = a.name == 'T' ? 0 : a.name == 'Z' ? 1 : 2;
        if (seen[i])
            return failWith(error, QStringLiteral("axis %1 is given twice").arg(a.name));
        seen[i] = true;
        if (a.size < 1 || a.size > facts.pages)
            return failWith(error, QStringLiteral("the metadata counts %1 planes on one axis, the file has %2 pages")
                                           .arg(a.size).arg(facts.pages));
        counts[i] = a.size;
    }
    if (product({ counts[0], counts[1], counts[2] }, facts.pages) > facts.pages)
        return failWith(error, QStringLiteral("the metadata counts %1 × %2 × %3 planes, the file has %4 pages")
                                       .arg(counts[0]).arg(counts[1]).arg(counts[2]).arg(facts.pages));
    if (counts[2] * facts.samples > maxChannels)
        return failWith(error, QStringLiteral("%1 channels, at most %2 are read").arg(counts[2] * facts.samples).arg(maxChannels));
    out->times = int(counts[0]);
    out->planes = int(counts[1]);
    out->pageChannels = int(counts[2]);
    out->pages.assign(size_t(out->times) * out->planes * out->pageChannels, -1);
    out->channels.assign(size_t(out->pageChannels) * facts.samples, channelInfo());
    if (facts.rgb) {
        static const QRgb colours[3] = { qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255) };
        for (size_t c = 0; c < out->channels.size(); ++c)
            if (c % facts.samples < 3)
                out->channels[c].colour = colours[c % facts.samples];
    }
    return true;
}

// Lays consecutive pages from firstPage out along the axes, slowest first.
bool layoutAxes(const std::vector<axis> &axes, qint64 firstPage, const pageFacts &facts, pageLayout *out, QString *error)
{
    if (!setCounts(axes, facts, out, error))
        return false;
    const qint64 total = qint64(out->pages.size());
    if (firstPage + total > facts.pages)
        return failWith(error, QStringLiteral("the metadata counts %1 planes, the file has %2 pages").arg(total).arg(facts.pages));
    for (qint64 k = 0; k < total; ++k) {
        qint64 rest = k;
        qint64 index[3] = { 0, 0, 0 };
        for (auto a = axes.rbegin(); a != axes.rend(); ++a) {
            index[a->name == 'T' ? 0 : a->name == 'Z' ? 1 : 2] = rest % a->size;
            rest /= a->size;
        }
        out->pages[size_t((index[0] * out->planes + index[1]) * out->pageChannels + index[2])] = int(firstPage + k);
    }
    return true;
}

// Pages without metadata: one time point each, or --planes focal planes per time point.
bool layoutPlain(qint64 pages, const pageFacts &facts, const stackOptions &options, pageLayout *out, QString *error)
{
    const qint64 planes = options.planes > 0 ? options.planes : 1;
    if (pages % planes != 0)
        return failWith(error, QStringLiteral("%1 pages are not a multiple of --planes %2").arg(pages).arg(planes));
    const axis t { 'T', pages / planes };
    const axis z { 'Z', planes };
    return layoutAxes(options.timeFastest ? std::vector<axis> { z, t } : std::vector<axis> { t, z }, 0, facts, out, error);
}

// ImageJ's display ranges, and LUT colours where no other metadata gave
// one, where the file has them for every channel; min and max alone go to
// the first channel, or to every channel held in one page's samples.
void applyImagejDisplay(const std::optional<imagejDescription> &d, const imagejExtras &extras, bool minMaxForAll,
                        pageLayout *out)
{
    const size_t channels = out->channels.size();
    if (extras.ranges.size() >= channels) {
        for (size_t c = 0; c < channels; ++c) {
            out->channels[c].low = extras.ranges[c].first;
            out->channels[c].high = extras.ranges[c].second;
        }
    } else if (d && d->min && d->max) {
        for (size_t c = 0; c < (minMaxForAll ? channels : 1); ++c) {
            out->channels[c].low = d->min;
            out->channels[c].high = d->max;
        }
    }
    if (extras.colours.size() == channels)
        for (size_t c = 0; c < channels; ++c)
            if (!out->channels[c].colour)
                out->channels[c].colour = extras.colours[c];
}

imagejDescription imagejCounts(const imagejDescription &d)
{
    imagejDescription counts = d;
    // Old ImageJ versions give only the number of images: focal planes.
    if (counts.images > 1 && counts.channels == 1 && counts.slices == 1 && counts.frames == 1)
        counts.slices = counts.images;
    return counts;
}

// A composite of 16-bit channels is written as pages of one sample a channel.
bool channelsInSamples(const imagejDescription &counts, const pageFacts &facts)
{
    return facts.samples > 1 && counts.channels == facts.samples;
}

qint64 imagejPages(const imagejDescription &counts, const pageFacts &facts)
{
    const qint64 images = product({ counts.channels, counts.slices, counts.frames }, maxCount);
    return channelsInSamples(counts, facts) ? images / facts.samples : images;
}

// *byOptions: whether --planes and --order laid the pages out.
bool layoutImagej(const imagejDescription &d, const pageFacts &facts, const imagejExtras &extras,
                  const stackOptions &options, pageLayout *out, bool *byOptions, QString *error)
{
    const imagejDescription counts = imagejCounts(d);
    const qint64 images = product({ counts.channels, counts.slices, counts.frames }, maxCount);
    if (counts.images != 0 && counts.images != images)
        return failWith(error, QStringLiteral("the ImageJ description counts %1 images, but %2 channels × %3 slices × %4 frames")
                                       .arg(counts.images).arg(counts.channels).arg(counts.slices).arg(counts.frames));
    const bool samplesAreChannels = channelsInSamples(counts, facts);
    const qint64 pageImages = imagejPages(counts, facts);
    // ImageJ writes large stacks as one page followed by the samples of all others.
    pageFacts pages = facts;
    if (facts.pages == 1 && pageImages > 1 && pageImages <= facts.contiguousPages)
        pages.pages = pageImages;
    if (pageImages != pages.pages)
        return failWith(error, QStringLiteral("the ImageJ description counts %1 images, the file has %2 pages")
                                       .arg(images).arg(facts.pages));

    // A plain stack says nothing of whether its pages are time points or focal planes.
    const bool plain = !d.hyperstack && counts.channels == 1 && counts.frames == 1;
    out->axesGuessed = plain;
    *byOptions = plain && (options.planes > 0 || options.orderGiven);
    if (*byOptions) {
        if (!layoutPlain(pages.pages, pages, options, out, error))
            return false;
        out->description = QStringLiteral("ImageJ stack, laid out by --planes and --order");
    } else {
        if (!layoutAxes({ { 'T', counts.frames }, { 'Z', counts.slices }, { 'C', samplesAreChannels ? 1 : counts.channels } },
                        0, pages, out, error))
            return false;
        out->description = QStringLiteral("ImageJ hyperstack");
    }
    if (samplesAreChannels) {
        // Their colours are ImageJ's defaults, not red, green and blue of a picture.
        for (channelInfo &c : out->channels)
            c.colour.reset();
    } else if (facts.samples != 1) {
        return true;
    }
    applyImagejDisplay(d, extras, samplesAreChannels, out);
    return true;
}

QString omeType(const pageFacts &facts)
{
    if (facts.format == sampleFormat::floatingPoint)
        return facts.bits == 32 ? QStringLiteral("float") : QStringLiteral("double");
    return QStringLiteral("%1int%2").arg(facts.format == sampleFormat::unsignedInt ? "u" : "").arg(facts.bits);
}

// Which image of several to lay out: --image, else the first with a warning.
bool chooseImage(qint64 images, const stackOptions &options, pageLayout *out, QString *error)
{
    if (options.image >= images)
        return failWith(error, QStringLiteral("--image %1: the file holds %2 image%3, numbered from 0")
                                       .arg(options.image).arg(images).arg(images == 1 ? "" : "s"));
    out->image = std::max(options.image, 0);
    if (images > 1 && options.image < 0)
        out->warnings << QStringLiteral("the file holds %1 images; image 0 is read (--image N picks another)").arg(images);
    return true;
}

// The pages OME-XML counts: its images' planes, or as far as their TiffData reach.
qint64 omePages(const std::vector<omeImage> &images, const pageFacts &facts)
{
    qint64 pages = 0;
    for (const omeImage &image : images) {
        pages = std::min(maxPages + 1, pages + product({ image.sizeC / facts.storedSamples, image.sizeZ, image.sizeT }, maxPages));
        for (const omeTiffData &d : image.tiffData)
            pages = std::max(pages, d.ifd + std::max<qint64>(d.planeCount, 1));
    }
    return pages;
}

// firstPage: where the image's planes begin when its TiffData do not say.
bool layoutOme(const omeImage &ome, qint64 firstPage, const pageFacts &facts, pageLayout *out, QString *error)
{
    if (ome.sizeX != facts.width || ome.sizeY != facts.height)
        return failWith(error, QStringLiteral("OME-XML says %1 × %2 pixels, the pages are %3 × %4")
                                       .arg(ome.sizeX).arg(ome.sizeY).arg(facts.width).arg(facts.height));
    if (!ome.type.isEmpty() && ome.type != omeType(facts))
        return failWith(error, QStringLiteral("OME-XML says %1 samples, the pages hold %2").arg(ome.type, omeType(facts)));
    if (ome.sizeC % facts.storedSamples != 0)
        return failWith(error, QStringLiteral("OME-XML counts %1 channels, not a multiple of the pages' %2 samples")
                                       .arg(ome.sizeC).arg(facts.storedSamples));
    const qint64 sizeC = ome.sizeC / facts.storedSamples;
    if (product({ ome.sizeT, ome.sizeZ, sizeC }, facts.pages) > facts.pages)
        return failWith(error, QStringLiteral("OME-XML counts %1 × %2 × %3 planes, the file has %4 pages")
                                       .arg(sizeC).arg(ome.sizeZ).arg(ome.sizeT).arg(facts.pages));
    if (!setCounts({ { 'T', ome.sizeT }, { 'Z', ome.sizeZ }, { 'C', sizeC } }, facts, out, error))
        return false;

    // Position in the DimensionOrder of each axis, fastest first.
    const qint64 sizes[3] = { ome.sizeT, ome.sizeZ, sizeC };
    int axisAt[3];
    for (int i = 0; i < 3; ++i)
        axisAt[i] = QStringLiteral("TZC").indexOf(ome.dimensionOrder.at(2 + i));
    const qint64 total = qint64(out->pages.size());

    std::vector<omeTiffData> tiffData = ome.tiffData;
    if (tiffData.empty()) {
        tiffData.push_back(omeTiffData());
        tiffData.back().ifd = firstPage;
    }
    for (const omeTiffData &d : tiffData) {
        if (!d.fileName.isEmpty() && d.fileName != facts.fileName)
            return failWith(error, QStringLiteral("OME-XML puts planes in another file, %1; only single-file OME-TIFF is read")
                                           .arg(d.fileName));
        const qint64 first[3] = { d.firstT, d.firstZ, d.firstC };
        qint64 start = 0;
        for (int i = 2; i >= 0; --i) {
            const int a = axisAt[i];
            if (first[a] >= sizes[a])
                return failWith(error, QStringLiteral("OME-XML starts planes beyond its own sizes"));
            start = start * sizes[a] + first[a];
        }
        if (d.ifd >= facts.pages)
            return failWith(error, QStringLiteral("OME-XML names page %1, the file has %2 pages").arg(d.ifd + 1).arg(facts.pages));
        const qint64 count = d.planeCount > 0 ? d.planeCount : std::min(facts.pages - d.ifd, total - start);
        if (d.ifd + count > facts.pages)
            return failWith(error, QStringLiteral("OME-XML names page %1, the file has %2 pages").arg(d.ifd + count).arg(facts.pages));
        if (start + count > total)
            return failWith(error, QStringLiteral("OME-XML places more planes than its sizes hold"));
        for (qint64 k = 0; k < count; ++k) {
            qint64 rest = start + k;
            qint64 index[3];
            for (int i = 0; i < 3; ++i) {
                index[axisAt[i]] = rest % sizes[axisAt[i]];
                rest /= sizes[axisAt[i]];
            }
            out->pages[size_t((index[0] * out->planes + index[1]) * out->pageChannels + index[2])] = int(d.ifd + k);
        }
    }
    const qint64 missing = std::count(out->pages.begin(), out->pages.end(), -1);
    if (missing > 0)
        out->warnings << QStringLiteral("OME-XML gives no page for %1 of %2 planes").arg(missing).arg(total);
    if (facts.samples == 1 && qint64(ome.channels.size()) == sizeC) {
        for (size_t c = 0; c < ome.channels.size(); ++c) {
            out->channels[c].colour = ome.channels[c].colour;
            out->channels[c].name = ome.channels[c].name;
        }
    }
    out->description = QStringLiteral("OME-TIFF (%1)").arg(ome.dimensionOrder);
    return true;
}

// OME-XML gives the images and their planes; an ImageJ description beside it
// (Micro-Manager writes both) gives the display ranges.
bool layoutOmeImages(const std::vector<omeImage> &images, const pageFacts &facts, const pageMetadata &metadata,
                     const stackOptions &options, pageLayout *out, QString *error)
{
    if (!chooseImage(qint64(images.size()), options, out, error))
        return false;
    qint64 firstPage = 0;
    for (int i = 0; i < out->image; ++i) {
        const omeImage &before = images[size_t(i)];
        firstPage = std::min(facts.pages, firstPage + product({ before.sizeC / facts.storedSamples, before.sizeZ, before.sizeT }, facts.pages));
    }
    if (!layoutOme(images[size_t(out->image)], firstPage, facts, out, error))
        return false;
    if (images.size() > 1) {
        for (const omeImage &image : images)
            out->images.push_back({ image.name, int(image.sizeX), int(image.sizeY), image.sizeT, image.sizeZ, image.sizeC,
                                    sampleTypeText(facts.bits, facts.format) });
    }
    if (facts.samples == 1)
        applyImagejDisplay(parseImagejDescription(metadata.imagejDescription), metadata.imagej, false, out);
    return true;
}

// Zeiss LSM: each page holds every channel of one (time point, focal plane);
// positions and mosaic tiles follow one another as images.
bool layoutLsm(const lsmInfo &lsm, const lsmColours &colours, const pageFacts &facts, const stackOptions &options,
               pageLayout *out, QString *error)
{
    const qint64 perImage = product({ lsm.planes, lsm.times }, facts.pages);
    if (product({ perImage, lsm.images }, facts.pages) != facts.pages)
        return failWith(error, QStringLiteral("the LSM header counts %1 × %2 planes in %3 images, the file has %4 pages")
                                       .arg(lsm.times).arg(lsm.planes).arg(lsm.images).arg(facts.pages));
    if (!chooseImage(lsm.images, options, out, error))
        return false;
    const axis t { 'T', lsm.times };
    const axis z { 'Z', lsm.planes };
    if (!layoutAxes(lsm.timeFastest ? std::vector<axis> { z, t } : std::vector<axis> { t, z }, out->image * perImage,
                    facts, out, error))
        return false;
    if (colours.colours.size() == out->channels.size()) {
        for (size_t c = 0; c < out->channels.size(); ++c) {
            out->channels[c].colour = colours.colours[c];
            out->channels[c].name = colours.names.value(qsizetype(c));
        }
    }
    for (qint64 i = 0; i < lsm.images && lsm.images > 1; ++i)
        out->images.push_back({ QStringLiteral("position %1").arg(i), facts.width, facts.height, lsm.times, lsm.planes,
                                qint64(out->channels.size()), sampleTypeText(facts.bits, facts.format) });
    out->description = QStringLiteral("Zeiss LSM");
    return true;
}

// The pages a tifffile shape counts: the product of its axes but the plane's.
qint64 shapePages(const tifffileShape &s, const pageFacts &facts)
{
    const bool named = !s.axes.isEmpty() && size_t(s.axes.size()) == s.shape.size();
    const size_t planeAxes = facts.storedSamples > 1 ? 3 : 2;
    qint64 pages = 1;
    for (size_t i = 0; i < s.shape.size(); ++i)
        if (named ? !QStringLiteral("YXS").contains(s.axes.at(qsizetype(i))) : i + planeAxes < s.shape.size())
            pages = product({ pages, std::max<qint64>(s.shape[i], 1) }, maxPages);
    return pages;
}

bool layoutShape(const tifffileShape &s, const pageFacts &facts, const stackOptions &options, pageLayout *out,
                 QString *error)
{
    const QString shapeText = QStringLiteral("[%1]").arg(joined(s.shape));
    const auto mismatch = [&] {
        return failWith(error, QStringLiteral("tifffile's shape %1 does not fit pages of %2 × %3 pixels, %4 samples")
                                       .arg(shapeText).arg(facts.width).arg(facts.height).arg(facts.storedSamples));
    };
    std::vector<axis> leading;
    qint64 pages = 1;
    if (!s.axes.isEmpty() && size_t(s.axes.size()) == s.shape.size()) {
        int unknown = 0;
        bool hasTime = false;
        for (size_t i = 0; i < s.shape.size(); ++i) {
            char name = s.axes.at(i).toLatin1();
            const qint64 size = s.shape[i];
            if ((name == 'Y' && size != facts.height) || (name == 'X' && size != facts.width)
                || (name == 'S' && size != facts.storedSamples))
                return mismatch();
            if (name == 'Y' || name == 'X' || name == 'S')
                continue;
            pages *= std::max<qint64>(size, 1);
            if (pages > facts.pages)
                return failWith(error, QStringLiteral("tifffile's shape %1 counts more planes than the file's %2 pages")
                                               .arg(shapeText).arg(facts.pages));
            hasTime = hasTime || name == 'T';
            if (name != 'T' && name != 'Z' && name != 'C') {
                if (size == 1)
                    continue;
                ++unknown;
                name = '?';
            }
            leading.push_back({ name, size });
        }
        // One axis of another name stands for time when there is no T.
        if (unknown > 1 || (unknown == 1 && hasTime))
            return failWith(error, QStringLiteral("tifffile's axes %1 do not say which is time").arg(s.axes));
        for (axis &a : leading)
            if (a.name == '?')
                a.name = 'T';
        out->description = QStringLiteral("tifffile, axes %1").arg(s.axes);
    } else {
        std::vector<qint64> shape = s.shape;
        const size_t n = shape.size();
        const auto endsWith = [&](std::initializer_list<qint64> tail) {
            return n >= tail.size() && std::equal(tail.begin(), tail.end(), shape.end() - tail.size());
        };
        const qint64 samples = facts.storedSamples;
        if (samples == 1 && endsWith({ facts.height, facts.width }))
            shape.resize(n - 2);
        else if (samples > 1 && endsWith({ facts.height, facts.width, samples }))
            shape.resize(n - 3);
        else if (samples > 1 && endsWith({ samples, facts.height, facts.width }))
            shape.resize(n - 3);
        else
            return mismatch();
        for (qint64 size : shape)
            if (size < 1 || (pages *= size) > facts.pages)
                return failWith(error, QStringLiteral("tifffile's shape %1 counts more planes than the file's %2 pages")
                                               .arg(shapeText).arg(facts.pages));
        if (shape.size() > 2)
            return failWith(error, QStringLiteral("tifffile's shape %1 has more axes than time and focal plane, and no names for them")
                                           .arg(shapeText));
        out->description = QStringLiteral("tifffile, shape %1").arg(shapeText);
        if (shape.size() == 2)
            leading = { { 'T', shape[0] }, { 'Z', shape[1] } };
        else if (!layoutPlain(pages, facts, options, out, error))
            return false;
    }
    if (pages < facts.pages)
        out->warnings << QStringLiteral("only the first %1 of %2 pages are read: the rest belong to other series")
                             .arg(pages).arg(facts.pages);
    if (!leading.empty() || s.axes.size() == qsizetype(s.shape.size()))
        return layoutAxes(leading, 0, facts, out, error);
    return true;
}

} // namespace

bool layoutPages(const pageFacts &facts, const pageMetadata &metadata, const stackOptions &options, pageLayout *out,
                 QString *error)
{
    *out = pageLayout();
    bool byMetadata = true;
    bool isOme = false;
    std::vector<omeImage> ome;
    const std::optional<imagejDescription> imagej = parseImagejDescription(metadata.description);
    if (!imagej && !parseOme(metadata.description, &ome, &isOme, error))
        return false;
    const std::optional<tifffileShape> shape = imagej || isOme || metadata.lsm ? std::nullopt
                                                                              : parseTifffileShape(metadata.description);

    // The pages a cut-short file still holds, and those its metadata counts.
    qint64 found = facts.pages;
    qint64 counted = 0;
    if (imagej) {
        if (facts.pages == 1)
            found = std::max<qint64>(1, facts.contiguousPages);
        counted = imagejPages(imagejCounts(*imagej), facts);
    } else if (isOme) {
        counted = omePages(ome, facts);
    } else if (metadata.lsm) {
        counted = product({ metadata.lsm->planes, metadata.lsm->times, metadata.lsm->images }, maxPages);
    } else if (shape) {
        counted = shapePages(*shape, facts);
    }
    pageFacts laid = facts;
    if (options.partial && counted > found && counted <= maxPages)
        laid.pages = counted;

    if (imagej) {
        bool byOptions = false;
        if (!layoutImagej(*imagej, laid, metadata.imagej, options, out, &byOptions, error))
            return false;
        byMetadata = !byOptions;
    } else if (isOme) {
        if (!layoutOmeImages(ome, laid, metadata, options, out, error))
            return false;
    } else if (metadata.lsm) {
        if (!layoutLsm(*metadata.lsm, metadata.lsmChannels, laid, options, out, error))
            return false;
    } else if (shape) {
        if (!layoutShape(*shape, laid, options, out, error))
            return false;
        byMetadata = !shape->axes.isEmpty();
    } else {
        byMetadata = false;
        if (!layoutPlain(facts.pages, facts, options, out, error))
            return false;
        out->description = facts.pages == 1 ? QStringLiteral("one page") : QStringLiteral("%1 pages").arg(facts.pages);
    }
    if (out->images.empty() && !chooseImage(1, options, out, error))
        return false;
    if (byMetadata && options.planes > 0)
        out->warnings << QStringLiteral("--planes is ignored: the file's metadata gives the focal planes");
    if (byMetadata && options.orderGiven)
        out->warnings << QStringLiteral("--order is ignored: the file's metadata gives the order of the pages");
    if (!byMetadata)
        out->axesGuessed = true;
    if (laid.pages != facts.pages) {
        qint64 missing = 0;
        for (int &page : out->pages) {
            if (page >= found) {
                page = -1;
                ++missing;
            }
        }
        out->countedPages = laid.pages;
        out->warnings << QStringLiteral("the metadata counts %1 pages, the file holds %2: %3 of %4 planes are missing")
                             .arg(laid.pages).arg(found).arg(missing).arg(out->pages.size());
    }
    return true;
}
