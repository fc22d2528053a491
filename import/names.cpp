#include "names.h"

#include "indexnames.h"

#include <QFileInfo>

#include <algorithm>

static bool isNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
            || c == u'-' || c == u'_' || c == u'.';
}

bool isDatasetName(const QString &name)
{
    return !name.isEmpty() && std::all_of(name.begin(), name.end(), isNameCharacter);
}

// Other characters as '_'.
static QString sanitized(QString name)
{
    for (QChar &c : name) {
        if (!isNameCharacter(c))
            c = u'_';
    }
    return name;
}

QString datasetNameFor(const QString &input)
{
    return sanitized(QFileInfo(input).baseName());
}

QString datasetNameFor(const QStringList &inputs)
{
    return inputs.size() == 1 ? datasetNameFor(inputs.first()) : sanitized(seriesName(inputs));
}
