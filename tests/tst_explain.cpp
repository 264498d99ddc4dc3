#include "CliRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "TestFiles.h"

#include <QtTest>

namespace {

const QString DemoSite = QStringLiteral(ZINDLE_TEST_DATA "/../../examples/demo-site/");

// Line numbers matter: the explanations name them.
const QByteArray FixtureEngine = "engine_title::Fixture\n"                     // 1
                                 "engine_id::fix\n"                            // 2
                                 "search_name::http://127.0.0.1:PORT/s?q=%s\n" // 3
                                 "find0_top::<l\n"                             // 4
                                 "find0_top_::>\n"                             // 5
                                 "find0_id::<b>\n"                             // 6
                                 "find0_id_::</b>\n"                           // 7
                                 "find0_title::<i>\n"                          // 8
                                 "find0_title_::</i>\n"                        // 9
                                 "dowuload_redirect::1\n"                      // 10
                                 "download_url0::http://127.0.0.1:PORT/watch/%s\n"
                                 "download_key0::href=\"\n" // 12
                                 "download_key0_::\"\n"     // 13
                                 "download_target::http://127.0.0.1:PORT%s\n"
                                 "download_ext::.mp4\n";

QByteArrayList lines(const QByteArray &text)
{
    QByteArrayList list = text.split('\n');
    if (!list.isEmpty() && list.last().isEmpty())
        list.removeLast();
    return list;
}

// The fixture engine, with a self-test searching `word` when it is given.
QByteArray engineText(const QByteArray &word = {})
{
    QByteArray text = FixtureEngine;
    if (!word.isEmpty())
        text += "test_word::" + word + "\ntest_min_hits::1\ntest_mode::title\n";
    return text + "endof\n";
}

} // namespace

// The engine authors' tools of zindle-cli: search --explain, --save-page and
// --page-file, resolve, and test-engine, against fixture pages on a local server.
class tst_Explain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void searchExplain_data();
    void searchExplain();
    void savedPageRoundTrip();
    void resolve_data();
    void resolve();
    void testEngine();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedServer m_server;
    PeerProcess m_demo;
};

void tst_Explain::initTestCase()
{
    m_server.setRoute(
        "/s?q=begin",
        ScriptedServer::reply(200, "<li><b>c1</b><i>One</i></li><li><b>c2</b><I>Two</I></li>"));
    m_server.setRoute("/s?q=good", ScriptedServer::reply(200, "<li><b>c1</b><i>One</i></li>"));
    m_server.setRoute("/s?q=end", ScriptedServer::reply(200, "<li><b>c1</b><i>One</li>"));
    m_server.setRoute("/s?q=none", ScriptedServer::reply(200, "<ul><LI>c1</LI></ul>"));
    m_server.setRoute("/watch/c1", ScriptedServer::reply(200, "<a href=\"/files/c1.mp4\">"));
    m_server.setRoute("/watch/c2", ScriptedServer::reply(200, "<a HREF=\"/files/c2.mp4\">"));
    m_server.setRoute("/files/c1.mp4", ScriptedServer::reply(206, "v"));
    m_server.setFallback(ScriptedServer::reply(404, "not here"));
    QVERIFY(m_server.start());
    QVERIFY2(m_demo.startHttpServer(DemoSite + QStringLiteral("site")),
             qPrintable(m_demo.failure()));
}

void tst_Explain::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Explain::cleanup()
{
    m_dir.reset();
}

