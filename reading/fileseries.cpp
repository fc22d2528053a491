#include "fileseries.h"

#include "indexnames.h"
#include "pagelayout.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// Planes the names may span, counting gaps.
constexpr qint64 maxSlots = 16 * 1024 * 1024;
// Files kept open between reads.
constexpr size_t openFiles = 4;

QString sampleText(const stack &s)
{
    const char *kind = s.format == sampleFormat::floatingPoint ? "float" : s.format == sampleFormat::signedInt ? "signed" : "unsigned";
    return QStringLiteral("%1 x %2 pixels of %3-bit %4 samples").arg(s.width).arg(s.height).arg(s.bits).arg(kind);
}

QString countsText(const stack &s)
{
    return QStringLiteral("%1 time points, %2 focal planes, %3 channels").arg(s.times).arg(s.planes).arg(s.channels.size());
}

// A file per time point holds focal planes, whatever its pages say.
bool holdsPlanes(bool timesNamed, bool planesNamed, const int own[3])
{
    return timesNamed && !planesNamed && own[0] > 1 && own[1] == 1;
}

} // namespace

fileSeries::fileSeries(const stackOptions &options) : mOptions(options) { }

std::unique_ptr<stack> fileSeries::open(const QStringList &inputs, const stackOptions &options, QString *error)
{
    std::unique_ptr<fileSeries> s(new fileSeries(options));
    if (!s->setMembers(inputs, error) || !s->inspect(error))
        return nullptr;
    return s;
}

bool fileSeries::present(int t, int z, int c) const
{
    int local[3];
    return memberOf(t, z, c, local) >= 0;
}

bool fileSeries::read(int t, int z, int c, planeData &out)
{
    return readRegion(t, z, c, 0, QRect(0, 0, width, height), out);
}

// The file's own reads: of a TIFF file, only what holds the region.
bool fileSeries::readRegion(int t, int z, int c, int level, const QRect &region, planeData &out)
{
    int local[3];
    const int m = memberOf(t, z, c, local);
    if (m < 0) {
        mError = QStringLiteral("%1: no file holds time point %2, focal plane %3, channel %4")
                     .arg(mMembers.front().fileName).arg(t).arg(z).arg(c);
        return false;
    }
    stack *s = file(m);
    if (!s)
        return false;
    if (!s->readRegion(local[0], local[1], local[2], level, region, out)) {
        mError = s->error();
        return false;
    }
    return true;
}

