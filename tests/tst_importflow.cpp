#include "importdialog.h"
#include "importflow.h"
#include "window.h"
#include "testutil.h"

#include <QtTest>
#include <QtWidgets>

using QSL = QStringList;

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
    void reuse();
    void routes_data();
    void routes();

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

void tst_importflow::initTestCase()
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    writeFile(dir.filePath("frame.jpg"), blockFrame(8, 8, [](int, int) { return blockjpeg::pattern(64, 64); }));
    for (const char *name : { "two.tif", "grey8.tif", "broken.tif", "fails.tif", "slow.tif", "again.tif",
                              "series/s_t1.tif", "series/s_t2.tif", "series/s_t10.tif" })
        writeFile(dir.filePath(name), QByteArray("II*\0 pages", 10));
    writeFile(dir.filePath("big.tz"), QByteArray("II+\0 pages", 10));
    writeFile(dir.filePath("motorola.dat"), QByteArray("MM\0* pages", 10));
    writeFile(dir.filePath("notes.txt"), "dataset notes width 40 height 30");
}

// The import dialog once it shows, for the inputs given or what the window started.
importdialog *tst_importflow::startDialog(window &w, const QStringList &inputs)
{
    w.importFlow->program = STANDIN;
    if (!inputs.isEmpty())
        w.importFlow->start(inputs);
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
    QTest::addColumn<QString>("choice"); // channel=auto or channel=own (50 to 700)
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("one image as described") << "grey8.tif" << -1 << QList<int>() << "" << "" << QSL { "--name", "grey8" };
    QTest::newRow("the first of two images") << "two.tif" << -1 << QList<int>() << "" << "" << QSL { "--image", "0", "--name", "two" };
    QTest::newRow("the second image") << "two.tif" << 1 << QList<int>() << "" << "" << QSL { "--image", "1", "--name", "two" };
    QTest::newRow("one channel of two") << "two.tif" << -1 << QList<int> { 0 } << "" << ""
                                        << QSL { "--image", "0", "--channel", "1", "--name", "two" };
    QTest::newRow("no channel") << "two.tif" << -1 << QList<int> { 0, 1 } << "" << "" << QSL();
    QTest::newRow("auto instead of the file's range") << "two.tif" << -1 << QList<int>() << "0=auto" << ""
                                                      << QSL { "--image", "0", "--range", "0=auto", "--name", "two" };
    QTest::newRow("a window of one's own") << "two.tif" << -1 << QList<int>() << "1=own" << ""
                                           << QSL { "--image", "0", "--range", "1=50:700", "--name", "two" };
    QTest::newRow("the window of a channel left out") << "two.tif" << -1 << QList<int> { 1 } << "1=own" << ""
                                                      << QSL { "--image", "0", "--channel", "0", "--name", "two" };
    QTest::newRow("only name characters are typed") << "grey8.tif" << -1 << QList<int>() << "" << "cell 1/b"
                                                    << QSL { "--name", "cell1b" };
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
// cancelled, and the dataset shown before stays.
void tst_importflow::failure()
{
    QFETCH(QString, input);
    QFETCH(QString, message);
    window w;
    w.openDescriptor(writeDescriptor(dir.path(), "dataset old width 8 height 8"));
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", dir.path().toLocal8Bit());
    w.importFlow->program = input.isEmpty() ? QString() : QString(STANDIN);
    w.importFlow->start({ dir.filePath(input.isEmpty() ? "two.tif" : input) });
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
    QCOMPARE(w.dataset, QByteArray("old"));
}

void tst_importflow::reuse()
{
    window w;
    const QString input = dir.filePath("again.tif");
    importdialog *d = startDialog(w, { input });
    QVERIFY(!d->existingButton);
    d->accept();
    QTRY_COMPARE(w.dataset, QByteArray("again"));
    QCOMPARE(imports().last(), (QStringList { "--name", "again", "-o", dir.filePath("again"), "--json-progress", input }));
    settle();
    QVERIFY(!w.imageLabel->pixmap().isNull());

    // Unchanged since: Open Existing is the default, and imports nothing.
    w.openDescriptor(writeDescriptor(dir.path(), "dataset other"));
    const qsizetype runs = imports().size();
    d = startDialog(w, { input });
    QVERIFY(d->existingButton && d->existingButton->isDefault());
    QVERIFY(!d->importButton->isDefault());
    QTest::keyClick(d, Qt::Key_Return);
    QCOMPARE(w.dataset, QByteArray("again"));
    QCOMPARE(imports().size(), runs);

    // Changed since: imported again, over the old one only once the user agrees.
    QFile file(input);
    QVERIFY(file.open(QIODevice::Append) && file.write("more") == 4 && file.flush());
    w.openDescriptor(writeDescriptor(dir.path(), "dataset other"));
    d = startDialog(w, { input });
    QVERIFY(!d->existingButton);
    whenDialogOpens<QMessageBox>(this, [](QMessageBox *box) { box->button(QMessageBox::No)->click(); });
    d->importButton->click();
    QVERIFY(d->isVisible());
    whenDialogOpens<QMessageBox>(this, [](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    d->importButton->click();
    QTRY_COMPARE(w.dataset, QByteArray("again"));
    QCOMPARE(imports().size(), runs + 1);
    QVERIFY(imports().last().contains("--force"));
}

void tst_importflow::routes_data()
{
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("inputs");
    const QSL series { dir.filePath("series/s_t1.tif"), dir.filePath("series/s_t2.tif"), dir.filePath("series/s_t10.tif") };
    const QString text = dir.filePath("notes.txt");
    for (const char *file : { "two.tif", "motorola.dat", "big.tz" })
        QTest::addRow("File › Open of a stack: %s", file) << false << QSL { dir.filePath(file) } << QSL { dir.filePath(file) };
    QTest::newRow("File › Open of a text file") << false << QSL { text } << QSL();
    QTest::newRow("a stack dropped") << true << QSL { dir.filePath("two.tif") } << QSL { dir.filePath("two.tif") };
    QTest::newRow("a folder dropped") << true << QSL { dir.filePath("series") } << series;
    QTest::newRow("several images dropped") << true << QSL { series[2], series[0], series[1] } << series;
    QTest::newRow("an image and a text file dropped") << true << QSL { series[0], text } << QSL();
}

// Stacks go to the importer; File › Open reads anything else as a descriptor.
void tst_importflow::routes()
{
    QFETCH(bool, dropped);
    QFETCH(QStringList, files);
    QFETCH(QStringList, inputs);
    window w;
    w.importFlow->program = STANDIN;
    if (dropped) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString &file : files)
            urls << QUrl::fromLocalFile(file);
        data.setUrls(urls);
        QCOMPARE(dragAndDrop(&w, &data), !inputs.isEmpty());
    } else {
        whenDialogOpens<QFileDialog>(this, [&](QFileDialog *dialog) {
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(files.first());
            QTest::keyClick(dialog->findChild<QLineEdit *>("fileNameEdit"), Qt::Key_Return);
        });
        w.openAct->trigger();
        QCOMPARE(w.dataset, inputs.isEmpty() ? QByteArray("notes") : QByteArray());
    }
    QCOMPARE(w.importFlow->active, !inputs.isEmpty());
    if (inputs.isEmpty())
        return;
    importdialog *d = startDialog(w);
    QCOMPARE(d->inputs, inputs);
    QCOMPARE(d->patternLabel->isVisible() ? d->patternLabel->text() : QString(), inputs.size() > 1 ? "s_t{t}.tif" : "");
    d->reject();
}

QTEST_MAIN(tst_importflow)
#include "tst_importflow.moc"
