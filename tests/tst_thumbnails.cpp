#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/download/HistoryFile.h"
#include "core/search/ThumbnailCache.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/search/QResultWidget.h"
#include "gui/search/QSearchDlg.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Step = ScriptedServer::Step;

namespace {

const QByteArrayList Ids = {"vid001", "vid002", "vid003"};

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian(quint32 value)
{
    return QByteArray(1, char(value >> 24)) + char(value >> 16) + char(value >> 8) + char(value);
}

// A well-formed PNG header that announces a picture of that size, and no pixels.
QByteArray pngHeaderOnly(quint32 width, quint32 height)
{
    const QByteArray ihdr =
        "IHDR" + bigEndian(width) + bigEndian(height) + QByteArray("\x08\x06\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + bigEndian(13) + ihdr + bigEndian(crc32(ihdr));
}

int imageRequests(const ScriptedServer &server)
{
    int count = 0;
    for (const QByteArray &request : server.requests())
        count += ScriptedServer::target(request).startsWith("/img/") ? 1 : 0;
    return count;
}

} // namespace

// The result list's thumbnails and history marks, driven through the window.
class tst_Thumbnails : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fetchedOnceThenCached();
    void relativeImageAddress_data();
    void relativeImageAddress();
    void nothingFetchedWithNo();
    void unusableImageLeavesRow_data();
    void unusableImageLeavesRow();
    void newSearchAndCloseStopFetches();
    void cacheEvictsOldest();
    void cacheRefusesPlantedLinks();
    void downloadedHitsGreyed();
    void greyedWhenRunEnds();
    void unreadableHistorySaidOnce();

private:
    void writeSettings(int htmlView);
    // A window past its first tick that searched "cats"; the hits are in.
    std::unique_ptr<QZindleDlg> searchedWindow();
    bool search(QZindleDlg &window);
    QList<QTreeWidgetItem *> items(QZindleDlg &window);
    QByteArray workDir() const { return QFile::encodeName(m_dir->path()) + "/work/"; }
    QString cachePath(const QByteArray &id) const
    {
        return QFile::decodeName(ThumbnailCache::folderPath(workDir())) + QLatin1Char('/') +
               QString::fromLatin1(ThumbnailCache::nameOf(m_server->url("/img/" + id + ".jpg")));
    }

    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Thumbnails::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->start());
    const QByteArray base = m_server->url("");
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/fixture.zin")),
                             TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/search/fixture.zin"))
                                 .replace("@BASE@", base)));
    const QByteArray page =
        TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/search/results-1.html"))
            .replace("http://img.fixture.test", base + "/img");
    m_server->setRoute("/results-1.html?q=cats", ScriptedServer::reply(200, page));
    for (const QByteArray &id : Ids)
        m_server->setRoute("/img/" + id + ".jpg", ScriptedServer::reply(200, png(160, 120)));
}

void tst_Thumbnails::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

void tst_Thumbnails::writeSettings(int htmlView)
{
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\npath=" + workDir() +
                                 "\r\nimage=" + QByteArray::number(htmlView) + "\r\n"));
}

bool tst_Thumbnails::search(QZindleDlg &window)
{
    auto *dlg = window.findChild<QSearchDlg *>(QStringLiteral("searchDlg"));
    auto *results = window.findChild<QTreeWidget *>(QStringLiteral("resultList"));
    dlg->findChild<QLineEdit *>(QStringLiteral("wordEdit"))->setText(QStringLiteral("cats"));
    dlg->searchButton()->click();
    return QTest::qWaitFor(
        [&] { return window.busyState() == 0 && results->topLevelItemCount() == Ids.size(); });
}

std::unique_ptr<QZindleDlg> tst_Thumbnails::searchedWindow()
{
    auto window = std::make_unique<QZindleDlg>();
    window->setStartDirectory(m_dir->path());
    if (!QTest::qWaitFor([&] { return window->settingsRecord() != nullptr; }) || !search(*window))
        return nullptr;
    return window;
}

QList<QTreeWidgetItem *> tst_Thumbnails::items(QZindleDlg &window)
{
    auto *results = window.findChild<QTreeWidget *>(QStringLiteral("resultList"));
    QList<QTreeWidgetItem *> found;
    for (const QByteArray &id : Ids) {
        for (int i = 0; i < results->topLevelItemCount(); ++i) {
            if (RowItems::rowOf(results->topLevelItem(i))[ResultRow::Id] == id)
                found.append(results->topLevelItem(i));
        }
    }
    return found;
}

