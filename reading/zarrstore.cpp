#include "zarrstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace {

QString message(const QString &location, const QString &key, const QString &what)
{
    return QStringLiteral("%1/%2: %3").arg(location, key, what);
}

// The keys as files below a folder.
class folderStore : public zarrstore
{
public:
    explicit folderStore(const QString &folder) : folder(folder) { }

    result get(const QString &key, qint64 limit, QByteArray *value, QString *error) override
    {
        QFile file(QDir(folder).filePath(key));
        const QFileInfo info(file);
        if (!info.exists())
            return result::missing;
        if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
            *error = message(folder, key, info.isFile() ? file.errorString() : QStringLiteral("not a regular file"));
            return result::failed;
        }
        if (file.size() > limit) {
            *error = message(folder, key, QStringLiteral("larger than the %1 bytes it may hold").arg(limit));
            return result::failed;
        }
        *value = file.readAll();
        if (value->size() != file.size()) {
            *error = message(folder, key, file.errorString());
            return result::failed;
        }
        return result::found;
    }

    result getRange(const QString &key, qint64 offset, qint64 length, QByteArray *value, qint64 *size, QString *error) override
    {
        QFile file(QDir(folder).filePath(key));
        const QFileInfo info(file);
        if (!info.exists())
            return result::missing;
        if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
            *error = message(folder, key, info.isFile() ? file.errorString() : QStringLiteral("not a regular file"));
            return result::failed;
        }
        *size = file.size();
        const qint64 start = offset < 0 ? std::max<qint64>(0, *size - length) : std::min(offset, *size);
        if (!file.seek(start)) {
            *error = message(folder, key, file.errorString());
            return result::failed;
        }
        *value = file.read(std::min(length, *size - start));
        if (value->size() != std::min(length, *size - start)) {
            *error = message(folder, key, file.errorString());
            return result::failed;
        }
        return result::found;
    }

    QString location() const override { return folder; }

private:
    QString folder;
};

// The keys as URLs below a base URL, fetched with libcurl over one
// connection that stays open from request to request.
class webStore : public zarrstore
{
public:
    webStore(const QString &url, int timeout) : base(url), timeout(timeout)
    {
        while (base.endsWith(u'/'))
            base.chop(1);
    }
    ~webStore() override
    {
        if (curl)
            curl_easy_cleanup(curl);
    }

    result get(const QString &key, qint64 limit, QByteArray *value, QString *error) override
    {
        if (!curl && !start()) {
            *error = message(base, key, QStringLiteral("libcurl cannot be started"));
            return result::failed;
        }
        const QByteArray url = (base + u'/' + key).toUtf8();
        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_RANGE, ranged ? range.constData() : nullptr);
        body.resize(0);   // keeps its capacity for the next chunk
        bodyLimit = limit;
        wholeAnswer = false;
        contentRange.clear();
        failure[0] = 0;
        const CURLcode code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (code == CURLE_WRITE_ERROR && wholeAnswer) {
            *error = message(base, key, QStringLiteral("the server answers with the whole value, not bytes %1").arg(QString::fromLatin1(range)));
            return result::failed;
        }
        if (code == CURLE_WRITE_ERROR && qint64(body.size()) >= limit) {
            *error = message(base, key, QStringLiteral("larger than the %1 bytes it may hold").arg(limit));
            return result::failed;
        }
        if (code != CURLE_OK) {
            *error = message(base, key, QString::fromUtf8(failure[0] ? failure : curl_easy_strerror(code)).trimmed());
            return result::failed;
        }
        if (status == 404 || status == 410)
            return result::missing;
        if (ranged && status == 416) {   // the range begins past the value's end
            value->clear();
            return result::found;
        }
        if (status != (ranged ? 206 : 200)) {
            *error = message(base, key, QStringLiteral("the server answers %1").arg(status));
            return result::failed;
        }
        value->swap(body);
        return result::found;
    }

    result getRange(const QString &key, qint64 offset, qint64 length, QByteArray *value, qint64 *size, QString *error) override
    {
        range = offset < 0 ? QByteArray("-") + QByteArray::number(length)
                           : QByteArray::number(offset) + '-' + QByteArray::number(offset + length - 1);
        ranged = true;
        const result got = get(key, length, value, error);
        ranged = false;
        // "bytes FIRST-LAST/SIZE", SIZE "*" when not known.
        bool ok = false;
        *size = contentRange.mid(contentRange.indexOf('/') + 1).trimmed().toLongLong(&ok);
        if (!ok || !contentRange.contains('/'))
            *size = -1;
        return got;
    }

    QString location() const override { return base; }

private:
    bool start()
    {
        static std::once_flag started;
        std::call_once(started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        curl = curl_easy_init();
        if (!curl)
            return false;
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
        // The whole request, however slowly the bytes come.
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(timeout));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, long(std::min(timeout, 10)));
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "tesseline");
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, failure);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &webStore::received);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &webStore::header);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
        return true;
    }

    static size_t header(char *data, size_t size, size_t count, void *self)
    {
        const QByteArray line(data, qsizetype(size * count));
        if (line.toLower().startsWith("content-range:"))
            static_cast<webStore *>(self)->contentRange = line.mid(14).trimmed();
        return size * count;
    }

    static size_t received(char *data, size_t size, size_t count, void *self)
    {
        auto *store = static_cast<webStore *>(self);
        const size_t bytes = size * count;
        long status = 0;
        curl_easy_getinfo(store->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300)   // the text of an error page
            return bytes;
        if (store->ranged && status == 200) {   // a server that ignores ranges: not the whole of a large shard
            store->wholeAnswer = true;
            return 0;
        }
        if (qint64(store->body.size()) + qint64(bytes) > store->bodyLimit) {
            store->body.resize(store->bodyLimit);
            return 0;
        }
        store->body.append(data, qsizetype(bytes));
        return bytes;
    }

    QString base;
    int timeout;
    CURL *curl = nullptr;
    QByteArray body;
    qint64 bodyLimit = 0;
    bool ranged = false;
    QByteArray range;          // CURLOPT_RANGE's "FIRST-LAST" or "-LENGTH"
    bool wholeAnswer = false;
    QByteArray contentRange;
    char failure[CURL_ERROR_SIZE] = {};
};

} // namespace

bool zarrstore::isUrl(const QString &where)
{
    return where.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
            || where.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

std::unique_ptr<zarrstore> zarrstore::open(const QString &where, int timeout)
{
    if (isUrl(where))
        return std::make_unique<webStore>(where, std::max(timeout, 1));
    return std::make_unique<folderStore>(where);
}
