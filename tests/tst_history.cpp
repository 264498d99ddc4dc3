#include "CliRun.h"
#include "JobRun.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/download/HistoryFile.h"

#include <QtTest>
#include <unistd.h>

using Step = ScriptedServer::Step;
using Entry = HistoryFile::Entry;

namespace {

constexpr int FinishMs = 20000;

const QByteArray TubeEngine = TestEngines::searching("Tube");

QByteArray hit(const QByteArray &id)
{
    return "<li class=\"hit\" data-n=\"1\"><a href=\"/watch?v=" + id +
           "\"><img src=\"http://img.example/" + id + ".jpg\"></a><span class=\"title\">Title " +
           id + "</span><span class=\"user\">u</span><span class=\"time\">1:00</span></li>";
}

const QByteArray Date1 = "2026-11-02T08:15:00Z";
const QByteArray Date2 = "2026-12-01T20:00:30Z";

} // namespace

// The history of completed downloads: its file, the download job's lines,
// and zindle-cli's "D" marks and history command.
class tst_History : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void appendsWholeLines();
    void brokenLinesSkipped_data();
    void brokenLinesSkipped();
    void plantedEntriesRefused_data();
    void plantedEntriesRefused();
    void downloadJobRecordsDoneRowsOnly();
    void downloadJobNotesRefusedHistory();
    void cliSearchMarksDownloaded();
    void cliHistory();

private:
    QByteArray workDir() const { return QFile::encodeName(m_dir->path()) + "/work/"; }
    QString historyPath() const { return m_dir->filePath(QStringLiteral("work/history.list")); }
    void writeSetup(quint16 port);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_History::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_History::cleanup()
{
    m_dir.reset();
}

void tst_History::writeSetup(quint16 port)
{
    QVERIFY(TestFiles::writeSetup(m_dir->path(), workDir(), TubeEngine, port));
}

void tst_History::appendsWholeLines()
{
    QList<Entry> entries;
    QCOMPARE(HistoryFile::load(workDir(), &entries), HistoryFile::LoadStatus::Missing);
    QVERIFY(entries.isEmpty());

    const Entry first{"tube", "ab12", "A\ttitle\r\nover lines", "/w/tube/ab12.mp4", Date1};
    const Entry second{"tube", "cd34", "Second", "/w/tube/cd34.mp4", Date2};
    QString error;
    QVERIFY2(HistoryFile::append(workDir(), first, &error), qPrintable(error));
    // A line cut short by a crash is closed before the next one goes on.
    QVERIFY(TestFiles::write(historyPath(), TestFiles::read(historyPath()) + "tube\tcut"));
    QVERIFY2(HistoryFile::append(workDir(), second, &error), qPrintable(error));
    QCOMPARE(TestFiles::read(historyPath()),
             "tube\tab12\tA title  over lines\t/w/tube/ab12.mp4\t" + Date1 +
                 "\ntube\tcut\ntube\tcd34\tSecond\t/w/tube/cd34.mp4\t" + Date2 + '\n');

    StderrCapture capture;
    QCOMPARE(HistoryFile::load(workDir(), &entries), HistoryFile::LoadStatus::Read);
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0].title, QByteArray("A title  over lines"));
    QCOMPARE(entries[1], second);
    QVERIFY(capture.text().contains("history.list:2: broken history line skipped"));

    const auto dates = HistoryFile::dates(
        entries + QList<Entry>{{"tube", "ab12", "again", "/w/tube/ab12.mp4", Date2}});
    QCOMPARE(dates.value(HistoryFile::keyOf("tube", "ab12")), Date2);
    QVERIFY(!dates.contains(HistoryFile::keyOf("other", "ab12")));
}

void tst_History::brokenLinesSkipped_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("four fields") << QByteArray("tube\tid\ttitle\t" + Date1);
    QTest::newRow("six fields") << QByteArray("tube\tid\tt\t/f\t" + Date1 + "\textra");
    QTest::newRow("empty engine id") << QByteArray("\tid\tt\t/f\t" + Date1);
    QTest::newRow("empty ID") << QByteArray("tube\t\tt\t/f\t" + Date1);
    QTest::newRow("empty file") << QByteArray("tube\tid\tt\t\t" + Date1);
    QTest::newRow("no date") << QByteArray("tube\tid\tt\t/f\tyesterday");
    QTest::newRow("binary") << QByteArray("\x01\x02\xff\tx", 5);
}

