#include "CliRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/net/Connection.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"
#include "gui/QZindleDlg.h"
#include "gui/download/QDownloadWidget.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using TestRows::listLine;
using TestRows::makeRow;
using Step = ScriptedServer::Step;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int SanitizerSlackMs = 1000; // instrumented builds start and stop far slower
#else
constexpr int SanitizerSlackMs = 0;
#endif
// A stop ends the job within this long, whatever the peer does.
constexpr int EndBoundMs = 1000 + SanitizerSlackMs;
// The client's own share of that: one wait slice and the unwinding.
constexpr int ClientEndBoundMs = 500 + SanitizerSlackMs;
constexpr int ReachMs = 20000;

// Names of this domain never resolve: in this process through the hook
// below, in zindle-cli through the preloaded resolver.
const QByteArray HangHost = "r1.hang.invalid";

enum class Stall { Silent, TrickledHeader, TrickledBody, TlsHandshake, Resolution };
enum class StopBy { CloseWindow, Cancel, Interrupt };

// A socket that listens on 127.0.0.1 and never accepts: the kernel completes
// each connection, and then nothing ever answers.
class SilentListener
{
public:
    ~SilentListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool start()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        return m_fd >= 0 &&
               bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
               listen(m_fd, 8) == 0 &&
               getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
               (m_port = ntohs(address.sin_port)) != 0;
    }

    quint16 port() const { return m_port; }
    // A connection waits in the queue.
    bool hasPending() const
    {
        pollfd entry{m_fd, POLLIN, 0};
        return poll(&entry, 1, 0) > 0;
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// The in-process resolver hook: every lookup hangs until the test releases
// it at its end.
std::mutex hangMutex;
std::condition_variable hangWake;
int hangGeneration = 0;
std::atomic<int> hangsEntered{0};

int hangingResolver(const char *, const char *, const addrinfo *, addrinfo **)
{
    std::unique_lock lock(hangMutex);
    const int generation = hangGeneration;
    hangsEntered.fetch_add(1);
    hangWake.wait(lock, [generation] { return hangGeneration != generation; });
    return EAI_NONAME;
}

void releaseHangs()
{
    {
        std::lock_guard lock(hangMutex);
        ++hangGeneration;
    }
    hangWake.notify_all();
}

// A script that sends the bytes one by one, `gapMs` apart.
ScriptedServer::Script trickle(const QByteArray &head, const QByteArray &bytes, int gapMs)
{
    ScriptedServer::Script script{Step::send(head)};
    for (const char c : bytes) {
        script.append(Step::pause(gapMs));
        script.append(Step::send(QByteArray(1, c)));
    }
    script.append(Step::close());
    return script;
}

QByteArray watchPage(const QByteArray &videoUrl)
{
    return "<html><video src=\"" + videoUrl + "\"></video></html>";
}

bool requested(const ScriptedServer &server, const QByteArray &target)
{
    const QList<QByteArray> requests = server.requests();
    return std::any_of(requests.cbegin(), requests.cend(), [&](const QByteArray &request) {
        return ScriptedServer::target(request) == target;
    });
}

// The video's address is the whole text cut out of the watch page, so each
// row's video may lie on another host.
const QByteArray TubeEngine = TestEngines::oneStage("%s", ".flv");

const QByteArray PartBytes = "PART";
const QByteArray VideoR0 = "video of r0";

} // namespace

Q_DECLARE_METATYPE(Stall)
Q_DECLARE_METATYPE(StopBy)

// A stop ends a job at once in every stall of its peer: the client's waits
// look at the stop flag, and each request phase is bounded as a whole.
class tst_Stall : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void downloadStops_data();
    void downloadStops();
    void severalRowsStop_data();
    void severalRowsStop();
    void clientStops_data();
    void clientStops();
    void phaseBounds_data();
    void phaseBounds();
    void slowBodyOutlivesTimeout();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    // Runs the client on a thread until get() (and, when it succeeds, the
    // body) ends; the stop flag is set once `reached` holds. Returns the last
    // code and the time from the stop to the end.
    int runClientUntilStopped(HttpClient &client, const QByteArray &url,
                              const std::function<bool()> &reached, qint64 *stopToEndMs);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Stall::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("work/tube")));
    hangsEntered = 0;
    Connection::setResolverForTests(hangingResolver);
}

void tst_Stall::cleanup()
{
    Connection::setResolverForTests(nullptr);
    releaseHangs();
    m_dir.reset();
}

