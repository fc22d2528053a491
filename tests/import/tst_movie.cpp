// tesseline-import --movie: what ffprobe says of the movie, and its frames
// decoded by ffmpeg against the dataset written with the same options.
#include <QtTest>

#include <cmath>

class tst_movie : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void movie_data();
    void movie();
    void failure_data();
    void failure();
    void inputChanges();

private:
    QString freshDir()
    {
        static int count = 0;
        return QDir(outputs.path()).mkdir(QString("m%1").arg(++count)) ? outputs.filePath(QString("m%1").arg(count)) : QString();
    }

    QTemporaryDir inputs;
    QTemporaryDir outputs;
};

struct result { int exitCode = -1; QByteArray out; QByteArray err; };

static result run(const QString &program, const QStringList &arguments, const QString &dir = QString())
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(240000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError() };
}

// Every file and folder in dir, hidden ones too.
static QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Pearson's correlation of the RGB samples of two images in region.
static double correlation(const QImage &a, const QImage &b, const QRect &region)
{
    double n = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
            for (int shift : { 16, 8, 0 }) {
                const double u = (a.pixel(x, y) >> shift) & 255, v = (b.pixel(x, y) >> shift) & 255;
                n += 1, sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v;
            }
    return (n * sab - sa * sb) / std::sqrt((n * saa - sa * sa) * (n * sbb - sb * sb));
}

void tst_movie::initTestCase()
{
    const result r = run("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY2(r.exitCode == 0, r.err.constData());
}

void tst_movie::movie_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");         // those a dataset takes too
    QTest::addColumn<QStringList>("movieOptions");
    QTest::addColumn<QString>("probed");              // codec, width, height, pixel format, frame rate, frames
    QTest::addColumn<QPoint>("first");                // (t, z) of the dataset's frames: t or z counts up
    QTest::addColumn<QRect>("compared");              // the part without overlays

    const QRect whole(0, 0, 161, 121);
    QTest::newRow("mp4 over time, the fps stored, odd size padded")
            << "calibrated.tif" << QStringList() << QStringList() << "h264,162,122,yuv420p,3/1,6" << QPoint(-1, 2) << whole;
    QTest::newRow("avi over planes at a time point, fractional fps")
            << "calibrated.tif" << QStringList() << QStringList { "--over", "planes", "--time", "4", "--fps", "2.5" }
            << "mjpeg,162,122,yuvj420p,5/2,5" << QPoint(4, -1) << whole;
    QTest::newRow("one channel, a window and a colour, plane 4, small")
            << "calibrated.tif" << QStringList { "--channel", "1", "--range", "1=500:3500", "--colour", "1=orange" }
            << QStringList { "--plane", "4", "--quality", "small" } << "h264,162,122,yuv420p,3/1,6"
            << QPoint(-1, 4) << whole;
    QTest::newRow("no fps stored: 7, scaled down")
            << "plain.tif" << QStringList() << QStringList { "--max-width", "32" } << "h264,32,24,yuv420p,7/1,4"
            << QPoint(-1, 1) << QRect(0, 0, 32, 24);
    QTest::newRow("scale bar and time stamps")
            << "calibrated.tif" << QStringList() << QStringList { "--scale-bar", "--time-stamp" }
            << "h264,162,122,yuv420p,3/1,6" << QPoint(-1, 2) << QRect(0, 60, 80, 61);
}

