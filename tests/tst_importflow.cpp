#include "importdialog.h"
#include "importflow.h"
#include "recordingsource.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

using QSL = QStringList;

static recordingsource *recordingOf(const window &w)
{
    return dynamic_cast<recordingsource *>(w.frames());
}

class tst_importflow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void describedDialog();
    void commandLine_data();
    void commandLine();
    void failure_data();
    void failure();
    void replace();

private:
    importdialog *startDialog(window &w, const QStringList &inputs = QStringList());
    QList<QStringList> imports() const;
    QTemporaryDir dir;
};

template<typename T>
T *shown()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *t = qobject_cast<T *>(widget); t && t->isVisible())
            return t;
    }
    return nullptr;
}

// Recordings of three 8 x 8 pages, which the stand-in importer describes by their names.
void tst_importflow::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    writeFile(dir.filePath("frame.jpg"), blockFrame(8, 8, [](int, int) { return blockjpeg::pattern(64, 64); }));
    QStringList arguments { "-c", "import sys, numpy, tifffile\n"
                                  "for name in sys.argv[1:]:\n"
                                  "    tifffile.imwrite(name, numpy.zeros((3, 8, 8), numpy.uint8), photometric='minisblack')" };
    for (const char *name : { "two.tif", "grey8.tif", "broken.tif", "fails.tif", "slow.tif", "again.tif" })
        arguments << dir.filePath(name);
    QProcess python;
    python.start("/usr/bin/python3", arguments);
    QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
}

// The import dialog once it shows, for the recording given or what the window started.
importdialog *tst_importflow::startDialog(window &w, const QStringList &inputs)
{
    w.importFlow->program = STANDIN;
    if (!inputs.isEmpty()) {
        w.openRecording(inputs);
        w.saveAct->trigger();
    }
    importdialog *dialog = nullptr;
    [&] { QTRY_VERIFY((dialog = shown<importdialog>())); }();
    return dialog;
}

// The arguments of every import the stand-in ran.
QList<QStringList> tst_importflow::imports() const
{
    QFile log(dir.filePath("standin.log"));
    QList<QStringList> runs;
    for (const QByteArray &line : log.open(QIODevice::ReadOnly) ? log.readAll().trimmed().split('\n') : QByteArrayList())
        runs << QJsonDocument::fromJson(line).toVariant().toStringList();
    return runs;
}

// Each channel as described, its auto window measured in the background
// when Auto is its default or is chosen; another image, described anew.
void tst_importflow::describedDialog()
{
    window w;
    importdialog *d = startDialog(w, { dir.filePath("two.tif") });
    QCOMPARE(d->imageBox->count(), 2);
    QCOMPARE(d->imageBox->itemText(1), QString("2: Pos1"));
    QCOMPARE(d->channels[1].include->text(), QString("GFP"));
    auto *swatch = qobject_cast<QLabel *>(d->channelGrid->itemAtPosition(1, 1)->widget());
    QCOMPARE(swatch->pixmap().toImage().pixelColor(0, 0), QColor(Qt::green));
    QCOMPARE(d->channels[0].choice->itemText(0), QString("From the file: 100 – 2000"));
    QTRY_COMPARE(d->channels[1].choice->itemText(0), QString("Auto (0.35 %): 20 – 901"));
    QCOMPARE(d->channels[0].choice->itemText(1), QString("Auto (0.35 %)"));
    d->channels[0].choice->setCurrentIndex(1);
    QTRY_COMPARE(d->channels[0].choice->itemText(1), QString("Auto (0.35 %): 10 – 900"));

    d->imageBox->setCurrentIndex(1);
    emit d->imageBox->activated(1);
    QTRY_COMPARE(d->channels.size(), 1);
    QCOMPARE(d->channels[0].choice->itemText(0), QString("As stored: 0 – 255"));
    d->reject();
    QTRY_VERIFY(!w.importFlow->active);
}

void tst_importflow::commandLine_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("image");
    QTest::addColumn<QList<int>>("excluded");
    QTest::addColumn<QString>("choice"); // channel=default, channel=auto or channel=own (50 to 700)
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("options");
    // Channel 0 starts as the window shows it: 0 to 255, in grey.
    const QSL shown { "--range", "0=0:255", "--colour", "0=#ffffff" };
    QTest::newRow("one image as shown") << "grey8.tif" << -1 << QList<int>() << "" << "" << shown + QSL { "--name", "grey8" };
    QTest::newRow("the first of two images") << "two.tif" << -1 << QList<int>() << "" << ""
                                             << QSL { "--image", "0" } + shown + QSL { "--name", "two" };
    QTest::newRow("the second image, as described") << "two.tif" << 1 << QList<int>() << "" << ""
                                                    << QSL { "--image", "1", "--range", "0=0:255", "--name", "two" };
    QTest::newRow("the file's own window") << "two.tif" << -1 << QList<int>() << "0=default" << ""
                                           << QSL { "--image", "0", "--range", "0=100:2000", "--colour", "0=#ffffff", "--name", "two" };
    QTest::newRow("one channel of two") << "two.tif" << -1 << QList<int> { 0 } << "" << ""
                                        << QSL { "--image", "0", "--channel", "1", "--name", "two" };
    QTest::newRow("no channel") << "two.tif" << -1 << QList<int> { 0, 1 } << "" << "" << QSL();
    QTest::newRow("auto instead of the window shown") << "two.tif" << -1 << QList<int>() << "0=auto" << ""
                                                      << QSL { "--image", "0", "--range", "0=auto", "--colour", "0=#ffffff", "--name", "two" };
    QTest::newRow("a window of one's own") << "two.tif" << -1 << QList<int>() << "1=own" << ""
                                           << QSL { "--image", "0", "--range", "0=0:255", "--range", "1=50:700", "--colour", "0=#ffffff", "--name", "two" };
    QTest::newRow("the window of a channel left out") << "two.tif" << -1 << QList<int> { 1 } << "1=own" << ""
                                                      << QSL { "--image", "0", "--channel", "0" } + shown + QSL { "--name", "two" };
    QTest::newRow("only name characters are typed") << "grey8.tif" << -1 << QList<int>() << "" << "cell 1/b"
                                                    << shown + QSL { "--name", "cell1b" };
    QTest::newRow("no name of a folder's own") << "grey8.tif" << -1 << QList<int>() << "" << ".." << QSL();
}

