#ifndef FILESERIES_H
#define FILESERIES_H

#include "stack.h"

#include <QRegularExpression>

struct nameLayout;

// Several files, each one plane or a stack of its own; their names say
// which time point, focal plane or channel each holds: by the index words
// in the names, by the order of their numbers, or by a pattern.  Files of
// several stage positions are an image per position.  Opening reads the
// first file, and the first of each channel the names number; every other
// file is checked against the first when it is first read.
class fileSeries : public stack
{
public:
    static std::unique_ptr<stack> open(const QStringList &inputs, const stackOptions &options, QString *error);

    bool present(int t, int z, int c) const override;
    bool read(int t, int z, int c, planeData &out) override;
    bool readRegion(int t, int z, int c, int level, const QRect &region, planeData &out) override;

private:
    // One file: its indices from the name (-1 for an axis the name does not give).
    struct member
    {
        QString fileName;
        QString name;                       // without its folder
        qint64 index[3] = { -1, -1, -1 };   // t, z, c
    };

    explicit fileSeries(const stackOptions &options);

    bool setMembers(const QStringList &inputs, QString *error);
    bool choosePosition(nameLayout *layout, QString *error);
    bool inspect(QString *error);
    bool matchesFirst(const stack &s, const QString &fileName, QString *error) const;
    int memberOf(int t, int z, int c, int local[3]) const;
    void warnMissing();
    stack *file(int index);

    stackOptions mOptions;
    std::vector<member> mMembers;
    bool mNamed[3] = { false, false, false };   // which axes the names give
    qint64 mFirst[3] = { 0, 0, 0 };             // the smallest index of each named axis
    int mLocal[3] = { 1, 1, 1 };                // times, planes and channels in one file
    bool mSwapped = false;                      // the files' own time points are focal planes
    QString mFirstSamples;                      // the first file's size and samples, and its counts: all files have them
    QString mFirstCounts;
    std::vector<int> mSlots;                    // member by named indices, -1 when none
    std::vector<std::pair<int, std::unique_ptr<stack>>> mOpen;   // the files last read
};

#endif