void tst_movie::movie()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(QStringList, movieOptions);
    QFETCH(QString, probed);
    QFETCH(QPoint, first);
    QFETCH(QRect, compared);
    const QStringList probe = probed.split(',');
    const QSize size(probe[1].toInt(), probe[2].toInt());
    const int frames = probe[5].toInt();

    const QString dir = freshDir();
    const QString movie = dir + (probe[0] == "h264" ? "/out.mp4" : "/out.avi");
    result r = run(IMPORTER, QStringList { inputs.filePath(file), "--movie", movie, "--json-progress" } + options + movieOptions);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArrayList lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), frames + 1);
    QCOMPARE(QJsonDocument::fromJson(lines.last()).object(), (QJsonObject { { "done", true }, { "file", movie } }));
    QCOMPARE(entries(dir), QStringList { QFileInfo(movie).fileName() });

    r = run("ffprobe", { "-v", "error", "-count_frames", "-show_entries",
                         "stream=codec_name,width,height,pix_fmt,avg_frame_rate,nb_read_frames", "-of", "csv=p=0", movie });
    QCOMPARE(QString(r.out.trimmed()), probed);

    const QString dataset = dir + "/dataset";
    r = run(IMPORTER, QStringList { inputs.filePath(file), "-o", dataset, "--name", "d", "-q" } + options);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = run("ffmpeg", { "-v", "error", "-i", movie, "-f", "rawvideo", "-pix_fmt", "rgb24", "-" });
    const qsizetype frameBytes = qsizetype(size.width()) * size.height() * 3;
    QCOMPARE(r.out.size(), frameBytes * frames);
    for (int i = 0; i < frames; ++i) {
        const QImage decoded = QImage(reinterpret_cast<const uchar *>(r.out.constData()) + i * frameBytes,
                                      size.width(), size.height(), size.width() * 3, QImage::Format_RGB888)
                                       .convertToFormat(QImage::Format_RGB32);
        QImage expected = QImage(QString("%1/img/d_t%2_z%3_ch000.jpg").arg(dataset).arg(first.x() < 0 ? i : first.x(), 3, 10, QChar('0'))
                                         .arg(first.y() < 0 ? i : first.y(), 3, 10, QChar('0'))).convertToFormat(QImage::Format_RGB32);
        QVERIFY(!expected.isNull());
        if (expected.width() > size.width())
            expected = expected.scaled(compared.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const double r = correlation(decoded, expected, compared);
        QVERIFY2(r >= 0.98, qPrintable(QString("frame %1: correlation %2").arg(i).arg(r)));
        // The overlays are there: the corner of the time stamp is not the dataset's.
        if (movieOptions.contains("--time-stamp"))
            QVERIFY(correlation(decoded, expected, QRect(0, 0, 30, 20)) < 0.9);
    }
}

void tst_movie::failure_data()
{
    QTest::addColumn<QStringList>("arguments");       // run in a fresh folder holding a folder folder.mp4
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    const QString calibrated = inputs.filePath("calibrated.tif");
    QTest::newRow("not mp4 or avi") << QStringList { calibrated, "--movie", "out.mov" } << 2 << "";
    QTest::newRow("--fps 0") << QStringList { calibrated, "--movie", "out.mp4", "--fps", "0" } << 2 << "";
    QTest::newRow("--plane past the last") << QStringList { calibrated, "--movie", "out.mp4", "--plane", "5" } << 2 << "";
    QTest::newRow("--over planes with --project")
            << QStringList { calibrated, "--movie", "out.mp4", "--over", "planes", "--project", "max" } << 2 << "";
    QTest::newRow("--scale-bar without pixel sizes")
            << QStringList { inputs.filePath("plain.tif"), "--movie", "out.mp4", "--scale-bar" } << 2 << "gives no pixel size";
    QTest::newRow("a folder in the way")
            << QStringList { inputs.filePath("long.tif"), "--movie", "folder.mp4", "--force" } << 1 << "is a folder";
    QTest::newRow("no room left mid-way")
            << QStringList { inputs.filePath("long.tif"), "--movie", "out.avi", "--quality", "high", "--force" } << 1 << "File too large";
}

// Misuse exits with 2, a movie that cannot be written with 1 and one line;
// neither leaves anything behind.  Files may grow to 8 kB, less than the movie.
void tst_movie::failure()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    const QString dir = freshDir();
    QDir(dir).mkdir("folder.mp4");
    const result r = run("bash", QStringList { "-c", "ulimit -f 8 && exec \"$@\"", "-", IMPORTER } + arguments, dir);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(error.toUtf8()) && (exitCode == 2 || r.err.count('\n') == 1), r.err.constData());
    QCOMPARE(entries(dir), QStringList { "folder.mp4" });
}

// A recording rewritten while its movie is made: the movie stops, and nothing is left.
void tst_movie::inputChanges()
{
    const QString dir = freshDir();
    const QString file = dir + "/long.tif";
    QVERIFY(QFile::copy(inputs.filePath("long.tif"), file));
    QProcess process;
    process.start(IMPORTER, { file, "--movie", dir + "/out.mp4", "--json-progress" });
    QVERIFY(process.waitForReadyRead(60000));
    QFile changed(file);
    QVERIFY(changed.open(QIODevice::Append) && changed.write("more") == 4);
    changed.close();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("changed while the movie was being written"));
    QCOMPARE(entries(dir), QStringList { "long.tif" });
}

QTEST_GUILESS_MAIN(tst_movie)
#include "tst_movie.moc"
