#include "CliRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "TestFiles.h"
#include "core/extract/ResultScan.h"

#include <QtTest>

namespace {

const QString GuideData = QStringLiteral(ZINDLE_TEST_DATA "/guide/");
const QString DemoSite = QStringLiteral(ZINDLE_TEST_DATA "/../../examples/demo-site/");
const QString Guide = QStringLiteral(ZINDLE_TEST_DATA "/../../docs/engines.md");
// The address the Clip Shelf engine names; the tests put the local server there.
const QByteArray ClipShelfBase = "http://clips.example";

QByteArray guideFile(const char *name)
{
    return TestFiles::read(GuideData + QLatin1String(name));
}

QByteArrayList lines(const QByteArray &text)
{
    QByteArrayList list = text.split('\n');
    if (!list.isEmpty() && list.last().isEmpty())
        list.removeLast();
    return list;
}

QByteArray video(const QByteArray &id)
{
    return TestFiles::randomBytes(40000, quint32(qHash(id)));
}

} // namespace

// The worked examples of docs/engines.md, run as the guide shows them: the
// demo site's engine against the demo site, the Clip Shelf engine against its
// saved pages, and the small annotated page of the marker rules.
class tst_EngineGuide : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void guideQuotesTheFiles_data();
    void guideQuotesTheFiles();
    void demoSearch();
    void clipShelfSearch();
    void clipShelfDownload();
    void annotatedPage();

private:
    // Writes the Clip Shelf engine pointed at the local server.
    bool writeClipShelf() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedServer m_clips;
    PeerProcess m_demo;
};

void tst_EngineGuide::initTestCase()
{
    const QByteArray page = guideFile("clipshelf-search.html");
    QVERIFY(!page.isEmpty());
    m_clips.setRoute("/search?q=big+cats&from=24", ScriptedServer::reply(200, page));
    for (const QByteArray id : {"ab12", "cd34", "ef56"}) {
        m_clips.setRoute(
            "/clip/" + id + "/",
            ScriptedServer::reply(200, guideFile("clipshelf-clip.html").replace("@ID@", id)));
        m_clips.setRoute("/media/" + id + ".mp4", ScriptedServer::reply(200, video(id)));
    }
    m_clips.setFallback(ScriptedServer::reply(404, "not here"));
    QVERIFY(m_clips.start());
    QVERIFY2(m_demo.startHttpServer(DemoSite + QStringLiteral("site")),
             qPrintable(m_demo.failure()));
}

void tst_EngineGuide::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_EngineGuide::cleanup()
{
    m_dir.reset();
}

bool tst_EngineGuide::writeClipShelf() const
{
    return TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/clipshelf.zin")),
                            guideFile("clipshelf.zin").replace(ClipShelfBase, m_clips.url("")));
}

// The guide shows these files whole, so what it shows is what the tests run.
void tst_EngineGuide::guideQuotesTheFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("demo engine") << DemoSite + QStringLiteral("demo.zin.in");
    QTest::newRow("Clip Shelf engine") << GuideData + QStringLiteral("clipshelf.zin");
    QTest::newRow("annotated page") << GuideData + QStringLiteral("annotated.html");
}

void tst_EngineGuide::guideQuotesTheFiles()
{
    QFETCH(QString, path);
    const QByteArray file = TestFiles::read(path);
    QVERIFY(!file.isEmpty());
    QVERIFY2(TestFiles::read(Guide).contains("```\n" + file + "```\n"), qPrintable(path));
}

void tst_EngineGuide::demoSearch()
{
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/demo.zin")),
                             TestFiles::read(DemoSite + QStringLiteral("demo.zin.in"))
                                 .replace("@PORT@", QByteArray::number(m_demo.port()))));
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), {QStringLiteral("search"), QStringLiteral("cats")});
    QVERIFY2(cli.finished, cli.err.constData());
    QCOMPARE(cli.exitCode, 0);
    QCOMPARE(lines(cli.out),
             (QByteArrayList{
                 "H\tCat plays the piano\t0:42\tmimi\tcat-piano\tdemo\t/thumbs/cat-piano.jpg",
                 "H\tIf it fits, I sits & sleeps\t1:15\ttama\tcat-box\tdemo\t/thumbs/cat-box.jpg",
                 "H\tLaser pointer chase compilation\t3:07\tkuro\tcat-laser\tdemo\t/thumbs/"
                 "cat-laser.jpg",
                 "H\tKitten takes its first steps\t0:58\thana\tkitten-steps\tdemo\t/thumbs/"
                 "kitten-steps.jpg",
                 "H\tCat vs. cucumber\t0:21\tmimi\tcat-cucumber\tdemo\t/thumbs/cat-cucumber.jpg"}));
}

