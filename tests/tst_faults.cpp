#include "CliRun.h"
#include "JobRun.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using TestFiles::randomBytes;
using TestRows::listLine;
using TestRows::makeRow;
using Step = ScriptedServer::Step;
using Tree = QMap<QString, QByteArray>;

namespace {

constexpr int ClientTimeoutMs = 300;
constexpr int FinishMs = 20000;
constexpr int CliMs = 30000;

// A peer on 127.0.0.1 that takes connections one after another, reads each
// request up to the end of its header, and hands the socket and the request
// target to the row's behaviour. Unlike the scripted server it can end a
// connection with a reset and tell how many bytes it managed to send.
class RawPeer
{
public:
    using Behaviour = std::function<void(RawPeer &peer, int fd, const QByteArray &target)>;

    explicit RawPeer(Behaviour behaviour) : m_behaviour(std::move(behaviour)) {}
    ~RawPeer() { stop(); }
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool start()
    {
        if (pipe(m_stopPipe) != 0)
            return false;
        m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listenFd < 0 ||
            bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(m_listenFd, 8) != 0 ||
            getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return false;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
        return true;
    }

    void stop()
    {
        if (m_thread.joinable()) {
            const char byte = 0;
            [[maybe_unused]] const ssize_t written = write(m_stopPipe[1], &byte, 1);
            m_thread.join();
        }
        for (int fd : {m_listenFd, m_stopPipe[0], m_stopPipe[1]}) {
            if (fd >= 0)
                close(fd);
        }
        m_listenFd = m_stopPipe[0] = m_stopPipe[1] = -1;
    }

    QByteArray url(const QByteArray &path) const
    {
        return "http://127.0.0.1:" + QByteArray::number(m_port) + path;
    }
    quint16 port() const { return m_port; }
    qint64 sent() const { return m_sent.load(); }

    // Sends every byte; false once the client has gone.
    bool send(int fd, const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t count =
                ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return false;
            done += count;
            m_sent += count;
        }
        return true;
    }

    // Holds the connection, sending nothing, until the client closes it.
    void stall(int fd)
    {
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
            if (poll(fds, 2, FinishMs) <= 0 || fds[1].revents)
                return;
            if (recv(fd, buffer, sizeof buffer, 0) <= 0)
                return;
        }
    }

    // The close that ends this connection sends a reset, not an orderly end.
    static void resetOnClose(int fd)
    {
        const linger immediate{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    }

private:
    void serve()
    {
        for (;;) {
            pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
            if (poll(fds, 2, -1) <= 0 || fds[1].revents)
                return;
            const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            // A client that stops reading must not hold the peer for ever.
            const timeval limit{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            QByteArray request;
            char buffer[4096];
            while (!request.contains("\r\n\r\n")) {
                pollfd in{fd, POLLIN, 0};
                if (poll(&in, 1, FinishMs) <= 0)
                    break;
                const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
                if (count <= 0)
                    break;
                request.append(buffer, count);
            }
            m_behaviour(*this, fd, ScriptedServer::target(request));
            close(fd);
        }
    }

    Behaviour m_behaviour;
    std::thread m_thread;
    std::atomic<qint64> m_sent{0};
    int m_listenFd = -1;
    int m_stopPipe[2] = {-1, -1};
    quint16 m_port = 0;
};

using Behaviour = RawPeer::Behaviour;

// Sends the bytes, then ends the connection as `end` says.
enum class End { Close, Reset, Stall };
Behaviour sendThen(const QByteArray &bytes, End end)
{
    return [bytes, end](RawPeer &peer, int fd, const QByteArray &) {
        peer.send(fd, bytes);
        if (end == End::Reset)
            RawPeer::resetOnClose(fd);
        else if (end == End::Stall)
            peer.stall(fd);
    };
}

// Every file and directory under root, by relative path; a directory ends in
// "/" and has no bytes.
Tree treeOf(const QString &root)
{
    Tree tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString path = base.relativeFilePath(info.filePath());
        if (info.isDir())
            tree.insert(path + QLatin1Char('/'), {});
        else
            tree.insert(path, info.isFile() ? TestFiles::read(info.filePath()) : QByteArray());
    }
    return tree;
}

const QByteArray NoStageEngine = TestEngines::noStage();
const QByteArray OneStageEngine = TestEngines::oneStage("http://127.0.0.1:PORT/v/%s", ".mp4");