void tst_Stall::downloadStops_data()
{
    QTest::addColumn<Stall>("stall");
    QTest::addColumn<StopBy>("stopBy");

    const std::pair<const char *, Stall> stalls[] = {
        {"silent server", Stall::Silent},
        {"trickled header", Stall::TrickledHeader},
        {"trickled body", Stall::TrickledBody},
        {"stalled TLS handshake", Stall::TlsHandshake},
        {"resolution never answers", Stall::Resolution},
    };
    const std::pair<const char *, StopBy> stops[] = {
        {"window closed", StopBy::CloseWindow},
        {"Cancel", StopBy::Cancel},
        {"SIGINT to zindle-cli", StopBy::Interrupt},
    };
    for (const auto &[stallName, stall] : stalls) {
        for (const auto &[stopName, stopBy] : stops)
            QTest::addRow("%s, %s", stallName, stopName) << stall << stopBy;
    }
}

// Rows r0, r1, r2 top to bottom: r0 downloads, r1's video fetch stalls (its
// ".part" of an earlier run waiting to be resumed), r2 is never reached.
void tst_Stall::downloadStops()
{
    QFETCH(Stall, stall);
    QFETCH(StopBy, stopBy);

    ScriptedServer server;
    SilentListener silent;
    QVERIFY(silent.start());
    const QByteArray silentOrigin = "127.0.0.1:" + QByteArray::number(silent.port());
    QByteArray video;
    switch (stall) {
    case Stall::Silent:
        video = "http://" + silentOrigin + "/v/r1.flv";
        break;
    case Stall::TrickledHeader:
        video = "/v/r1-header";
        server.setRoute(
            video, trickle("HTTP/1.0 206 Partial Content\r\nX-Slow: ", QByteArray(400, 'a'), 50));
        break;
    case Stall::TrickledBody:
        // More than a flush at once, so the ".part" grows as soon as the body runs.
        video = "/v/r1-body";
        server.setRoute(video, trickle("HTTP/1.0 206 Partial Content\r\n"
                                       "ETag: \"r1\"\r\n"
                                       "Content-Range: bytes 4-100003/100004\r\n"
                                       "Content-Length: 100000\r\n\r\n" +
                                           QByteArray(40000, 'b'),
                                       QByteArray(400, 'c'), 50));
        break;
    case Stall::TlsHandshake:
        video = "https://" + silentOrigin + "/v/r1.flv";
        break;
    case Stall::Resolution:
        video = "http://" + HangHost + ":1/v/r1.flv";
        break;
    }
    QVERIFY(server.start());
    const QByteArray videoUrl = video.startsWith('/') ? server.url(video) : video;
    server.setRoute("/watch/r0", ScriptedServer::reply(200, watchPage(server.url("/v/r0"))));
    server.setRoute("/v/r0", ScriptedServer::reply(200, VideoR0));
    server.setRoute("/watch/r1", ScriptedServer::reply(200, watchPage(videoUrl)));

    // The window runs in this process: its work directory must not depend on
    // the test's current directory.
    QVERIFY(TestFiles::writeSetup(m_dir->path(), path(QStringLiteral("work/")).toLocal8Bit(),
                                  TubeEngine, server.port()));
    // The file's last row is shown on top.
    QVERIFY(TestFiles::write(path(QStringLiteral("work/download.list")),
                             listLine(makeRow("H", "r2")) + listLine(makeRow("H", "r1")) +
                                 listLine(makeRow("H", "r0"))));
    const QString partPath = path(QStringLiteral("work/tube/r1.flv.part"));
    QVERIFY(TestFiles::write(partPath, PartBytes));
    QVERIFY(
        TestFiles::write(partPath + QStringLiteral(".meta"), "validator \"r1\"\nlength 100004\n"));

    std::function<bool()> reached;
    switch (stall) {
    case Stall::Silent:
    case Stall::TlsHandshake:
        reached = [&silent] { return silent.hasPending(); };
        break;
    case Stall::TrickledHeader:
        reached = [&server, video] { return requested(server, video); };
        break;
    case Stall::TrickledBody:
        reached = [partPath] { return QFileInfo(partPath).size() > PartBytes.size(); };
        break;
    case Stall::Resolution:
        reached = [] { return hangsEntered.load() > 0; };
        break;
    }

    QElapsedTimer sinceStop;
    if (stopBy == StopBy::Interrupt) {
        QProcess cli;
        cli.setWorkingDirectory(m_dir->path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(ZINDLE_HANG_RESOLVER));
        // An address-sanitized program refuses a library loaded ahead of its runtime.
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           environment.value(QStringLiteral("ASAN_OPTIONS")) +
                               QStringLiteral(":verify_asan_link_order=0"));
        cli.setProcessEnvironment(environment);
        cli.start(QStringLiteral(ZINDLE_CLI), {QStringLiteral("download")});
        QVERIFY(cli.waitForStarted());
        QByteArray err;
        if (stall == Stall::Resolution)
            reached = [&] {
                return (err += cli.readAllStandardError()).contains("resolver holds");
            };
        QTRY_VERIFY_WITH_TIMEOUT(reached(), ReachMs);
        sinceStop.start();
        QCOMPARE(::kill(pid_t(cli.processId()), SIGINT), 0);
        QVERIFY(cli.waitForFinished(ReachMs));
        const qint64 elapsed = sinceStop.elapsed();
        err += cli.readAllStandardError();
        QVERIFY2(elapsed <= EndBoundMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QVERIFY2(cli.exitCode() == 130, err.constData());
    } else {
        auto window = std::make_unique<QZindleDlg>();
        window->setStartDirectory(m_dir->path());
        auto *tab = window->findChild<QDownloadWidget *>(QStringLiteral("downloadTab"));
        QVERIFY(tab);
        auto *download = tab->findChild<QPushButton *>(QStringLiteral("downloadButton"));
        QVERIFY(download);
        QTRY_VERIFY(window->settingsRecord());
        download->click();
        QVERIFY(tab->hasJob());
        QTRY_VERIFY_WITH_TIMEOUT(reached(), ReachMs);
        sinceStop.start();
        if (stopBy == StopBy::CloseWindow) {
            window->close();
            window.reset();
        } else {
            download->click(); // now "Cancel(&L)"
            // The tab takes the job's end at its next poll, every TickMs.
            QTRY_VERIFY_WITH_TIMEOUT(!tab->hasJob(), ReachMs);
        }
        const qint64 elapsed = sinceStop.elapsed();
        QVERIFY2(elapsed <= EndBoundMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
        if (window)
            QCOMPARE(download->text(), QStringLiteral("Download(&L)"));
        window.reset();
    }

    // Every settled mark is saved (a downloaded row as an empty line); the
    // stalled row failed, and the run ended before the row below it.
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))),
             "\r\n" + listLine(makeRow("x", "r1")) + listLine(makeRow("H", "r2")));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r0.flv"))), VideoR0);
    // The stalled video keeps its ".part" for the next run.
    QVERIFY(TestFiles::read(partPath).startsWith(PartBytes));
    QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/r1.flv"))));
}

