#include "CliRun.h"
#include "JobRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "core/download/HistoryFile.h"
#include "core/job/ResultRow.h"
#include "core/net/ResultCode.h"

#include <QDirIterator>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using TestFiles::randomBytes;
using TestRows::listLine;
using TestRows::makeRow;
using Script = ScriptedServer::Script;
using Step = ScriptedServer::Step;
using Files = QMap<QByteArray, QByteArray>;
using Marks = QList<DownloadWorker::RowMark>;

namespace {

constexpr int FinishMs = 20000;

// Stage 0 cuts "e%2Fx%3Fv%3D<id>%3A1%2fz" out of its page, which un-escapes to
// "e/x?v=<id>:1%2fz" (the lower-case escape stays); stage 1 fetches that and
// cuts the name that fills the target.
const QByteArray TwoStageEngine = "engine_title::Tube\n"
                                  "engine_id::tube\n"
                                  "download_http::1\n"
                                  "dowuload_redirect::2\n"
                                  "download_url0::http://127.0.0.1:PORT/watch?v=%s\n"
                                  "download_key0::<a id=\"next\" href=\"\n"
                                  "download_key0_::\">\n"
                                  "download_url1::http://127.0.0.1:PORT/%s\n"
                                  "download_key1::file: '\n"
                                  "download_key1_::'\n"
                                  "download_target::http://127.0.0.1:PORT/get/%s\n"
                                  "download_ext::.flv\n";
const QByteArray NoStageEngine = TestEngines::noStage();

// NoStageEngine with a title that clears the screen, and a search page.
const QByteArray SearchEngine = TestEngines::searching("Tube\x1b[2J\x07");

// One hit, "new1", whose title sets the terminal's window title and whose
// user turns the text red.
const QByteArray ResultsPage =
    "<html><body><ul><li class=\"hit\" data-n=\"1\">"
    "<a href=\"/watch?v=new1\"><img src=\"http://img.example/new1.jpg\"></a>"
    "<span class=\"title\">Evil\x1b]0;owned\x07 title\x7f</span>"
    "<span class=\"user\">eve\x1b[31m</span><span class=\"time\">1:00</span>"
    "</li></ul></body></html>";

QByteArray stage0Page(const QByteArray &id)
{
    return "<html><body><a id=\"next\" href=\"e%2Fx%3Fv%3D" + id +
           "%3A1%2fz\">go</a></body></html>";
}

QByteArrayList targets(const ScriptedServer &server)
{
    QByteArrayList result;
    for (const QByteArray &request : server.requests())
        result.append(ScriptedServer::target(request));
    return result;
}

} // namespace

// The download job against scripted and real local sites: the stage chain,
// the files it leaves, its marks and diagnostics, stops, and zindle-cli download.
class tst_DownloadJob : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowOutcome_data();
    void rowOutcome();
    void plantedEntriesAreRefused_data();
    void plantedEntriesAreRefused();
    void titleFileSparesOtherRowsVideos_data();
    void titleFileSparesOtherRowsVideos();
    void walksRowsTopToBottom();
    void allRowsDoneMakeNoRequest();
    void closingTagWithHeaderDoesNotEndVideo();
    void stopDuringStage();
    void stopDuringBody();
    void largeBodiesFromHttpServer();
    void cli_data();
    void cli();
    void cliWriteFailure();
    void cliKeepsRowsAddedDuringDownload();
    void cliEscapesControlBytes_data();
    void cliEscapesControlBytes();