void tst_Explain::searchExplain_data()
{
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("expected");
    const QByteArray base = "request http://127.0.0.1:PORT/s?q=";
    QTest::newRow("second block misses a begin marker")
        << QByteArray("begin") << 0
        << QByteArrayList{
               base + "begin",
               "status 200, 56 bytes, whole page",
               "block 1: top marker at 0, fields searched from 3",
               "  title: 16..19 \"One\"",
               "  user: no markers",
               "  image: no markers",
               "  time: no markers",
               "  id: 7..9 \"c1\"",
               "block 2: top marker at 28, fields searched from 31",
               "  title: begin marker \"<i>\" (find0_title::, line 8) not found from 31; nearest: "
               "\"<I>\" in other case at 41, in \"li><li><b>c2</b><I>Two</I></li>\"",
               "  user: no markers",
               "  image: no markers",
               "  time: no markers",
               "  id: 35..37 \"c2\"",
               "no further block: begin marker \"<l\" (find0_top::, line 4) not found from 31",
               "2 hits",
               "H\tOne\t\t\tc1\tfix\t",
               "H\t\t\t\tc2\tfix\t"};
    QTest::newRow("missing end marker")
        << QByteArray("end") << 0
        << QByteArrayList{
               base + "end",
               "status 200, 24 bytes, whole page",
               "block 1: top marker at 0, fields searched from 3",
               "  title: end marker \"</i>\" (find0_title_::, line 9) not found from 16 (begin "
               "marker at 13); nearest: \"</\" (its first 2 of 4 bytes) at 19, in "
               "\"><b>c1</b><i>One</li>\"",
               "  user: no markers",
               "  image: no markers",
               "  time: no markers",
               "  id: 7..9 \"c1\"",
               "no further block: begin marker \"<l\" (find0_top::, line 4) not found from 3",
               "1 hit",
               "H\t\t\t\tc1\tfix\t"};
    QTest::newRow("no block at all")
        << QByteArray("none") << 0
        << QByteArrayList{base + "none", "status 200, 20 bytes, whole page",
                          "no block: begin marker \"<l\" (find0_top::, line 4) not found from 0; "
                          "nearest: \"<L\" in other case at 4, in \"<ul><LI>c1</LI></ul>\"",
                          "0 hits"};
    QTest::newRow("error page is not scanned")
        << QByteArray("gone") << 1
        << QByteArrayList{base + "gone", "status 404: not a 2xx answer, the page is not scanned"};
}

void tst_Explain::searchExplain()
{
    QFETCH(QByteArray, word);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, expected);
    QVERIFY(TestFiles::writeEngine(m_dir->path(), engineText(), m_server.port()));
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), {QStringLiteral("search"), QStringLiteral("--explain"),
                                    QString::fromLatin1(word)});
    QVERIFY2(cli.finished, cli.err.constData());
    QCOMPARE(cli.exitCode, exitCode);
    for (QByteArray &line : expected)
        line.replace("PORT", QByteArray::number(m_server.port()));
    QCOMPARE(lines(cli.out), expected);
}

// The demo site's page, kept and scanned again with no server to ask.
void tst_Explain::savedPageRoundTrip()
{
    const QString engine = m_dir->filePath(QStringLiteral(".zindles/demo.zin"));
    const QByteArray demo = TestFiles::read(DemoSite + QStringLiteral("demo.zin.in"));
    QVERIFY(TestFiles::write(
        engine, QByteArray(demo).replace("@PORT@", QByteArray::number(m_demo.port()))));
    const QString saved = m_dir->filePath(QStringLiteral("cats.html"));
    const CliRun::Result fetched =
        CliRun::run(m_dir->path(), {QStringLiteral("search"), QStringLiteral("--save-page"), saved,
                                    QStringLiteral("cats")});
    QVERIFY2(fetched.finished, fetched.err.constData());
    QCOMPARE(fetched.exitCode, 0);
    QCOMPARE(lines(fetched.out).size(), 5);
    QCOMPARE(TestFiles::read(saved),
             TestFiles::read(DemoSite + QStringLiteral("site/search/cats_0.html")));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("cats.html")});

    // Port 1 answers nothing: a request would fail the search.
    QVERIFY(TestFiles::write(engine, QByteArray(demo).replace("@PORT@", "1")));
    const CliRun::Result scanned =
        CliRun::run(m_dir->path(), {QStringLiteral("search"), QStringLiteral("--page-file"), saved,
                                    QStringLiteral("cats")});
    QVERIFY2(scanned.finished, scanned.err.constData());
    QCOMPARE(scanned.exitCode, 0);
    QCOMPARE(scanned.out, fetched.out);

    const CliRun::Result missing = CliRun::run(
        m_dir->path(), {QStringLiteral("search"), QStringLiteral("--page-file"),
                        m_dir->filePath(QStringLiteral("nothing.html")), QStringLiteral("cats")});
    QCOMPARE(missing.exitCode, 1);
    QVERIFY(missing.out.isEmpty());
}