// The bytes faultBehaviour() and the job rows serve as the video.
const QByteArray Video = randomBytes(100000, 11);

} // namespace

Q_DECLARE_METATYPE(Behaviour)

// Hostile peers, broken files and unusable directories: each case ends with
// a clear result, the program still working, and nothing lost.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void httpFaults_data();
    void httpFaults();
    void jobFaults_data();
    void jobFaults();
    void titleFileExtension();
    void fullDisk();

    void engineFiles_data();
    void engineFiles();
    void garbageSettings_data();
    void garbageSettings();
    void brokenList_data();
    void brokenList();
    void brokenListThroughCli();
    void unusableWorkDir_data();
    void unusableWorkDir();

private:
    QString path(const QString &relative) const { return m_dir->filePath(relative); }
    void writeEngine(const QByteArray &engine, quint16 port);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Faults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Faults::cleanup()
{
    m_dir.reset();
}

void tst_Faults::writeEngine(const QByteArray &engine, quint16 port)
{
    QVERIFY(TestFiles::writeEngine(m_dir->path(), engine, port));
}

void tst_Faults::httpFaults_data()
{
    QTest::addColumn<Behaviour>("peer");
    QTest::addColumn<int>("getResult");
    QTest::addColumn<int>("lastCode"); // of the receive loop; getResult when get fails

    const QByteArray header = "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n";
    QTest::newRow("fail: reset before any byte") << sendThen({}, End::Reset) << -4 << -4;
    QTest::newRow("fail: reset in the middle of the header")
        << sendThen(header.left(20), End::Reset) << -4 << -4;
    QTest::newRow("fail: reset in the middle of the body")
        << sendThen(header + Video.left(50000), End::Reset) << 0 << -25;
    QTest::newRow("fail: stall in the middle of the header past the time-out")
        << sendThen(header.left(20), End::Stall) << -4 << -4;
    QTest::newRow("fail: 10 MB of header lines")
        << Behaviour([](RawPeer &peer, int fd, const QByteArray &) {
               QByteArray lines;
               for (int i = 0; lines.size() < 64 * 1024; ++i)
                   lines += "X-Line-" + QByteArray::number(i) + ": " + QByteArray(80, 'v') + "\r\n";
               // Kernel buffers are not to swallow what the client leaves unread.
               const int small = 64 * 1024;
               setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
               if (!peer.send(fd, "HTTP/1.0 200 OK\r\n"))
                   return;
               while (peer.sent() < 10 * 1024 * 1024 && peer.send(fd, lines)) {
               }
           })
        << -7 << -7;
}

void tst_Faults::httpFaults()
{
    QFETCH(Behaviour, peer);
    QFETCH(int, getResult);
    QFETCH(int, lastCode);

    RawPeer faulty(peer);
    QVERIFY(faulty.start());
    HttpClient client;
    client.setTimeout(ClientTimeoutMs);
    client.setBinaryMode(true);

    QElapsedTimer clock;
    clock.start();
    int code = client.get(faulty.url("/v/ab12.mp4"));
    if (getResult >= 0)
        QVERIFY2(code >= 0, QByteArray::number(code).constData());
    else
        QCOMPARE(code, getResult);
    QByteArray body = client.view().toByteArray();
    client.clearBuffer();
    while (code >= 0) {
        code = client.receive();
        body += client.view().toByteArray();
        client.clearBuffer();
        if (code != ResultCode::ReceiveAgain && code != ResultCode::BufferFull)
            break;
    }
    QCOMPARE(code, lastCode);
    QVERIFY(Video.startsWith(body));
    QVERIFY(client.bufferedBytes() <= HttpClient::Capacity);
    // Every wait is bounded by the time-out, not the whole exchange.
    QVERIFY2(clock.elapsed() < 10 * ClientTimeoutMs,
             QByteArray::number(clock.elapsed()).constData());

    // The same client goes on to fetch from a sound peer.
    ScriptedServer sound;
    sound.addResponse(ScriptedServer::reply(200, "fine"));
    QVERIFY(sound.start());
    QCOMPARE(client.get(sound.url("/next")), 4);
    QCOMPARE(client.receive(), int(ResultCode::BodyComplete));
    QCOMPARE(client.view().toByteArray(), QByteArray("fine"));

    // Once the header overflowed its buffer, the client read no further (and
    // dropped the connection at its next request): past a megabyte the 10 MB
    // never left the peer.
    if (lastCode == ResultCode::HeaderTooLarge) {
        faulty.stop();
        QVERIFY2(faulty.sent() < 1024 * 1024, QByteArray::number(faulty.sent()).constData());
    }
}

