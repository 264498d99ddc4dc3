#include "CliRun.h"
#include "PeerProcess.h"
#include "TestFiles.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/search/QSearchDlg.h"

#include <QDirIterator>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QtTest>

namespace {

// Every wait of the client is 15 s (timeout index 0) and the site answers at
// once; the limits are generous so that a loaded machine does not fail.
constexpr int WaitMs = 20000;

const QString FixtureDir = QStringLiteral(ZINDLE_TEST_DATA "/endtoend");

// A video's bytes: every byte value, CR and LF and NUL included.
QByteArray videoBytes(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed + i / 251) & 0xff);
    return bytes;
}

QByteArray listLine(const QByteArrayList &texts)
{
    return texts.join("<\t>") + "<\t>\r\n";
}

// The hits of results-1.html as rows, and a row of an engine that is not loaded.
const QByteArrayList Boxes = {
    "H", "Cats & boxes", "1:05", "alice", "e2e001", "site", "http://img.site.test/e2e001.jpg"};
const QByteArrayList Sleepy = {
    "H", "Sleepy cat", "12:40", "bob", "e2e002", "site", "http://img.site.test/e2e002.jpg"};
const QByteArrayList Yarn = {
    "H", "Cat <3 yarn", "0:59", "alice", "e2e003", "site", "http://img.site.test/e2e003.jpg"};
const QByteArrayList Gone = {"H", "Gone video", "0:10", "nobody", "g001", "gone", ""};

QStringList column(const QTreeWidget *list, int column)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts.append(list->topLevelItem(i)->text(column));
    return texts;
}

bool activate(QWidget *window)
{
    window->show();
    QApplication::setActiveWindow(window);
    return QTest::qWaitForWindowActive(window);
}

} // namespace

// The whole program against a local site served by Python's http.server:
// search from the dialog, list up, download, and the files and list it leaves.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void searchListUpDownload();
    void cliAddAgreesWithListUp();

private:
    // Searches for the word from the search dialog, as a user does, and
    // closes the dialog once the hits are in.
    void searchFromDialog(QZindleDlg &window, const QString &word);
    // Clicks a row of the result list, which toggles its selection.
    void clickRow(QTreeWidget *list, int row);
    QString path(const QString &relative) const { return m_dir->filePath(relative); }

    QTemporaryDir m_siteDir;
    PeerProcess m_site;
    QByteArray m_firstVideo;
    QByteArray m_thirdVideo;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_EndToEnd::initTestCase()
{
    QVERIFY(m_siteDir.isValid());
    const QDir site(m_siteDir.path());
    QVERIFY(QFile::copy(FixtureDir + QStringLiteral("/results-1.html"),
                        site.filePath(QStringLiteral("results-1.html"))));
    for (const char *name : {"e2e001", "e2e002", "e2e003"}) {
        const QString page = QStringLiteral("watch/%1.html").arg(QLatin1String(name));
        QVERIFY(TestFiles::write(site.filePath(page),
                                 TestFiles::read(FixtureDir + QLatin1Char('/') + page)));
    }
    // More than one write buffer each, and not a multiple of it.
    m_firstVideo = videoBytes(70001, 1);
    m_thirdVideo = videoBytes(40000, 3);
    QVERIFY(TestFiles::write(site.filePath(QStringLiteral("videos/clip-1.bin")), m_firstVideo));
    QVERIFY(TestFiles::write(site.filePath(QStringLiteral("videos/clip-2.bin")), "tiny"));
    QVERIFY(TestFiles::write(site.filePath(QStringLiteral("videos/clip-3.bin")), m_thirdVideo));

    QVERIFY2(m_site.startHttpServer(m_siteDir.path(), WaitMs), qPrintable(m_site.failure()));
}

void tst_EndToEnd::cleanupTestCase()
{
    m_site.stop();
}

void tst_EndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(TestFiles::write(path(QStringLiteral(".zindles/site.zin")),
                             TestFiles::read(FixtureDir + QStringLiteral("/site.zin"))
                                 .replace("@BASE@", m_site.baseUrl())));
    QVERIFY(TestFiles::write(
        path(QStringLiteral("z_user.ini")),
        "[settings]\r\njobs=1\r\npath=" + QFile::encodeName(path(QStringLiteral("work/"))) +
            "\r\ntimeout=0\r\n"));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_EndToEnd::cleanup()
{
    m_dir.reset();
}

void tst_EndToEnd::searchFromDialog(QZindleDlg &window, const QString &word)
{
    auto *dlg = window.findChild<QSearchDlg *>(QStringLiteral("searchDlg"));
    auto *results = window.findChild<QTreeWidget *>(QStringLiteral("resultList"));
    QVERIFY(dlg && results);

    QTRY_VERIFY_WITH_TIMEOUT(window.settingsRecord(), WaitMs);
    QVERIFY(activate(&window));
    QTest::keyClick(&window, Qt::Key_N, Qt::ControlModifier);
    QTRY_VERIFY(dlg->isVisible());
    QVERIFY(activate(dlg));
    auto *wordEdit = dlg->findChild<QLineEdit *>(QStringLiteral("wordEdit"));
    QVERIFY(wordEdit);
    QTest::keyClicks(wordEdit, word);
    QTest::keyClick(wordEdit, Qt::Key_L, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(results->topLevelItemCount() > 0, WaitMs);
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("success (3 data found.)"));

    QTest::keyClick(dlg, Qt::Key_Escape);
    QTRY_VERIFY(!dlg->isVisible());
    QVERIFY(activate(&window));
}

