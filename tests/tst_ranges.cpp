#include "CliRun.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadWorker.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <csignal>

using TestRows::listLine;
using TestRows::makeRow;

namespace {

constexpr int FinishMs = 60000;
constexpr int Size = 3 * 1024 * 1024 + 777;
const QString Script = QStringLiteral(ZINDLE_TEST_DATA "/../support/rangeserver.py");
const QByteArray EngineText = "engine_id::tube\n"
                              "download_target::http://127.0.0.1:PORT/v/%s.mp4\n"
                              "download_ext::.mp4\n"
                              "dowuload_retry::3\n";

// The bytes rangeserver.py serves with that seed.
QByteArray video(int seed = 0)
{
    QByteArray bytes(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) % 256);
    return bytes;
}

} // namespace

class tst_Ranges : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reassembled_data();
    void reassembled();
    void killedRunResumes();
    void validatorChangedStartsOver();
    void percentFollowsTheBytes();
    void slowRangeIsTakenOver();
    void rangeCookiesStayWithTheRow();

private:
    bool startServer(PeerProcess &peer, const QStringList &extra);
    void setup(quint16 port);
    CliRun::Result download();
    QByteArray read(const char *path) const
    {
        return TestFiles::read(m_dir->filePath(QString::fromLatin1(path)));
    }
    QString logPath() const { return m_dir->filePath(QStringLiteral("server.log")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Ranges::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("work/tube")));
}

void tst_Ranges::cleanup()
{
    m_dir.reset();
}

bool tst_Ranges::startServer(PeerProcess &peer, const QStringList &extra)
{
    return peer.startAnnounced(QStringLiteral("python3"),
                               QStringList{Script, QStringLiteral("--size"), QString::number(Size),
                                           QStringLiteral("--log"), logPath()} +
                                   extra,
                               "PORT ");
}

void tst_Ranges::setup(quint16 port)
{
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\njobs=1\r\nconnections=4\r\npath=" +
                                 QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) +
                                 "\r\n"));
    QVERIFY(TestFiles::writeEngine(m_dir->path(), EngineText, port));
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/download.list")),
                             listLine(makeRow("H", "ab12"))));
}

CliRun::Result tst_Ranges::download()
{
    return CliRun::run(m_dir->path(), {QStringLiteral("download")}, FinishMs);
}

// Whatever the server does with ranges, the video ends byte-exact; only a
// server that answers them right gets several connections.
void tst_Ranges::reassembled_data()
{
    QTest::addColumn<QString>("server"); // "static" for python's http.server
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("several");
    QTest::addColumn<int>("requests"); // how many the script server must see; -1: any

    QTest::newRow("ranges cut at random boundaries") << "script"
                                                     << "good" << true << -1;
    QTest::newRow("wrong Content-Range") << "script"
                                         << "badrange" << false << -1;
    QTest::newRow("ranges ignored") << "static"
                                    << "" << false << -1;
    // The 200 to the ranged first request is the video: not asked for again.
    QTest::newRow("ranges ignored: served from the first answer") << "script"
                                                                  << "ignore" << false << 1;
}

void tst_Ranges::reassembled()
{
    QFETCH(QString, server);
    QFETCH(QString, mode);
    QFETCH(bool, several);
    QFETCH(int, requests);

    PeerProcess peer;
    if (server == QLatin1String("static")) {
        const QString root = m_dir->filePath(QStringLiteral("site"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/v")));
        QVERIFY(TestFiles::write(root + QStringLiteral("/v/ab12.mp4"), video()));
        QVERIFY2(peer.startHttpServer(root), qPrintable(peer.failure()));
    } else {
        QVERIFY2(startServer(peer, {QStringLiteral("--mode"), mode}), qPrintable(peer.failure()));
    }
    setup(peer.port());
    const CliRun::Result cli = download();
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QCOMPARE(cli.out, QByteArray("ab12 o\n"));
    QVERIFY(read("work/tube/ab12.mp4") == video());
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part.meta"))));
    if (server == QLatin1String("script")) {
        const QByteArrayList log = read("server.log").split('\n');
        int ranged = 0;
        for (const QByteArray &line : log)
            ranged += line.startsWith("bytes=") && !line.split('\t').first().endsWith('-');
        // bytes=0- first, then bounded ranges over the other connections.
        QVERIFY2((ranged >= 3) == several, read("server.log").constData());
        if (requests >= 0)
            QVERIFY2(log.count({}) == 1 && log.size() == requests + 1,
                     read("server.log").constData());
    }
}

// zindle-cli is killed with SIGKILL while the server holds ranges open; the
// next run asks only for what is missing and ends byte-exact.
void tst_Ranges::killedRunResumes()
{
    {
        PeerProcess peer;
        QVERIFY2(startServer(peer, {QStringLiteral("--mode"), QStringLiteral("hold")}),
                 qPrintable(peer.failure()));
        setup(peer.port());
        QProcess cli;
        cli.setWorkingDirectory(m_dir->path());
        cli.start(QStringLiteral(ZINDLE_CLI), {QStringLiteral("download")});
        QVERIFY(cli.waitForStarted());
        // Some ranges are done and saved once the meta file names them.
        QTRY_VERIFY_WITH_TIMEOUT(read("work/tube/ab12.mp4.part.meta").contains("ranges 0-"), 20000);
        QTest::qWait(1500);
        ::kill(pid_t(cli.processId()), SIGKILL);
        QVERIFY(cli.waitForFinished(5000));
    }
    const QByteArray meta = read("work/tube/ab12.mp4.part.meta");
    QVERIFY2(meta.contains("validator \"v1\"\n"), meta.constData());
    QFile::remove(logPath());

    PeerProcess peer;
    QVERIFY2(startServer(peer, {}), qPrintable(peer.failure()));
    setup(peer.port());
    const CliRun::Result cli = download();
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QVERIFY(read("work/tube/ab12.mp4") == video());
    // The second run never asks for the whole video again.
    QVERIFY2(!read("server.log").contains("bytes=0-\t"), read("server.log").constData());
}

// The ranges on disk came from another copy: the video starts over and
// nothing of the old copy stays.
void tst_Ranges::validatorChangedStartsOver()
{
    PeerProcess peer;
    QVERIFY2(startServer(peer, {QStringLiteral("--seed"), QStringLiteral("5"),
                                QStringLiteral("--etag"), QStringLiteral("\"v2\"")}),
             qPrintable(peer.failure()));
    setup(peer.port());
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part")), video()));
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part.meta")),
                             "validator \"v1\"\nlength " + QByteArray::number(Size) +
                                 "\nranges 0-1048576 2097152-3000000\n"));
    const CliRun::Result cli = download();
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QVERIFY(read("work/tube/ab12.mp4") == video(5));
}

