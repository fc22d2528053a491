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
        body.resize(0);   // keeps its capacity for the next chunk
        bodyLimit = limit;
        failure[0] = 0;
        const CURLcode code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
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
        if (status != 200) {
            *error = message(base, key, QStringLiteral("the server answers %1").arg(status));
            return result::failed;
        }
        value->swap(body);
        return result::found;
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
        return true;
    }

    static size_t received(char *data, size_t size, size_t count, void *self)
    {
        auto *store = static_cast<webStore *>(self);
        const size_t bytes = size * count;
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
