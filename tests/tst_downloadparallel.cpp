#include "CliRun.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <QtTest>
#include <algorithm>

using Marks = QList<DownloadWorker::RowMark>;
using Step = ScriptedServer::Step;
using TestRows::makeRow;

namespace {

constexpr int FinishMs = 20000;

const QByteArray NoStageEngine = TestEngines::noStage();

QByteArray videoOf(const QByteArray &id)
{
    return "video of " + id;
}

// Answers only once the test lets it: the request stays open until then.
ScriptedServer::Script heldVideo(const QByteArray &id)
{
    const QByteArray body = videoOf(id);
    return {Step::await(),
            Step::send("HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                       "\r\n\r\n" + body),
            Step::close()};
}

int requestCount(const ScriptedServer &server)
{
    return int(server.requests().size());
}

} // namespace

// The download job with several rows at once: how many run together, which
// wait, and how one row's failure leaves the others.
class tst_DownloadParallel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rowsRunTogether_data();
    void rowsRunTogether();
    void failedRowLeavesOthersRunning();
    void cliCounts_data();
    void cliCounts();

private:
    void writeSetup(quint16 port, int jobs);
    QByteArray read(const QString &relative) const
    {
        return TestFiles::read(m_dir->filePath(relative));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_DownloadParallel::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_DownloadParallel::cleanup()
{
    m_dir.reset();
}

void tst_DownloadParallel::writeSetup(quint16 port, int jobs)
{
    QVERIFY(TestFiles::write(
        m_dir->filePath(QStringLiteral("z_user.ini")),
        "[settings]\r\njobs=" + QByteArray::number(jobs) +
            "\r\npath=" + QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) + "\r\n"));
    QVERIFY(TestFiles::writeEngine(m_dir->path(), NoStageEngine, port));
}

void tst_DownloadParallel::rowsRunTogether_data()
{
    QTest::addColumn<int>("jobs");
    QTest::addColumn<QByteArrayList>("ids"); // top to bottom
    // The rows whose requests are open together before the first answer.
    QTest::addColumn<QList<int>>("together");

    QTest::newRow("three rows, three jobs")
        << 3 << QByteArrayList{"r0", "r1", "r2"} << QList<int>{0, 1, 2};
    QTest::newRow("five rows, two jobs")
        << 2 << QByteArrayList{"r0", "r1", "r2", "r3", "r4"} << QList<int>{0, 1};
    QTest::newRow("one job") << 1 << QByteArrayList{"r0", "r1"} << QList<int>{0};
    // The same video file twice: the lower row waits for the upper one.
    QTest::newRow("same video waits") << 3 << QByteArrayList{"r0", "r0", "r1"} << QList<int>{0, 2};
    QTest::newRow("out of range is clamped")
        << 99 << QByteArrayList{"r0", "r1"} << QList<int>{0, 1};
}

void tst_DownloadParallel::rowsRunTogether()
{
    QFETCH(int, jobs);
    QFETCH(QByteArrayList, ids);
    QFETCH(QList<int>, together);

    ScriptedServer server;
    QList<ResultRow> rows;
    for (const QByteArray &id : std::as_const(ids)) {
        server.setRoute("/v/" + id + ".mp4", heldVideo(id));
        rows.append(makeRow("H", id));
    }
    QVERIFY(server.start());
    writeSetup(server.port(), jobs);

    Settings settings(m_dir->path());
    QCOMPARE(settings.jobs(), qBound(1, jobs, Settings::MaxJobs));
    StderrCapture capture;
    DownloadWorker job(&settings, rows);
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(server), together.size(), FinishMs);
    QList<int> running;
    for (const DownloadWorker::RowProgress &row : job.rowProgress())
        running.append(row.index);
    QCOMPARE(running, together);
    // Each answer lets at most one more row in.
    for (int answered = 0; answered < ids.size(); ++answered) {
        QVERIFY(job.rowProgress().size() <= together.size());
        QVERIFY(requestCount(server) <= together.size() + answered);
        server.proceed();
    }
    QVERIFY(job.waitFinished(FinishMs));
    QCOMPARE(requestCount(server), ids.size());
    Marks marks = job.takeMarks();
    std::sort(marks.begin(), marks.end(),
              [](const auto &a, const auto &b) { return a.index < b.index; });
    Marks expected;
    for (int index = 0; index < ids.size(); ++index)
        expected.append({index, "o", {}});
    QCOMPARE(marks, expected);
    for (const QByteArray &id : std::as_const(ids))
        QCOMPARE(read(QStringLiteral("work/tube/%1.mp4").arg(QLatin1String(id))), videoOf(id));
    QCOMPARE(job.progress.load(), 100);
    QVERIFY(job.rowProgress().isEmpty());
}

