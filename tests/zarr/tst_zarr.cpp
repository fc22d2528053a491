// OME-Zarr written by python3-zarr at test time, read chunk by chunk from
// its folder and from nginx on loopback: every sample of every plane against
// the value the writer put there, the chunks a step and the fit view fetch,
// and what a failing server gives.  Zarr v3 and OME-Zarr 0.5, sharded or
// not, and plain Zarr arrays are written by inputs3.py and read beside
// zarrita.js's Zarr v3 fixtures.
#include "recordingsource.h"
#include "stack.h"
#include "window.h"
#include "../testutil.h"

#include <QtTest>
#include <QtNetwork>
#include <QtWidgets>

#include <cmath>
#include <cstring>

class tst_zarr : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void planes_data();
    void planes();
    void fetches();
    void faults_data();
    void faults();
    void together();
    void inParallel();
    void secure_data();
    void secure();
    void hatched();
    void shardRanges();
    void badInputs_data();
    void badInputs();
    void noImage();
    void savedFromUrl();
    void s3_data();
    void s3();

private:
    QString url(const QString &path) const { return QString("http://127.0.0.1:%1/%2").arg(port).arg(path); }
    QStringList fetched(const QString &log = "access.log");

    QTemporaryDir work;
    QProcess nginx;
    QProcess silent;
    QProcess s3server;
    int port = 0;
    int tlsPort = 0;
    int s3port = 0;
    QHash<QString, qint64> logRead;
};

