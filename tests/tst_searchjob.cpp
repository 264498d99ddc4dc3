#include "CliRun.h"
#include "LocalPorts.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/config/Settings.h"
#include "core/net/ResultCode.h"
#include "core/search/SearchWorker.h"

#include <QtTest>

using Step = ScriptedServer::Step;

namespace {

constexpr int StartTimeoutMs = 20000;

QByteArray fixture(const char *name)
{
    return TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/search/") + QLatin1String(name));
}

// The fixture engine, pointed at `base`, as the only engine of `dir`.
bool writeEngine(const QString &dir, const QByteArray &base)
{
    return TestFiles::write(dir + QStringLiteral("/.zindles/fixture.zin"),
                            fixture("fixture.zin").replace("@BASE@", base));
}

QByteArray header(qint64 length = -1)
{
    QByteArray text = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
    if (length >= 0)
        text += "Content-Length: " + QByteArray::number(length) + "\r\n";
    return text + "\r\n";
}

QByteArray joined(const ResultRow &row)
{
    return QByteArrayList(row.columns.begin(), row.columns.end()).join('\t');
}

QByteArrayList joined(const QList<ResultRow> &rows)
{
    QByteArrayList lines;
    for (const ResultRow &row : rows)
        lines.append(joined(row));
    return lines;
}

// The hits of results-1.html, in page order.
QByteArrayList threeHits()
{
    return {"H\tCats & boxes\t1:05\talice\tvid001\tfixture\thttp://img.fixture.test/vid001.jpg",
            "H\tSleepy cat\t12:40\tbob\tvid002\tfixture\thttp://img.fixture.test/vid002.jpg",
            "H\tCat <3 yarn\t0:59\talice\tvid003\tfixture\thttp://img.fixture.test/vid003.jpg"};
}

// A hit joined by tabs as a line of "download.list".
QByteArray listLine(const QByteArray &tabbed)
{
    QByteArray line = tabbed;
    return line.replace('\t', "<\t>") + "<\t>\r\n";
}

QByteArray firstLine(const QByteArray &request)
{
    return request.left(request.indexOf("\r\n"));
}

} // namespace

// The search job against the scripted server, and zindle-cli search against
// Python's http.server serving the fixture pages.
class tst_SearchJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void scrape_data();
    void scrape();
    void address_data();
    void address();
    void noRequest_data();
    void noRequest();
    void unreachableSite();
    void cancelDuringBody();
    void startAndEndLines_data();
    void startAndEndLines();
    void cli_data();
    void cli();
    void cliAdd_data();
    void cliAdd();

private:
    // Runs a search to its end; null when it did not finish in time.
    std::unique_ptr<SearchWorker> search(const QByteArray &word, int engine = 0, int mode = 0,
                                         int page = 0);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Settings> m_settings;
    ScriptedServer m_server;
    PeerProcess m_site;
};

void tst_SearchJob::initTestCase()
{
    QVERIFY(m_server.start());
    QVERIFY2(m_site.startHttpServer(QStringLiteral(ZINDLE_TEST_DATA "/search"), StartTimeoutMs),
             qPrintable(m_site.failure()));
}

void tst_SearchJob::cleanupTestCase()
{
    m_site.stop();
}

void tst_SearchJob::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeEngine(m_dir->path(), m_server.url("")));
    m_settings = std::make_unique<Settings>(m_dir->path());
    QCOMPARE(m_settings->engineCount(), 1);
}

void tst_SearchJob::cleanup()
{
    m_settings.reset();
    m_dir.reset();
}

std::unique_ptr<SearchWorker> tst_SearchJob::search(const QByteArray &word, int engine, int mode,
                                                    int page)
{
    auto job = std::make_unique<SearchWorker>(m_settings.get(), word, engine, mode, page);
    if (!job->waitFinished(30000))
        return nullptr;
    return job;
}

