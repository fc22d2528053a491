#include "zarrstore.h"
#include "s3access.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace {

QString message(const QString &location, const QString &key, const QString &what)
{
    return QStringLiteral("%1/%2: %3").arg(location, key, what);
}

// The keys as files below a folder, read one after another.
class folderStore : public zarrstore
{
public:
    explicit folderStore(const QString &folder) : folder(folder) { }

    bool getMany(const std::vector<request> &requests, const takeReply &take) override
    {
        for (size_t i = 0; i < requests.size(); ++i) {
            reply r;
            read(requests[i], &r);
            if (!take(i, r))
                return false;
        }
        return true;
    }

    QString location() const override { return folder; }

private:
    void read(const request &asked, reply *r)
    {
        QFile file(QDir(folder).filePath(asked.key));
        const QFileInfo info(file);
        r->got = result::failed;
        if (!info.exists()) {
            r->got = result::missing;
            return;
        }
        if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
            r->error = message(folder, asked.key, info.isFile() ? file.errorString() : QStringLiteral("not a regular file"));
            return;
        }
        r->size = file.size();
        qint64 start = 0, length = r->size;
        if (asked.length < 0 && r->size > asked.limit) {
            r->error = message(folder, asked.key, QStringLiteral("larger than the %1 bytes it may hold").arg(asked.limit));
            return;
        }
        if (asked.length >= 0) {
            start = asked.offset < 0 ? std::max<qint64>(0, r->size - asked.length) : std::min(asked.offset, r->size);
            length = std::min(asked.length, r->size - start);
        }
        if (!file.seek(start)) {
            r->error = message(folder, asked.key, file.errorString());
            return;
        }
        r->value = file.read(length);
        if (r->value.size() != length) {
            r->error = message(folder, asked.key, file.errorString());
            return;
        }
        r->got = result::found;
    }

    QString folder;
};