void tst_Stall::severalRowsStop_data()
{
    QTest::addColumn<StopBy>("stopBy");
    // Each video over four connections, its ranges held open half-way.
    QTest::addColumn<bool>("ranged");
    QTest::newRow("window closed") << StopBy::CloseWindow << false;
    QTest::newRow("Cancel") << StopBy::Cancel << false;
    QTest::newRow("SIGINT to zindle-cli") << StopBy::Interrupt << false;
    QTest::newRow("ranged: window closed") << StopBy::CloseWindow << true;
    QTest::newRow("ranged: Cancel") << StopBy::Cancel << true;
    QTest::newRow("ranged: SIGINT to zindle-cli") << StopBy::Interrupt << true;
}

// Rows r0, r1, r2 run at once, each video's body stalled after its first
// bytes: a stop ends them all, each "x" with its ".part" (and for ranges
// its ".part.meta") kept.
void tst_Stall::severalRowsStop()
{
    QFETCH(StopBy, stopBy);
    QFETCH(bool, ranged);

    const QByteArrayList ids = {"r0", "r1", "r2"};
    ScriptedServer server;
    PeerProcess rangeServer;
    QByteArray list;
    for (const QByteArray &id : ids)
        list.prepend(listLine(makeRow("H", id)));
    if (ranged) {
        QVERIFY2(rangeServer.startAnnounced(
                     QStringLiteral("python3"),
                     {QStringLiteral(ZINDLE_TEST_DATA "/../support/rangeserver.py"),
                      QStringLiteral("--size"), QString::number(3 * 1024 * 1024),
                      QStringLiteral("--mode"), QStringLiteral("hold"), QStringLiteral("--log"),
                      path(QStringLiteral("server.log"))},
                     "PORT "),
                 qPrintable(rangeServer.failure()));
        QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                       "engine_id::tube\n"
                                       "download_target::http://127.0.0.1:PORT/v/%s.flv\n"
                                       "download_ext::.flv\n",
                                       rangeServer.port()));
    } else {
        QVERIFY(server.start());
        for (const QByteArray &id : ids) {
            server.setRoute("/watch/" + id,
                            ScriptedServer::reply(200, watchPage(server.url("/v/" + id))));
            server.setRoute("/v/" + id, {Step::send("HTTP/1.0 200 OK\r\nETag: \"" + id +
                                                    "\"\r\nContent-Length: 100000\r\n\r\n" +
                                                    QByteArray(40000, 'b')),
                                         Step::stall()});
        }
        QVERIFY(TestFiles::writeEngine(m_dir->path(), TubeEngine, server.port()));
    }
    QVERIFY(TestFiles::write(path(QStringLiteral("z_user.ini")),
                             "[settings]\r\njobs=3\r\n" +
                                 QByteArray(ranged ? "connections=4\r\n" : "") +
                                 "path=" + path(QStringLiteral("work/")).toLocal8Bit() + "\r\n"));
    QVERIFY(TestFiles::write(path(QStringLiteral("work/download.list")), list));
    auto partPath = [this](const QByteArray &id) {
        return path(QStringLiteral("work/tube/%1.flv.part").arg(QLatin1String(id)));
    };
    // With ranges: every row has pieces on disk and kept in its ".part.meta".
    auto allRunning = [&] {
        return std::all_of(ids.cbegin(), ids.cend(), [&](const QByteArray &id) {
            return ranged ? TestFiles::read(partPath(id) + QStringLiteral(".meta"))
                                .contains("\nranges 0-")
                          : QFileInfo(partPath(id)).size() > 0;
        });
    };

    QElapsedTimer sinceStop;
    if (stopBy == StopBy::Interrupt) {
        QProcess cli;
        cli.setWorkingDirectory(m_dir->path());
        cli.start(QStringLiteral(ZINDLE_CLI), {QStringLiteral("download")});
        QVERIFY(cli.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(allRunning(), ReachMs);
        sinceStop.start();
        QCOMPARE(::kill(pid_t(cli.processId()), SIGINT), 0);
        QVERIFY(cli.waitForFinished(ReachMs));
        const qint64 elapsed = sinceStop.elapsed();
        QVERIFY2(elapsed <= EndBoundMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
        QCOMPARE(cli.exitCode(), 130);
        const QByteArray out = cli.readAllStandardOutput();
        for (const QByteArray &id : ids)
            QVERIFY2(out.contains(id + " x stopped"), out.constData());
    } else {
        auto window = std::make_unique<QZindleDlg>();
        window->setStartDirectory(m_dir->path());
        auto *tab = window->findChild<QDownloadWidget *>(QStringLiteral("downloadTab"));
        QVERIFY(tab);
        auto *download = tab->findChild<QPushButton *>(QStringLiteral("downloadButton"));
        QTRY_VERIFY(window->settingsRecord());
        download->click();
        QTRY_VERIFY_WITH_TIMEOUT(allRunning(), ReachMs);
        // The tab shows the rows running.
        QTRY_VERIFY(
            tab->statusLine()->currentMessage().startsWith(QStringLiteral("3 rows running")));
        sinceStop.start();
        if (stopBy == StopBy::CloseWindow) {
            window->close();
            window.reset();
        } else {
            download->click();
            QTRY_VERIFY_WITH_TIMEOUT(!tab->hasJob(), ReachMs);
        }
        const qint64 elapsed = sinceStop.elapsed();
        QVERIFY2(elapsed <= EndBoundMs, qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
        window.reset();
    }

    QByteArray stopped;
    for (const QByteArray &id : ids) {
        stopped.append(listLine(makeRow("x", id)));
        QVERIFY(QFileInfo(partPath(id)).size() > 0);
        QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/%1.flv").arg(QLatin1String(id)))));
        if (ranged)
            QVERIFY(
                TestFiles::read(partPath(id) + QStringLiteral(".meta")).contains("\nranges 0-"));
    }
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))), stopped);
}

