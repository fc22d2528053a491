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
    void misuse_data();
    void misuse();
    void unwritable_data();
    void unwritable();
    void inputChanges();

private:
    struct result { int exitCode = -1; QByteArray out; QByteArray err; };
    static result run(const QString &program, const QStringList &arguments);
    QString input(const QString &name) const { return inputs.filePath(name); }
    QString freshDir()
    {
        static int count = 0;
        return QDir(outputs.path()).mkdir(QString("m%1").arg(++count)) ? outputs.filePath(QString("m%1").arg(count)) : QString();
    }

    QTemporaryDir inputs;
    QTemporaryDir outputs;
};

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
    QVERIFY(inputs.isValid() && outputs.isValid() && QDir(outputs.path()).mkdir("misuse"));
    const result r = run("/usr/bin/python3", { INPUTS_PY, inputs.path() });
    QVERIFY2(r.exitCode == 0, r.err.constData());
}

tst_movie::result tst_movie::run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool ended = process.waitForFinished(240000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError() };
}

void tst_movie::movie_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");        // those a dataset takes too
    QTest::addColumn<QStringList>("movieOptions");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("first");                // (t, z) of the dataset's frames: t or z counts up
    QTest::addColumn<int>("frames");
    QTest::addColumn<QRect>("compared");              // the part without overlays

    const QRect whole(0, 0, 161, 121);
    QTest::newRow("mp4 over time, the fps stored, odd size padded")
            << "calibrated.tif" << QStringList() << QStringList() << "h264" << "3/1" << QSize(162, 122)
            << QPoint(-1, 2) << 6 << whole;
    QTest::newRow("avi over planes at a time point, fractional fps")
            << "calibrated.tif" << QStringList() << QStringList { "--over", "planes", "--time", "4", "--fps", "2.5" }
            << "mjpeg" << "5/2" << QSize(162, 122) << QPoint(4, -1) << 5 << whole;
    QTest::newRow("one channel, a window and a colour, plane 4, small")
            << "calibrated.tif" << QStringList { "--channel", "1", "--range", "1=500:3500", "--colour", "1=orange" }
            << QStringList { "--plane", "4", "--quality", "small" } << "h264" << "3/1" << QSize(162, 122)
            << QPoint(-1, 4) << 6 << whole;
    QTest::newRow("no fps stored: 7, scaled down")
            << "plain.tif" << QStringList() << QStringList { "--max-width", "32" } << "h264" << "7/1" << QSize(32, 24)
            << QPoint(-1, 1) << 4 << QRect(0, 0, 32, 24);
    QTest::newRow("scale bar and time stamps")
            << "calibrated.tif" << QStringList() << QStringList { "--scale-bar", "--time-stamp" } << "h264" << "3/1"
            << QSize(162, 122) << QPoint(-1, 2) << 6 << QRect(0, 60, 80, 61);
}