namespace {

// The value inputs.py writes at these indices (t, c, z, y, x; -1 for an axis the image lacks).
double written(const QJsonObject &manifest, const int at[5])
{
    const QString axes = manifest["axes"].toString();
    static const int weights[5] = { 1601, 401, 101, 13, 7 };
    qint64 v = 1;
    for (int a = 0; a < 5; ++a)
        if (axes.contains(QChar(u"tczyx"[a])))
            v += qint64(weights[a]) * at[a];
    const QString dtype = manifest["dtype"].toString();
    if (dtype.endsWith('1'))
        return double(v % 251);
    double r = double(v % 30011);
    if (dtype[1] == 'i')
        r -= 15000;
    if (dtype[1] == 'f')
        r += 0.5;
    return r;
}

double sampleAt(const planeData &p, size_t i)
{
    if (p.bits == 8)
        return p.bytes[i];
    if (p.bits == 16) {
        quint16 v;
        std::memcpy(&v, p.bytes.data() + 2 * i, 2);
        return p.format == sampleFormat::signedInt ? double(qint16(v)) : double(v);
    }
    quint32 v;
    std::memcpy(&v, p.bytes.data() + 4 * i, 4);
    float f;
    std::memcpy(&f, &v, 4);
    return p.format == sampleFormat::floatingPoint ? double(f) : p.format == sampleFormat::signedInt ? double(qint32(v)) : double(v);
}

QByteArray contents(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void tst_zarr::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    const QString data = work.filePath("data");
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, data });
    QVERIFY2(python.waitForFinished(120000) && python.exitCode() == 0, python.readAllStandardError().constData());
    python.start("/usr/bin/python3", { INPUTS3_PY, data + "/v3" });
    QVERIFY2(python.waitForFinished(120000) && python.exitCode() == 0, python.readAllStandardError().constData());
    QCOMPARE(QProcess::execute("cp", { "-r", FIXTURES_V3, data + "/v3/fixtures" }), 0);
    // A well holds the plate's first field alone; a folder of two TIFF files and notes.
    for (const char *file : { "manifest.json", "expected.f8" })
        QVERIFY(QFile::copy(data + "/v3/plate/A/1/0/" + file, data + "/v3/plate/A/1/" + file));
    python.start("/usr/bin/python3", { "-c", "import os, sys, numpy, tifffile\nos.mkdir(sys.argv[1])\nfor n in 't1.tif', 't2.tif', 'notes.txt':"
                                             " tifffile.imwrite(os.path.join(sys.argv[1], n), numpy.zeros((8, 8), 'u1'))", data + "/tiffs" });
    QVERIFY2(python.waitForFinished(60000) && python.exitCode() == 0, python.readAllStandardError().constData());

    // A server that takes connections and never answers.
    silent.start("/usr/bin/python3", { "-c", "import socket, time\ns = socket.socket()\ns.bind(('127.0.0.1', 0))\ns.listen(64)\n"
                                              "print(s.getsockname()[1], flush=True)\ntime.sleep(600)" });
    QVERIFY(silent.waitForReadyRead(20000));
    const int silentPort = silent.readLine().trimmed().toInt();
    QVERIFY(silentPort > 0);

    // Metadata is served everywhere; below fail500/, close/, stall/ and
    // silent/ the chunks fail: an error, a connection closed without an
    // answer, one byte a second, and no answer at all.
    QTcpServer probe, tlsProbe;
    QVERIFY(probe.listen(QHostAddress::LocalHost) && tlsProbe.listen(QHostAddress::LocalHost));
    port = probe.serverPort();
    tlsPort = tlsProbe.serverPort();
    probe.close();
    tlsProbe.close();
    // The server's certificate, for 127.0.0.1 alone, and another to trust instead.
    for (const char *name : { "cert", "other" }) {
        QProcess openssl;
        openssl.start("openssl", { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                                   "-keyout", work.filePath(name + QString("-key.pem")), "-out", work.filePath(name + QString(".pem")),
                                   "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1" });
        QVERIFY2(openssl.waitForFinished(60000) && openssl.exitCode() == 0, openssl.readAllStandardError().constData());
    }
    const QString w = work.path();
    QString locations;
    for (const char *fault : { "fail500", "close", "stall", "silent" })
        locations += QString("location ~ ^/%1/(.*(\\.z(attrs|array|group)|zarr\\.json))$ { alias %2/$1; }\n").arg(fault, w);
    writeFile(work.filePath("nginx.conf"), QString(R"(daemon off; master_process off; pid %1/nginx.pid;
error_log %1/error.log;
events { worker_connections 64; }
http {
    client_body_temp_path %1; proxy_temp_path %1; fastcgi_temp_path %1; uwsgi_temp_path %1; scgi_temp_path %1;
    log_format plain '$request_uri $status';
    log_format ranges '$request_uri $status $http_range $body_bytes_sent';
    access_log %1/access.log plain;
    access_log %1/ranges.log ranges;
    log_format connections '$request_uri $status $connection';
    log_format secure '$request_uri $status $server_protocol $connection $http_range';
    access_log %1/connections.log connections;
    server {
        listen 127.0.0.1:%2;
        root %3;
        %4
        location /fail500/ { return 500; }
        location /close/ { return 444; }
        location /stall/ { alias %3/; limit_rate 1; }
        location /silent/ { proxy_pass http://127.0.0.1:%5; }
    }
    server {
        listen 127.0.0.1:%6 ssl http2;
        ssl_certificate %1/cert.pem;
        ssl_certificate_key %1/cert-key.pem;
        root %3;
        access_log %1/secure.log secure;
    }
})").arg(w).arg(port).arg(w, locations).arg(silentPort).arg(tlsPort).toUtf8());
    nginx.start("/usr/sbin/nginx", { "-p", w, "-c", work.filePath("nginx.conf"), "-e", work.filePath("error.log") });
    QVERIFY(nginx.waitForStarted());

    // An S3 server of the tests' own: every bucket holds data/; two keys, the second with a session token.
    QVERIFY(QDir(w).mkdir("s3"));
    for (const char *bucket : { "private", "public", "denied", "textonly" })
        QVERIFY(QFile::link("../data", work.filePath(QString("s3/") + bucket)));
    s3server.start("/usr/bin/python3", { S3SERVER_PY, work.filePath("s3"), work.filePath("s3.log"), "--public", "public",
                                         "--key", "AKIDTESTONE:secretOne/abc+def", "--key", "AKIDTESTTWO:secretTwo:tokenTwo" });
    QVERIFY(s3server.waitForReadyRead(20000));
    s3port = s3server.readLine().trimmed().toInt();
    QVERIFY(s3port > 0);
    writeFile(work.filePath("aws-credentials"), "[default]\naws_access_key_id = AKIDWRONG\naws_secret_access_key = wrong\n"
                                                 "# the lab's\n[lab]\naws_access_key_id = AKIDTESTONE\naws_secret_access_key = secretOne/abc+def\n");
    writeFile(work.filePath("aws-config"), QString("[default]\nregion = us-west-2\n[profile lab]\nregion = ap-south-1\n"
                                                    "s3 =\n  endpoint_url = http://127.0.0.1:1\nendpoint_url = http://127.0.0.1:%1\n").arg(s3port).toUtf8());

    QTcpSocket socket;
    QTRY_VERIFY_WITH_TIMEOUT((socket.connectToHost(QHostAddress::LocalHost, quint16(port)), socket.waitForConnected(100)), 20000);
}

void tst_zarr::cleanupTestCase()
{
    nginx.terminate();
    nginx.waitForFinished();
    silent.kill();
    silent.waitForFinished();
    s3server.kill();
    s3server.waitForFinished();
}

// The request lines nginx logged since the last call: "URI STATUS", and in
// ranges.log "URI STATUS RANGE BYTES".
QStringList tst_zarr::fetched(const QString &name)
{
    QFile log(work.filePath(name));
    if (!log.open(QIODevice::ReadOnly) || !log.seek(logRead[name]))
        return {};
    const QByteArray text = log.readAll();
    logRead[name] += text.size();
    return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
}

void tst_zarr::planes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("web");
    QTest::addColumn<int>("first");   // of zarrita.js's fixtures, counting up; else -1
    QTest::addColumn<bool>("guessed");
    for (const char *name : { "tczyx", "zyx-gzip", "cyx-dots", "tyx-zstd", "czyx-float", "tyx-double", "yx-u4", "yx-raw", "missing" }) {
        QTest::addRow("%s, folder", name) << name << false << -1 << false;
        QTest::addRow("%s, web", name) << name << true << -1 << false;
    }
    const struct { const char *name; int first; bool guessed; } v3[] = {
        { "shard-end", -1, false },      // shards, index at the end with crc32c, chunks shuffled, some absent
        { "shard-start", -1, false },    // index at the start, no crc32c; big-endian, blosc
        { "transpose", -1, false },      // transposed, zstd, crc32c; "c.0.1.1"; a "NaN" fill
        { "v2-keys-u4", -1, false },     // v2 key encoding, big-endian 32 bits past 16
        { "v2-keys-i4", -1, false },     // the same signed, sharded
        { "plate", -1, false },          // a plate's first field
        { "plate/A/1", -1, false },      // a well by its own address
        { "plate/A/1/0", -1, false },    // a field by its own
        { "plain-v3", -1, true },        // an array without OME metadata
        { "v2-nosep", -1, true },        // .zarray without dimension_separator: "."
        { "v2-nan-float", -1, true },    // fill "NaN" in a float array
        { "v2-nan-int", -1, false },     // and in an integer one: 0
        { "v2-be-u4", -1, true },        // >u4
        { "v2-be-i4", -1, false },       // >i4
        { "fixtures/2d.chunked.i2", 1, false },
        { "fixtures/2d.chunked.compressed.sharded.i2", 1, false },
        { "fixtures/2d.chunked.compressed.sharded.filled.i2", 0, false },
        { "fixtures/3d.chunked.mixed.i2.F", 0, true },
        { "fixtures/3d.chunked.mixed.compressed.sharded.i2", 0, true },
    };
    for (const auto &row : v3) {
        QTest::addRow("v3/%s, folder", row.name) << QString("v3/") + row.name << false << row.first << row.guessed;
        QTest::addRow("v3/%s, web", row.name) << QString("v3/") + row.name << true << row.first << row.guessed;
    }
}