// A broken line is skipped with a warning; the lines around it are listed.
void tst_History::brokenLinesSkipped()
{
    QFETCH(QByteArray, line);
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\npath=" + workDir() + "\r\n"));
    QVERIFY(TestFiles::write(historyPath(), "tube\tgood1\tOne\t/w/tube/good1.mp4\t" + Date1 + "\n" +
                                                line + "\ntube\tgood2\tTwo\t/w/f2\t" + Date2 +
                                                "\n"));
    const CliRun::Result cli = CliRun::run(m_dir->path(), {QStringLiteral("history")});
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, 0);
    QCOMPARE(cli.out, Date1 + "\ttube\tgood1\tOne\t/w/tube/good1.mp4\n" + Date2 +
                          "\ttube\tgood2\tTwo\t/w/f2\n");
    QVERIFY2(cli.err.contains("history.list:2: broken history line skipped"), cli.err);
}

void tst_History::plantedEntriesRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("symbolic link") << QStringLiteral("link") << QByteArray("symbolic link");
    QTest::newRow("hard link") << QStringLiteral("hardlink") << QByteArray("2 hard links");
    QTest::newRow("folder") << QStringLiteral("folder") << QByteArray();
}

// Nothing is written through what is planted in place of the history, and a
// history that cannot be read is reported, never replaced.
void tst_History::plantedEntriesRefused()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reason);
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    const QByteArray kept = "not yours\n";
    QVERIFY(TestFiles::write(outside, kept));
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(outside, historyPath()));
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(QFile::encodeName(outside).constData(),
                        QFile::encodeName(historyPath()).constData()),
                 0);
    else
        QVERIFY(QDir().mkdir(historyPath()));

    QString error;
    QVERIFY(!HistoryFile::append(workDir(), {"tube", "ab12", "t", "/f", Date1}, &error));
    QVERIFY2(error.toLocal8Bit().contains(reason), qPrintable(error));
    QCOMPARE(TestFiles::read(outside), kept);

    if (kind == QLatin1String("hardlink"))
        return; // a plain file to read, only not to write through
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\npath=" + workDir() + "\r\n"));
    const CliRun::Result cli = CliRun::run(m_dir->path(), {QStringLiteral("history")});
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, 1);
    QVERIFY2(cli.err.startsWith("cannot read the history " + workDir() + "history.list: "),
             cli.err);
    QVERIFY(cli.out.isEmpty());
    QCOMPARE(TestFiles::read(outside), kept);
}

// Only rows the job settles "o" get a line: the failed row, the row done
// before and the row passed over do not.
void tst_History::downloadJobRecordsDoneRowsOnly()
{
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4",
                    {Step::send(ScriptedServer::okAnswer("video ab12")), Step::close()});
    server.setRoute("/v/cd34.mp4", {Step::send("HTTP/1.0 404 Not Found\r\n\r\n"), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    const JobRun::Result run =
        JobRun::download(m_dir->path(),
                         {TestRows::makeRow("H", "ab12"), TestRows::makeRow("x", "cd34"),
                          TestRows::makeRow("o", "done")},
                         FinishMs);
    QVERIFY(run.finished);
    QCOMPARE(run.marks.size(), 2);
    QCOMPARE(run.marks[0].mark, QByteArray("o"));
    QCOMPARE(run.marks[1].mark, QByteArray("x"));

    QList<Entry> entries;
    QCOMPARE(HistoryFile::load(workDir(), &entries), HistoryFile::LoadStatus::Read);
    QCOMPARE(entries.size(), 1);
    const Entry &entry = entries.first();
    QCOMPARE(entry.engineId, QByteArray("tube"));
    QCOMPARE(entry.id, QByteArray("ab12"));
    QCOMPARE(entry.title, QByteArray("Title ab12"));
    QCOMPARE(entry.file, workDir() + "tube/ab12.mp4");
    QCOMPARE(TestFiles::read(QFile::decodeName(entry.file)), QByteArray("video ab12"));
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(entry.date), Qt::ISODate);
    QVERIFY(qAbs(when.secsTo(QDateTime::currentDateTimeUtc())) < 120);
}