void tst_Faults::jobFaults_data()
{
    QTest::addColumn<QByteArray>("engine");
    QTest::addColumn<Behaviour>("peer");
    // Carried with the row's mark; empty: any reason, as long as there is one.
    QTest::addColumn<QByteArray>("reason");

    const QByteArray header = "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n";
    // The binary status line has no line break of its own.
    QByteArray binaryStatus = randomBytes(200, 12);
    binaryStatus.replace('\n', 'n').replace('\r', 'r');

    QTest::newRow("fail: garbage status line")
        << NoStageEngine << sendThen("garbage\r\nContent-Length: 5\r\n\r\nvideo", End::Close)
        << QByteArray("HTTP status 0");
    QTest::newRow("fail: binary status line")
        << NoStageEngine << sendThen(binaryStatus + "\r\n\r\nvideo", End::Close)
        << QByteArray("HTTP status 0");
    QTest::newRow("fail: status code of four digits")
        << NoStageEngine
        << sendThen("HTTP/1.0 2000 OK\r\nContent-Length: 5\r\n\r\nvideo", End::Close)
        << QByteArray("HTTP status 0");
    QTest::newRow("fail: reset in the middle of the body")
        << NoStageEngine << sendThen(header + Video.left(50000), End::Reset)
        << QByteArray("body ended short (-25)");

    // A request that fails outright, and a last stage page cut short after
    // its markers, say why as well.
    QTest::newRow("fail: closed in the middle of the header")
        << NoStageEngine << sendThen(header.left(20), End::Close) << QByteArray();
    QTest::newRow("fail: reset before the header ends")
        << NoStageEngine << sendThen(header.left(20), End::Reset) << QByteArray();
    QTest::newRow("fail: redirect loop on the video")
        << NoStageEngine
        << sendThen("HTTP/1.0 302 Found\r\nLocation: /v/ab12.mp4\r\n\r\n", End::Close)
        << QByteArray();
    QTest::newRow("fail: stage page closed in the middle of the header")
        << OneStageEngine << sendThen(header.left(20), End::Close) << QByteArray();
    QTest::newRow("fail: stage page cut after its markers")
        << OneStageEngine
        << sendThen("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<video src=\"ab12.mp4\">",
                    End::Close)
        << QByteArray();
}

void tst_Faults::jobFaults()
{
    QFETCH(QByteArray, engine);
    QFETCH(Behaviour, peer);
    QFETCH(QByteArray, reason);

    RawPeer faulty(peer);
    QVERIFY(faulty.start());
    QVERIFY(TestFiles::write(
        path(QStringLiteral("z_user.ini")),
        "[settings]\njobs=1\npath=" + QFile::encodeName(path(QStringLiteral("work/"))) + "\n"));
    QVERIFY(QDir().mkdir(path(QStringLiteral("work"))));
    writeEngine(engine, faulty.port());

    Settings settings(m_dir->path());
    QList<DownloadWorker::RowMark> marks;
    {
        DownloadWorker job(&settings, {makeRow("H", "ab12")});
        QVERIFY(job.waitFinished(FinishMs));
        marks = job.takeMarks();
    }
    QCOMPARE(marks.size(), 1);
    QCOMPARE(marks.first().index, 0);
    QCOMPARE(marks.first().mark, QByteArray("x"));
    if (reason.isEmpty())
        QVERIFY(!marks.first().reason.isEmpty());
    else
        QCOMPARE(marks.first().reason, reason);
    // No file under the video's own name; whatever arrived stays as ".part".
    QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/ab12.mp4"))));
    QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/ab12.txt"))));
    QVERIFY(Video.startsWith(TestFiles::read(path(QStringLiteral("work/tube/ab12.mp4.part")))));
}