void tst_importflow::commandLine()
{
    QFETCH(QString, input);
    QFETCH(int, image);
    QFETCH(QList<int>, excluded);
    QFETCH(QString, choice);
    QFETCH(QString, typed);
    QFETCH(QStringList, options);
    window w;
    importdialog *d = startDialog(w, { dir.filePath(input) });
    if (image >= 0) {
        d->imageBox->setCurrentIndex(image);
        emit d->imageBox->activated(image);
        QTRY_COMPARE(d->channels.size(), 1);
    }
    for (int c : excluded)
        d->channels[c].include->setChecked(false);
    if (!choice.isEmpty()) {
        auto &row = d->channels[choice.section('=', 0, 0).toInt()];
        row.choice->setCurrentIndex(row.choice->findData(choice.section('=', 1)));
        row.low->setValue(50);
        row.high->setValue(700);
    }
    if (!typed.isEmpty()) {
        d->nameEdit->clear();
        QTest::keyClicks(d->nameEdit, typed);
    }
    QCOMPARE(d->importButton->isEnabled(), !options.isEmpty());
    if (!options.isEmpty())
        QCOMPARE(d->arguments(), (options + QSL { "-o", dir.filePath(options.last()) }));
    d->reject();
}

void tst_importflow::failure_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("message");   // none: cancelled in the progress dialog
    QTest::newRow("cannot be described") << "broken.tif" << "tesseline-import: " + dir.filePath("broken.tif") + ": not a TIFF file";
    QTest::newRow("cannot be imported") << "fails.tif" << "tesseline-import: " + dir.filePath("fails.tif") + ": cannot read plane 2";
    QTest::newRow("cancelled while writing") << "slow.tif" << "";
    QTest::newRow("no importer") << "" << "\"tesseline-import\" was not found beside " + QCoreApplication::applicationDirPath() + " nor on PATH.";
}

// An import that ends in no dataset leaves nothing, says why unless it was
// cancelled, and the recording shown stays.
void tst_importflow::failure()
{
    QFETCH(QString, input);
    QFETCH(QString, message);
    window w;
    const QString file = input.isEmpty() ? "two.tif" : input;
    w.openRecording({ dir.filePath(file) });
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", dir.path().toLocal8Bit());
    w.importFlow->program = input.isEmpty() ? QString() : QString(STANDIN);
    w.saveAct->trigger();
    if (input == "fails.tif" || input == "slow.tif")
        startDialog(w)->accept();
    if (message.isEmpty()) {
        QProgressDialog *progress = nullptr;
        QTRY_VERIFY((progress = shown<QProgressDialog>()) && progress->value() >= 2);
        QCOMPARE(progress->maximum(), 40);
        QVERIFY2(QRegularExpression("^Writing frames…\n\\d+ of 40 frames, \\d s left$").match(progress->labelText()).hasMatch(),
                 qPrintable(progress->labelText()));
        progress->findChild<QPushButton *>()->click();
        QTRY_VERIFY(!w.importFlow->active);
        QVERIFY(!shown<QMessageBox>());
        QVERIFY(!QFileInfo::exists(dir.filePath("slow")) && !QFileInfo::exists(dir.filePath(".slow.part")));
    } else {
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = shown<QMessageBox>()));
        QCOMPARE(box->text(), message);
        box->close();
    }
    QVERIFY(!w.importFlow->active);
    QCOMPARE(w.dataset, file.toLocal8Bit());
}

// Enter saves what the dialog shows; a dataset of that name is replaced only
// once the user agrees; the recording stays shown.
void tst_importflow::replace()
{
    window w;
    const QString input = dir.filePath("two.tif");
    importdialog *d = startDialog(w, { input });
    QTest::keyClick(d, Qt::Key_Return);
    QTRY_VERIFY(!w.importFlow->active);
    QCOMPARE(imports().last().mid(0, 2), (QStringList { "--image", "0" }));
    QVERIFY(recordingOf(w));
    QTRY_VERIFY(shown<QMessageBox>());
    shown<QMessageBox>()->close();

    d = startDialog(w, { input });
    d->channels[1].include->setChecked(false);
    whenDialogOpens<QMessageBox>(this, [](QMessageBox *box) { box->button(QMessageBox::No)->click(); });
    QTest::keyClick(d, Qt::Key_Return);
    QVERIFY(d->isVisible());
    whenDialogOpens<QMessageBox>(this, [](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    QTest::keyClick(d, Qt::Key_Return);
    QTRY_VERIFY(!w.importFlow->active);
    QVERIFY(imports().last().contains("--force"));
    QCOMPARE(imports().last().mid(0, 4), (QStringList { "--image", "0", "--channel", "0" }));
}

QTEST_MAIN(tst_importflow)
#include "tst_importflow.moc"