private:
    using Result = JobRun::Result;

    // z_user.ini with the work directory "work/" (the whole path) and one engine file whose
    // "PORT" is replaced by the port.
    void writeSetup(const QByteArray &engine, quint16 port);
    void run(const QList<ResultRow> &rows, Result *result);
    // Every entry under the temporary directory but the fixture's own, by
    // relative path; a directory ends in "/" and has no bytes.
    Files created() const;
    // Relative, as the CLI runs take it from their working directory, the
    // temporary one; the jobs of this process get the whole path.
    static QByteArray workDir() { return QByteArrayLiteral("work/"); }
    QByteArray fullWorkDir() const { return QFile::encodeName(m_dir->path()) + '/' + workDir(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_DownloadJob::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_DownloadJob::cleanup()
{
    m_dir.reset();
}

void tst_DownloadJob::writeSetup(const QByteArray &engine, quint16 port)
{
    QVERIFY(TestFiles::writeSetup(m_dir->path(), fullWorkDir(), engine, port));
}

void tst_DownloadJob::run(const QList<ResultRow> &rows, Result *result)
{
    *result = JobRun::download(m_dir->path(), rows, FinishMs);
    QVERIFY(result->finished);
}

Files tst_DownloadJob::created() const
{
    static const QStringList fixture = {QStringLiteral("z_user.ini"), QStringLiteral(".zindles/"),
                                        QStringLiteral(".zindles/tube.zin"),
                                        QStringLiteral("work/")};
    Files files;
    const QDir root(m_dir->path());
    QDirIterator it(m_dir->path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        QString path = root.relativeFilePath(info.filePath());
        if (info.isDir())
            path += QLatin1Char('/');
        // The history of done rows is checked on its own (rowOutcome).
        if (fixture.contains(path) || path == QLatin1String("work/history.list"))
            continue;
        files.insert(QFile::encodeName(path),
                     info.isDir() ? QByteArray() : TestFiles::read(info.filePath()));
    }
    return files;
}

void tst_DownloadJob::rowOutcome_data()
{
    QTest::addColumn<QByteArray>("engine");
    QTest::addColumn<Files>("routes"); // request target -> raw response
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<Files>("files");
    QTest::addColumn<QByteArrayList>("lines"); // each found on standard error
    QTest::addColumn<QByteArray>("reason");    // the one carried with the mark

    const QByteArray video = randomBytes(200000, 1);
    const QByteArray title = "t::Title ab12\n";
    const Files none;

    QTest::newRow("two stages with escapes")
        << TwoStageEngine
        << Files{{"/watch?v=ab12", ScriptedServer::okAnswer(stage0Page("ab12"))},
                 {"/e/x?v=ab12:1%2fz",
                  ScriptedServer::okAnswer("<html>var file: 'vid%3D7';</html>")},
                 {"/get/vid=7", ScriptedServer::okAnswer(video)}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("o")
        << QByteArrayList{"/watch?v=ab12", "/e/x?v=ab12:1%2fz", "/get/vid=7"}
        << Files{{"work/tube/", {}}, {"work/tube/ab12.flv", video}, {"work/tube/ab12.txt", title}}
        << QByteArrayList{"open " + workDir() + "tube/ab12.flv\n"} << QByteArray();
    QTest::newRow("no stages: the target takes the ID")
        << NoStageEngine << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("o")
        << QByteArrayList{"/v/ab12.mp4"}
        << Files{{"work/tube/", {}}, {"work/tube/ab12.mp4", "tiny"}, {"work/tube/ab12.txt", title}}
        << QByteArrayList{} << QByteArray();
    QTest::newRow("body without length ended by a close")
        << NoStageEngine << Files{{"/v/ab12.mp4", "HTTP/1.0 200 OK\r\n\r\nab</html>cd"}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("o")
        << QByteArrayList{"/v/ab12.mp4"}
        << Files{{"work/tube/", {}},
                 {"work/tube/ab12.mp4", "ab</html>cd"},
                 {"work/tube/ab12.txt", title}}
        << QByteArrayList{} << QByteArray();

    // Stage pages are read whole: the marker here starts past 128 KiB.
    const QByteArray bigStage = "<html>" + QByteArray(200000, ' ') + "var file: 'vid%3D7';</html>";
    const QByteArray chunkedStage0 = "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                     QByteArray::number(stage0Page("ab12").size(), 16) + "\r\n" +
                                     stage0Page("ab12") + "\r\n0\r\n\r\n";
    QTest::newRow("chunked stage page, stage page bigger than the body buffer")
        << TwoStageEngine
        << Files{{"/watch?v=ab12", chunkedStage0},
                 {"/e/x?v=ab12:1%2fz", ScriptedServer::okAnswer(bigStage)},
                 {"/get/vid=7", ScriptedServer::okAnswer(video)}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("o")
        << QByteArrayList{"/watch?v=ab12", "/e/x?v=ab12:1%2fz", "/get/vid=7"}
        << Files{{"work/tube/", {}}, {"work/tube/ab12.flv", video}, {"work/tube/ab12.txt", title}}
        << QByteArrayList{} << QByteArray();
    QTest::newRow("fail: stage page with a malformed length")
        << TwoStageEngine
        << Files{{"/watch?v=ab12",
                  "HTTP/1.0 200 OK\r\nContent-Length: 9x\r\n\r\n" + stage0Page("ab12")}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("x")
        << QByteArrayList{"/watch?v=ab12"} << Files{{"work/tube/", {}}}
        << QByteArrayList{"stage 0: network error -10: malformed Content-Length: 9x\n"}
        << QByteArray("stage 0: network error -10: malformed Content-Length: 9x");
    QTest::newRow("fail: second stage markers not found")
        << TwoStageEngine
        << Files{{"/watch?v=ab12", ScriptedServer::okAnswer(stage0Page("ab12"))},
                 {"/e/x?v=ab12:1%2fz", ScriptedServer::okAnswer("<html>no file here</html>")},
                 {"/get/", ScriptedServer::okAnswer("error page")}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("x")
        << QByteArrayList{"/watch?v=ab12", "/e/x?v=ab12:1%2fz"} << Files{{"work/tube/", {}}}
        << QByteArrayList{"stage 1: markers not found\n"}
        << QByteArray("stage 1: markers not found");
    QTest::newRow("fail: one-byte ID, stages run, no final fetch")
        << TwoStageEngine
        << Files{{"/watch?v=a", ScriptedServer::okAnswer(stage0Page("a"))},
                 {"/e/x?v=a:1%2fz", ScriptedServer::okAnswer("<html>file: 'v'</html>")},
                 {"/get/v", ScriptedServer::okAnswer("video")}}
        << QByteArray("a") << QByteArray("tube") << QByteArray("x")
        << QByteArrayList{"/watch?v=a", "/e/x?v=a:1%2fz"} << Files{{"work/tube/", {}}}
        << QByteArrayList{"download failed: ID too short: a\n"} << QByteArray("ID too short: a");
    QTest::newRow("fail: unknown engine")
        << NoStageEngine << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}}
        << QByteArray("ab12") << QByteArray("other") << QByteArray("x") << QByteArrayList{} << none
        << QByteArrayList{"download failed: no engine other\n"} << QByteArray("no engine other");
    QTest::newRow("fail: stage count refused")
        << QByteArray(NoStageEngine + "dowuload_redirect::65\n")
        << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}} << QByteArray("ab12")
        << QByteArray("tube") << QByteArray("x") << QByteArrayList{} << none
        << QByteArrayList{"engine tube: its download stages were refused"}
        << QByteArray("engine tube: its download stages were refused when it was loaded");
    QTest::newRow("fail: 404 target")
        << NoStageEngine
        << Files{{"/v/ab12.mp4", "HTTP/1.0 404 Not Found\r\n"
                                 "Content-Length: 7\r\n\r\nmissing"}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("x")
        << QByteArrayList{"/v/ab12.mp4"} << Files{{"work/tube/", {}}}
        << QByteArrayList{"download failed: HTTP status 404\n"} << QByteArray("HTTP status 404");
    QTest::newRow("fail: truncated body")
        << NoStageEngine
        << Files{{"/v/ab12.mp4", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabcde"}}
        << QByteArray("ab12") << QByteArray("tube") << QByteArray("x")
        << QByteArrayList{"/v/ab12.mp4"}
        << Files{{"work/tube/", {}}, {"work/tube/ab12.mp4.part", "abcde"}}
        << QByteArrayList{"download failed: body ended short (-25)\n"}
        << QByteArray("body ended short (-25)");

    // Names that would leave their directory: nothing is requested or created.
    const QByteArrayList unsafeIds = {"../x", "a/b", "..", ".", "", "a\\b", "a\tb"};
    for (const QByteArray &id : unsafeIds) {
        QTest::addRow("fail: unsafe ID \"%s\"", id.constData())
            << NoStageEngine << Files{{"/v/" + id + ".mp4", ScriptedServer::okAnswer("tiny")}} << id
            << QByteArray("tube") << QByteArray("x") << QByteArrayList{} << none
            << QByteArrayList{"unsafe file name: " + id + "\n"}
            << QByteArray("unsafe file name: " + id);
    }
    // An engine id names a folder: a plain name or nothing is made. ".ssh"
    // with the work directory at home would reach ~/.ssh/authorized_keys.
    const QByteArrayList unsafeEngineIds = {
        "../up", ".ssh", "..", "a b", "a;b", "t\xc3\xbc", QByteArray(65, 'e')};
    for (const QByteArray &engineId : unsafeEngineIds) {
        QByteArray engine = NoStageEngine;
        engine.replace("engine_id::tube", "engine_id::" + engineId);
        QTest::addRow("fail: unsafe engine id \"%s\"", engineId.constData())
            << engine << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}}
            << QByteArray("ab12") << engineId << QByteArray("x") << QByteArrayList{} << none
            << QByteArrayList{"unsafe engine id: " + engineId + "\n"}
            << QByteArray("unsafe engine id: " + engineId);
    }
    for (const QByteArray &engineId : {QByteArray("my-Tube_2.0"), QByteArray(64, 'e')}) {
        QByteArray engine = NoStageEngine;
        engine.replace("engine_id::tube", "engine_id::" + engineId);
        const QByteArray folder = "work/" + engineId + '/';
        QTest::addRow("engine id \"%s\"", engineId.constData())
            << engine << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}}
            << QByteArray("ab12") << engineId << QByteArray("o") << QByteArrayList{"/v/ab12.mp4"}
            << Files{{folder, {}}, {folder + "ab12.mp4", "tiny"}, {folder + "ab12.txt", title}}
            << QByteArrayList{} << QByteArray();
    }
    for (const QByteArray &ext : {QByteArray("/../../x"), QByteArray(".m\\p4")}) {
        QByteArray engine = NoStageEngine;
        engine.replace("download_ext::.mp4", "download_ext::" + ext);
        QTest::addRow("fail: unsafe extension \"%s\"", ext.constData())
            << engine << Files{{"/v/ab12.mp4", ScriptedServer::okAnswer("tiny")}}
            << QByteArray("ab12") << QByteArray("tube") << QByteArray("x") << QByteArrayList{}
            << none << QByteArrayList{"unsafe file name: " + ext + "\n"}
            << QByteArray("unsafe file name: " + ext);
    }
}

void tst_DownloadJob::rowOutcome()
{
    QFETCH(QByteArray, engine);
    QFETCH(Files, routes);
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, mark);
    QFETCH(QByteArrayList, requests);
    QFETCH(Files, files);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArray, reason);

    ScriptedServer server;
    for (auto it = routes.cbegin(); it != routes.cend(); ++it)
        server.setRoute(it.key(), {Step::send(it.value()), Step::close()});
    QVERIFY(server.start());
    writeSetup(engine, server.port());

    Result result;
    run({makeRow("H", id, type)}, &result);
    if (QTest::currentTestFailed())
        return;

    // A row that failed names the last address it asked for.
    const QByteArray url =
        mark == "o" || requests.isEmpty() ? QByteArray() : server.url(requests.last());
    QCOMPARE(result.marks, (Marks{{0, mark, reason, url}}));
    QCOMPARE(targets(server), requests);
    QCOMPARE(created(), files);
    // A row settled "o" is in the history, and only then.
    QList<HistoryFile::Entry> history;
    HistoryFile::load(fullWorkDir(), &history);
    QCOMPARE(history.size(), mark == "o" ? 1 : 0);
    if (mark == "o")
        QCOMPARE(history.first().id, id);
    for (QByteArray line : lines) {
        line.replace("open " + workDir(), "open " + fullWorkDir());
        QVERIFY2(result.errors.contains(line), result.errors.constData());
    }
    QVERIFY(result.errors.startsWith("--------start search thread--------\n"));
    QVERIFY(result.errors.contains("Password= \n--------start download thread--------\n"));
    QVERIFY(result.errors.endsWith("--------end download thread--------\n"));
    // 100 once a body was streamed into a file, 1 while a row is resolved.
    const bool streamed = std::any_of(files.keyBegin(), files.keyEnd(),
                                      [](const QByteArray &path) { return !path.endsWith('/'); });
    QCOMPARE(result.progress, streamed ? 100 : 1);
}