void tst_Faults::titleFileExtension()
{
    // An engine whose extension is that of the title file.
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send(ScriptedServer::okAnswer(Video)), Step::close()});
    QVERIFY(server.start());
    QVERIFY(TestFiles::write(
        path(QStringLiteral("z_user.ini")),
        "[settings]\njobs=1\npath=" + QFile::encodeName(path(QStringLiteral("work/"))) + "\n"));
    QVERIFY(QDir().mkdir(path(QStringLiteral("work"))));
    writeEngine(QByteArray(NoStageEngine).replace("download_ext::.mp4", "download_ext::.txt"),
                server.port());

    const JobRun::Result run = JobRun::download(m_dir->path(), {makeRow("H", "ab12")}, FinishMs);
    QVERIFY(run.finished);
    // Either the row is refused, or its video is kept whole.
    const QByteArray saved = TestFiles::read(path(QStringLiteral("work/tube/ab12.txt")));
    QCOMPARE(run.marks.size(), 1);
    QVERIFY2(run.marks.first().mark == "x" || saved == Video, saved.left(40).constData());
}

void tst_Faults::fullDisk()
{
    // A small filesystem of its own for the work directory; mounting needs
    // the right to, which a test run as root in a container usually has.
    QVERIFY(QDir().mkdir(path(QStringLiteral("work"))));
    const QByteArray work = QFile::encodeName(path(QStringLiteral("work")));
    if (mount("tmpfs", work.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
        QSKIP(qPrintable(QStringLiteral("cannot mount a small filesystem: %1")
                             .arg(QString::fromLocal8Bit(strerror(errno)))));
    auto unmount = qScopeGuard([&work] { umount2(work.constData(), MNT_DETACH); });

    const QByteArray video = randomBytes(1024 * 1024, 13);
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4", {Step::send(ScriptedServer::okAnswer(video)), Step::close()});
    QVERIFY(server.start());
    writeEngine(NoStageEngine, server.port());
    QVERIFY(
        TestFiles::write(path(QStringLiteral("z_user.ini")), "[settings]\njobs=1\npath=work/\n"));
    const QByteArray list = listLine(makeRow("H", "ab12"));
    QVERIFY(TestFiles::write(path(QStringLiteral("work/download.list")), list));

    const CliRun::Result result =
        CliRun::run(m_dir->path(), {QStringLiteral("-v"), QStringLiteral("download")}, CliMs);
    QVERIFY2(result.exitCode == 1, result.err.constData());
    // A write that fills the disk returns short without an error: the next one says why.
    QVERIFY2(result.err.contains("download failed: write error: No space left on device\n"),
             result.err.constData());
    QVERIFY2(result.err.contains("download failed: write error: "), result.err.constData());
    QCOMPARE(result.out,
             "ab12 x write error: No space left on device " + server.url("/v/ab12.mp4") + '\n');
    QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/ab12.mp4"))));
    QVERIFY(video.startsWith(TestFiles::read(path(QStringLiteral("work/tube/ab12.mp4.part")))));
    // The list could not be saved either: the old one stays whole, and no
    // temporary file is left beside it.
    QVERIFY2(result.err.contains("cannot write work/download.list: No space left on device\n"),
             result.err.constData());
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))), list);
    QCOMPARE(QDir(path(QStringLiteral("work"))).entryList(QDir::Files),
             QStringList{QStringLiteral("download.list")});
}