// The keys as URLs below a base URL, fetched with libcurl's multi interface:
// all of a read's at once, over HTTP/2 where the server offers it, else over
// at most six connections, kept open from read to read.  An S3 bucket's
// are signed when there are credentials.
class webStore : public zarrstore
{
public:
    webStore(const QString &where, int timeout) : base(where), timeout(timeout)
    {
        while (base.endsWith(u'/'))
            base.chop(1);
        const s3access s3 = s3access::fromEnvironment();
        fetchBase = s3access::isS3(base) ? s3.urlOf(base) : base;
        const QUrl parsed(fetchBase);
        host = parsed.port() < 0 ? parsed.host() : QStringLiteral("%1:%2").arg(parsed.host()).arg(parsed.port());
        bucket = s3access::isS3(base) || s3.serves(fetchBase);
        if (bucket && s3.signs()) {
            signing = QStringLiteral("aws:amz:%1:s3").arg(s3.regionOf(fetchBase)).toUtf8();
            accessKey = s3.accessKey.toUtf8();
            secretKey = s3.secretKey.toUtf8();
            // S3 wants the payload's hash, which libcurl leaves out; a GET has none to sign.
            headers = curl_slist_append(headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
            if (!s3.sessionToken.isEmpty())
                headers = curl_slist_append(headers, ("x-amz-security-token: " + s3.sessionToken).toUtf8().constData());
        }
    }
    ~webStore() override
    {
        for (transfer &t : pool) {
            if (t.busy)
                curl_multi_remove_handle(multi, t.easy);
            if (t.easy)
                curl_easy_cleanup(t.easy);
        }
        if (multi)
            curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
    }

    bool getMany(const std::vector<request> &requests, const takeReply &take) override
    {
        if (!multi && !start()) {
            for (size_t i = 0; i < requests.size(); ++i) {
                reply r;
                r.error = message(base, requests[i].key, QStringLiteral("libcurl cannot be started"));
                if (!take(i, r))
                    return false;
            }
            return true;
        }
        // A server that did not answer is asked again by one request, not
        // waited for: the reads fail at once until it answers.
        if (notAnswering && !requests.empty()) {
            if (!probing) {
                begin(pool.front(), requests.front(), 0);
                probing = true;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg *done = curl_multi_info_read(multi, &left)) {
                if (done->msg != CURLMSG_DONE)
                    continue;
                curl_multi_remove_handle(multi, done->easy_handle);
                pool.front().busy = false;
                probing = false;
                notAnswering = done->data.result != CURLE_OK;
            }
            for (size_t i = 0; notAnswering && i < requests.size(); ++i) {
                reply r = unanswered(requests[i]);
                if (!take(i, r))
                    return false;
            }
            if (notAnswering)
                return true;
        }
        size_t next = 0;
        int active = 0;
        const auto stop = [&] {
            for (transfer &t : pool) {
                if (t.busy) {
                    curl_multi_remove_handle(multi, t.easy);
                    t.busy = false;
                }
            }
            return false;
        };
        while (next < requests.size() || active > 0) {
            while (next < requests.size() && active < maxTransfers) {
                if (notAnswering) {
                    reply r = unanswered(requests[next]);
                    if (!take(next++, r))
                        return stop();
                    continue;
                }
                transfer &t = *std::find_if(pool.begin(), pool.end(), [](const transfer &t) { return !t.busy; });
                begin(t, requests[next], next);
                ++next;
                ++active;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg *done = curl_multi_info_read(multi, &left)) {
                if (done->msg != CURLMSG_DONE)
                    continue;
                transfer *t = nullptr;
                curl_easy_getinfo(done->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char **>(&t));
                curl_multi_remove_handle(multi, t->easy);
                t->busy = false;
                --active;
                reply r = finish(*t, requests[t->index], done->data.result);
                if (!take(t->index, r))
                    return stop();
            }
            if (active > 0 && running > 0)
                curl_multi_poll(multi, nullptr, 0, 200, nullptr);
        }
        return true;
    }

    void reset() override
    {
        if (pool.empty())
            return;
        if (probing)
            curl_multi_remove_handle(multi, pool.front().easy);
        pool.front().busy = probing = notAnswering = false;
    }

    QString location() const override { return base; }

private:
    static constexpr int maxTransfers = 16;
    // Seconds without a byte before a request is given up.
    static constexpr long stallTime = 5;
    static constexpr qsizetype errorBodyLimit = 16384;

    struct transfer
    {
        CURL *easy = nullptr;
        bool busy = false;
        size_t index = 0;
        bool ranged = false;
        QByteArray range;          // CURLOPT_RANGE's "FIRST-LAST" or "-LENGTH"
        QByteArray body;
        qint64 limit = 0;
        bool tooLarge = false;
        bool wholeAnswer = false;
        QByteArray contentRange;
        QByteArray errorBody;      // the start of an error's text, for S3's reason
        QElapsedTimer quiet;       // since the last bytes came
        char failure[CURL_ERROR_SIZE] = {};
    };

    bool start()
    {
        static std::once_flag started;
        std::call_once(started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        multi = curl_multi_init();
        if (!multi)
            return false;
        curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, long(maxTransfers));
        pool.resize(maxTransfers);
        for (transfer &t : pool) {
            t.easy = curl_easy_init();
            if (!t.easy) {
                for (const transfer &made : pool)
                    if (made.easy)
                        curl_easy_cleanup(made.easy);
                pool.clear();
                curl_multi_cleanup(multi);
                multi = nullptr;
                return false;
            }
            CURL *curl = t.easy;
            curl_easy_setopt(curl, CURLOPT_PRIVATE, &t);
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
            curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
            // Over TLS, wait for the first connection to learn whether it multiplexes.
            if (fetchBase.startsWith(QLatin1String("https:"), Qt::CaseInsensitive))
                curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L);
            // The whole request, however slowly the bytes come.
            curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(timeout));
            // Nothing at all for stallTime seconds: the server is not answering.
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallTime);
            curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, std::min(long(timeout), stallTime));
            curl_easy_setopt(curl, CURLOPT_USERAGENT, "tesseline");
            // The certificates to trust where the environment names them, as curl's own tools do.
            if (const QByteArray bundle = qEnvironmentVariableIsEmpty("CURL_CA_BUNDLE") ? qgetenv("SSL_CERT_FILE") : qgetenv("CURL_CA_BUNDLE");
                !bundle.isEmpty())
                curl_easy_setopt(curl, CURLOPT_CAINFO, bundle.constData());
            if (const QByteArray folder = qgetenv("SSL_CERT_DIR"); !folder.isEmpty())
                curl_easy_setopt(curl, CURLOPT_CAPATH, folder.constData());
            curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t.failure);
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &webStore::received);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
            curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &webStore::header);
            curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
            if (!signing.isEmpty()) {
                curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, signing.constData());
                curl_easy_setopt(curl, CURLOPT_USERNAME, accessKey.constData());
                curl_easy_setopt(curl, CURLOPT_PASSWORD, secretKey.constData());
                curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            }
        }
        return true;
    }

    reply unanswered(const request &asked) const
    {
        reply r;
        r.error = message(base, asked.key, host + QStringLiteral(": not answering"));
        return r;
    }

    void begin(transfer &t, const request &asked, size_t index)
    {
        t.busy = true;
        t.index = index;
        t.ranged = asked.length >= 0;
        t.range = asked.offset < 0 ? QByteArray("-") + QByteArray::number(asked.length)
                                   : QByteArray::number(asked.offset) + '-' + QByteArray::number(asked.offset + asked.length - 1);
        t.limit = t.ranged ? asked.length : asked.limit;
        t.body.resize(0);   // keeps its capacity for the next chunk
        t.tooLarge = false;
        t.wholeAnswer = false;
        t.contentRange.clear();
        t.errorBody.clear();
        t.failure[0] = 0;
        t.quiet.start();
        const QByteArray url = (fetchBase + u'/' + asked.key).toUtf8();
        curl_easy_setopt(t.easy, CURLOPT_URL, url.constData());
        curl_easy_setopt(t.easy, CURLOPT_RANGE, t.ranged ? t.range.constData() : nullptr);
        curl_multi_add_handle(multi, t.easy);
    }

    reply finish(transfer &t, const request &asked, CURLcode code)
    {
        reply r;
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        const auto failed = [&](const QString &what) {
            r.error = message(base, asked.key, what);
            return std::move(r);
        };
        if (code == CURLE_WRITE_ERROR && t.wholeAnswer)
            return failed(QStringLiteral("the server answers with the whole value, not bytes %1").arg(QString::fromLatin1(t.range)));
        if (code == CURLE_WRITE_ERROR && t.tooLarge)
            return failed(QStringLiteral("larger than the %1 bytes it may hold").arg(t.limit));
        if (code == CURLE_OPERATION_TIMEDOUT && t.quiet.elapsed() >= 1000 * stallTime - 500) {
            notAnswering = true;
            return failed(host + QStringLiteral(": not answering"));
        }
        if (code == CURLE_PEER_FAILED_VERIFICATION) {
            const QString detail = QString::fromUtf8(t.failure);
            if (detail.contains(QLatin1String("subject name")) || detail.contains(QLatin1String("does not match")))
                return failed(QStringLiteral("the server's certificate is for another name"));
            const qsizetype problem = detail.indexOf(QLatin1String("problem: "));
            return failed(QStringLiteral("the server's certificate is not trusted")
                          + (problem < 0 ? QString() : QStringLiteral(" (%1)").arg(detail.mid(problem + 9).trimmed())));
        }
        if (code != CURLE_OK)
            return failed(QString::fromUtf8(t.failure[0] ? t.failure : curl_easy_strerror(code)).trimmed());
        if (status == 404 || status == 410) {
            r.got = result::missing;
            return r;
        }
        if (t.ranged) {
            // "bytes FIRST-LAST/SIZE", SIZE "*" when not known.
            bool ok = false;
            r.size = t.contentRange.mid(t.contentRange.indexOf('/') + 1).trimmed().toLongLong(&ok);
            if (!ok || !t.contentRange.contains('/'))
                r.size = -1;
        }
        if (t.ranged && status == 416) {   // the range begins past the value's end
            r.got = result::found;
            return r;
        }
        if (status != (t.ranged ? 206 : 200)) {
            if (const QString reason = s3access::errorOf(t.errorBody); !reason.isEmpty())
                return failed(QStringLiteral("the server answers %1: %2").arg(status).arg(reason));
            if (bucket && status >= 400)
                return failed(QStringLiteral("the server answers %1, without S3's reason (its answer is not S3's XML)").arg(status));
            return failed(QStringLiteral("the server answers %1").arg(status));
        }
        r.value.swap(t.body);
        if (!t.ranged)
            r.size = r.value.size();
        r.got = result::found;
        return r;
    }

    static size_t header(char *data, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<transfer *>(self);
        t->quiet.start();
        const QByteArray line = QByteArray(data, qsizetype(size * count)).toLower();
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        if (line.startsWith("content-range:"))
            t->contentRange = line.mid(14).trimmed();
        // A value too large is not waited for.
        if (status < 300 && line.startsWith("content-length:") && line.mid(15).trimmed().toLongLong() > t->limit
            && !(t->ranged && status == 200)) {
            t->tooLarge = true;
            return 0;
        }
        return size * count;
    }

    static size_t received(char *data, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<transfer *>(self);
        t->quiet.start();
        const size_t bytes = size * count;
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300) {   // the text of an error page
            if (t->errorBody.size() < errorBodyLimit)
                t->errorBody.append(data, qsizetype(std::min<size_t>(bytes, size_t(errorBodyLimit - t->errorBody.size()))));
            return bytes;
        }
        if (t->ranged && status == 200) {   // a server that ignores ranges: not the whole of a large shard
            t->wholeAnswer = true;
            return 0;
        }
        if (qint64(t->body.size()) + qint64(bytes) > t->limit) {
            t->tooLarge = true;
            return 0;
        }
        t->body.append(data, qsizetype(bytes));
        return bytes;
    }

    QString base;               // as given, for messages
    QString fetchBase;          // the http(s) URL below which the keys are
    bool bucket = false;        // an S3 bucket's
    QByteArray signing;         // CURLOPT_AWS_SIGV4's provider, region and service; empty: anonymous
    QByteArray accessKey;
    QByteArray secretKey;
    curl_slist *headers = nullptr;
    QString host;               // "HOST" or "HOST:PORT", for messages
    int timeout;
    CURLM *multi = nullptr;
    std::vector<transfer> pool;
    bool notAnswering = false;  // a request was given up for want of any byte
    bool probing = false;       // and the first transfer asks the server again
};

} // namespace