void tst_Thumbnails::fetchedOnceThenCached()
{
    writeSettings(1);
    auto window = searchedWindow();
    QVERIFY(window);
    auto *tab = window->findChild<QResultWidget *>(QStringLiteral("resultTab"));
    for (QTreeWidgetItem *item : items(*window)) {
        QTRY_VERIFY(!item->icon(ResultRow::Title).isNull());
        const QSize shown = item->icon(ResultRow::Title).availableSizes().value(0);
        QVERIFY(shown.width() <= 80 && shown.height() <= 60);
    }
    QTRY_VERIFY(tab->thumbnailsIdle());
    QCOMPARE(imageRequests(*m_server), 3);
    for (const QByteArray &id : Ids)
        QCOMPARE(TestFiles::read(cachePath(id)), png(160, 120));

    // The next search, and the next window, take them from the disk.
    QVERIFY(search(*window));
    for (QTreeWidgetItem *item : items(*window))
        QTRY_VERIFY(!item->icon(ResultRow::Title).isNull());
    window.reset();
    window = searchedWindow();
    QVERIFY(window);
    for (QTreeWidgetItem *item : items(*window))
        QTRY_VERIFY(!item->icon(ResultRow::Title).isNull());
    QCOMPARE(imageRequests(*m_server), 3);
}

void tst_Thumbnails::relativeImageAddress_data()
{
    QTest::addColumn<QByteArray>("prefix"); // what the page has in place of the image host

    QTest::newRow("from the root") << QByteArray("/img");
    QTest::newRow("beside the page") << QByteArray("img");
    QTest::newRow("without scheme") << QByteArray("//@HOST@/img");
}

// An image address relative to the result page is fetched from the page's site.
void tst_Thumbnails::relativeImageAddress()
{
    QFETCH(QByteArray, prefix);

    prefix.replace("@HOST@", m_server->url("").mid(int(qstrlen("http://"))));
    const QByteArray page =
        TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/search/results-1.html"))
            .replace("http://img.fixture.test", prefix);
    m_server->setRoute("/results-1.html?q=cats", ScriptedServer::reply(200, page));
    writeSettings(1);
    auto window = searchedWindow();
    QVERIFY(window);
    for (QTreeWidgetItem *item : items(*window))
        QTRY_VERIFY(!item->icon(ResultRow::Title).isNull());
    QCOMPARE(imageRequests(*m_server), 3);
}

void tst_Thumbnails::nothingFetchedWithNo()
{
    writeSettings(0);
    auto window = searchedWindow();
    QVERIFY(window);
    // No fetcher exists to wait for: the search's poll decided.
    QVERIFY(window->findChild<QResultWidget *>(QStringLiteral("resultTab"))->thumbnailsIdle());
    for (QTreeWidgetItem *item : items(*window))
        QVERIFY(item->icon(ResultRow::Title).isNull());
    QCOMPARE(imageRequests(*m_server), 0);
    QVERIFY(!QFileInfo::exists(QFile::decodeName(ThumbnailCache::folderPath(workDir()))));
}

void tst_Thumbnails::unusableImageLeavesRow_data()
{
    QTest::addColumn<QByteArray>("answer");
    const QByteArray valid = png(160, 120);
    QTest::newRow("not an image") << QByteArray("HTTP/1.0 200 OK\r\n\r\n<html>nope</html>");
    QTest::newRow("status 404") << QByteArray(
                                       "HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\n") +
                                       valid.left(3);
    QTest::newRow("cut short") << "HTTP/1.0 200 OK\r\nContent-Length: " +
                                      QByteArray::number(valid.size()) + "\r\n\r\n" +
                                      valid.left(valid.size() / 2);
    // The whole image came, but its chunk was cut: the body is not known whole.
    QTest::newRow("chunks cut short") << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                             QByteArray::number(valid.size() + 100, 16) + "\r\n" +
                                             valid;
    QTest::newRow("100000 x 100000 pixels")
        << "HTTP/1.0 200 OK\r\n\r\n" + pngHeaderOnly(100000, 100000);
    QTest::newRow("announced larger than 2 MiB")
        << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 3000000\r\n\r\n") + valid;
    QTest::newRow("body past 2 MiB")
        << "HTTP/1.0 200 OK\r\n\r\n" + valid + QByteArray(3 * 1024 * 1024, 'x');
}