// Every sample of every plane, chunks that overhang the array's edges and a
// missing chunk (the fill value) among them.  inputs3.py gives every sample
// it wrote in expected.f8, fill values included.
void tst_zarr::planes()
{
    QFETCH(QString, name);
    QFETCH(bool, web);
    QFETCH(int, first);
    QFETCH(bool, guessed);
    const QJsonObject manifest = QJsonDocument::fromJson(contents(work.filePath("data/" + name + "/manifest.json"))).object();
    const QByteArray expected = contents(work.filePath("data/" + name + "/expected.f8"));
    QString error;
    std::unique_ptr<stack> s = openStack({ web ? url("data/" + name) : work.filePath("data/" + name) }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->axesGuessed, guessed);
    const QString axes = manifest["axes"].toString();
    const QJsonArray shape = manifest["shape"].toArray();
    const auto extent = [&](char a) { return axes.contains(a) ? shape[axes.indexOf(a)].toInt() : 1; };
    if (first < 0)
        QCOMPARE(QList<int>({ s->times, int(s->channels.size()), s->planes, s->height, s->width }),
                 QList<int>({ extent('t'), extent('c'), extent('z'), extent('y'), extent('x') }));
    if (name == "v3/shard-end") {
        QCOMPARE(s->description, QString("OME-Zarr 0.5"));
        QCOMPARE(s->levels.size(), size_t(2));
        QCOMPARE(s->channels[1].name, QString("C1"));
        QCOMPARE(s->pixelWidth.value_or(0), 0.5);
    }
    planeData plane;
    qsizetype i = 0;
    for (int t = 0; t < s->times; ++t)
        for (int c = 0; c < int(s->channels.size()); ++c)
            for (int z = 0; z < s->planes; ++z) {
                QVERIFY2(s->read(t, z, c, plane), qPrintable(s->error()));
                for (int y = 0; y < s->height; ++y)
                    for (int x = 0; x < s->width; ++x, ++i) {
                        const int at[5] = { t, c, z, y, x };
                        double wanted = double(first + i);
                        if (!expected.isEmpty())
                            std::memcpy(&wanted, expected.constData() + 8 * i, 8);
                        else if (first < 0)
                            wanted = written(manifest, at);
                        // The chunk inputs.py left out: z 1, y 10 to 19, x 0 to 9.
                        if (name == "missing" && z == 1 && y >= 10 && x < 10)
                            wanted = 77;
                        const double got = sampleAt(plane, size_t(y) * s->width + x);
                        if (got != wanted && !(std::isnan(got) && std::isnan(wanted)))
                            QFAIL(qPrintable(QString("t %1 c %2 z %3 y %4 x %5: %6, not %7").arg(t).arg(c).arg(z).arg(y).arg(x).arg(got).arg(wanted)));
                    }
            }
}