void tst_movie::movie()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(QStringList, movieOptions);
    QFETCH(QString, codec);
    QFETCH(QString, rate);
    QFETCH(QSize, size);
    QFETCH(QPoint, first);
    QFETCH(int, frames);
    QFETCH(QRect, compared);

    const QString suffix = codec == "h264" ? "mp4" : "avi";
    const QString dir = freshDir();
    const QString movie = dir + "/out." + suffix;
    result r = run(IMPORTER, QStringList { input(file), "--movie", movie, "--json-progress" } + options + movieOptions);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const QByteArrayList lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), frames + 1);
    QCOMPARE(QJsonDocument::fromJson(lines.last()).object(), (QJsonObject { { "done", true }, { "file", movie } }));
    QCOMPARE(entries(dir), QStringList { "out." + suffix });

    r = run("ffprobe", { "-v", "error", "-show_streams", "-count_frames", "-of", "json", movie });
    QCOMPARE(r.exitCode, 0);
    const QJsonObject stream = QJsonDocument::fromJson(r.out).object()["streams"].toArray().first().toObject();
    QCOMPARE(stream["codec_name"].toString(), codec);
    QCOMPARE(stream["pix_fmt"].toString(), codec == "h264" ? "yuv420p" : "yuvj420p");
    QCOMPARE(stream["avg_frame_rate"].toString(), rate);
    QCOMPARE(stream["nb_read_frames"].toString().toInt(), frames);
    QCOMPARE(QSize(stream["width"].toInt(), stream["height"].toInt()), size);

    // The dataset of the same frames, as the importer writes them.
    const QString dataset = dir + "/dataset";
    r = run(IMPORTER, QStringList { input(file), "-o", dataset, "--name", "d", "-q" } + options);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = run("ffmpeg", { "-v", "error", "-i", movie, "-f", "rawvideo", "-pix_fmt", "rgb24", "-" });
    QCOMPARE(r.exitCode, 0);
    const qsizetype frameBytes = qsizetype(size.width()) * size.height() * 3;
    QCOMPARE(r.out.size(), frameBytes * frames);
    for (int i = 0; i < frames; ++i) {
        const QImage decoded = QImage(reinterpret_cast<const uchar *>(r.out.constData()) + i * frameBytes,
                                      size.width(), size.height(), size.width() * 3, QImage::Format_RGB888)
                                       .convertToFormat(QImage::Format_RGB32);
        QImage expected(QString("%1/img/d_t%2_z%3_ch000.jpg").arg(dataset).arg(first.x() < 0 ? i : first.x(), 3, 10, QChar('0'))
                                .arg(first.y() < 0 ? i : first.y(), 3, 10, QChar('0')));
        QVERIFY(!expected.isNull());
        expected = expected.convertToFormat(QImage::Format_RGB32);
        if (expected.width() > size.width())
            expected = expected.scaled(compared.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const double r = correlation(decoded, expected, compared);
        QVERIFY2(r >= 0.98, qPrintable(QString("frame %1: correlation %2").arg(i).arg(r)));
        // The overlays are there: the corner of the time stamp is not the dataset's.
        if (movieOptions.contains("--time-stamp"))
            QVERIFY(correlation(decoded, expected, QRect(0, 0, 30, 20)) < 0.9);
    }
}

void tst_movie::misuse_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString movie = outputs.filePath("misuse/out.mp4");
    const QString calibrated = input("calibrated.tif");
    QTest::newRow("not mp4 or avi") << QStringList { calibrated, "--movie", outputs.filePath("misuse/out.mov") };
    QTest::newRow("--over sideways") << QStringList { calibrated, "--movie", movie, "--over", "sideways" };
    QTest::newRow("--fps 0") << QStringList { calibrated, "--movie", movie, "--fps", "0" };
    QTest::newRow("--plane past the last") << QStringList { calibrated, "--movie", movie, "--plane", "5" };
    QTest::newRow("--over planes with --project")
            << QStringList { calibrated, "--movie", movie, "--over", "planes", "--project", "max" };
    QTest::newRow("--quality 90") << QStringList { calibrated, "--movie", movie, "--quality", "90" };
    QTest::newRow("--scale-bar without pixel sizes")
            << QStringList { input("plain.tif"), "--movie", movie, "--scale-bar" };
}

void tst_movie::misuse()
{
    QFETCH(QStringList, arguments);
    const result r = run(IMPORTER, arguments);
    QCOMPARE(r.exitCode, 2);
    if (arguments.contains("--scale-bar"))
        QVERIFY2(r.err.contains("gives no pixel size"), r.err.constData());
    QVERIFY(entries(outputs.filePath("misuse")).isEmpty());
}

void tst_movie::unwritable_data()
{
    QTest::addColumn<QString>("movie");        // in a fresh folder
    QTest::addColumn<QString>("limit");        // ulimit -f, in kB
    QTest::addColumn<QString>("reason");
    QTest::newRow("a folder in the way") << "folder.mp4" << "unlimited" << "is a folder";
    QTest::newRow("no room left mid-way") << "out.avi" << "8" << "File too large";
}

void tst_movie::unwritable()
{
    QFETCH(QString, movie);
    QFETCH(QString, limit);
    QFETCH(QString, reason);
    const QString dir = freshDir();
    QDir(dir).mkdir("folder.mp4");
    const result r = run("bash", { "-c", QString("ulimit -f %1 && exec \"$@\"").arg(limit), "-", IMPORTER,
                                   input("long.tif"), "--movie", dir + "/" + movie, "--quality", "high", "--force" });
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(reason.toUtf8()) && r.err.count('\n') == 1, r.err.constData());
    QCOMPARE(entries(dir), QStringList { "folder.mp4" });
}

// A recording rewritten while its movie is made: the movie stops, and nothing is left.
void tst_movie::inputChanges()
{
    const QString dir = freshDir();
    const QString file = dir + "/long.tif";
    QVERIFY(QFile::copy(input("long.tif"), file));
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