void tst_DownloadJob::plantedEntriesAreRefused_data()
{
    QTest::addColumn<QByteArray>("entry"); // under work/, planted before the run
    QTest::addColumn<QByteArray>("kind");  // link, hard link, fifo
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<QByteArray>("reason"); // "@W@" stands for the work directory

    QTest::newRow("fail: .part is a link")
        << QByteArray("tube/ab12.mp4.part") << QByteArray("link") << QByteArray("x")
        << QByteArray("unsafe file: @W@tube/ab12.mp4.part is a symbolic link");
    QTest::newRow("fail: .part is a hard link")
        << QByteArray("tube/ab12.mp4.part") << QByteArray("hard link") << QByteArray("x")
        << QByteArray("unsafe file: @W@tube/ab12.mp4.part has 2 hard links");
    QTest::newRow("fail: .part is a named pipe")
        << QByteArray("tube/ab12.mp4.part") << QByteArray("fifo") << QByteArray("x")
        << QByteArray("unsafe file: @W@tube/ab12.mp4.part is not a regular file");
    QTest::newRow("fail: the video's name is a link")
        << QByteArray("tube/ab12.mp4") << QByteArray("link") << QByteArray("x")
        << QByteArray("unsafe file: @W@tube/ab12.mp4 is a symbolic link");
    QTest::newRow("fail: the engine folder is a link")
        << QByteArray("tube") << QByteArray("folder link") << QByteArray("x")
        << QByteArray("unsafe engine folder: @W@tube is a symbolic link");
    // The video is whole: the row is done and says what it lacks.
    QTest::newRow("title file is a link")
        << QByteArray("tube/ab12.txt") << QByteArray("link") << QByteArray("o")
        << QByteArray("no title file: @W@tube/ab12.txt: the file is a symbolic link");
    QTest::newRow("title file is a hard link")
        << QByteArray("tube/ab12.txt") << QByteArray("hard link") << QByteArray("o")
        << QByteArray("no title file: @W@tube/ab12.txt: the file has 2 hard links");
    // A kept validator that is a link is neither read nor written through.
    QTest::newRow(".part.meta is a link") << QByteArray("tube/ab12.mp4.part.meta")
                                          << QByteArray("link") << QByteArray("o") << QByteArray();
}

