// OME-Zarr written by python3-zarr at test time, read chunk by chunk from
// its folder and from nginx on loopback: every sample of every plane against
// the value the writer put there, the chunks a step and the fit view fetch,
// and what a failing server gives.
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

private:
    QString url(const QString &path) const { return QString("http://127.0.0.1:%1/%2").arg(port).arg(path); }
    QStringList fetched();

    QTemporaryDir work;
    QProcess nginx;
    int port = 0;
    qint64 logRead = 0;
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
    return p.format == sampleFormat::floatingPoint ? double(f) : double(v);
}

} // namespace

void tst_zarr::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    const QString data = work.filePath("data");
    QProcess python;
    python.start("/usr/bin/python3", { INPUTS_PY, data });
    QVERIFY2(python.waitForFinished(120000) && python.exitCode() == 0, python.readAllStandardError().constData());

    // Metadata is served everywhere; below fail500/, close/ and stall/ the
    // chunks fail: an error, a connection closed without an answer, and one
    // byte a second.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    port = probe.serverPort();
    probe.close();
    const QString w = work.path();
    QString locations;
    for (const char *fault : { "fail500", "close", "stall" })
        locations += QString("location ~ ^/%1/(.*\\.z(attrs|array|group))$ { alias %2/$1; }\n").arg(fault, w);
    writeFile(work.filePath("nginx.conf"), QString(R"(daemon off; master_process off; pid %1/nginx.pid;
error_log %1/error.log;
events { worker_connections 64; }
http {
    client_body_temp_path %1; proxy_temp_path %1; fastcgi_temp_path %1; uwsgi_temp_path %1; scgi_temp_path %1;
    log_format plain '$request_uri $status';
    access_log %1/access.log plain;
    server {
        listen 127.0.0.1:%2;
        root %3;
        %4
        location /fail500/ { return 500; }
        location /close/ { return 444; }
        location /stall/ { alias %3/; limit_rate 1; }
    }
})").arg(w).arg(port).arg(w, locations).toUtf8());
    nginx.start("/usr/sbin/nginx", { "-p", w, "-c", work.filePath("nginx.conf"), "-e", work.filePath("error.log") });
    QVERIFY(nginx.waitForStarted());
    QTcpSocket socket;
    QTRY_VERIFY_WITH_TIMEOUT((socket.connectToHost(QHostAddress::LocalHost, quint16(port)), socket.waitForConnected(100)), 20000);
}

void tst_zarr::cleanupTestCase()
{
    nginx.terminate();
    nginx.waitForFinished();
}

// The request lines nginx logged since the last call.
QStringList tst_zarr::fetched()
{
    QFile log(work.filePath("access.log"));
    if (!log.open(QIODevice::ReadOnly) || !log.seek(logRead))
        return {};
    const QByteArray text = log.readAll();
    logRead += text.size();
    return QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts);
}

void tst_zarr::planes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("web");
    for (const char *name : { "tczyx", "zyx-gzip", "cyx-dots", "tyx-zstd", "czyx-float", "tyx-double", "yx-u4", "yx-raw", "missing" }) {
        QTest::addRow("%s, folder", name) << name << false;
        QTest::addRow("%s, web", name) << name << true;
    }
}

// Every sample of every plane, chunks that overhang the array's edges and a
// missing chunk (the fill value) among them.
void tst_zarr::planes()
{
    QFETCH(QString, name);
    QFETCH(bool, web);
    QFile file(work.filePath("data/" + name + "/manifest.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
    QString error;
    std::unique_ptr<stack> s = openStack({ web ? url("data/" + name) : work.filePath("data/" + name) }, stackOptions(), &error);
    QVERIFY2(s, qPrintable(error));
    const QString axes = manifest["axes"].toString();
    const QJsonArray shape = manifest["shape"].toArray();
    const auto extent = [&](char a) { return axes.contains(a) ? shape[axes.indexOf(a)].toInt() : 1; };
    QCOMPARE(QList<int>({ s->times, int(s->channels.size()), s->planes, s->height, s->width }),
             QList<int>({ extent('t'), extent('c'), extent('z'), extent('y'), extent('x') }));
    planeData plane;
    for (int t = 0; t < s->times; ++t)
        for (int c = 0; c < int(s->channels.size()); ++c)
            for (int z = 0; z < s->planes; ++z) {
                QVERIFY2(s->read(t, z, c, plane), qPrintable(s->error()));
                for (int y = 0; y < s->height; ++y)
                    for (int x = 0; x < s->width; ++x) {
                        const int at[5] = { t, c, z, y, x };
                        // The chunk inputs.py left out: z 1, y 10 to 19, x 0 to 9.
                        const double wanted = name == "missing" && z == 1 && y >= 10 && x < 10 ? 77 : written(manifest, at);
                        const double got = sampleAt(plane, size_t(y) * s->width + x);
                        if (got != wanted)
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
    QTest::addColumn<QString>("reason");
    QTest::newRow("the server fails") << "fail500/data/tczyx" << "the server answers 500";
    QTest::newRow("the server closes") << "close/data/tczyx" << "Empty reply from server";
    QTest::newRow("the server stalls") << "stall/data/tczyx" << "timed out";
    QTest::newRow("a chunk of garbage, web") << "data/garbage" << "not a blosc chunk";
    QTest::newRow("a chunk of garbage, folder") << "" << "not a blosc chunk";
}

// A one-line reason that names the chunk, within the timeout, and the planes
// that do read still read.
void tst_zarr::faults()
{
    QFETCH(QString, where);
    QFETCH(QString, reason);
    stackOptions options;
    options.timeout = 2;
    QString error;
    std::unique_ptr<stack> s = openStack({ where.isEmpty() ? work.filePath("data/garbage") : url(where) }, options, &error);
    QVERIFY2(s, qPrintable(error));
    QElapsedTimer clock;
    clock.start();
    planeData plane;
    const bool read = s->read(0, 1, 0, plane);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!read);
    QVERIFY2(s->error().contains(reason) && !s->error().contains('\n'), qPrintable(s->error()));
    QVERIFY2(s->error().contains(where.isEmpty() ? QString("garbage/0/1/0/") : where + "/0/"), qPrintable(s->error()));
    if (where.contains("garbage") || where.isEmpty())
        QVERIFY(s->read(0, 0, 0, plane));
}

QTEST_MAIN(tst_zarr)
#include "tst_zarr.moc"