void tst_Faults::engineFiles_data()
{
    QTest::addColumn<Tree>("files"); // under ".zindles/"; a null text makes a pipe
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QByteArray>("errors"); // "%1" stands for the engine directory

    const QByteArray good = "engine_title::Good\nengine_id::good\n";
    QTest::newRow("fail: a binary file is refused and takes no slot")
        << Tree{{QStringLiteral("a.zin"), randomBytes(65536, 14)}, {QStringLiteral("b.zin"), good}}
        << QByteArray("0\tgood\tGood\t0\n")
        << QByteArray("engine file %1a.zin holds NUL bytes and is not text; it is not loaded\n");
    QTest::newRow("1 MB line: the title is its first 1009 bytes")
        << Tree{{QStringLiteral("a.zin"), "engine_title::" + QByteArray(1000 * 1000, 'T') +
                                              "\nengine_id::long\ndowuload_redirect::1\n"}}
        << QByteArray("0\tlong\t" + QByteArray(1009, 'T') + "\t1\n") << QByteArray();
    QTest::newRow("fail: a file over 1 MiB is refused unread")
        << Tree{{QStringLiteral("a.zin"),
                 "engine_title::" + QByteArray(2 * 1024 * 1024, 'T') + "\nengine_id::long\n"},
                {QStringLiteral("b.zin"), good}}
        << QByteArray("0\tgood\tGood\t0\n")
        << QByteArray("engine file %1a.zin is larger than 1 MiB; it is not loaded\n");
    QTest::newRow("fail: a pipe is passed over, not waited on")
        << Tree{{QStringLiteral("a.zin"), good}, {QStringLiteral("p.zin"), QByteArray()}}
        << QByteArray("0\tgood\tGood\t0\n") << QByteArray("cannot open the engine file %1p.zin\n");

    Tree many;
    QByteArray listing;
    for (int i = 0; i < 100; ++i) {
        const QByteArray id = "e" + QByteArray::number(i).rightJustified(3, '0');
        many.insert(QString::fromLatin1(id + ".zin"), "engine_id::" + id + "\n");
        if (i < 32)
            listing += QByteArray::number(i) + '\t' + id + "\t\t0\n";
    }
    QTest::newRow("fail: 100 engine files, the first 32 loaded")
        << many << listing
        << QByteArray("more than 32 engine files: %1e032.zin and the files after it are ignored\n");
}

void tst_Faults::engineFiles()
{
    QFETCH(Tree, files);
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, errors);

    const QString dir = path(QStringLiteral(".zindles/"));
    QVERIFY(QDir().mkpath(dir));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it.value().isNull())
            QCOMPARE(mkfifo(QFile::encodeName(dir + it.key()).constData(), 0600), 0);
        else
            QVERIFY(TestFiles::write(dir + it.key(), it.value()));
    }

    const CliRun::Result result = CliRun::run(m_dir->path(), {QStringLiteral("engines")}, CliMs);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.out, listing);
    const QByteArray prefix = QFile::encodeName(QFileInfo(dir).canonicalFilePath()) + "/";
    QCOMPARE(result.err, QByteArray(errors).replace("%1", prefix));
}

void tst_Faults::garbageSettings_data()
{
    QTest::addColumn<QByteArray>("ini");  // a null text makes a pipe
    QTest::addColumn<QByteArray>("link"); // else: z_user.ini links here
    QTest::addColumn<QByteArray>("workDir");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QByteArray>("userAgentStart");

    const QByteArray zindle = "Mozilla/4.08 (PDA; ZAURUS";
    QTest::newRow("binary noise gives the defaults")
        << randomBytes(256 * 1024, 15) << QByteArray() << QByteArray() << 0 << 15000 << zindle;
    QTest::newRow("huge lines are cut, numbers saturate")
        << QByteArray("[settings]\r\npath=" + QByteArray(3 * 1024 * 1024, 'w') + "\r\nport=" +
                      QByteArray(100000, '9') + "\r\ntimeout=-5\r\nuseragent=\x01\r\n")
        << QByteArray() << QByteArray(QByteArray(255, 'w') + '/') << INT_MAX << 120000 << zindle;
    QTest::newRow("keys found after binary noise")
        << QByteArray(randomBytes(4096, 16) + "\n[settings]\npath=work\ntimeout=1\nuseragent=2\n")
        << QByteArray() << QByteArray("work/") << 0 << 30000 << QByteArray("Opera/9.10");
    QTest::newRow("fail: a file past 16 MiB is not read")
        << QByteArray("[settings]\npath=work\n;" + QByteArray(16 * 1024 * 1024, ' ') + "\n")
        << QByteArray() << QByteArray() << 0 << 15000 << zindle;
    QTest::newRow("fail: a pipe is not waited on")
        << QByteArray() << QByteArray() << QByteArray() << 0 << 15000 << zindle;
    QTest::newRow("fail: a device without end is not read")
        << QByteArray("") << QByteArray("/dev/zero") << QByteArray() << 0 << 15000 << zindle;
}

