#include "indexnames.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <numeric>

namespace {

// Values listed in a message before "…".
constexpr int shownValues = 20;

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// A run of digits without its leading zeros.
QStringView significant(QStringView digits)
{
    while (digits.size() > 1 && digits.front() == u'0')
        digits = digits.mid(1);
    return digits;
}

// Orders runs of digits by their value.
int compareNumbers(QStringView a, QStringView b)
{
    a = significant(a);
    b = significant(b);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

nameAxis axisOfWord(QStringView word)
{
    // By axis, in the order of nameAxis.
    static const char *const words[4][5] = {
        { "t", "T", "time", "tp" },
        { "z", "Z", "focal", "slice" },
        { "c", "C", "ch", "channel", "w" },
        { "p", "P", "pos", "position", "s" },
    };
    for (int a = 0; a < 4; ++a) {
        for (const char *known : words[a]) {
            if (known && word.compare(QLatin1String(known), known[1] ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0)
                return nameAxis(a);
        }
    }
    return nameAxis::none;
}

// Whether two names differ in their numbers only.
bool sameSkeleton(QStringView a, const std::vector<nameNumber> &na, QStringView b, const std::vector<nameNumber> &nb)
{
    if (na.size() != nb.size())
        return false;
    qsizetype ea = 0;
    qsizetype eb = 0;
    for (size_t k = 0; k < na.size(); ++k) {
        if (a.mid(ea, na[k].start - ea) != b.mid(eb, nb[k].start - eb))
            return false;
        ea = na[k].start + na[k].length;
        eb = nb[k].start + nb[k].length;
    }
    return a.mid(ea) == b.mid(eb);
}

// The name with the digits of some of its numbers, in ascending order, replaced.
QString replaced(QString name, const std::vector<nameNumber> &numbers, const std::vector<std::pair<size_t, QString>> &by)
{
    for (auto it = by.rbegin(); it != by.rend(); ++it)
        name.replace(numbers[it->first].start, numbers[it->first].length, it->second);
    return name;
}

// "a", "a and b", "a, b and c".
QString listed(const QStringList &items)
{
    if (items.size() < 2)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.last();
}

// The first values, then "…".
QString shortened(QStringList values)
{
    if (values.size() > shownValues) {
        values.erase(values.begin() + shownValues, values.end());
        values << QStringLiteral("…");
    }
    return values.join(QStringLiteral(", "));
}

QString trimmedSeparators(QString text)
{
    while (!text.isEmpty() && QStringLiteral("_-. ").contains(text.back()))
        text.chop(1);
    return text;
}

// The base names of a series and their numbers.
struct parsedNames
{
    QStringList bases;
    std::vector<std::vector<nameNumber>> numbers;

    QStringView digits(qsizetype i, size_t place) const
    {
        const nameNumber &n = numbers[size_t(i)][place];
        return QStringView(bases[i]).mid(n.start, n.length);
    }
    // The number with its index word, as "T00001", or its digits alone.
    QString text(qsizetype i, size_t place) const
    {
        const nameNumber &n = numbers[size_t(i)][place];
        const qsizetype from = n.wordStart >= 0 ? n.wordStart : n.start;
        return bases[i].mid(from, n.start + n.length - from);
    }
    // Each name's rank by its number at one place; returns one name of each value, in order.
    std::vector<qsizetype> rank(size_t place, std::vector<qint64> *ranks) const
    {
        std::vector<qsizetype> order(size_t(bases.size()));
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](qsizetype x, qsizetype y) {
            return compareNumbers(digits(x, place), digits(y, place)) < 0;
        });
        std::vector<qsizetype> firsts;
        ranks->assign(order.size(), 0);
        for (qsizetype i : order) {
            if (firsts.empty() || compareNumbers(digits(firsts.back(), place), digits(i, place)) != 0)
                firsts.push_back(i);
            (*ranks)[size_t(i)] = qint64(firsts.size()) - 1;
        }
        return firsts;
    }
};

// {t}, {z} or {c} at each place: its own axis's while that is free, the
// others from the last place back taking the first free one.  Empty when
// three are not enough.
QString suggestion(const QString &fileName, const std::vector<nameNumber> &numbers, const std::vector<size_t> &places)
{
    bool taken[3] = { false, false, false };
    std::vector<int> axes(places.size(), -1);
    for (size_t k = 0; k < places.size(); ++k) {
        const int a = int(numbers[places[k]].axis);
        if (a < 3 && !taken[a]) {
            taken[a] = true;
            axes[k] = a;
        }
    }
    std::vector<std::pair<size_t, QString>> by;
    for (size_t k = places.size(); k-- > 0;) {
        if (axes[k] < 0) {
            const bool *free = std::find(taken, taken + 3, false);
            if (free == taken + 3)
                return QString();
            axes[k] = int(free - taken);
            taken[axes[k]] = true;
        }
        by.insert(by.begin(), { places[k], QStringLiteral("{%1}").arg(QChar(u"tzc"[axes[k]])) });
    }
    return replaced(fileName, numbers, by);
}

} // namespace