// In the viewer: the fit view fetches the coarsest level with a pixel for
// each one shown, a step only the chunks of its frame, and 100 % only the
// finest level's chunks in view.
void tst_zarr::fetches()
{
    window w;
    w.fitAct->setChecked(true);
    fetched();
    w.openRecording({ url("data/pyramid") });
    w.repaint();
    settle();
    const QSize area = w.imageLabel->size();
    int level = 3;
    while (level > 0 && (2048 >> level) < std::max(area.width(), area.height()))
        --level;
    QVERIFY(level > 0);
    const auto chunks = [&](const QStringList &lines, const QString &pattern) {
        return lines.filter(QRegularExpression("^/data/pyramid/" + pattern + " 200$")).size();
    };
    const int perPlane = std::max(1, (2048 >> level) / 256) * std::max(1, (2048 >> level) / 256);
    QStringList lines = fetched();
    QCOMPARE(chunks(lines, QString("%1/0/[01]/\\d+/\\d+").arg(level)), 2 * perPlane);
    QCOMPARE(chunks(lines, "\\d/\\d+/\\d+/\\d+/\\d+"), 2 * perPlane);

    w.nextTime();
    w.repaint();
    settle();
    lines = fetched();
    QCOMPARE(chunks(lines, QString("%1/1/[01]/\\d+/\\d+").arg(level)), 2 * perPlane);
    QCOMPARE(lines.filter(QRegularExpression("^/data/pyramid/")).size(), 2 * perPlane);

    w.fitAct->setChecked(false);
    w.repaint();
    settle();
    lines = fetched();
    const int across = area.width() / 256 + 2;
    const int down = area.height() / 256 + 2;
    QVERIFY(chunks(lines, "0/1/[01]/\\d+/\\d+") > 0);
    QVERIFY(chunks(lines, "0/1/[01]/\\d+/\\d+") <= 2 * across * down);
    QCOMPARE(chunks(lines, "0/1/[01]/\\d+/\\d+"), lines.size());
}

void tst_zarr::faults_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("reason");
    QTest::newRow("the server fails") << "fail500/data/tczyx" << 2 << "the server answers 500";
    QTest::newRow("the server closes") << "close/data/tczyx" << 2 << "Empty reply from server";
    QTest::newRow("the server stalls") << "stall/data/tczyx" << 2 << "timed out";
    QTest::newRow("the server does not answer") << "silent/data/tczyx" << 30 << "127.0.0.1:%1: not answering";
    QTest::newRow("a chunk of garbage, web") << "data/garbage" << 2 << "not a blosc chunk";
    QTest::newRow("a chunk of garbage, folder") << "" << 2 << "not a blosc chunk";
}

