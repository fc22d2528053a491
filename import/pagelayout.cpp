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

bool layoutImagej(const imagejDescription &d, const pageFacts &facts, const imagejExtras &extras, pageLayout *out,
                  QString *error)
{
    imagejDescription counts = d;
    if (counts.images > 1 && counts.channels == 1 && counts.slices == 1 && counts.frames == 1)
        counts.slices = counts.images;
    // ImageJ writes large stacks as one page followed by the samples of all others.
    pageFacts pages = facts;
    if (facts.pages == 1 && counts.images > 1 && counts.images <= facts.contiguousPages)
        pages.pages = counts.images;
    const qint64 images = product({ counts.channels, counts.slices, counts.frames }, maxCount);
    if (counts.images != 0 && counts.images != images)
        return failWith(error, QStringLiteral("the ImageJ description counts %1 images, but %2 channels × %3 slices × %4 frames")
                                       .arg(counts.images).arg(counts.channels).arg(counts.slices).arg(counts.frames));
    if (images != pages.pages)
        return failWith(error, QStringLiteral("the ImageJ description counts %1 images, the file has %2 pages")
                                       .arg(images).arg(facts.pages));
    if (!layoutAxes({ { 'T', counts.frames }, { 'Z', counts.slices }, { 'C', counts.channels } }, 0, pages, out, error))
        return false;
    out->description = QStringLiteral("ImageJ hyperstack");
    if (facts.samples != 1)
        return true;
    const size_t channels = out->channels.size();
    if (extras.ranges.size() >= channels) {
        for (size_t c = 0; c < channels; ++c) {
            out->channels[c].low = extras.ranges[c].first;
            out->channels[c].high = extras.ranges[c].second;
        }
    } else if (d.min && d.max) {
        out->channels[0].low = d.min;
        out->channels[0].high = d.max;
    }
    if (extras.colours.size() == channels)
        for (size_t c = 0; c < channels; ++c)
            out->channels[c].colour = extras.colours[c];
    return true;
}

QString omeType(const pageFacts &facts)
{
    if (facts.format == sampleFormat::floatingPoint)
        return facts.bits == 32 ? QStringLiteral("float") : QStringLiteral("double");
    return QStringLiteral("%1int%2").arg(facts.format == sampleFormat::unsignedInt ? "u" : "").arg(facts.bits);
}

bool layoutOme(const omeImage &ome, const pageFacts &facts, pageLayout *out, QString *error)
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
    if (tiffData.empty())
        tiffData.push_back(omeTiffData());
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
    if (ome.images > 1)
        out->warnings << QStringLiteral("the file holds %1 images; only the first is read").arg(ome.images);
    if (facts.samples == 1 && qint64(ome.channels.size()) == sizeC) {
        for (size_t c = 0; c < ome.channels.size(); ++c) {
            out->channels[c].colour = ome.channels[c].colour;
            out->channels[c].name = ome.channels[c].name;
        }
    }
    out->description = QStringLiteral("OME-TIFF (%1)").arg(ome.dimensionOrder);
    return true;
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

bool layoutPages(const pageFacts &facts, const QByteArray &description, const imagejExtras &extras,
                 const stackOptions &options, pageLayout *out, QString *error)
{
    *out = pageLayout();
    bool byMetadata = true;
    bool isOme = false;
    omeImage ome;
    if (const std::optional<imagejDescription> imagej = parseImagejDescription(description)) {
        if (!layoutImagej(*imagej, facts, extras, out, error))
            return false;
    } else if (!parseOme(description, &ome, &isOme, error)) {
        return false;
    } else if (isOme) {
        if (!layoutOme(ome, facts, out, error))
            return false;
    } else if (const std::optional<tifffileShape> shape = parseTifffileShape(description)) {
        if (!layoutShape(*shape, facts, options, out, error))
            return false;
        byMetadata = !shape->axes.isEmpty();
    } else {
        byMetadata = false;
        if (!layoutPlain(facts.pages, facts, options, out, error))
            return false;
        out->description = facts.pages == 1 ? QStringLiteral("one page") : QStringLiteral("%1 pages").arg(facts.pages);
    }
    if (byMetadata && options.planes > 0)
        out->warnings << QStringLiteral("--planes is ignored: the file's metadata gives the focal planes");
    return true;
}