// A broken or hostile image leaves its row as it was, costs no other row its
// thumbnail, and is not kept.
void tst_Thumbnails::unusableImageLeavesRow()
{
    QFETCH(QByteArray, answer);
    m_server->setRoute("/img/vid002.jpg", {Step::send(answer), Step::close()});
    writeSettings(1);
    StderrCapture capture;
    auto window = searchedWindow();
    QVERIFY(window);
    auto *tab = window->findChild<QResultWidget *>(QStringLiteral("resultTab"));
    const QList<QTreeWidgetItem *> rows = items(*window);
    QTRY_VERIFY(!rows[0]->icon(ResultRow::Title).isNull());
    QTRY_VERIFY(!rows[2]->icon(ResultRow::Title).isNull());
    QTRY_VERIFY(tab->thumbnailsIdle());
    QCoreApplication::processEvents();
    QVERIFY(rows[1]->icon(ResultRow::Title).isNull());
    QCOMPARE(rows[1]->text(ResultRow::Title), QStringLiteral("Sleepy cat"));
    QVERIFY(!QFileInfo::exists(cachePath("vid002")));
    QVERIFY(QFileInfo::exists(cachePath("vid001")));
    QVERIFY2(capture.text().contains("thumbnail " + m_server->url("/img/vid002.jpg")),
             capture.text().constData());
}

// Fetches that hang end with a new search, and with the window.
void tst_Thumbnails::newSearchAndCloseStopFetches()
{
    for (const QByteArray &id : Ids)
        m_server->setRoute("/img/" + id + ".jpg", {Step::stall()});
    writeSettings(1);
    auto window = searchedWindow();
    QVERIFY(window);
    QTRY_COMPARE(imageRequests(*m_server), 3);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(search(*window));
    QVERIFY2(clock.elapsed() < 1500, QByteArray::number(clock.elapsed()));
    QTRY_COMPARE(imageRequests(*m_server), 6);

    clock.restart();
    window.reset();
    QVERIFY2(clock.elapsed() < 1500, QByteArray::number(clock.elapsed()));
}

void tst_Thumbnails::cacheEvictsOldest()
{
    const QByteArray folder = ThumbnailCache::folderPath(workDir());
    ThumbnailCache cache(folder, 3000);
    QVERIFY(cache.open());
    const QByteArrayList urls = {"http://a/1", "http://a/2", "http://a/3", "http://a/4"};
    for (int i = 0; i < 3; ++i) {
        QVERIFY(cache.store(urls[i], QByteArray(1000, char('a' + i))));
        // Stored in this order, a second apart.
        const struct timespec times[2] = {{1000 + i, 0}, {1000 + i, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, (folder + '/' + ThumbnailCache::nameOf(urls[i])).constData(),
                             times, 0),
                 0);
    }
    QCOMPARE(cache.usedBytes(), 3000);
    QByteArray bytes;
    QVERIFY(cache.read(urls[0], &bytes)); // read now: no longer the oldest
    QCOMPARE(bytes, QByteArray(1000, 'a'));

    QVERIFY(cache.store(urls[3], QByteArray(1000, 'd')));
    QCOMPARE(cache.usedBytes(), 3000);
    QVERIFY(!cache.read(urls[1], &bytes));
    for (int i : {0, 2, 3})
        QVERIFY(cache.read(urls[i], &bytes));
    // Larger than the whole cache: not kept, nothing evicted for it.
    QVERIFY(!cache.store("http://a/5", QByteArray(3001, 'e')));
    QCOMPARE(cache.usedBytes(), 3000);
}

void tst_Thumbnails::cacheRefusesPlantedLinks()
{
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    QVERIFY(TestFiles::write(outside, "secret"));
    const QByteArray folder = ThumbnailCache::folderPath(workDir());
    QVERIFY(QDir().mkdir(QFile::decodeName(folder)));
    const QByteArray url = "http://a/planted";
    QVERIFY(QFile::link(outside, QFile::decodeName(folder + '/' + ThumbnailCache::nameOf(url))));

    ThumbnailCache cache(folder);
    QVERIFY(cache.open());
    QByteArray bytes;
    QVERIFY(!cache.read(url, &bytes));
    QString error;
    QVERIFY(!cache.store(url, "image bytes", &error));
    QVERIFY2(error.contains(QLatin1String("symbolic link")), qPrintable(error));
    QCOMPARE(TestFiles::read(outside), QByteArray("secret"));

    // A hard link to a file elsewhere is not read either.
    const QByteArray hardLinked = "http://a/hard-linked";
    QCOMPARE(::link(QFile::encodeName(outside).constData(),
                    (folder + '/' + ThumbnailCache::nameOf(hardLinked)).constData()),
             0);
    QVERIFY(!cache.read(hardLinked, &bytes));

    // The folder itself a link: no cache at all.
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkdir(elsewhere));
    const QString linked = m_dir->filePath(QStringLiteral("linked"));
    QVERIFY(QFile::link(elsewhere, linked));
    ThumbnailCache redirected(QFile::encodeName(linked));
    QVERIFY(!redirected.open(&error));
    QVERIFY(!redirected.store(url, "image bytes"));
    QVERIFY(QDir(elsewhere).isEmpty());
}