// A one-line reason that names the chunk, within the timeout or 5 s without
// an answer, and the planes that do read still read; a server that did not
// answer fails the next read at once.
void tst_zarr::faults()
{
    QFETCH(QString, where);
    QFETCH(int, timeout);
    QFETCH(QString, reason);
    reason = reason.arg(port);
    stackOptions options;
    options.timeout = timeout;
    QString error;
    std::unique_ptr<stack> s = openStack({ where.isEmpty() ? work.filePath("data/garbage") : url(where) }, options, &error);
    QVERIFY2(s, qPrintable(error));
    QElapsedTimer clock;
    clock.start();
    planeData plane;
    const bool read = s->read(0, 1, 0, plane);
    QVERIFY(clock.elapsed() < 7000);
    QVERIFY(!read);
    QVERIFY2(s->error().contains(reason) && !s->error().contains('\n'), qPrintable(s->error()));
    QVERIFY2(s->error().contains(where.isEmpty() ? QString("garbage/0/1/0/") : where + "/0/"), qPrintable(s->error()));
    // What did not come is said, and what came is in place.
    QRect lost;
    for (const QRect &part : s->missed())
        lost |= part;
    QCOMPARE(lost, where.contains("garbage") || where.isEmpty() ? QRect(10, 0, 10, 10) : QRect(0, 0, 23, 37));
    if (where.contains("garbage") || where.isEmpty()) {
        QCOMPARE(sampleAt(plane, 0), 102.0);
        QCOMPARE(sampleAt(plane, 10 * 20 + 15), 337.0);
        QVERIFY(s->read(0, 0, 0, plane));
    }
    if (where.startsWith("silent")) {
        clock.restart();
        QVERIFY(!s->read(0, 0, 0, plane));
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY2(s->error().contains(reason), qPrintable(s->error()));
    }
}

// In the window, a chunk that did not come is hatched over the frame, whose
// other chunks are shown, and the reason is written over it.
void tst_zarr::hatched()
{
    window w;
    w.resize(400, 300);
    w.openRecording({ work.filePath("data/garbage") });
    w.downFocal();
    w.repaint();
    settle();
    const QImage shot = w.imageLabel->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRectF frame = w.imageLabel->frameInView();
    QCOMPARE(frame.size(), QSizeF(20, 20));
    const auto amber = [&](const QRect &part) {
        int count = 0;
        for (int y = part.top(); y <= part.bottom(); ++y)
            for (int x = part.left(); x <= part.right(); ++x)
                count += qRed(shot.pixel(x, y)) > qGreen(shot.pixel(x, y)) && qBlue(shot.pixel(x, y)) == 0;   // the frame is grey
        return count;
    };
    const QPoint at = frame.topLeft().toPoint();
    QVERIFY(amber(QRect(at + QPoint(10, 0), QSize(10, 10))) >= 10);
    QCOMPARE(amber(QRect(at, QSize(10, 10))), 0);
    QCOMPARE(amber(QRect(at + QPoint(0, 10), QSize(20, 10))), 0);
    QVERIFY(shot.pixel(at + QPoint(0, 12)) != shot.pixel(at + QPoint(9, 12)));   // the samples that came, not an empty area
}