const char *axisName(nameAxis axis)
{
    static const char *const names[] = { "time points", "focal planes", "channels", "stage positions", "numbers" };
    return names[int(axis)];
}

bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a.at(ei).isDigit())
                ++ei;
            while (ej < b.size() && b.at(ej).isDigit())
                ++ej;
            if (const int order = compareNumbers(QStringView(a).mid(i, ei - i), QStringView(b).mid(j, ej - j)))
                return order < 0;
            i = ei;
            j = ej;
        } else {
            if (a.at(i) != b.at(j))
                return a.at(i) < b.at(j);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

QString indexBaseName(const QString &fileName)
{
    QString name = QFileInfo(fileName).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot >= 0) {
        name.truncate(dot);
        if (name.endsWith(QLatin1String(".ome"), Qt::CaseInsensitive))
            name.chop(4);
    }
    return name;
}

std::vector<nameNumber> nameNumbers(QStringView baseName)
{
    std::vector<nameNumber> numbers;
    qsizetype i = 0;
    while (i < baseName.size()) {
        if (!isDigit(baseName[i])) {
            ++i;
            continue;
        }
        nameNumber n;
        n.start = i;
        while (i < baseName.size() && isDigit(baseName[i]))
            ++i;
        n.length = i - n.start;
        qsizetype word = n.start;
        while (word > 0 && baseName[word - 1].isLetter())
            --word;
        n.axis = axisOfWord(baseName.mid(word, n.start - word));
        if (n.axis != nameAxis::none)
            n.wordStart = word;
        numbers.push_back(n);
    }
    return numbers;
}