// A running row's percent moves with the bytes on disk while its ranges
// arrive, not only when the ranges done are kept (once a second).
void tst_Ranges::percentFollowsTheBytes()
{
    PeerProcess peer;
    // About 1.5 s over four connections.
    QVERIFY2(startServer(peer, {QStringLiteral("--rate"), QStringLiteral("500000")}),
             qPrintable(peer.failure()));
    setup(peer.port());
    Settings settings(m_dir->path());
    StderrCapture capture;
    DownloadWorker job(&settings, {TestRows::makeRow("H", "ab12")});
    QList<int> seen;
    QElapsedTimer sinceChange;
    qint64 longest = 0;
    while (!job.waitFinished(20)) {
        const QList<DownloadWorker::RowProgress> rows = job.rowProgress();
        const int percent = rows.isEmpty() ? -1 : rows.first().percent;
        if (!seen.isEmpty() && percent == seen.last())
            continue;
        if (!seen.isEmpty() && seen.last() > 1 && percent < 100)
            longest = qMax(longest, sinceChange.elapsed());
        sinceChange.start();
        seen.append(percent);
    }
    QCOMPARE(job.takeMarks(), (QList<DownloadWorker::RowMark>{{0, "o", {}}}));
    QVERIFY(read("work/tube/ab12.mp4") == video());
    QByteArray shown;
    for (const int percent : std::as_const(seen))
        shown += QByteArray::number(percent) + ' ';
    QVERIFY2(seen.size() >= 10, shown.constData());
    QVERIFY2(longest < 500, (QByteArray::number(longest) + " ms: " + shown).constData());
}

// One connection trickles: the others take over the rest of its range, half
// at a time, instead of waiting for it (it alone would take a minute).
void tst_Ranges::slowRangeIsTakenOver()
{
    PeerProcess peer;
    QVERIFY2(startServer(peer, {QStringLiteral("--mode"), QStringLiteral("slow")}),
             qPrintable(peer.failure()));
    setup(peer.port());
    const CliRun::Result cli = download();
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QVERIFY(read("work/tube/ab12.mp4") == video());
    // bytes=0- and three pieces, then the pieces taken over.
    const QByteArrayList log = read("server.log").split('\n');
    QVERIFY2(log.size() - 1 > 4, read("server.log").constData());
}

// The cookies range answers set go to the row's jar as a single
// connection's would: the next row in its place sends them.
void tst_Ranges::rangeCookiesStayWithTheRow()
{
    PeerProcess peer;
    QVERIFY2(startServer(peer, {QStringLiteral("--cookie")}), qPrintable(peer.failure()));
    setup(peer.port());
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/download.list")),
                             listLine(makeRow("H", "cd34")) + listLine(makeRow("H", "ab12"))));
    const CliRun::Result cli = download();
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QCOMPARE(cli.out, QByteArray("ab12 o\ncd34 o\n"));
    QVERIFY(read("work/tube/cd34.mp4") == video());
    QByteArrayList firstRequests;
    for (const QByteArray &line : read("server.log").split('\n')) {
        if (line.startsWith("bytes=0-\t"))
            firstRequests.append(line);
    }
    QCOMPARE(firstRequests.size(), 2);
    QVERIFY2(firstRequests[0].endsWith("\t-"), firstRequests[0].constData());
    QVERIFY2(firstRequests[1].contains("\tseen="), read("server.log").constData());
}

QTEST_GUILESS_MAIN(tst_Ranges)
#include "tst_ranges.moc"