int tst_Stall::runClientUntilStopped(HttpClient &client, const QByteArray &url,
                                     const std::function<bool()> &reached, qint64 *stopToEndMs)
{
    std::atomic<int> stop{0};
    client.setStopFlag(&stop);
    QElapsedTimer sinceStop;
    std::atomic<int> code{0};
    std::atomic<int> done{0};
    std::thread user([&] {
        int result = client.get(url);
        while (result >= 0) {
            result = client.receive();
            if (result != ResultCode::ReceiveAgain && result != ResultCode::BufferFull)
                break;
            client.clearBuffer();
        }
        code = result;
        done = 1;
    });
    const bool wasReached = QTest::qWaitFor([&] { return done.load() || reached(); }, ReachMs);
    sinceStop.start();
    stop = 1;
    user.join();
    *stopToEndMs = sinceStop.elapsed();
    client.setStopFlag(nullptr);
    return wasReached ? code.load() : 0;
}

void tst_Stall::clientStops_data()
{
    QTest::addColumn<QByteArray>("phase");

    QTest::newRow("name resolution") << QByteArray("resolve");
    QTest::newRow("response header from a silent server") << QByteArray("silent");
    QTest::newRow("trickled header") << QByteArray("header");
    QTest::newRow("trickled body") << QByteArray("body");
    QTest::newRow("TLS handshake") << QByteArray("tls");
    QTest::newRow("proxy's answer to CONNECT") << QByteArray("tunnel");
}