void tst_DownloadParallel::failedRowLeavesOthersRunning()
{
    ScriptedServer server;
    server.setRoute("/v/r0.mp4", heldVideo("r0"));
    server.setRoute("/v/r1.mp4", ScriptedServer::reply(404, "gone"));
    server.setRoute("/v/r2.mp4", heldVideo("r2"));
    QVERIFY(server.start());
    writeSetup(server.port(), 3);

    Settings settings(m_dir->path());
    StderrCapture capture;
    DownloadWorker job(&settings, {makeRow("H", "r0"), makeRow("H", "r1"), makeRow("H", "r2")});
    // The middle row settles with its reason while the others still wait.
    Marks marks;
    QTRY_VERIFY_WITH_TIMEOUT(!(marks += job.takeMarks()).isEmpty(), FinishMs);
    QCOMPARE(marks, (Marks{{1, "x", "HTTP status 404", server.url("/v/r1.mp4")}}));
    QTRY_COMPARE_WITH_TIMEOUT(job.rowProgress().size(), 2, FinishMs);
    QCOMPARE(job.rowProgress().first().index, 0);
    QCOMPARE(job.rowProgress().last().index, 2);

    server.proceed();
    server.proceed();
    QVERIFY(job.waitFinished(FinishMs));
    marks += job.takeMarks();
    std::sort(marks.begin(), marks.end(),
              [](const auto &a, const auto &b) { return a.index < b.index; });
    QCOMPARE(
        marks,
        (Marks{{0, "o", {}}, {1, "x", "HTTP status 404", server.url("/v/r1.mp4")}, {2, "o", {}}}));
    QCOMPARE(read(QStringLiteral("work/tube/r0.mp4")), videoOf("r0"));
    QCOMPARE(read(QStringLiteral("work/tube/r2.mp4")), videoOf("r2"));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("work/tube/r1.mp4"))));
}

// --jobs and --connections take 1 to 16; anything else is a usage error
// that touches nothing.
void tst_DownloadParallel::cliCounts_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");

    const QString jobs = QStringLiteral("--jobs");
    const QString connections = QStringLiteral("--connections");
    QTest::newRow("both at their limits")
        << QStringList{jobs, QStringLiteral("16"), connections, QStringLiteral("16")} << 1;
    QTest::newRow("fail: connections 0") << QStringList{connections, QStringLiteral("0")} << 2;
    QTest::newRow("fail: connections 17") << QStringList{connections, QStringLiteral("17")} << 2;
    QTest::newRow("fail: connections not a number")
        << QStringList{connections, QStringLiteral("4x")} << 2;
    QTest::newRow("fail: connections without a value") << QStringList{connections} << 2;
    QTest::newRow("fail: jobs 0") << QStringList{jobs, QStringLiteral("0")} << 2;
    QTest::newRow("fail: jobs 17") << QStringList{jobs, QStringLiteral("17")} << 2;
    QTest::newRow("fail: jobs without a value, then connections")
        << QStringList{jobs, connections, QStringLiteral("2")} << 2;
}

void tst_DownloadParallel::cliCounts()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);

    // The one row fails again at once: nothing listens on port 9.
    writeSetup(9, 1);
    const QByteArray list = TestRows::listLine(makeRow("x", "r0"));
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/download.list")), list));
    const CliRun::Result cli =
        CliRun::run(m_dir->path(), QStringList{QStringLiteral("download")} + options, FinishMs);
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, exitCode);
    QCOMPARE(cli.err.contains("usage: zindle-cli"), exitCode == 2);
    QCOMPARE(cli.out.isEmpty(), exitCode == 2);
    QCOMPARE(read(QStringLiteral("work/download.list")), list);
    QVERIFY(!read(QStringLiteral("z_user.ini")).contains("connections"));
}

QTEST_MAIN(tst_DownloadParallel)
#include "tst_downloadparallel.moc"