// The chunks of a region are fetched together, over at most six
// connections, which stay open for the next read.
void tst_zarr::together()
{
    QString error;
    std::unique_ptr<stack> s = openStack({ url("data/pyramid") }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    fetched("connections.log");
    QSet<QString> first, second;
    planeData plane;
    for (QSet<QString> *connections : { &first, &second }) {
        QVERIFY2(s->readRegion(connections == &first ? 0 : 1, 0, 0, 0, QRect(0, 0, 2048, 2048), plane), qPrintable(s->error()));
        QStringList lines;
        QTRY_VERIFY((lines += fetched("connections.log"), lines.filter(QRegularExpression("^\\S+ 200 ")).size() >= 64));
        for (const QString &line : lines)
            connections->insert(line.section(' ', 2));
    }
    const QString seen = QStringList(first.values()).join(' ') + " / " + QStringList(second.values()).join(' ');
    // How many a read opens depends on how fast the server answers: on a
    // busy machine one connection can serve all.
    QVERIFY2(first.size() <= 6 && second.size() <= 6, qPrintable(seen));
    QVERIFY2(first.intersects(second), qPrintable(seen));
}

// Through a link with a round trip of 50 ms, the chunks of both channels'
// regions (four each) are asked for together: more connections are open at
// once than one channel's chunks would need.
void tst_zarr::inParallel()
{
    QProcess proxy;
    proxy.start("/usr/bin/python3", { LATENCYPROXY_PY, QString::number(port), "--delay", "50" });
    QVERIFY(proxy.waitForReadyRead(20000));
    const int through = proxy.readLine().trimmed().toInt();
    QString error;
    std::unique_ptr<stack> s = openStack({ QString("http://127.0.0.1:%1/data/pyramid").arg(through) }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    std::vector<planeData> planes;
    QVERIFY2(s->readChannels(0, 0, 0, QRect(0, 0, 512, 512), planes), qPrintable(s->error()));
    QCOMPARE(planes.size(), size_t(2));
    s.reset();
    QByteArray said;
    QTRY_VERIFY((said += proxy.readAll()).contains("connections 0 "));
    proxy.terminate();
    proxy.waitForFinished();
    const QByteArrayList lines = (said + proxy.readAll()).split('\n');
    int most = 0;
    for (const QByteArray &line : lines)
        if (line.startsWith("connections "))
            most = std::max(most, line.split(' ').value(3).toInt());
    QVERIFY2(most > 4 && most <= 6, qPrintable(QString::number(most)));
}

void tst_zarr::secure_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("reason");
    QTest::newRow("trusted, over HTTP/2") << "127.0.0.1" << true << "";
    QTest::newRow("not trusted") << "127.0.0.1" << false << "the server's certificate is not trusted";
    QTest::newRow("for another name") << "localhost" << true << "the server's certificate is for another name";
}

// Over TLS, the certificate named by CURL_CA_BUNDLE is trusted and HTTP/2
// carries every request, a shard's by ranges, over one connection; faults
// of the certificate are said plainly.
void tst_zarr::secure()
{
    QFETCH(QString, host);
    QFETCH(bool, trusted);
    QFETCH(QString, reason);
    qunsetenv("SSL_CERT_FILE");
    qputenv("CURL_CA_BUNDLE", work.filePath(trusted ? "cert.pem" : "other.pem").toUtf8());
    fetched("secure.log");
    QString error;
    std::unique_ptr<stack> s = openStack({ QString("https://%1:%2/data/v3/shard-end").arg(host).arg(tlsPort) }, stackOptions(), &error);
    planeData plane;
    if (s && !s->read(0, 0, 0, plane))
        error = s->error();
    qunsetenv("CURL_CA_BUNDLE");
    if (!reason.isEmpty()) {
        QVERIFY2(error.contains(reason) && !error.contains('\n'), qPrintable(error));
        return;
    }
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList lines;
    QTRY_VERIFY((lines += fetched("secure.log")).filter(" 206 ").size() >= 2);
    QSet<QString> connections;
    for (const QString &line : lines) {
        QVERIFY2(line.section(' ', 2, 2) == "HTTP/2.0", qPrintable(line));
        QVERIFY2(!line.contains("/0/c/") || line.section(' ', 1, 1) == "206", qPrintable(line));
        connections.insert(line.section(' ', 3, 3));
    }
    QCOMPARE(connections.size(), 1);
}

// Of a shard, its index by one range and then only the chunks asked for,
// neighbours in one range; the index is read once, and those of the frames
// a step away come with the chunks.
void tst_zarr::shardRanges()
{
    QString error;
    std::unique_ptr<stack> s = openStack({ url("data/v3/shard-end") }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    const QString shard = "/data/v3/shard-end/0/c/0/0/0/0/0";
    const qint64 shardSize = QFileInfo(work.filePath(shard.mid(1))).size();
    fetched("ranges.log");
    planeData plane;
    QVERIFY2(s->readRegion(0, 0, 0, 0, QRect(0, 0, 16, 16), plane), qPrintable(s->error()));
    // nginx logs a request once it has answered it: a moment later.  With
    // the chunks came the index of the shard of the next time point.
    const QString next = "/data/v3/shard-end/0/c/1/0/0/0/0";
    QStringList lines;
    QTRY_COMPARE((lines += fetched("ranges.log")).size(), 3);
    lines.sort();
    QVERIFY2(lines[0].startsWith(shard + " 206 bytes=-132 "), qPrintable(lines[0]));
    QVERIFY2(lines[1].startsWith(shard + " 206 bytes=") && lines[1].section(' ', 3).toLongLong() < shardSize / 4, qPrintable(lines[1]));
    QVERIFY2(lines[2].startsWith(next + " 206 bytes=-132 "), qPrintable(lines[2]));
    // A step there asks for its chunks alone.
    QVERIFY2(s->readRegion(1, 0, 0, 0, QRect(0, 0, 16, 16), plane), qPrintable(s->error()));
    lines.clear();
    QTRY_VERIFY(!(lines += fetched("ranges.log")).filter(next + " ").isEmpty());
    QTest::qWait(200);
    lines += fetched("ranges.log");
    QVERIFY2(lines.filter(next + " ").size() == 1 && lines.filter(next + " 206 bytes=-").isEmpty(), qPrintable(lines.join('|')));
    // The four chunks of the plane: no index again, and neither the whole shard.
    QVERIFY2(s->readRegion(0, 0, 0, 0, QRect(0, 0, 32, 32), plane), qPrintable(s->error()));
    lines.clear();
    QTRY_VERIFY(!(lines += fetched("ranges.log")).isEmpty());
    QTest::qWait(200);
    lines += fetched("ranges.log");
    QVERIFY2(lines.size() <= 3 && lines.filter("bytes=-").isEmpty(), qPrintable(lines.join('|')));
    for (const QString &line : lines)
        QVERIFY2(line.section(' ', 3).toLongLong() < shardSize - 132, qPrintable(line));
}

void tst_zarr::badInputs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a shard index cut short") << "short-index" << "a shard index of 30 bytes where 132 are due";
    QTest::newRow("offsets past the shard's end") << "past-end" << "outside the shard's";
    QTest::newRow("a wrong checksum") << "checksum" << "CRC-32C checksum is wrong";
    QTest::newRow("an unknown codec") << "codec" << "codec 'lz4' is not read";
    QTest::newRow("a zarr.json that is not JSON") << "not-json" << "zarr.json is not JSON";
}

// A one-line reason that names the input, on opening or on reading, from
// the folder and over HTTP alike.
void tst_zarr::badInputs()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    for (const QString &where : { work.filePath("data/v3/bad/" + name), url("data/v3/bad/" + name) }) {
        QString error;
        std::unique_ptr<stack> s = openStack({ where }, stackOptions(), &error);
        planeData plane;
        if (s && !s->read(0, 0, 0, plane))
            error = s->error();
        QVERIFY2(error.contains(reason) && !error.contains('\n') && error.startsWith(where), qPrintable(error));
    }
}