void tst_SearchJob::scrape_data()
{
    QTest::addColumn<ScriptedServer::Script>("script");
    QTest::addColumn<bool>("gated"); // the body waits for proceed() after the header
    QTest::addColumn<QByteArrayList>("expectedRows");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("expectedProgress");
    QTest::addColumn<int>("expectedTotal");
    QTest::addColumn<QString>("expectedMessage");

    const QByteArray page = fixture("results-1.html");
    const int size = int(page.size());
    const QString three = QStringLiteral("success (3 data found.)");
    QTest::newRow("three blocks, length announced")
        << ScriptedServer::Script{Step::send(header(size) + page), Step::close()} << false
        << threeHits() << 2 << size << size << three;

    const QByteArray gap = fixture("title-gap.html");
    QTest::newRow("block without title takes the next one's")
        << ScriptedServer::Script{Step::send(header(gap.size()) + gap), Step::close()} << false
        << QByteArrayList{"H\tOne\t\t\tgap001\tfixture\t", "H\tThree\t\t\tgap002\tfixture\t",
                          "H\tThree\t\t\tgap003\tfixture\t"}
        << 2 << int(gap.size()) << int(gap.size()) << three;

    QByteArray wiki = page;
    wiki.replace("Sleepy&nbsp;cat", "Cats &amp; dogs at the vet&#039;s &ndash; &#x2764;")
        .replace(">bob<", ">O&#39;Brien &amp; Sons<");
    QTest::newRow("references in titles and user names decoded")
        << ScriptedServer::Script{Step::send(header(wiki.size()) + wiki), Step::close()} << false
        << QByteArrayList{threeHits()[0],
                          QStringLiteral(u"H\tCats & dogs at the vet's \u2013 \u2764\t12:40\t"
                                         u"O'Brien & Sons\tvid002\tfixture\t"
                                         u"http://img.fixture.test/vid002.jpg")
                              .toLocal8Bit(),
                          threeHits()[2]}
        << 2 << int(wiki.size()) << int(wiki.size()) << three;

    const QByteArray empty = "<html><body><p>No videos.</p></body></html>";
    QTest::newRow("no block") << ScriptedServer::Script{Step::send(header(empty.size()) + empty),
                                                        Step::close()}
                              << false << QByteArrayList{} << 2 << int(empty.size())
                              << int(empty.size()) << QStringLiteral("not data found.");

    // The connection stays open: only the closing tag can end the body.
    QTest::newRow("closing tag, no length")
        << ScriptedServer::Script{Step::send(header()), Step::await(), Step::send(page),
                                  Step::stall()}
        << true << threeHits() << 2 << size << -1 << three;

    QByteArray open = page;
    open.replace("</html>", "");
    QTest::newRow("closed, no length, no closing tag")
        << ScriptedServer::Script{Step::send(header() + open), Step::close()} << false
        << threeHits() << 2 << int(open.size()) << -1 << three;

    // Real result pages are bigger than the body buffer; the last hit here
    // starts past 128 KiB.
    QByteArray big = page;
    big.insert(big.indexOf("<li class=\"hit\" data-n=\"3\">"),
               "<!--" + QByteArray(150000, '-') + "-->\n");
    QTest::newRow("page bigger than the body buffer")
        << ScriptedServer::Script{Step::send(header(big.size()) + big), Step::close()} << false
        << threeHits() << 2 << int(big.size()) << int(big.size()) << three;

    // Chunked in two, the second chunk cutting the second hit.
    const qsizetype cut = page.indexOf("Sleepy");
    const QByteArray chunks = QByteArray::number(cut, 16) + "\r\n" + page.left(cut) + "\r\n" +
                              QByteArray::number(size - cut, 16) + ";x=y\r\n" + page.mid(cut) +
                              "\r\n0\r\n\r\n";
    QTest::newRow("chunked page")
        << ScriptedServer::Script{Step::send(
                                      "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                      chunks),
                                  Step::stall()}
        << false << threeHits() << 2 << size << size << three;

    QTest::newRow("404 page with hits")
        << ScriptedServer::reply(404, page) << false << QByteArrayList{}
        << int(ResultCode::HttpStatus) << 0 << 0 << QStringLiteral("HTTP status 404");
    QTest::newRow("malformed length")
        << ScriptedServer::Script{Step::send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                             QByteArray::number(size) + "0x\r\n\r\n" + page),
                                  Step::close()}
        << false << QByteArrayList{} << int(ResultCode::MalformedAnswer) << 0 << 0
        << QStringLiteral("network error =-10");

    QTest::newRow("cut short") << ScriptedServer::Script{Step::send(header(size + 100) + page),
                                                         Step::close()}
                               << false << QByteArrayList{} << int(ResultCode::BodyStopped) << size
                               << size + 100 << QStringLiteral("network error =-25");
}