// Whoever can write to the work directory may plant links or second names
// there: the job's bytes must never reach a file outside it.
void tst_DownloadJob::plantedEntriesAreRefused()
{
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, kind);
    QFETCH(QByteArray, mark);
    QFETCH(QByteArray, reason);

    const QByteArray video = randomBytes(5000, 6);
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send("HTTP/1.0 200 OK\r\nETag: \"e1\"\r\n"
                                               "Content-Length: 5000\r\n\r\n" +
                                               video),
                                    Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());

    // What a planted entry would lead the bytes to.
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    const QString victim = outside + QStringLiteral("/victim");
    const QByteArray precious = "precious\n";
    QVERIFY(TestFiles::write(victim, precious));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("work/tube"))));
    const QByteArray planted = fullWorkDir() + entry;
    if (kind == "link")
        QCOMPARE(::symlink(QFile::encodeName(victim).constData(), planted.constData()), 0);
    else if (kind == "hard link")
        QCOMPARE(::link(QFile::encodeName(victim).constData(), planted.constData()), 0);
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(planted.constData(), 0644), 0);
    else if (kind == "folder link")
        QVERIFY(QDir(QFile::decodeName(fullWorkDir() + "tube")).removeRecursively() &&
                ::symlink(QFile::encodeName(outside).constData(), planted.constData()) == 0);

    Result result;
    run({makeRow("H", "ab12")}, &result);
    if (QTest::currentTestFailed())
        return;

    reason.replace("@W@", fullWorkDir());
    const QList<QByteArray> requested = server.requests();
    const QByteArray url = mark == "x" && !requested.isEmpty() ? server.url("/v/ab12.mp4") : "";
    QCOMPARE(result.marks, (Marks{{0, mark, reason, url}}));
    QCOMPARE(TestFiles::read(victim), precious);
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("victim")});
    if (mark == "o")
        QVERIFY(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4"))) == video);
}