// What is there instead of an image; the viewer still opens a folder of images as their series.
void tst_zarr::noImage()
{
    QString error;
    QVERIFY(!openStack({ url("data/none.zarr") }, stackOptions(), &error));
    QCOMPARE(error, url("data/none.zarr") + ": the server has no OME-Zarr image there (404)");
    const QString tiffs = work.filePath("data/tiffs");
    QVERIFY(!openStack({ tiffs }, stackOptions(), &error));
    QCOMPARE(error, tiffs + ": holds no OME-Zarr image (no .zattrs, .zgroup or zarr.json); it holds 2 TIFF files and 1 other file");
    QVERIFY2(recordingsource::open({ tiffs }, -1, &error), qPrintable(error));
}

// A dataset saved from a URL names the URL as its input, not a path made of it.
void tst_zarr::savedFromUrl()
{
    const QString input = url("data/v3/plate/A/1");
    QProcess run;
    run.start(QStringLiteral(IMPORTER), { "--name", "well", "-o", work.filePath("well"), input });
    QVERIFY2(run.waitForFinished(60000) && run.exitCode() == 0, run.readAllStandardError().constData());
    const QJsonObject record = QJsonDocument::fromJson(contents(work.filePath("well/well.import.json"))).object();
    QCOMPARE(record["inputs"].toArray(), QJsonArray({ QJsonObject { { "url", input } } }));
}