void tst_SearchJob::scrape()
{
    QFETCH(ScriptedServer::Script, script);
    QFETCH(bool, gated);
    QFETCH(QByteArrayList, expectedRows);
    QFETCH(int, expectedCode);
    QFETCH(int, expectedProgress);
    QFETCH(int, expectedTotal);
    QFETCH(QString, expectedMessage);

    m_server.addResponse(script);
    StderrCapture capture;
    auto job = std::make_unique<SearchWorker>(m_settings.get(), "cats", 0, 0, 0);
    if (gated) {
        QTRY_COMPARE(job->progressTotal.load(), -1); // the header is in
        m_server.proceed();
    }
    QVERIFY(job->waitFinished(30000));
    QCOMPARE(job->resultCode.load(), expectedCode);
    QCOMPARE(joined(job->rows()), expectedRows);
    QCOMPARE(job->progress.load(), expectedProgress);
    QCOMPARE(job->progressTotal.load(), expectedTotal);
    QCOMPARE(job->outcome().code, expectedCode);
    QCOMPARE(job->outcome().message, expectedMessage);
    job.reset();
    QVERIFY(capture.text().endsWith("--------end search thread--------\n"));
}

void tst_SearchJob::address_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<int>("page");
    QTest::addColumn<QByteArray>("expectedTarget");
    QTest::addColumn<int>("expectedOption");

    QTest::newRow("title: option 1 percent-encodes")
        << 0 << QByteArray("a b/\xc3\xbc*") << 0 << QByteArray("/results-1.html?q=a+b%2F%C3%BC%2A")
        << 1;
    QTest::newRow("title: page 3 is start 1 + step 20 x 3")
        << 0 << QByteArray("cats") << 3 << QByteArray("/results-61.html?q=cats") << 1;
    QTest::newRow("title: last page")
        << 0 << QByteArray("cats") << 19 << QByteArray("/results-381.html?q=cats") << 1;
    QTest::newRow("user: option 0 keeps the word as typed")
        << 1 << QByteArray("a b%2F") << 1 << QByteArray("/user/a b%2F/results-21.html") << 0;
}

void tst_SearchJob::address()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, word);
    QFETCH(int, page);
    QFETCH(QByteArray, expectedTarget);
    QFETCH(int, expectedOption);

    m_server.addResponse(ScriptedServer::reply(200, "<html></html>"));
    const int before = m_server.connectionCount();
    StderrCapture capture;
    auto job = search(word, 0, mode, page);
    QVERIFY(job);
    QCOMPARE(job->resultCode.load(), int(ResultCode::BodyComplete));
    QCOMPARE(m_server.connectionCount(), before + 1);
    QCOMPARE(firstLine(m_server.requests().last()), "GET " + expectedTarget + " HTTP/1.0");
    QVERIFY2(capture.text().contains("engine = Fixture Tube\nmode = " + QByteArray::number(mode) +
                                     "\noption = " + QByteArray::number(expectedOption) +
                                     "\nsearch url = " + m_server.url(expectedTarget) + "\n"),
             capture.text().constData());
}