bool fileSeries::setMembers(const QStringList &inputs, QString *error)
{
    for (const QString &input : inputs)
        mMembers.push_back({ input, QFileInfo(input).fileName(), { -1, -1, -1 } });
    if (mOptions.pattern.isEmpty()) {
        std::stable_sort(mMembers.begin(), mMembers.end(), [](const member &a, const member &b) {
            return naturalLess(a.name, b.name);
        });
        QStringList names;
        for (const member &m : mMembers)
            names << m.fileName;
        nameLayout layout;
        if (!layoutNames(names, &layout, error) || (!layout.positions.isEmpty() && !choosePosition(&layout, error)))
            return false;
        for (size_t i = 0; i < mMembers.size(); ++i)
            std::copy(layout.index[i].begin(), layout.index[i].end(), mMembers[i].index);
        std::copy(layout.named, layout.named + 3, mNamed);
        pattern = layout.pattern;
        warnings = layout.warnings;
        return true;
    }
    pattern = mOptions.pattern;

    // The pattern as a regular expression: {t}, {z} and {c} are digit runs, the rest is literal.
    static const QRegularExpression placeholder(QStringLiteral("\\{([tzc])\\}"));
    QString expression = QStringLiteral("^");
    qsizetype at = 0;
    for (const QRegularExpressionMatch &match : placeholder.globalMatch(mOptions.pattern)) {
        const int a = QStringLiteral("tzc").indexOf(match.captured(1));
        if (mNamed[a]) {
            *error = QStringLiteral("--pattern '%1': {%2} appears twice").arg(mOptions.pattern, match.captured(1));
            return false;
        }
        mNamed[a] = true;
        expression += QRegularExpression::escape(mOptions.pattern.mid(at, match.capturedStart() - at));
        expression += QStringLiteral("(?<%1>\\d{1,9})").arg(match.captured(1));
        at = match.capturedEnd();
    }
    expression += QRegularExpression::escape(mOptions.pattern.mid(at)) + QStringLiteral("$");
    if (!mNamed[0] && !mNamed[1] && !mNamed[2]) {
        *error = QStringLiteral("--pattern '%1' has none of {t}, {z} and {c}").arg(mOptions.pattern);
        return false;
    }

    const QRegularExpression regex(expression);
    QStringList unmatched;
    for (member &m : mMembers) {
        const QRegularExpressionMatch match = regex.match(m.name);
        if (!match.hasMatch()) {
            unmatched << m.fileName;
            continue;
        }
        for (int a = 0; a < 3; ++a)
            if (mNamed[a])
                m.index[a] = match.captured(QString(QChar(u"tzc"[a]))).toLongLong();
    }
    if (!unmatched.isEmpty()) {
        *error = QStringLiteral("%1: does not match --pattern '%2'").arg(unmatched.first(), mOptions.pattern);
        if (unmatched.size() > 1)
            *error += QStringLiteral(" (nor do %1 other files)").arg(unmatched.size() - 1);
        return false;
    }
    for (int a = 0; a < 3; ++a) {
        if (!mNamed[a])
            continue;
        mFirst[a] = std::min_element(mMembers.begin(), mMembers.end(), [a](const member &x, const member &y) {
                        return x.index[a] < y.index[a];
                    })->index[a];
        for (member &m : mMembers)
            m.index[a] -= mFirst[a];
    }
    return true;
}

// Keeps the files of the stage position --image picks, laid out by their
// own names.  The counts of each position's image that its names do not give
// stay 0 until inspect() has read the first file.
bool fileSeries::choosePosition(nameLayout *layout, QString *error)
{
    const int count = int(layout->positions.size());
    if (mOptions.image >= count) {
        *error = QStringLiteral("%1: --image %2: the names number %3 stage positions, numbered from 0")
                         .arg(mMembers.front().fileName).arg(mOptions.image).arg(count);
        return false;
    }
    image = std::max(mOptions.image, 0);
    std::vector<std::vector<member>> byPosition(layout->positions.size());
    for (size_t i = 0; i < mMembers.size(); ++i)
        byPosition[size_t(layout->position[i])].push_back(mMembers[i]);
    const QStringList positions = layout->positions;
    for (int p = 0; p < count; ++p) {
        QStringList names;
        for (const member &m : byPosition[size_t(p)])
            names << m.fileName;
        nameLayout own;
        if (!layoutNames(names, &own, error))
            return false;
        imageSummary summary;
        summary.name = positions[p];
        qint64 *counts[3] = { &summary.times, &summary.planes, &summary.channels };
        for (const auto &index : own.index)
            for (int a = 0; a < 3; ++a)
                *counts[a] = std::max(*counts[a], index[size_t(a)] + 1);
        images.push_back(summary);
        if (p == image)
            *layout = own;
    }
    if (mOptions.image < 0)
        layout->warnings.prepend(QStringLiteral("the names number %1 stage positions; image 0 (%2) is read (--image N picks another)")
                                         .arg(count).arg(positions.front()));
    mMembers = byPosition[size_t(image)];
    mOptions.image = -1;
    return true;
}