// Each phase of a request, with the time-out far away, ends with Stopped at
// once when the flag is set, and says nothing about it.
void tst_Stall::clientStops()
{
    QFETCH(QByteArray, phase);

    SilentListener silent;
    QVERIFY(silent.start());
    const QByteArray silentOrigin = "127.0.0.1:" + QByteArray::number(silent.port());
    ScriptedServer server;
    server.setRoute("/header", trickle("HTTP/1.0 200 OK\r\nX-Slow: ", QByteArray(400, 'a'), 50));
    server.setRoute("/body", trickle("HTTP/1.0 200 OK\r\nContent-Length: 400\r\n\r\n",
                                     QByteArray(400, 'b'), 50));
    QVERIFY(server.start());

    HttpClient client;
    client.setTimeout(60000);
    QByteArray url;
    std::function<bool()> reached = [&silent] { return silent.hasPending(); };
    if (phase == "resolve") {
        url = "http://" + HangHost + "/";
        reached = [] { return hangsEntered.load() > 0; };
    } else if (phase == "silent") {
        url = "http://" + silentOrigin + "/";
    } else if (phase == "header" || phase == "body") {
        url = server.url('/' + phase);
        // Some bytes of the phase have come.
        reached = [&server, phase] { return requested(server, '/' + phase); };
    } else if (phase == "tls") {
        url = "https://" + silentOrigin + "/";
    } else {
        url = "https://example.test/";
        client.setProxy("127.0.0.1", silent.port());
    }

    qint64 stopToEnd = 0;
    const int code = runClientUntilStopped(client, url, reached, &stopToEnd);
    QCOMPARE(code, int(ResultCode::Stopped));
    QVERIFY2(stopToEnd <= ClientEndBoundMs, qPrintable(QStringLiteral("%1 ms").arg(stopToEnd)));
}

void tst_Stall::phaseBounds_data()
{
    QTest::addColumn<QByteArray>("phase");
    QTest::addColumn<int>("expected");

    QTest::newRow("fail: name resolution that never answers")
        << QByteArray("resolve") << int(ResultCode::ConnectFailed);
    QTest::newRow("fail: header trickling in byte by byte")
        << QByteArray("header") << int(ResultCode::NoHeader);
    QTest::newRow("fail: TLS handshake that never answers")
        << QByteArray("tls") << int(ResultCode::TlsFailed);
}

// The time-out bounds a phase as a whole, however the peer keeps it alive.
void tst_Stall::phaseBounds()
{
    QFETCH(QByteArray, phase);
    QFETCH(int, expected);

    constexpr int TimeoutMs = 300;
    SilentListener silent;
    QVERIFY(silent.start());
    ScriptedServer server;
    server.setFallback(trickle("HTTP/1.0 200 OK\r\nX-Slow: ", QByteArray(400, 'a'), 20));
    QVERIFY(server.start());

    HttpClient client;
    client.setTimeout(TimeoutMs);
    QByteArray url = server.url();
    if (phase == "resolve")
        url = "http://" + HangHost + "/";
    else if (phase == "tls")
        url = "https://127.0.0.1:" + QByteArray::number(silent.port()) + '/';
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(client.get(url), expected);
    QVERIFY2(timer.elapsed() <= TimeoutMs + ClientEndBoundMs,
             qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
}

// In the body each wait has the time-out to itself: a video that keeps
// coming is not cut when the time-out has passed in all.
void tst_Stall::slowBodyOutlivesTimeout()
{
    const QByteArray body(12, 'v');
    ScriptedServer server;
    server.setFallback(trickle("HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n", body, 100));
    QVERIFY(server.start());

    HttpClient client;
    client.setTimeout(300);
    client.setBinaryMode(true);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(client.get(server.url()), 0);
    int code = ResultCode::ReceiveAgain;
    while (code == ResultCode::ReceiveAgain)
        code = client.receive();
    QCOMPARE(code, int(ResultCode::BodyComplete));
    QCOMPARE(client.view().toByteArray(), body);
    QVERIFY(timer.elapsed() >= 1000);
}

QTEST_MAIN(tst_Stall)
#include "tst_stall.moc"