void tst_SearchJob::noRequest_data()
{
    QTest::addColumn<bool>("withEngine");
    QTest::addColumn<int>("engine");
    QTest::addColumn<int>("mode");

    QTest::addColumn<QString>("message"); // names what is missing

    QTest::newRow("mode without template")
        << true << 0 << 2
        << QStringLiteral("engine \"Fixture Tube\" has no template for URL search");
    QTest::newRow("engine index past the table")
        << true << 1 << 0 << QStringLiteral("there is no engine 1");
    QTest::newRow("empty engine selector")
        << true << -1 << 0 << QStringLiteral("there is no engine -1");
    QTest::newRow("no engine loaded") << false << 0 << 0 << QStringLiteral("there is no engine 0");
    QTest::newRow("no such mode") << true << 0 << 3 << QStringLiteral("there is no search mode 3");
}

void tst_SearchJob::noRequest()
{
    QFETCH(bool, withEngine);
    QFETCH(int, engine);
    QFETCH(int, mode);

    if (!withEngine) {
        QVERIFY(QDir(m_dir->filePath(QStringLiteral(".zindles"))).removeRecursively());
        m_settings = std::make_unique<Settings>(m_dir->path());
        QCOMPARE(m_settings->engineCount(), 0);
    }
    const int before = m_server.connectionCount();
    StderrCapture capture;
    auto job = search("cats", engine, mode, 0);
    QVERIFY(job);
    QCOMPARE(job->resultCode.load(), int(ResultCode::NoTemplate));
    QVERIFY(job->rows().isEmpty());
    QCOMPARE(job->outcome().code, int(ResultCode::NoTemplate));
    QFETCH(QString, message);
    QCOMPARE(job->outcome().message, message);
    QCOMPARE(m_server.connectionCount(), before);
    QVERIFY(!capture.text().contains("search url ="));
}

void tst_SearchJob::unreachableSite()
{
    // A port that was just closed: connecting is refused.
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(LocalPorts::freePort());
    QVERIFY(writeEngine(m_dir->path(), base));
    m_settings = std::make_unique<Settings>(m_dir->path());
    auto job = search("cats");
    QVERIFY(job);
    QCOMPARE(job->resultCode.load(), int(ResultCode::ConnectFailed));
    QCOMPARE(job->outcome().code, int(ResultCode::ConnectFailed));
    QCOMPARE(job->outcome().message, QStringLiteral("network error =-2"));
    QVERIFY(job->rows().isEmpty());
}

void tst_SearchJob::cancelDuringBody()
{
    const QByteArray page = fixture("results-1.html");
    const qsizetype half = page.indexOf("<li class=\"hit\" data-n=\"3\">");
    QVERIFY(half > 0);
    m_server.addResponse({Step::send(header(page.size()) + page.left(half)), Step::await(),
                          Step::send(page.mid(half, 10)), Step::stall()});

    auto job = std::make_unique<SearchWorker>(m_settings.get(), "cats", 0, 0, 0);
    // Two whole blocks have arrived when the cancel comes.
    QTRY_COMPARE(job->progress.load(), int(half));
    QCOMPARE(job->progressTotal.load(), int(page.size()));
    job->requestStop();
    m_server.proceed(); // ends the receive step the job is waiting in
    QVERIFY(job->waitFinished(30000));
    QCOMPARE(job->resultCode.load(), 0);
    QVERIFY(job->rows().isEmpty());
    QCOMPARE(job->outcome().code, 0);
    QCOMPARE(job->outcome().message, QStringLiteral("not data found."));
}

void tst_SearchJob::startAndEndLines_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("expectedLine");

    QTest::newRow("password set") << QByteArray("s3cr3t") << QByteArray("Password= ********\n");
    QTest::newRow("no password") << QByteArray() << QByteArray("Password= \n");
}

void tst_SearchJob::startAndEndLines()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, expectedLine);

    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\nname=someone\r\npass=" + password +
                                 "\r\nport=8080\r\ntimeout=1\r\n"));
    m_settings = std::make_unique<Settings>(m_dir->path());
    StderrCapture capture;
    auto job = search("cats", 0, 2, 0); // no template: no request
    QVERIFY(job);
    job.reset();

    const QByteArray start = "--------start search thread--------\n"
                             "Timeout= 30000\n"
                             "UserAgent= " +
                             m_settings->userAgent() +
                             "\n"
                             "Proxy= \n"
                             "Port= 8080\n"
                             "ID= someone\n" +
                             expectedLine;
    const QByteArray text = capture.text();
    QVERIFY2(text.startsWith(start), text.constData());
    QVERIFY(text.endsWith("--------end search thread--------\n"));
    if (!password.isEmpty())
        QVERIFY(!text.contains(password));
}