std::vector<zarrstore::reply> zarrstore::getAll(const std::vector<request> &requests)
{
    std::vector<reply> replies(requests.size());
    getMany(requests, [&](size_t i, reply &got) {
        replies[i] = std::move(got);
        return true;
    });
    return replies;
}

zarrstore::result zarrstore::get(const QString &key, qint64 limit, QByteArray *value, QString *error)
{
    reply r = std::move(getAll({ request { key, 0, -1, limit } }).front());
    value->swap(r.value);
    if (r.got == result::failed)
        *error = r.error;
    return r.got;
}

zarrstore::result zarrstore::getRange(const QString &key, qint64 offset, qint64 length, QByteArray *value, qint64 *size, QString *error)
{
    reply r = std::move(getAll({ request { key, offset, length, length } }).front());
    value->swap(r.value);
    *size = r.size;
    if (r.got == result::failed)
        *error = r.error;
    return r.got;
}

bool zarrstore::isUrl(const QString &where)
{
    return where.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
            || where.startsWith(QLatin1String("https://"), Qt::CaseInsensitive) || s3access::isS3(where);
}

std::unique_ptr<zarrstore> zarrstore::open(const QString &where, int timeout)
{
    if (isUrl(where))
        return std::make_unique<webStore>(where, std::max(timeout, 1));
    return std::make_unique<folderStore>(where);
}