void tst_Explain::resolve_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("resolves") << QStringLiteral("c1") << 0
                              << QByteArrayList{"stage 0: http://127.0.0.1:PORT/watch/c1",
                                                "  status 200, 24 bytes, whole page",
                                                "  text \"/files/c1.mp4\"",
                                                "final URL http://127.0.0.1:PORT/files/c1.mp4"};
    QTest::newRow("marker miss")
        << QStringLiteral("c2") << 1
        << QByteArrayList{
               "stage 0: http://127.0.0.1:PORT/watch/c2", "  status 200, 24 bytes, whole page",
               "  failed: stage 0: markers not found",
               "  begin marker \"href=\"\" (download_key0::, line 12) not found from 0; "
               "nearest: \"HREF=\"\" in other case at 3, in \"<a HREF=\"/files/c2.mp4\">\""};
}

void tst_Explain::resolve()
{
    QFETCH(QString, id);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, expected);
    QVERIFY(TestFiles::writeEngine(m_dir->path(), engineText(), m_server.port()));
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), {QStringLiteral("resolve"), QStringLiteral("--explain"),
                                    QStringLiteral("fix"), id});
    QVERIFY2(cli.finished, cli.err.constData());
    QCOMPARE(cli.exitCode, exitCode);
    for (QByteArray &line : expected)
        line.replace("PORT", QByteArray::number(m_server.port()));
    QCOMPARE(lines(cli.out), expected);
}

void tst_Explain::testEngine()
{
    const quint16 port = m_server.port();
    QVERIFY(TestFiles::writeEngine(m_dir->path(), engineText("good"), port, QStringLiteral("a")));
    // Hit 2 comes without a title.
    QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                   engineText("begin").replace("engine_id::fix", "engine_id::fix2"),
                                   port, QStringLiteral("b")));
    QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                   engineText().replace("engine_id::fix", "engine_id::plain"), port,
                                   QStringLiteral("c")));

    // The self-test keys are known keys.
    const CliRun::Result lint =
        CliRun::run(m_dir->path(), {QStringLiteral("check-engine"), QStringLiteral("fix")});
    QCOMPARE(lint.out, QByteArray());
    QCOMPARE(lint.exitCode, 0);

    const CliRun::Result all = CliRun::run(m_dir->path(), {QStringLiteral("test-engine")});
    QVERIFY2(all.finished, all.err.constData());
    QCOMPARE(all.exitCode, 1);
    const QByteArrayList out = lines(all.out);
    QVERIFY(out.size() > 4);
    QCOMPARE(out.first(), "fix ok");
    QCOMPARE(out[1], "fix2 FAIL: search \"begin\": hit 2 has no title");
    QCOMPARE(out[2], "  request http://127.0.0.1:" + QByteArray::number(port) + "/s?q=begin");
    QVERIFY(out.contains("    title: begin marker \"<i>\" (find0_title::, line 8) not found from "
                         "31; nearest: \"<I>\" in other case at 41, in "
                         "\"li><li><b>c2</b><I>Two</I></li>\""));
    QCOMPARE(out.last(), "plain skipped: no test_word::");
    bool asked = false;
    for (const QByteArray &sent : m_server.requests())
        asked |= sent.startsWith("GET /files/c1.mp4 ") && sent.contains("\r\nRange: bytes=0-0\r\n");
    QVERIFY(asked);

    const CliRun::Result chosen =
        CliRun::run(m_dir->path(), {QStringLiteral("test-engine"), QStringLiteral("fix"),
                                    QStringLiteral("plain")});
    QCOMPARE(chosen.exitCode, 0);
    QCOMPARE(lines(chosen.out), (QByteArrayList{"fix ok", "plain skipped: no test_word::"}));
}

QTEST_GUILESS_MAIN(tst_Explain)
#include "tst_explain.moc"