void tst_SearchJob::cli_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QByteArray>("expectedOut");
    QTest::addColumn<QByteArray>("expectedLastLine");

    QTest::newRow("three hits in page order")
        << QStringList{QStringLiteral("cats")} << 0 << threeHits().join('\n') + '\n'
        << QByteArray("success (3 data found.)\n");
    // The site has no second page: its 404 page is an error, not a page without hits.
    QTest::newRow("engine by id, page not there")
        << QStringList{QStringLiteral("--engine"), QStringLiteral("fixture"),
                       QStringLiteral("--page"), QStringLiteral("1"), QStringLiteral("cats")}
        << 1 << QByteArray() << QByteArray("HTTP status 404\n");
    QTest::newRow("mode without template")
        << QStringList{QStringLiteral("--engine"), QStringLiteral("0"), QStringLiteral("--mode"),
                       QStringLiteral("url"), QStringLiteral("cats")}
        << 1 << QByteArray()
        << QByteArray("engine \"Fixture Tube\" has no template for URL search\n");
    QTest::newRow("unknown engine")
        << QStringList{QStringLiteral("--engine"), QStringLiteral("1"), QStringLiteral("cats")} << 2
        << QByteArray() << QByteArray("zindle-cli search: unknown engine \"1\"\n");
    QTest::newRow("unknown mode") << QStringList{QStringLiteral("--mode"), QStringLiteral("video"),
                                                 QStringLiteral("cats")}
                                  << 2 << QByteArray()
                                  << QByteArray("zindle-cli search: unknown mode \"video\"\n");
    QTest::newRow("page outside 0 to 19")
        << QStringList{QStringLiteral("--page"), QStringLiteral("20"), QStringLiteral("cats")} << 2
        << QByteArray() << QByteArray("zindle-cli search: page outside 0 to 19 \"20\"\n");
    QTest::newRow("no word") << QStringList{QStringLiteral("--page"), QStringLiteral("1")} << 2
                             << QByteArray() << QByteArray();
}

void tst_SearchJob::cli()
{
    QFETCH(QStringList, args);
    QFETCH(int, expectedExit);
    QFETCH(QByteArray, expectedOut);
    QFETCH(QByteArray, expectedLastLine);

    const QByteArray base = m_site.baseUrl();
    QVERIFY(writeEngine(m_dir->path(), base));
    // With -v for the trace, which otherwise stays off.
    const CliRun::Result cli = CliRun::run(
        m_dir->path(), QStringList{QStringLiteral("search"), QStringLiteral("-v")} + args);
    QVERIFY(cli.finished);
    const QByteArray &diagnostics = cli.err;
    QCOMPARE(cli.exitStatus, QProcess::NormalExit);
    QCOMPARE(cli.exitCode, expectedExit);
    QCOMPARE(cli.out, expectedOut);
    QVERIFY2(diagnostics.endsWith(expectedLastLine), diagnostics.constData());
    if (expectedExit == 0)
        QVERIFY(diagnostics.contains("search url = " + base + "/results-"));
}