// Page 1 of "big cats": the picks above the results are not hits, the ID and
// user come out of relative links, and the titles come out with their
// character references decoded.
void tst_EngineGuide::clipShelfSearch()
{
    QVERIFY(writeClipShelf());
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), {QStringLiteral("search"), QStringLiteral("--page"),
                                    QStringLiteral("1"), QStringLiteral("big cats")});
    QVERIFY2(cli.finished, cli.err.constData());
    QCOMPARE(cli.exitCode, 0);
    QCOMPARE(lines(cli.out),
             (QByteArrayList{
                 "H\tTom & Jerry: the cat years\t4:20\toldtoons\tab12\tclipshelf\t/img/ab12.jpg",
                 "H\tCaf\xc3\xa9 cats <3\t12:05\tpurrfect\tcd34\tclipshelf\t/img/cd34.jpg",
                 "H\tIt's a cat's life\t0:48\tmews\tef56\tclipshelf\t/img/ef56.jpg"}));
}

// The hits go to the list and download through the one stage: the stage page
// names the video by a relative link, which download_target:: completes.
void tst_EngineGuide::clipShelfDownload()
{
    QVERIFY(writeClipShelf());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
    QVERIFY(TestFiles::write(
        m_dir->filePath(QStringLiteral("z_user.ini")),
        "[settings]\npath=" + QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) + "\n"));
    const CliRun::Result search = CliRun::run(
        m_dir->path(), {QStringLiteral("search"), QStringLiteral("--add"), QStringLiteral("--page"),
                        QStringLiteral("1"), QStringLiteral("big cats")});
    QVERIFY2(search.finished && search.exitCode == 0, search.err.right(300).constData());

    const CliRun::Result download = CliRun::run(m_dir->path(), {QStringLiteral("download")});
    QVERIFY2(download.finished, download.err.constData());
    QVERIFY2(download.exitCode == 0, download.err.constData());
    for (const QByteArray id : {"ab12", "cd34", "ef56"}) {
        const QString base = m_dir->filePath(QStringLiteral("work/clipshelf/")) + QLatin1String(id);
        QVERIFY2(TestFiles::read(base + QStringLiteral(".mp4")) == video(id), id.constData());
    }
    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/clipshelf/ab12.txt"))),
             QByteArray("t::Tom & Jerry: the cat years\n"));
}

// The page of the marker rules: a hit without a title takes the next one's,
// and an empty title is no title.
void tst_EngineGuide::annotatedPage()
{
    const QByteArray page = guideFile("annotated.html");
    MarkerSet markers;
    markers.top[0] = "<li";
    markers.top[1] = ">";
    markers.title[0] = "<b>";
    markers.title[1] = "</b>";
    markers.user[0] = "<i>";
    markers.user[1] = "</i>";
    markers.id[0] = "<s>";
    markers.id[1] = "</s>";
    QByteArrayList hits;
    for (const ScanRecord &record : scanResults(page, markers))
        hits << record.id + ' ' + record.title + ' ' + record.user;
    QCOMPARE(hits, (QByteArrayList{"v1 Rain ann", "v2 Snow bob", "v3 Snow cy", "v4  dee"}));

    // With the whole opening tag as the begin marker nothing is left between
    // it and ">": no block, no hits.
    markers.top[0] = "<li class=\"v\"";
    QVERIFY(scanResults(page, markers).isEmpty());
}

QTEST_GUILESS_MAIN(tst_EngineGuide)
#include "tst_engineguide.moc"