void tst_DownloadJob::titleFileSparesOtherRowsVideos_data()
{
    QTest::addColumn<QByteArrayList>("ids"); // top to bottom

    QTest::newRow("the video's row first") << QByteArrayList{"clip.txt", "clip"};
    QTest::newRow("the title's row first") << QByteArrayList{"clip", "clip.txt"};
}

// Without an extension, "clip"'s title file is "clip.txt", the video of the
// row "clip.txt": the video stays whatever the order, and "clip" says why it
// has no title file.
void tst_DownloadJob::titleFileSparesOtherRowsVideos()
{
    QFETCH(QByteArrayList, ids);

    ScriptedServer server;
    server.setRoute("/v/clip", {Step::send(ScriptedServer::okAnswer("video clip")), Step::close()});
    server.setRoute("/v/clip.txt",
                    {Step::send(ScriptedServer::okAnswer("video clip.txt")), Step::close()});
    QVERIFY(server.start());
    writeSetup(QByteArray(NoStageEngine)
                   .replace("/v/%s.mp4", "/v/%s")
                   .replace("download_ext::.mp4\n", "download_ext::\n"),
               server.port());

    Result result;
    run({makeRow("H", ids[0]), makeRow("H", ids[1])}, &result);
    if (QTest::currentTestFailed())
        return;

    const int clipRow = ids.indexOf("clip");
    Marks expected{{0, "o", {}}, {1, "o", {}}};
    expected[clipRow].reason =
        "no title file: " + fullWorkDir() + "tube/clip.txt is the video of another row";
    QCOMPARE(result.marks, expected);
    QCOMPARE(created(), (Files{{"work/tube/", {}},
                               {"work/tube/clip", "video clip"},
                               {"work/tube/clip.txt", "video clip.txt"},
                               {"work/tube/clip.txt.txt", "t::Title clip.txt\n"}}));
}