void tst_SearchJob::cliAdd_data()
{
    QTest::addColumn<bool>("withWorkDir");  // "z_user.ini" names "work/"
    QTest::addColumn<QByteArray>("before"); // null: no list file
    QTest::addColumn<bool>("listIsDirectory");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QByteArray>("expectedOut");
    QTest::addColumn<QByteArray>("expectedList"); // null: no list file
    QTest::addColumn<QByteArray>("expectedLastLine");

    const QByteArrayList hits = threeHits();
    const QByteArray hitsOut = hits.join('\n') + '\n';
    const QByteArray allHits = listLine(hits[0]) + listLine(hits[1]) + listLine(hits[2]);
    // "List up" with every hit selected leaves the page's first hit on top,
    // and the list is saved top to bottom.
    QTest::newRow("no list yet: the hits in page order")
        << true << QByteArray() << false << QStringList{} << 1 << 0 << hitsOut << allHits
        << QByteArray("added 3 to the download list\n");
    // A save would have written the loaded rows in reverse.
    QTest::newRow("second run adds nothing and leaves the file")
        << true << QByteArray() << false << QStringList{} << 2 << 0 << hitsOut << allHits
        << QByteArray("added 0 to the download list\n");

    const QByteArray listed = "x\tOld title\t9:99\tzoe\tvid002\tfixture\t";
    const QByteArray otherEngine = "H\tElsewhere\t0:01\tyan\tvid003\tother\t";
    // Loaded, the file's last row is on top; the new hits go above it.
    QTest::newRow("same ID and Type is kept once, same ID elsewhere is not it")
        << true << listLine(listed) + listLine(otherEngine) << false << QStringList{} << 1 << 0
        << hitsOut
        << listLine(hits[0]) + listLine(hits[2]) + listLine(otherEngine) + listLine(listed)
        << QByteArray("added 2 to the download list\n");
    QTest::newRow("failed search leaves the list")
        << true << listLine(listed) + listLine(otherEngine) << false
        << QStringList{QStringLiteral("--mode"), QStringLiteral("url")} << 1 << 1 << QByteArray()
        << listLine(listed) + listLine(otherEngine)
        << QByteArray("engine \"Fixture Tube\" has no template for URL search\n");
    QTest::newRow("work directory too short: no search")
        << false << QByteArray() << false << QStringList{} << 1 << 1 << QByteArray() << QByteArray()
        << QByteArray("load path is too short.\n");
    QTest::newRow("a list that cannot be read is not replaced")
        << true << QByteArray() << true << QStringList{} << 1 << 1 << QByteArray() << QByteArray()
        << QByteArray("cannot open the file.\n");
}

void tst_SearchJob::cliAdd()
{
    QFETCH(bool, withWorkDir);
    QFETCH(QByteArray, before);
    QFETCH(bool, listIsDirectory);
    QFETCH(QStringList, options);
    QFETCH(int, runs);
    QFETCH(int, expectedExit);
    QFETCH(QByteArray, expectedOut);
    QFETCH(QByteArray, expectedList);
    QFETCH(QByteArray, expectedLastLine);

    QVERIFY(writeEngine(m_dir->path(), m_site.baseUrl()));
    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    if (withWorkDir) {
        QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                                 "[settings]\r\npath=work/\r\n"));
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("work")));
    }
    if (!before.isNull())
        QVERIFY(TestFiles::write(listPath, before));
    if (listIsDirectory)
        QVERIFY(QDir().mkpath(listPath));

    for (int run = 0; run < runs; ++run) {
        const CliRun::Result cli = CliRun::run(
            m_dir->path(), QStringList{QStringLiteral("search")} + options +
                               QStringList{QStringLiteral("--add"), QStringLiteral("cats")});
        QVERIFY(cli.finished);
        const QByteArray &diagnostics = cli.err;
        QCOMPARE(cli.exitStatus, QProcess::NormalExit);
        QCOMPARE(cli.exitCode, expectedExit);
        QCOMPARE(cli.out, expectedOut);
        if (run == runs - 1)
            QVERIFY2(diagnostics.endsWith(expectedLastLine), diagnostics.constData());
    }
    if (listIsDirectory)
        QVERIFY(QFileInfo(listPath).isDir());
    else if (expectedList.isNull())
        QVERIFY(!QFile::exists(listPath));
    else
        QCOMPARE(TestFiles::read(listPath), expectedList);
    // Nothing lands beside the program when the work directory is unset.
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("download.list"))));
}

QTEST_GUILESS_MAIN(tst_SearchJob)
#include "tst_searchjob.moc"