void tst_zarr::s3_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("environment");   // %1: the server's port
    QTest::addColumn<QString>("reason");            // empty: every request served as "how"
    QTest::addColumn<QString>("how");
    const QStringList one = { "AWS_ACCESS_KEY_ID=AKIDTESTONE", "AWS_SECRET_ACCESS_KEY=secretOne/abc+def" };
    const QStringList two = { "AWS_ACCESS_KEY_ID=AKIDTESTTWO", "AWS_SECRET_ACCESS_KEY=secretTwo" };
    const QStringList files = { "AWS_SHARED_CREDENTIALS_FILE=aws-credentials", "AWS_CONFIG_FILE=aws-config" };
    const QString endpoint = "AWS_ENDPOINT_URL_S3=http://127.0.0.1:%1";
    const QString image = "s3://%1/v3/shard-end";
    QTest::newRow("keys from the environment, before the profile's")
            << image.arg("private") << one + files + QStringList { endpoint } << "" << "signed/us-west-2";
    QTest::newRow("a session token")
            << image.arg("private") << two + QStringList { "AWS_SESSION_TOKEN=tokenTwo", "AWS_REGION=eu-west-1", "AWS_ENDPOINT_URL=http://127.0.0.1:%1" }
            << "" << "signed/eu-west-1";
    QTest::newRow("a profile's keys, region and endpoint")
            << image.arg("private") << files + QStringList { "AWS_PROFILE=lab" } << "" << "signed/ap-south-1";
    QTest::newRow("the endpoint's http address") << "http://127.0.0.1:%1/private/v3/shard-end"
            << one + QStringList { endpoint, "AWS_DEFAULT_REGION=eu-north-1" } << "" << "signed/eu-north-1";
    QTest::newRow("anonymous, a public bucket") << image.arg("public") << QStringList { endpoint } << "" << "anonymous";
    QTest::newRow("anonymous, a private bucket") << image.arg("private") << QStringList { endpoint }
            << "the server answers 403: AccessDenied (Access Denied)" << "";
    QTest::newRow("a wrong secret") << image.arg("private") << QStringList { "AWS_ACCESS_KEY_ID=AKIDTESTONE", "AWS_SECRET_ACCESS_KEY=secretOne", endpoint }
            << "the server answers 403: SignatureDoesNotMatch (The request signature we calculated" << "";
    QTest::newRow("an expired token") << image.arg("private") << two + QStringList { "AWS_SESSION_TOKEN=expired", endpoint }
            << "the server answers 400: ExpiredToken (The provided token has expired.)" << "";
    QTest::newRow("a chunk refused, not the fill value") << image.arg("denied") << one + QStringList { endpoint }
            << "s3://denied/v3/shard-end/0/c/0/1/0/0/" << "";
    QTest::newRow("a refusal not in S3's XML") << image.arg("textonly") << one + QStringList { endpoint }
            << "the server answers 403, without S3's reason" << "";
    QTest::newRow("no bucket") << "s3:///v3/shard-end" << one << "an s3:// address names a bucket" << "";
}

// Signed and anonymous S3 reads give the planes the folder holds; S3's
// refusals give its reason, and never the keys.
void tst_zarr::s3()
{
    QFETCH(QString, address);
    QFETCH(QStringList, environment);
    QFETCH(QString, reason);
    QFETCH(QString, how);
    static const char *const names[] = { "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
                                         "AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE", "AWS_REGION", "AWS_DEFAULT_REGION",
                                         "AWS_ENDPOINT_URL_S3", "AWS_ENDPOINT_URL" };
    for (const char *name : names)
        qunsetenv(name);
    qputenv("HOME", work.path().toUtf8());   // no ~/.aws of the person running the tests
    for (const QString &setting : environment) {
        QString value = setting.section('=', 1).replace("%1", QString::number(s3port));
        if (value.startsWith("aws-"))
            value = work.filePath(value);
        qputenv(setting.section('=', 0, 0).toUtf8(), value.toUtf8());
    }
    fetched("s3.log");
    QString error;
    std::unique_ptr<stack> s = openStack({ address.replace("%1", QString::number(s3port)) }, stackOptions(), &error);
    planeData plane, wanted;
    if (s && !s->read(0, 0, 1, plane))
        error = s->error();
    for (const char *name : names)
        qunsetenv(name);
    if (!reason.isEmpty()) {
        QVERIFY2(error.contains(reason) && !error.contains("AKIDTEST") && !error.contains("secret"), qPrintable(error));
        return;
    }
    QVERIFY2(s && error.isEmpty(), qPrintable(error));
    std::unique_ptr<stack> folder = openStack({ work.filePath("data/v3/shard-end") }, stackOptions(), &error);
    QVERIFY(folder && folder->read(0, 0, 1, wanted));
    QVERIFY(plane.bytes == wanted.bytes);
    QStringList lines;
    QTRY_VERIFY(!(lines += fetched("s3.log")).isEmpty());
    for (const QString &line : lines)
        QVERIFY2(line.section(' ', 3, 3) == how && QStringList({ "200", "206", "404" }).contains(line.section(' ', 2, 2)), qPrintable(line));
    QVERIFY2(!lines.filter(" bytes=").isEmpty(), qPrintable(lines.join('|')));
}

QTEST_MAIN(tst_zarr)
#include "tst_zarr.moc"