void tst_EndToEnd::clickRow(QTreeWidget *list, int row)
{
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QVERIFY(rect.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

void tst_EndToEnd::searchListUpDownload()
{
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(Gone)));
    QZindleDlg window;
    window.setStartDirectory(m_dir->path());
    window.resize(640, 480);
    searchFromDialog(window, QStringLiteral("cats"));
    if (QTest::currentTestFailed())
        return;

    // The page's last hit is on top; pick the first and the last of the page.
    auto *results = window.findChild<QTreeWidget *>(QStringLiteral("resultList"));
    QCOMPARE(column(results, ResultRow::Id),
             (QStringList{QStringLiteral("e2e003"), QStringLiteral("e2e002"),
                          QStringLiteral("e2e001")}));
    clickRow(results, 0);
    clickRow(results, 2);
    QCOMPARE(results->selectedItems().size(), 2);
    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
    QTreeWidget *downloads = window.downloadListView();
    QTRY_COMPARE(downloads->topLevelItemCount(), 3);
    QCOMPARE(RowItems::rows(downloads).first()[ResultRow::Title], QByteArray("Cats & boxes"));
    // Saved as soon as the hits were copied.
    QCOMPARE(TestFiles::read(listPath), listLine(Boxes) + listLine(Yarn) + listLine(Gone));

    QTest::keyClick(&window, Qt::Key_Right, Qt::ControlModifier);
    QTRY_VERIFY(downloads->isVisible());
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    // The job may start and end between two looks; the marks show that it ran,
    // and the list is saved in the poll that reaps it.
    const QStringList marks{QStringLiteral("o"), QStringLiteral("o"), QStringLiteral("x")};
    QTRY_VERIFY_WITH_TIMEOUT(
        column(downloads, ResultRow::State) == marks && window.busyState() == 0, WaitMs);

    QCOMPARE(TestFiles::read(path(QStringLiteral("work/site/e2e001.flv"))), m_firstVideo);
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/site/e2e003.flv"))), m_thirdVideo);
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/site/e2e001.txt"))),
             QByteArray("t::Cats & boxes\n"));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/site/e2e003.txt"))),
             QByteArray("t::Cat <3 yarn\n"));
    QStringList files;
    QDirIterator it(path(QStringLiteral("work")), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(path(QStringLiteral("work"))).relativeFilePath(it.next()));
    files.sort();
    QCOMPARE(files,
             (QStringList{QStringLiteral("download.list"), QStringLiteral("history.list"),
                          QStringLiteral("site/e2e001.flv"), QStringLiteral("site/e2e001.txt"),
                          QStringLiteral("site/e2e003.flv"), QStringLiteral("site/e2e003.txt")}));
    // Downloaded rows are written as empty lines; the failed one comes back.
    QByteArrayList failed = Gone;
    failed[ResultRow::State] = "x";
    QCOMPARE(TestFiles::read(listPath), "\r\n\r\n" + listLine(failed));
}

void tst_EndToEnd::cliAddAgreesWithListUp()
{
    // The second hit is listed already (failed before), so it is not copied again.
    QByteArrayList listed = Sleepy;
    listed[ResultRow::State] = "x";
    listed[ResultRow::Title] = "Old title";
    const QByteArray before = listLine(Gone) + listLine(listed);
    const QByteArray expected =
        listLine(Boxes) + listLine(Yarn) + listLine(listed) + listLine(Gone);
    const QString listPath = path(QStringLiteral("work/download.list"));

    QVERIFY(TestFiles::write(listPath, before));
    {
        QZindleDlg window;
        window.setStartDirectory(m_dir->path());
        window.resize(640, 480);
        searchFromDialog(window, QStringLiteral("cats"));
        if (QTest::currentTestFailed())
            return;
        auto *results = window.findChild<QTreeWidget *>(QStringLiteral("resultList"));
        for (int row = 0; row < results->topLevelItemCount(); ++row)
            clickRow(results, row);
        QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
        QTRY_COMPARE(window.downloadListView()->topLevelItemCount(), 4);
        QCOMPARE(TestFiles::read(listPath), expected);
    }

    QVERIFY(TestFiles::write(listPath, before));
    const CliRun::Result cli = CliRun::run(
        m_dir->path(), {QStringLiteral("search"), QStringLiteral("--add"), QStringLiteral("cats")});
    QVERIFY(cli.finished);
    const QByteArray &diagnostics = cli.err;
    QCOMPARE(cli.exitCode, 0);
    QVERIFY2(diagnostics.endsWith("added 2 to the download list\n"), diagnostics.constData());
    QCOMPARE(TestFiles::read(listPath), expected);
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