// A hit in the history is greyed with a check mark and its date; List up
// still copies the selected hits, as they came.
void tst_Thumbnails::downloadedHitsGreyed()
{
    writeSettings(0);
    QVERIFY(
        TestFiles::write(QFile::decodeName(HistoryFile::path(workDir())),
                         "fixture\tvid002\tSleepy cat\t/w/fixture/vid002.flv\t"
                         "2026-11-02T08:15:00Z\nother\tvid003\tx\t/w/x\t2026-11-02T08:15:00Z\n"));
    auto window = searchedWindow();
    QVERIFY(window);
    const QList<QTreeWidgetItem *> rows = items(*window);
    const QString date = QDateTime::fromString(QStringLiteral("2026-11-02T08:15:00Z"), Qt::ISODate)
                             .toLocalTime()
                             .toString(QStringLiteral("yyyy-MM-dd hh:mm"));
    QCOMPARE(rows[1]->text(ResultRow::Title), QStringLiteral("\u2713 Sleepy cat"));
    QCOMPARE(rows[1]->toolTip(ResultRow::Title), QStringLiteral("downloaded ") + date);
    QCOMPARE(rows[1]->foreground(ResultRow::Id).color(),
             window->palette().color(QPalette::Disabled, QPalette::Text));
    for (QTreeWidgetItem *item : {rows[0], rows[2]}) {
        QVERIFY(!item->text(ResultRow::Title).startsWith(QChar(0x2713)));
        QVERIFY(item->toolTip(ResultRow::Title).isEmpty());
    }

    rows[1]->setSelected(true);
    rows[0]->setSelected(true);
    window->findChild<QPushButton *>(QStringLiteral("listUpButton"))->click();
    const QList<ResultRow> listed = RowItems::rows(window->downloadListView());
    // Each copied hit goes on top: the lower one ends up first.
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed[0][ResultRow::Id], QByteArray("vid001"));
    QCOMPARE(listed[1][ResultRow::Id], QByteArray("vid002"));
    QCOMPARE(listed[1][ResultRow::Title], QByteArray("Sleepy cat"));
    QCOMPARE(listed[1][ResultRow::State], QByteArray("H"));
}

// A hit downloaded while the results are on show greys when the run ends.
void tst_Thumbnails::greyedWhenRunEnds()
{
    writeSettings(0);
    const QString engine = m_dir->filePath(QStringLiteral(".zindles/fixture.zin"));
    QVERIFY(TestFiles::write(engine, TestFiles::read(engine) + "\ndownload_target::" +
                                         m_server->url("") + "/v/%s\ndownload_ext::.flv\n"));
    m_server->setRoute("/v/vid002", ScriptedServer::reply(200, "video bytes"));
    auto window = searchedWindow();
    QVERIFY(window);
    QTreeWidgetItem *hit = items(*window)[1];
    QCOMPARE(hit->text(ResultRow::Title), QStringLiteral("Sleepy cat"));

    hit->setSelected(true);
    window->findChild<QPushButton *>(QStringLiteral("listUpButton"))->click();
    QCOMPARE(RowItems::rows(window->downloadListView()).size(), 1);
    window->findChild<QPushButton *>(QStringLiteral("downloadButton"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(hit->text(ResultRow::Title), QStringLiteral("\u2713 Sleepy cat"),
                              20000);
    QVERIFY(hit->toolTip(ResultRow::Title).startsWith(QStringLiteral("downloaded ")));
    QVERIFY(!items(*window)[0]->text(ResultRow::Title).startsWith(QChar(0x2713)));
}

// A history that cannot be read greys nothing and is said once per search
// with hits; an empty result list does not read it at all.
void tst_Thumbnails::unreadableHistorySaidOnce()
{
    writeSettings(0);
    const QByteArray historyPath = HistoryFile::path(workDir());
    QVERIFY(QDir().mkdir(QFile::decodeName(historyPath)));
    const QByteArray said = "cannot read the history " + historyPath + ": not a regular file\n";
    StderrCapture capture;
    auto window = std::make_unique<QZindleDlg>();
    window->setStartDirectory(m_dir->path());
    QVERIFY(QTest::qWaitFor([&] { return window->settingsRecord() != nullptr; }));
    auto *results = window->findChild<QResultWidget *>();
    QVERIFY(results);
    QCOMPARE(results->resultListView()->topLevelItemCount(), 0);
    results->markDownloaded();
    QCOMPARE(capture.text().count(said), 0);

    QVERIFY(search(*window));
    QCOMPARE(capture.text().count(said), 1);
    for (QTreeWidgetItem *item : items(*window))
        QVERIFY(!item->text(ResultRow::Title).startsWith(QChar(0x2713)));
}

QTEST_MAIN(tst_Thumbnails)

#include "tst_thumbnails.moc"