void tst_DownloadJob::walksRowsTopToBottom()
{
    ScriptedServer server;
    server.setRoute("/v/cd34.mp4", {Step::send(ScriptedServer::okAnswer("second")), Step::close()});
    server.setRoute("/v/ef56.mp4", {Step::send(ScriptedServer::okAnswer("third")), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());

    // A done row is passed over; a failed row does not fail the rows after it;
    // any state but exactly "o" is taken up, "x" included.
    Result result;
    run({makeRow("o", "ab12"), makeRow("H", "zz99", "other"), makeRow("x", "cd34"),
         makeRow("", "ef56")},
        &result);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(result.marks, (Marks{{1, "x", "no engine other"}, {2, "o", {}}, {3, "o", {}}}));
    QCOMPARE(targets(server), (QByteArrayList{"/v/cd34.mp4", "/v/ef56.mp4"}));
    QCOMPARE(result.resultCode, int(ResultCode::BodyComplete));
}

void tst_DownloadJob::allRowsDoneMakeNoRequest()
{
    ScriptedServer server;
    server.setFallback({Step::send(ScriptedServer::okAnswer("x")), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());

    Result result;
    run({makeRow("o", "ab12"), makeRow("o", "cd34")}, &result);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(result.marks.isEmpty());
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(result.progress, 1);
    QCOMPARE(result.resultCode, 0);
    QCOMPARE(created(), Files{});

    run({}, &result);
    QCOMPARE(result.progress, 0);
    QCOMPARE(result.resultCode, 0);
}

// A video is read in binary mode: a closing HTML tag among the bytes that
// came with the header is no end, the rest that follows still counts.
void tst_DownloadJob::closingTagWithHeaderDoesNotEndVideo()
{
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send("HTTP/1.0 200 OK\r\n\r\nab</html>"),
                                    Step::pause(100), Step::send("cd"), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());

    Result result;
    run({makeRow("H", "ab12")}, &result);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(result.marks, (Marks{{0, "o", {}}}));
    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4"))),
             QByteArray("ab</html>cd"));
}

void tst_DownloadJob::stopDuringStage()
{
    ScriptedServer server;
    server.setRoute("/watch?v=ab12", {Step::send("HTTP/1.0 200 OK\r\n\r\n<html>"), Step::await(),
                                      Step::send(stage0Page("ab12")), Step::close()});
    server.setFallback({Step::send(ScriptedServer::okAnswer("unexpected")), Step::close()});
    QVERIFY(server.start());
    writeSetup(TwoStageEngine, server.port());

    Settings settings(m_dir->path());
    auto job = std::make_unique<DownloadWorker>(
        &settings, QList<ResultRow>{makeRow("x", "ab12"), makeRow("H", "cd34")});
    QTRY_COMPARE(server.requests().size(), 1);
    job->requestStop();
    server.proceed();
    QVERIFY(job->waitFinished(FinishMs));

    // The row keeps its state and the run ends there.
    QVERIFY(job->takeMarks().isEmpty());
    QCOMPARE(targets(server), QByteArrayList{"/watch?v=ab12"});
    QCOMPARE(created(), (Files{{"work/tube/", {}}}));
}

void tst_DownloadJob::stopDuringBody()
{
    const QByteArray video = randomBytes(100000, 2);
    const QByteArray response = ScriptedServer::okAnswer(video);
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send(response.left(response.size() / 2)), Step::await(),
                                    Step::send(response.mid(response.size() / 2)), Step::close()});
    server.setFallback({Step::send(ScriptedServer::okAnswer("unexpected")), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());

    Settings settings(m_dir->path());
    auto job = std::make_unique<DownloadWorker>(
        &settings, QList<ResultRow>{makeRow("H", "ab12"), makeRow("H", "cd34")});
    const QString part = m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part"));
    // The ".part" is made empty before the body arrives; an empty one is not kept.
    QTRY_VERIFY(QFileInfo(part).size() > 0);
    job->requestStop();
    server.proceed();
    QVERIFY(job->waitFinished(FinishMs));

    // A cancelled body stays as ".part", without a title file; the next row
    // is not taken up.
    QCOMPARE(job->takeMarks(), (Marks{{0, "x", "stopped", server.url("/v/ab12.mp4")}}));
    QCOMPARE(server.connectionCount(), 1);
    const Files files = created();
    QCOMPARE(files.keys(), (QByteArrayList{"work/tube/", "work/tube/ab12.mp4.part"}));
    QVERIFY(video.startsWith(files.value("work/tube/ab12.mp4.part")));
}

