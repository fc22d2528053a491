#include "s3access.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

// The keys of a profile's section in an AWS file: "[NAME]" in the
// credentials file, "[profile NAME]" (or "[default]") in the config file.
// Indented lines belong to a nested setting ("s3 =" and below) and are left out.
QHash<QString, QString> profileOf(const QString &fileName, const QString &section)
{
    QHash<QString, QString> keys;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || file.size() > (1 << 20))
        return keys;
    bool inside = false;
    while (!file.atEnd()) {
        const QString raw = QString::fromUtf8(file.readLine());
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            inside = line.mid(1, line.size() - 2).simplified() == section;
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (inside && equals > 0 && !raw.front().isSpace())
            keys.insert(line.left(equals).trimmed().toLower(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

QString environment(const char *name)
{
    return qEnvironmentVariable(name).trimmed();
}

QString firstOf(std::initializer_list<QString> values)
{
    for (const QString &v : values)
        if (!v.isEmpty())
            return v;
    return QString();
}

} // namespace

s3access s3access::fromEnvironment()
{
    const QString home = QDir::homePath() + QStringLiteral("/.aws/");
    const QString profile = firstOf({ environment("AWS_PROFILE"), QStringLiteral("default") });
    const QHash<QString, QString> credentials = profileOf(
            firstOf({ environment("AWS_SHARED_CREDENTIALS_FILE"), home + QStringLiteral("credentials") }), profile);
    const QHash<QString, QString> config = profileOf(firstOf({ environment("AWS_CONFIG_FILE"), home + QStringLiteral("config") }),
                                                     profile == QLatin1String("default") ? profile : QStringLiteral("profile ") + profile);
    s3access a;
    const auto keysFrom = [&](const QString &id, const QString &secret, const QString &token) {
        if (!a.signs() && !id.isEmpty() && !secret.isEmpty()) {
            a.accessKey = id;
            a.secretKey = secret;
            a.sessionToken = token;
        }
    };
    keysFrom(environment("AWS_ACCESS_KEY_ID"), environment("AWS_SECRET_ACCESS_KEY"), environment("AWS_SESSION_TOKEN"));
    for (const QHash<QString, QString> *from : { &credentials, &config })
        keysFrom(from->value(QStringLiteral("aws_access_key_id")), from->value(QStringLiteral("aws_secret_access_key")),
                 from->value(QStringLiteral("aws_session_token")));
    a.region = firstOf({ environment("AWS_REGION"), environment("AWS_DEFAULT_REGION"), config.value(QStringLiteral("region")),
                         QStringLiteral("us-east-1") });
    a.endpoint = firstOf({ environment("AWS_ENDPOINT_URL_S3"), environment("AWS_ENDPOINT_URL"), config.value(QStringLiteral("endpoint_url")) });
    while (a.endpoint.endsWith(u'/'))
        a.endpoint.chop(1);
    return a;
}

bool s3access::isS3(const QString &address)
{
    return address.startsWith(QLatin1String("s3://"), Qt::CaseInsensitive);
}

QString s3access::urlOf(const QString &address) const
{
    const QString path = address.mid(5);
    const QString bucket = path.section(u'/', 0, 0);
    const QString key = path.section(u'/', 1);
    if (bucket.isEmpty())
        return QString();
    if (!endpoint.isEmpty())
        return endpoint + u'/' + bucket + u'/' + key;
    // A bucket named with dots does not match AWS's certificate as a host name.
    if (bucket.contains(u'.'))
        return QStringLiteral("https://s3.%1.amazonaws.com/%2/%3").arg(region, bucket, key);
    return QStringLiteral("https://%1.s3.%2.amazonaws.com/%3").arg(bucket, region, key);
}

bool s3access::serves(const QString &url) const
{
    const QString host = QUrl(url).host().toLower();
    return !host.isEmpty() && (host == QUrl(endpoint).host().toLower() || host.endsWith(QLatin1String(".amazonaws.com")));
}

QString s3access::regionOf(const QString &url) const
{
    static const QRegularExpression named(QStringLiteral("(?:^|\\.)s3[.-]([a-z]{2}(?:-[a-z]+)+-\\d+)\\.amazonaws\\.com$"));
    const QRegularExpressionMatch m = named.match(QUrl(url).host().toLower());
    return m.hasMatch() ? m.captured(1) : region;
}

QString s3access::errorOf(const QByteArray &body)
{
    QXmlStreamReader xml(body);
    QString code, message;
    bool inError = false;
    while (xml.readNextStartElement()) {
        if (!inError) {
            if (xml.name() != QLatin1String("Error"))
                return QString();
            inError = true;
            continue;
        }
        if (xml.name() == QLatin1String("Code"))
            code = xml.readElementText().simplified();
        else if (xml.name() == QLatin1String("Message"))
            message = xml.readElementText().simplified();
        else
            xml.skipCurrentElement();
    }
    if (xml.hasError() && xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        return QString();
    if (code.isEmpty())
        return QString();
    return message.isEmpty() ? code : QStringLiteral("%1 (%2)").arg(code, message.left(200));
}