bool layoutNames(const QStringList &fileNames, nameLayout *layout, QString *error)
{
    *layout = nameLayout();
    layout->index.assign(size_t(fileNames.size()), { -1, -1, -1 });
    parsedNames names;
    bool alike = true;
    for (const QString &fileName : fileNames) {
        names.bases << indexBaseName(fileName);
        names.numbers.push_back(nameNumbers(names.bases.back()));
        alike = alike && sameSkeleton(names.bases.front(), names.numbers.front(), names.bases.back(), names.numbers.back());
    }

    // The places whose number varies, stage positions apart.
    std::vector<size_t> positions;
    std::vector<size_t> places;
    bool unknown = false;
    int perAxis[4] = { 0, 0, 0, 0 };
    for (size_t place = 0; alike && !fileNames.isEmpty() && place < names.numbers.front().size(); ++place) {
        qsizetype i = 1;
        while (i < fileNames.size() && compareNumbers(names.digits(i, place), names.digits(0, place)) == 0)
            ++i;
        if (i == fileNames.size())
            continue;
        const nameAxis axis = names.numbers.front()[place].axis;
        (axis == nameAxis::position ? positions : places).push_back(place);
        if (axis == nameAxis::none)
            unknown = true;
        else
            ++perAxis[int(axis)];
    }

    if (positions.empty() && (places.empty() || (places.size() == 1 && unknown))) {
        layout->named[0] = true;
        for (qsizetype i = 0; i < fileNames.size(); ++i)
            layout->index[size_t(i)][0] = i;
        return true;
    }

    const QString &first = fileNames.front();
    const QString firstName = QFileInfo(first).fileName();
    const std::vector<nameNumber> &numbers = names.numbers.front();
    const QString pattern = suggestion(firstName, numbers, places);
    if (positions.size() > 1 || (places.size() > 1 && (unknown || *std::max_element(perAxis, perAxis + 3) > 1))) {
        std::vector<size_t> varying = places;
        varying.insert(varying.end(), positions.begin(), positions.end());
        std::sort(varying.begin(), varying.end());
        QStringList here;
        for (size_t place : varying)
            here << names.text(0, place);
        const int repeated = int(std::max_element(perAxis, perAxis + 4) - perAxis);
        *error = QStringLiteral("%1: the names vary in %2 numbers (%3 here)").arg(first).arg(varying.size()).arg(listed(here));
        *error += unknown && positions.size() < 2 ? QStringLiteral(" with no letters saying which is time, focal plane or channel")
                                                  : QStringLiteral(", and more than one numbers %1").arg(axisName(nameAxis(repeated)));
        if (positions.empty()) {
            *error += pattern.isEmpty() ? QStringLiteral("; give --pattern with {t}, {z} and {c}")
                                        : QStringLiteral("; give --pattern, e.g. --pattern '%1'").arg(pattern);
        } else if (pattern.isEmpty()) {
            *error += QStringLiteral("; import one position's files with a --pattern of {t}, {z} and {c}");
        } else {
            std::vector<std::pair<size_t, QString>> stars;
            for (size_t place : places)
                stars.emplace_back(place, QStringLiteral("*"));
            *error += QStringLiteral("; import one position's files, e.g. --pattern '%1' with %2")
                              .arg(pattern, first.left(first.size() - firstName.size()) + replaced(firstName, numbers, stars));
        }
        return false;
    }
    if (!positions.empty()) {
        for (qsizetype i : names.rank(positions.front(), &layout->position))
            layout->positions << names.text(i, positions.front());
        layout->index.clear();
        return true;
    }

    for (size_t place : places) {
        const int a = int(numbers[place].axis);
        std::vector<qint64> ranks;
        const std::vector<qsizetype> firsts = names.rank(place, &ranks);
        QStringList values;
        bool gap = false;
        qint64 previous = 0;
        for (qsizetype i : firsts) {
            const QStringView value = significant(names.digits(i, place));
            bool ok = false;
            const qint64 v = value.toLongLong(&ok);
            gap = gap || (!values.isEmpty() && (!ok || v != previous + 1));
            previous = v;
            values << value.toString();
        }
        for (size_t i = 0; i < ranks.size(); ++i)
            layout->index[i][size_t(a)] = ranks[i];
        layout->named[a] = true;
        if (gap)
            layout->warnings << QStringLiteral("the names number %1 %2: taken in that order").arg(axisName(nameAxis(a)), shortened(values));
    }
    layout->pattern = pattern;
    return true;
}

QString seriesName(const QStringList &fileNames)
{
    static const QRegularExpression splitChannel(QStringLiteral("^C\\d+-"));
    QString shared;
    for (qsizetype f = 0; f < fileNames.size(); ++f) {
        QString text = indexBaseName(fileNames[f]).remove(splitChannel);
        for (const nameNumber &n : nameNumbers(text)) {
            if (n.wordStart >= 0) {
                text.truncate(n.wordStart);
                break;
            }
        }
        text = trimmedSeparators(text);
        if (f == 0 || text == shared) {
            shared = text;
            continue;
        }
        qsizetype n = 0;
        while (n < shared.size() && n < text.size() && shared[n] == text[n])
            ++n;
        // Not into a number the names do not share.
        if (n > 0 && isDigit(shared[n - 1]) && ((n < shared.size() && isDigit(shared[n])) || (n < text.size() && isDigit(text[n])))) {
            while (n > 0 && isDigit(shared[n - 1]))
                --n;
        }
        shared = trimmedSeparators(shared.left(n));
    }
    if (shared.isEmpty() && !fileNames.isEmpty())
        shared = QFileInfo(QFileInfo(fileNames.first()).absolutePath()).fileName();
    return shared;
}