bool fileSeries::inspect(QString *error)
{
    const QString &firstName = mMembers.front().fileName;
    std::unique_ptr<stack> first = openFile(firstName, mOptions, error);
    if (!first)
        return false;
    mFirstSamples = sampleText(*first);
    mFirstCounts = countsText(*first);
    const auto addWarnings = [this](const stack &s) {
        for (const QString &warning : s.warnings)
            if (!warnings.contains(warning))
                warnings << warning;
    };
    addWarnings(*first);
    pixelWidth = first->pixelWidth;
    pixelHeight = first->pixelHeight;
    unit = first->unit;

    mLocal[0] = first->times;
    mLocal[1] = first->planes;
    mLocal[2] = int(first->channels.size());
    mSwapped = holdsPlanes(mNamed[0], mNamed[1], mLocal);
    if (mSwapped)
        std::swap(mLocal[0], mLocal[1]);
    // The spacing of focal planes holds where they lie inside each file.
    if (!mNamed[1] && !mSwapped)
        planeSpacing = first->planeSpacing;
    // The first file's time interval holds for the series, unless its time points are taken for focal planes.
    if (!mSwapped)
        timeInterval = first->timeInterval;
    frameRate = first->frameRate;

    qint64 extent[3];
    qint64 slotCount = 1;
    for (int a = 0; a < 3; ++a) {
        if (mNamed[a] && mLocal[a] != 1) {
            *error = QStringLiteral("%1: holds %2 %3, but the file names give one per file")
                         .arg(firstName).arg(mLocal[a]).arg(axisName(nameAxis(a)));
            return false;
        }
        extent[a] = mLocal[a];
        if (mNamed[a]) {
            extent[a] = 1 + std::max_element(mMembers.begin(), mMembers.end(), [a](const member &x, const member &y) {
                                return x.index[a] < y.index[a];
                            })->index[a];
            slotCount *= extent[a];
        }
        if (extent[a] > maxSlots || slotCount > maxSlots) {
            *error = QStringLiteral("%1: the numbers in the file names span too many %2")
                             .arg(firstName, axisName(nameAxis(a)));
            return false;
        }
    }
    if (extent[2] > maxChannels) {
        *error = QStringLiteral("%1: %2 channels; at most %3 are read").arg(firstName).arg(extent[2]).arg(maxChannels);
        return false;
    }

    mSlots.assign(size_t(slotCount), -1);
    for (size_t i = 0; i < mMembers.size(); ++i) {
        qint64 slot = 0;
        for (int a = 0; a < 3; ++a)
            slot = slot * (mNamed[a] ? extent[a] : 1) + (mNamed[a] ? mMembers[i].index[a] : 0);
        if (mSlots[size_t(slot)] >= 0) {
            *error = QStringLiteral("%1: holds the same planes as %2").arg(mMembers[i].fileName, mMembers[size_t(mSlots[size_t(slot)])].fileName);
            return false;
        }
        mSlots[size_t(slot)] = int(i);
    }

    width = first->width;
    height = first->height;
    bits = first->bits;
    format = first->format;
    times = int(extent[0]);
    planes = int(extent[1]);
    channels = first->channels;
    if (mNamed[2]) {
        // Each channel's colour, range and name from its first file.
        channels.assign(size_t(extent[2]), channelInfo());
        std::vector<bool> seen(channels.size(), false);
        for (const member &m : mMembers) {
            const size_t c = size_t(m.index[2]);
            if (seen[c])
                continue;
            seen[c] = true;
            if (&m == &mMembers.front()) {
                channels[c] = first->channels.front();
                continue;
            }
            std::unique_ptr<stack> s = openFile(m.fileName, mOptions, error);
            if (!s || !matchesFirst(*s, m.fileName, error))
                return false;
            channels[c] = s->channels.front();
            addWarnings(*s);
        }
    }
    for (imageSummary &i : images) {
        int own[3] = { first->times, first->planes, int(first->channels.size()) };
        if (holdsPlanes(i.times > 0, i.planes > 0, own))
            std::swap(own[0], own[1]);
        qint64 *counts[3] = { &i.times, &i.planes, &i.channels };
        for (int a = 0; a < 3; ++a)
            if (*counts[a] == 0)
                *counts[a] = own[a];
        i.width = width;
        i.height = height;
        i.type = sampleTypeText(bits, format);
    }
    for (int m : mSlots)
        if (m >= 0)
            files << mMembers[size_t(m)].fileName;
    const QString rule = !mOptions.pattern.isEmpty() ? QStringLiteral("by --pattern")
            : pattern.isEmpty()                      ? QStringLiteral("in the order of the numbers in their names")
                                                     : QStringLiteral("by the indices in their names");
    description = QStringLiteral("%1 files (%2), %3 each").arg(mMembers.size()).arg(rule, first->description);
    warnMissing();
    mOpen.emplace_back(0, std::move(first));
    return true;
}