// A history that cannot take the line leaves the video done, and says why.
void tst_History::downloadJobNotesRefusedHistory()
{
    ScriptedServer server;
    server.setRoute("/v/ab12.mp4",
                    {Step::send(ScriptedServer::okAnswer("video ab12")), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    QVERIFY(TestFiles::write(outside, "not yours\n"));
    QVERIFY(QFile::link(outside, historyPath()));

    const JobRun::Result run =
        JobRun::download(m_dir->path(), {TestRows::makeRow("H", "ab12")}, FinishMs);
    QVERIFY(run.finished);
    QCOMPARE(run.marks.size(), 1);
    QCOMPARE(run.marks[0].mark, QByteArray("o"));
    QCOMPARE(run.marks[0].reason,
             "no history line: " + workDir() + "history.list: the file is a symbolic link");
    QCOMPARE(TestFiles::read(outside), QByteArray("not yours\n"));
    QCOMPARE(TestFiles::read(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4"))),
             QByteArray("video ab12"));
}

void tst_History::cliSearchMarksDownloaded()
{
    ScriptedServer server;
    const QByteArray page = "<html><ul>" + hit("aa11") + hit("bb22") + hit("cc33") + "</ul></html>";
    server.setFallback({Step::send(ScriptedServer::okAnswer(page)), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    // bb22 was downloaded; aa11 only on another engine.
    QVERIFY(TestFiles::write(historyPath(), "tube\tbb22\tTitle bb22\t/w/tube/bb22.mp4\t" + Date1 +
                                                "\nother\taa11\tx\t/w/other/aa11\t" + Date1 +
                                                "\n"));
    const CliRun::Result cli = CliRun::run(
        m_dir->path(), {QStringLiteral("search"), QStringLiteral("--add"), QStringLiteral("cats")});
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    QCOMPARE(cli.out,
             QByteArray("H\tTitle aa11\t1:00\tu\taa11\ttube\thttp://img.example/aa11.jpg\n"
                        "D\tTitle bb22\t1:00\tu\tbb22\ttube\thttp://img.example/bb22.jpg\n"
                        "H\tTitle cc33\t1:00\tu\tcc33\ttube\thttp://img.example/cc33.jpg\n"));
    // --add copies the hits as they came: "D" is only shown.
    const QByteArray list = TestFiles::read(m_dir->filePath(QStringLiteral("work/download.list")));
    QVERIFY2(list.contains("H<\t>Title bb22<\t>"), list.constData());
    QVERIFY(!list.contains("D<\t>"));
}

void tst_History::cliHistory()
{
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\npath=" + workDir() + "\r\n"));
    // No history yet: nothing to list, and nothing is made.
    CliRun::Result cli = CliRun::run(m_dir->path(), {QStringLiteral("history")});
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, 0);
    QVERIFY(cli.out.isEmpty());
    QVERIFY(!QFile::exists(historyPath()));

    QVERIFY(
        HistoryFile::append(workDir(), {"tube", "ab12", "Evil\x1b]0;owned\x07", "/w/a", Date1}));
    QVERIFY(HistoryFile::append(workDir(), {"tube", "cd34", "Plain", "/w/c", Date2}));
    cli = CliRun::run(m_dir->path(), {QStringLiteral("history")});
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, 0);
    QCOMPARE(cli.out, Date1 + "\ttube\tab12\tEvil\\x1b]0;owned\\x07\t/w/a\n" + Date2 +
                          "\ttube\tcd34\tPlain\t/w/c\n");
    QVERIFY(cli.err.isEmpty());

    cli = CliRun::run(m_dir->path(), {QStringLiteral("history"), QStringLiteral("extra")});
    QCOMPARE(cli.exitCode, 2);
}

QTEST_GUILESS_MAIN(tst_History)
#include "tst_history.moc"
