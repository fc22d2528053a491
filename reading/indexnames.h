#ifndef INDEXNAMES_H
#define INDEXNAMES_H

#include <QString>
#include <QStringList>

#include <array>
#include <vector>

// What an index word in a file name numbers: the first three are a
// stack's axes, in the order of stack's (t, z, c).
enum class nameAxis { time, plane, channel, position, none };

// One run of digits in a base name, and the index word right before it.
struct nameNumber
{
    qsizetype start = 0;        // of the digits
    qsizetype length = 0;
    qsizetype wordStart = -1;   // of the index word, -1 when the letters before are none
    nameAxis axis = nameAxis::none;
};

// How the names of a series lay out its files, when no --pattern is given.
struct nameLayout
{
    bool named[3] = { false, false, false };          // which of t, z and c the names give
    std::vector<std::array<qint64, 3>> index;          // per name: t, z, c from 0, or -1
    QString pattern;                                   // the names read as a --pattern; empty for the natural order
    QStringList warnings;
    QStringList positions;                             // stage positions the names number, as "P1", in order
    std::vector<qint64> position;                      // per name: its stage position from 0
};

// "time points", "focal planes", "channels", "stage positions".
const char *axisName(nameAxis axis);

// Compares names as people do: digit runs by their value, so t2 comes before t10.
bool naturalLess(const QString &a, const QString &b);

// A file's name without its folder and extension; ".ome.tif" is one extension.
QString indexBaseName(const QString &fileName);

// The digit runs of a base name, from its start.  The index words are
// t T time tp (time), z Z focal slice (focal plane), c C ch channel w
// (channel) and p P pos position s (stage position): a whole run of letters,
// the single letters in the case given, the longer words in any.
std::vector<nameNumber> nameNumbers(QStringView baseName);

// Lays out the files of a series by the numbers in their names, given in
// natural order.  Numbers that vary at the same place of otherwise equal
// names are indices of the axis their word names, numbered by rank.  Names
// that say nothing clear are time points in their order.  Names that number
// several stage positions get only positions and position: each position's
// names are laid out on their own.  Refuses a series over several numbers
// not named apart with *error "FILE: what is wrong, and a --pattern that
// would do".
bool layoutNames(const QStringList &fileNames, nameLayout *layout, QString *error);

// The text the files' names share before their indices: their base names
// without ImageJ's "C1-" prefix, cut at the first index word; else their
// common start, else the first file's folder.
QString seriesName(const QStringList &fileNames);

#endif