void tst_DownloadJob::largeBodiesFromHttpServer()
{
    // Past 21 MiB a 32-bit received x 100 would overflow.
    const QByteArray small = randomBytes(300000, 3);
    const QByteArray large = randomBytes(24 * 1024 * 1024 + 7, 4);
    const QString www = m_dir->filePath(QStringLiteral("www"));
    QVERIFY(TestFiles::write(www + QStringLiteral("/watch/ab12.html"),
                             "<html><video src=\"ab12.bin\"></video></html>"));
    QVERIFY(TestFiles::write(www + QStringLiteral("/watch/cd34.html"),
                             "<html><video src=\"cd34.bin\"></video></html>"));
    QVERIFY(TestFiles::write(www + QStringLiteral("/videos/ab12.bin"), small));
    QVERIFY(TestFiles::write(www + QStringLiteral("/videos/cd34.bin"), large));

    PeerProcess server;
    QVERIFY2(server.startHttpServer(www, FinishMs), qPrintable(server.failure()));

    writeSetup("engine_id::tube\n"
               "dowuload_redirect::1\n"
               "download_url0::http://127.0.0.1:PORT/watch/%s.html\n"
               "download_key0::src=\"\n"
               "download_key0_::\"\n"
               "download_target::http://127.0.0.1:PORT/videos/%s\n"
               "download_ext::.flv\n",
               server.port());
    Settings settings(m_dir->path());
    auto job = std::make_unique<DownloadWorker>(
        &settings, QList<ResultRow>{makeRow("H", "ab12"), makeRow("H", "cd34")});
    QList<int> seen;
    while (!job->waitFinished(5))
        seen.append(job->progress.load());
    for (int progress : std::as_const(seen))
        QVERIFY2(progress >= 0 && progress <= 100, QByteArray::number(progress).constData());
    QCOMPARE(job->takeMarks(), (Marks{{0, "o", {}}, {1, "o", {}}}));
    QCOMPARE(job->progress.load(), 100);
    QCOMPARE(job->resultCode.load(), int(ResultCode::BodyComplete));

    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/ab12.flv"))), small);
    QVERIFY(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/cd34.flv"))) == large);
    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/ab12.txt"))),
             QByteArray("t::Title ab12\n"));
    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/cd34.txt"))),
             QByteArray("t::Title cd34\n"));
}

void tst_DownloadJob::cli_data()
{
    QTest::addColumn<QByteArray>("workDirLine");
    QTest::addColumn<QByteArray>("list"); // null: no list file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("savedList"); // null: not written
    QTest::addColumn<QByteArray>("out");       // the row lines, whole
    QTest::addColumn<QByteArrayList>("lines"); // each found on standard error

    const ResultRow first = makeRow("H", "ab12");
    const ResultRow failing = makeRow("x", "cd34");
    const QByteArray work = "path=" + workDir() + "\r\n";

    // The file's last row is on top, so it is downloaded first and saved first.
    QTest::newRow("all done") << work << QByteArray(listLine(first)) << 0 << QByteArray("\r\n")
                              << QByteArray("ab12 o\n") << QByteArrayList{};
    QTest::newRow("one failed") << work << QByteArray(listLine(failing) + listLine(first)) << 1
                                << QByteArray("\r\n" + listLine(failing))
                                << QByteArray("ab12 o\ncd34 x HTTP status 404 "
                                              "http://127.0.0.1:PORT/v/cd34.mp4\n")
                                << QByteArrayList{};
    QTest::newRow("no list yet") << work << QByteArray() << 0 << QByteArray("") << QByteArray()
                                 << QByteArrayList{"cannot open the file.\n"};
    QTest::newRow("fail: no work directory")
        << QByteArray() << QByteArray() << 1 << QByteArray() << QByteArray()
        << QByteArrayList{"load path is too short.\n"};
}

void tst_DownloadJob::cli()
{
    QFETCH(QByteArray, workDirLine);
    QFETCH(QByteArray, list);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, savedList);
    QFETCH(QByteArray, out);
    QFETCH(QByteArrayList, lines);

    ScriptedServer server;
    server.setRoute("/v/ab12.mp4",
                    {Step::send(ScriptedServer::okAnswer("video ab12")), Step::close()});
    server.setRoute("/v/cd34.mp4", {Step::send("HTTP/1.0 404 Not Found\r\n\r\n"), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\njobs=1\r\n" + workDirLine));
    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    if (!list.isNull())
        QVERIFY(TestFiles::write(listPath, list));

    const CliRun::Result cli = CliRun::run(m_dir->path(), {QStringLiteral("download")}, FinishMs);
    QVERIFY(cli.finished);
    const QByteArray &errors = cli.err;
    QCOMPARE(cli.exitStatus, QProcess::NormalExit);
    QVERIFY2(cli.exitCode == exitCode, errors.constData());
    QCOMPARE(cli.out, QByteArray(out).replace("PORT", QByteArray::number(server.port())));
    for (const QByteArray &line : lines)
        QVERIFY2(errors.contains(line), errors.constData());
    // Without -v the jobs' trace stays off.
    QVERIFY2(!errors.contains("download thread"), errors.constData());
    if (savedList.isNull())
        QVERIFY(!QFile::exists(listPath));
    else
        QCOMPARE(TestFiles::read(listPath), savedList);
}

void tst_DownloadJob::cliWriteFailure()
{
    const QByteArray video = randomBytes(300000, 5);
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send(ScriptedServer::okAnswer(video)), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());
    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "ab12"))));

    // A file-size limit stands in for a full disk.
    CliRun::Options options;
    options.childModifier = [] {
        const rlimit limit{100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    };
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), {QStringLiteral("download"), QStringLiteral("--verbose")},
                    FinishMs, options);
    QVERIFY(cli.finished);
    const QByteArray &errors = cli.err;
    QCOMPARE(cli.exitCode, 1);
    QVERIFY2(errors.contains("download failed: write error: "), errors.constData());
    QVERIFY2(cli.out.startsWith("ab12 x write error: "), cli.out.constData());
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4"))));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("work/tube/ab12.txt"))));
    QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part"))));
    QCOMPARE(TestFiles::read(listPath), listLine(makeRow("x", "ab12")));
}