void tst_Faults::garbageSettings()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, link);
    QFETCH(QByteArray, workDir);
    QFETCH(int, port);
    QFETCH(int, timeoutMs);
    QFETCH(QByteArray, userAgentStart);

    const QString iniPath = path(QStringLiteral("z_user.ini"));
    if (!link.isEmpty())
        QVERIFY(QFile::link(QFile::decodeName(link), iniPath));
    else if (ini.isNull())
        QCOMPARE(mkfifo(QFile::encodeName(iniPath).constData(), 0600), 0);
    else
        QVERIFY(TestFiles::write(iniPath, ini));
    QVERIFY(TestFiles::write(path(QStringLiteral(".zindles/a.zin")),
                             "engine_title::Good\nengine_id::good\n"));

    const CliRun::Result result = CliRun::run(m_dir->path(), {QStringLiteral("engines")}, CliMs);
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QCOMPARE(result.out, QByteArray("0\tgood\tGood\t0\n"));

    // In the process as well; a file that blocks would have stopped the
    // command above, within its time limit.
    {
        Settings settings(m_dir->path());
        QCOMPARE(settings.workDir(), workDir);
        QCOMPARE(settings.port(), port);
        QCOMPARE(settings.timeout(1), timeoutMs);
        QVERIFY2(settings.userAgent().startsWith(userAgentStart), settings.userAgent().constData());
        QCOMPARE(settings.engineCount(), 1);
    }
    // Reading the settings changes nothing.
    if (link.isEmpty() && !ini.isNull())
        QCOMPARE(TestFiles::read(iniPath), ini);
}

void tst_Faults::brokenList_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<ResultRow>>("rows");

    const ResultRow first = makeRow("H", "ab12");
    const ResultRow second = makeRow("x", "cd34");
    ResultRow withNul = makeRow("H", "ef56");
    withNul[ResultRow::Title] = QByteArray("nul\0inside", 10);
    withNul[ResultRow::User] = QByteArray("\0", 1);
    // Longer lines are skipped (tst_downloadlist); one just short of the cap is a row.
    ResultRow huge = makeRow("H", "gh78");
    huge[ResultRow::Image] = QByteArray(DownloadListFile::MaxLineBytes - 100, 'i');

    // Noise without the separator or a line end, between sound lines.
    QByteArray noise = randomBytes(64 * 1024, 17);
    noise.replace("<\t>", "<t>").replace('\n', ' ');
    QTest::newRow("binary noise between rows")
        << QByteArray(noise + "\n" + listLine(first) + noise + "\n" + listLine(second) + noise)
        << QList<ResultRow>{first, second};
    QTest::newRow("NUL bytes inside texts") << listLine(withNul) << QList<ResultRow>{withNul};
    QTest::newRow("a line of almost 1 MiB")
        << QByteArray(listLine(huge) + listLine(first)) << QList<ResultRow>{huge, first};
    QTest::newRow("a row cut off in the middle")
        << QByteArray(listLine(first) + listLine(second).left(30)) << QList<ResultRow>{first};
    QTest::newRow("fail: only noise") << noise << QList<ResultRow>{};
}

void tst_Faults::brokenList()
{
    QFETCH(QByteArray, file);
    QFETCH(QList<ResultRow>, rows);

    const QByteArray work = QFile::encodeName(m_dir->path()) + '/';
    QVERIFY(TestFiles::write(path(QStringLiteral("download.list")), file));
    StderrCapture capture;
    QList<ResultRow> loaded;
    QCOMPARE(DownloadListFile::load(work, &loaded), DownloadListFile::LoadStatus::Read);
    QCOMPARE(loaded, rows);

    // What parsed survives a save and the next load.
    QVERIFY(DownloadListFile::save(work, loaded));
    QList<ResultRow> again;
    QCOMPARE(DownloadListFile::load(work, &again), DownloadListFile::LoadStatus::Read);
    QCOMPARE(again, rows);
}

void tst_Faults::brokenListThroughCli()
{
    // Rows of an engine that is not installed fail at once and stay listed.
    const ResultRow first = makeRow("H", "ab12", "gone");
    const ResultRow second = makeRow("H", "cd34", "gone");
    QByteArray noise = randomBytes(16 * 1024, 18);
    noise.replace("<\t>", "<t>");
    QVERIFY(
        TestFiles::write(path(QStringLiteral("z_user.ini")), "[settings]\njobs=1\npath=work/\n"));
    QVERIFY(
        TestFiles::write(path(QStringLiteral("work/download.list")),
                         noise + "\n" + listLine(first) + noise + "\n" + listLine(second) + noise));

    const CliRun::Result result = CliRun::run(m_dir->path(), {QStringLiteral("download")}, CliMs);
    QVERIFY2(result.exitCode == 1, result.err.constData());
    QCOMPARE(result.out, QByteArray("cd34 x no engine gone\nab12 x no engine gone\n"));
    // The list is rewritten in the order the rows are shown: the file's last
    // row on top.
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))),
             listLine(makeRow("x", "cd34", "gone")) + listLine(makeRow("x", "ab12", "gone")));
}