bool fileSeries::matchesFirst(const stack &s, const QString &fileName, QString *error) const
{
    const QString samples = sampleText(s);
    const QString counts = countsText(s);
    if (samples == mFirstSamples && counts == mFirstCounts)
        return true;
    const bool sameSamples = samples == mFirstSamples;
    *error = QStringLiteral("%1: %2, but %3: %4")
                     .arg(fileName, sameSamples ? counts : samples, mMembers.front().fileName, sameSamples ? mFirstCounts : mFirstSamples);
    return false;
}

int fileSeries::memberOf(int t, int z, int c, int local[3]) const
{
    const int global[3] = { t, z, c };
    const int counts[3] = { times, planes, int(channels.size()) };
    qint64 slot = 0;
    for (int a = 0; a < 3; ++a) {
        if (global[a] < 0 || global[a] >= counts[a])
            return -1;
        slot = slot * (mNamed[a] ? counts[a] : 1) + (mNamed[a] ? global[a] : 0);
        local[a] = mNamed[a] ? 0 : global[a];
    }
    if (mSwapped)
        std::swap(local[0], local[1]);
    return mSlots[size_t(slot)];
}

void fileSeries::warnMissing()
{
    const qint64 counts[3] = { times, planes, qint64(channels.size()) };
    std::vector<bool> seen[3];
    for (int a = 0; a < 3; ++a)
        seen[a].assign(size_t(mNamed[a] ? counts[a] : 0), false);
    for (const member &m : mMembers)
        for (int a = 0; a < 3; ++a)
            if (mNamed[a])
                seen[a][size_t(m.index[a])] = true;
    for (int a = 0; a < 3; ++a) {
        QStringList missing;
        for (size_t i = 0; i < seen[a].size(); ++i) {
            if (seen[a][i])
                continue;
            if (missing.size() < 20)
                missing << QString::number(qint64(i) + mFirst[a]);
            else if (missing.size() == 20)
                missing << QStringLiteral("…");
        }
        if (!missing.isEmpty())
            warnings << QStringLiteral("missing %1 %2 (no file)").arg(axisName(nameAxis(a)), missing.join(", "));
    }
    // Planes absent although each of their indices has files of its own.
    static const char *const singular[3] = { "time point", "focal plane", "channel" };
    QStringList absent;
    for (size_t slot = 0; slot < mSlots.size() && absent.size() <= 20; ++slot) {
        size_t rest = slot;
        bool indicesSeen = true;
        QStringList where;
        for (int a = 2; a >= 0; --a) {
            if (!mNamed[a])
                continue;
            const size_t i = rest % size_t(counts[a]);
            indicesSeen = indicesSeen && seen[a][i];
            where.prepend(QStringLiteral("%1 %2").arg(QLatin1String(singular[a])).arg(qint64(i) + mFirst[a]));
            rest /= size_t(counts[a]);
        }
        if (mSlots[slot] < 0 && indicesSeen)
            absent << (absent.size() < 20 ? where.join(QLatin1Char(' ')) : QStringLiteral("…"));
    }
    if (!absent.isEmpty())
        warnings << QStringLiteral("no file for %1").arg(absent.join(", "));
}

stack *fileSeries::file(int index)
{
    for (auto &open : mOpen)
        if (open.first == index)
            return open.second.get();
    const QString &fileName = mMembers[size_t(index)].fileName;
    std::unique_ptr<stack> s = openFile(fileName, mOptions, &mError);
    if (!s || !matchesFirst(*s, fileName, &mError))
        return nullptr;
    if (mOpen.size() == openFiles)
        mOpen.erase(mOpen.begin());
    mOpen.emplace_back(index, std::move(s));
    return mOpen.back().second.get();
}