// "search --add" while "download" runs: the download merges its marks into
// the list as search left it, and the added row stays.
void tst_DownloadJob::cliKeepsRowsAddedDuringDownload()
{
    ScriptedServer server;
    server.setRoute(
        "/v/ab12.mp4",
        {Step::await(), Step::send(ScriptedServer::okAnswer("video ab12")), Step::close()});
    server.setRoute("/results-1.html?q=cats",
                    {Step::send(ScriptedServer::okAnswer(ResultsPage)), Step::close()});
    QVERIFY(server.start());
    writeSetup(SearchEngine, server.port());
    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "ab12"))));

    QProcess download;
    download.setWorkingDirectory(m_dir->path());
    download.start(QStringLiteral(ZINDLE_CLI), {QStringLiteral("download")});
    QVERIFY(download.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(targets(server).contains("/v/ab12.mp4"), FinishMs);

    const CliRun::Result search = CliRun::run(
        m_dir->path(), {QStringLiteral("search"), QStringLiteral("--add"), QStringLiteral("cats")},
        FinishMs);
    QVERIFY2(search.exitCode == 0, search.err.constData());
    QVERIFY2(search.err.endsWith("added 1 to the download list\n"), search.err.constData());

    server.proceed();
    QVERIFY(download.waitForFinished(FinishMs));
    const QByteArray errors = download.readAllStandardError();
    QVERIFY2(download.exitCode() == 0, errors.constData());
    QCOMPARE(download.readAllStandardOutput(), QByteArray("ab12 o\n"));

    QList<ResultRow> rows;
    QCOMPARE(DownloadListFile::load(fullWorkDir(), &rows), DownloadListFile::LoadStatus::Read);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0][ResultRow::Id], QByteArray("new1"));
    QCOMPARE(rows[0][ResultRow::State], QByteArray("H"));
}

void tst_DownloadJob::cliEscapesControlBytes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("lastErrorLine");

    QTest::newRow("engines: the title")
        << QStringList{QStringLiteral("engines")} << QByteArray() << 0
        << QByteArray("0\ttube\tTube\\x1b[2J\\x07\t0\n") << QByteArray();
    QTest::newRow("search: every field")
        << QStringList{QStringLiteral("search"), QStringLiteral("cats")} << QByteArray() << 0
        << QByteArray("H\tEvil\\x1b]0;owned\\x07 title\\x7f\t1:00\teve\\x1b[31m\tnew1\ttube\t"
                      "http://img.example/new1.jpg\n")
        << QByteArray("success (1 data found.)\n");
    QTest::newRow("search: the final message names the engine")
        << QStringList{QStringLiteral("search"), QStringLiteral("--mode"), QStringLiteral("user"),
                       QStringLiteral("cats")}
        << QByteArray() << 1 << QByteArray()
        << QByteArray("engine \"Tube\\x1b[2J\\x07\" has no template for user search\n");
    ResultRow hostile = makeRow("H", "ab\x1b[2J12", "gone\x1b]0;x\x07");
    QTest::newRow("download: the ID and the reason")
        << QStringList{QStringLiteral("download")} << listLine(hostile) << 1
        << QByteArray("ab\\x1b[2J12 x no engine gone\\x1b]0;x\\x07\n") << QByteArray();
}

// Texts from pages, engines and the list cannot drive the terminal: every
// control byte is printed as "\xNN", in the trace (-v) too.
void tst_DownloadJob::cliEscapesControlBytes()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, list);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, lastErrorLine);

    ScriptedServer server;
    server.setRoute("/results-1.html?q=cats",
                    {Step::send(ScriptedServer::okAnswer(ResultsPage)), Step::close()});
    QVERIFY(server.start());
    writeSetup(SearchEngine, server.port());
    if (!list.isNull())
        QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/download.list")), list));

    const CliRun::Result cli =
        CliRun::run(m_dir->path(), args + QStringList{QStringLiteral("-v")}, FinishMs);
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == exitCode, cli.err.constData());
    QCOMPARE(cli.out, out);
    QVERIFY2(cli.err.endsWith(lastErrorLine), cli.err.constData());
    QVERIFY2(!cli.err.contains('\x1b'), cli.err.constData());
}

QTEST_GUILESS_MAIN(tst_DownloadJob)
#include "tst_downloadjob.moc"