void tst_Faults::unusableWorkDir_data()
{
    QTest::addColumn<QByteArray>("workDir");
    QTest::addColumn<Tree>("before");          // besides z_user.ini and the engine
    QTest::addColumn<QByteArrayList>("lines"); // each found on standard error
    QTest::addColumn<Tree>("after");           // null: as before
    QTest::addColumn<QByteArray>("out");       // the row lines

    const ResultRow first = makeRow("H", "ab12");
    const ResultRow second = makeRow("H", "cd34");
    const QByteArray list = listLine(first) + listLine(second);
    const Tree plainFile{{QStringLiteral("afile"), "keep me\n"}};
    QTest::newRow("fail: missing") << QByteArray("nowhere/deep/") << Tree{}
                                   << QByteArrayList{"load nowhere/deep/download.list\n"
                                                     "cannot open the file.",
                                                     "save nowhere/deep/download.list\n"
                                                     "cannot open the file."}
                                   << Tree{} << QByteArray();
    QTest::newRow("fail: a regular file")
        << QByteArray("afile") << plainFile
        << QByteArrayList{"load afile/download.list\ncannot open the file.",
                          "save afile/download.list\ncannot open the file."}
        << Tree{} << QByteArray();
    // Tests run as root, whom a read-only mode does not stop; a directory
    // under a regular file is one that nobody can write.
    QTest::newRow("fail: unwritable, under a regular file")
        << QByteArray("afile/work/") << plainFile
        << QByteArrayList{"load afile/work/download.list\ncannot open the file.",
                          "save afile/work/download.list\ncannot open the file."}
        << Tree{} << QByteArray();
    QTest::newRow("fail: the list is a directory")
        << QByteArray("work/") << Tree{{QStringLiteral("work/download.list/"), {}}}
        << QByteArrayList{"load work/download.list\ncannot open the file."} << Tree{}
        << QByteArray();
    // Every row fails on its own, with its line, and the list keeps them all.
    QTest::newRow("fail: the engine's directory is a regular file")
        << QByteArray("work/")
        << Tree{{QStringLiteral("work/download.list"), list}, {QStringLiteral("work/tube"), "x"}}
        << QByteArrayList{"open work/tube/cd34.mp4\nopen file error\n",
                          "open work/tube/ab12.mp4\nopen file error\n"}
        << Tree{{QStringLiteral("work/"), {}},
                {QStringLiteral("work/download.list"),
                 listLine(makeRow("x", "cd34")) + listLine(makeRow("x", "ab12"))},
                {QStringLiteral("work/tube"), "x"}}
        << QByteArray("cd34 x open file error\nab12 x open file error\n");
}

void tst_Faults::unusableWorkDir()
{
    QFETCH(QByteArray, workDir);
    QFETCH(Tree, before);
    QFETCH(QByteArrayList, lines);
    QFETCH(Tree, after);

    ScriptedServer server;
    server.setFallback({Step::send(ScriptedServer::okAnswer("video")), Step::close()});
    QVERIFY(server.start());
    writeEngine(NoStageEngine, server.port());
    QVERIFY(TestFiles::write(path(QStringLiteral("z_user.ini")),
                             "[settings]\njobs=1\npath=" + workDir + "\n"));
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(path(it.key())));
        else
            QVERIFY(TestFiles::write(path(it.key()), it.value()));
    }
    Tree expected = treeOf(m_dir->path());
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        expected.insert(it.key(), it.value());

    const CliRun::Result result =
        CliRun::run(m_dir->path(), {QStringLiteral("download"), QStringLiteral("-v")}, CliMs);
    QVERIFY2(result.exitCode == 1, result.err.constData());
    for (const QByteArray &line : lines)
        QVERIFY2(result.err.contains(line), result.err.constData());
    QFETCH(QByteArray, out);
    QCOMPARE(result.out, out);
    // Nothing is written anywhere else.
    QCOMPARE(treeOf(m_dir->path()), expected);
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
