#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/download/DownloadListFile.h"
#include "core/job/ResultRow.h"

#include <QDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

ResultRow makeRow(const QByteArrayList &texts)
{
    ResultRow row;
    for (int column = 0; column < ResultRow::ColumnCount; ++column)
        row[column] = texts.value(column);
    return row;
}

QByteArrayList textsOf(const ResultRow &row)
{
    return QByteArrayList(row.columns.begin(), row.columns.end());
}

QByteArray line(const QByteArrayList &texts)
{
    return texts.join("<\t>") + "<\t>\r\n";
}

const QByteArrayList First = {"H", "first", "1:00", "ann", "id1", "tube", "http://i/1.jpg"};
const QByteArrayList Second = {"x", "second", "2:00", "bob", "id2", "tube", "http://i/2.jpg"};
const QByteArrayList Third = {"H", "third", "3:00", "cy", "id3", "clips", ""};

constexpr auto Read = DownloadListFile::LoadStatus::Read;
constexpr auto Missing = DownloadListFile::LoadStatus::Missing;
constexpr auto Failed = DownloadListFile::LoadStatus::Failed;
constexpr auto Partial = DownloadListFile::LoadStatus::Partial;

// Rows named "ID" or "ID:STATE" (state "H" when not given), engine "tube".
QList<ResultRow> rowsOf(const QByteArrayList &names)
{
    QList<ResultRow> rows;
    for (const QByteArray &name : names) {
        const QByteArrayList parts = name.split(':');
        rows.append(makeRow(
            {parts.value(1, "H"), "title " + parts[0], "1:00", "ann", parts[0], "tube", ""}));
    }
    return rows;
}

QByteArrayList namesOf(const QList<ResultRow> &rows)
{
    QByteArrayList names;
    for (const ResultRow &row : rows)
        names.append(row[ResultRow::Id] + ':' + row[ResultRow::State]);
    return names;
}

} // namespace

// "download.list": its line format, what survives a save and a load, and its
// diagnostics.
class tst_DownloadList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void loadThenSaveReversesOrder();
    void saveThenLoad_data();
    void saveThenLoad();
    void loadLines_data();
    void loadLines();
    void messages_data();
    void messages();
    void missingOrUnreadable_data();
    void missingOrUnreadable();
    void failedSaveKeepsOldList();
    void plantedListIsNotWrittenThrough_data();
    void plantedListIsNotWrittenThrough();
    void longLines_data();
    void longLines();
    void merge_data();
    void merge();
    void updateWaitsForTheLock();

private:
    QByteArray workDir() const { return QFile::encodeName(m_dir->path()) + '/'; }
    QString listPath() const { return m_dir->filePath(QStringLiteral("download.list")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_DownloadList::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_DownloadList::loadThenSaveReversesOrder()
{
    QVERIFY(TestFiles::write(listPath(), line(First) + line(Second) + line(Third)));
    QList<ResultRow> rows;
    QCOMPARE(DownloadListFile::load(workDir(), &rows), Read);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(textsOf(rows[0]), First);
    QCOMPARE(textsOf(rows[2]), Third);

    // The list shows the file's last row on top and saves from the top down.
    const QList<ResultRow> topToBottom(rows.crbegin(), rows.crend());
    QVERIFY(DownloadListFile::save(workDir(), topToBottom));
    QCOMPARE(TestFiles::read(listPath()), line(Third) + line(Second) + line(First));
}

void tst_DownloadList::saveThenLoad_data()
{
    QTest::addColumn<QByteArrayList>("row");
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<QByteArrayList>("loaded"); // empty: not read back

    QTest::newRow("plain") << First << line(First) << First;
    QTest::newRow("failed row kept") << Second << line(Second) << Second;
    QTest::newRow("empty texts") << QByteArrayList{"H", "", "", "", "id", "tube", ""}
                                 << QByteArray("H<\t><\t><\t><\t>id<\t>tube<\t><\t>\r\n")
                                 << QByteArrayList{"H", "", "", "", "id", "tube", ""};
    QTest::newRow("done row is an empty line")
        << QByteArrayList{"o", "t", "1:00", "u", "id", "tube", "i"} << QByteArray("\r\n")
        << QByteArrayList{};
    QTest::newRow("state beginning with o is an empty line")
        << QByteArrayList{"ok", "t", "1:00", "u", "id", "tube", "i"} << QByteArray("\r\n")
        << QByteArrayList{};

    // Separators and line breaks inside a text become spaces; the row survives.
    QTest::newRow("separator in the title")
        << QByteArrayList{"H", "a<\t>b", "1:00", "u", "id", "tube", "i"}
        << line({"H", "a b", "1:00", "u", "id", "tube", "i"})
        << QByteArrayList{"H", "a b", "1:00", "u", "id", "tube", "i"};
    QTest::newRow("CR, LF and CRLF in texts")
        << QByteArrayList{"H", "a\r\nb", "1\r00", "u\n", "id", "tube", "i"}
        << line({"H", "a  b", "1 00", "u ", "id", "tube", "i"})
        << QByteArrayList{"H", "a  b", "1 00", "u ", "id", "tube", "i"};
    QTest::newRow("tabs and angle brackets alone stay")
        << QByteArrayList{"H", "<a>\t<\tb>", "1:00", "u", "id", "tube", "i"}
        << line({"H", "<a>\t<\tb>", "1:00", "u", "id", "tube", "i"})
        << QByteArrayList{"H", "<a>\t<\tb>", "1:00", "u", "id", "tube", "i"};
    const QByteArray longImage = "http://img/" + QByteArray(6000, 'a') + ".jpg";
    QTest::newRow("6000-byte image address")
        << QByteArrayList{"H", "t", "1:00", "u", "id", "tube", longImage}
        << line({"H", "t", "1:00", "u", "id", "tube", longImage})
        << QByteArrayList{"H", "t", "1:00", "u", "id", "tube", longImage};
}

void tst_DownloadList::saveThenLoad()
{
    QFETCH(QByteArrayList, row);
    QFETCH(QByteArray, saved);
    QFETCH(QByteArrayList, loaded);

    QVERIFY(DownloadListFile::save(workDir(), {makeRow(row), makeRow(Third)}));
    QCOMPARE(TestFiles::read(listPath()), saved + line(Third));

    QList<ResultRow> rows;
    QCOMPARE(DownloadListFile::load(workDir(), &rows), Read);
    QList<QByteArrayList> texts;
    for (const ResultRow &read : std::as_const(rows))
        texts.append(textsOf(read));
    QList<QByteArrayList> expected;
    if (!loaded.isEmpty())
        expected.append(loaded);
    expected.append(Third);
    QCOMPARE(texts, expected);
}

void tst_DownloadList::loadLines_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QList<QByteArrayList>>("rows");

    QTest::newRow("fewer than seven separators skipped")
        << QByteArray("H<\t>a<\t>b<\t>c<\t>d<\t>e<\t>\r\n" + line(First))
        << QList<QByteArrayList>{First};
    QTest::newRow("more than seven: the first seven taken")
        << QByteArray("H<\t>a<\t>b<\t>c<\t>d<\t>e<\t>f<\t>g<\t>h<\t>\r\n")
        << QList<QByteArrayList>{{"H", "a", "b", "c", "d", "e", "f"}};
    QTest::newRow("empty lines skipped")
        << QByteArray("\r\n\r\n" + line(First) + "\r\n\n") << QList<QByteArrayList>{First};
    QTest::newRow("last line without a line end")
        << QByteArray(line(First) + line(Second).chopped(2))
        << QList<QByteArrayList>{First, Second};
    QTest::newRow("LF line ends") << QByteArray(line(First).replace("\r\n", "\n") +
                                                line(Second).replace("\r\n", "\n"))
                                  << QList<QByteArrayList>{First, Second};
    QTest::newRow("empty file") << QByteArray("") << QList<QByteArrayList>{};
}

void tst_DownloadList::loadLines()
{
    QFETCH(QByteArray, file);
    QFETCH(QList<QByteArrayList>, rows);

    QVERIFY(TestFiles::write(listPath(), file));
    QList<ResultRow> loaded;
    QCOMPARE(DownloadListFile::load(workDir(), &loaded), Read);
    QList<QByteArrayList> texts;
    for (const ResultRow &row : std::as_const(loaded))
        texts.append(textsOf(row));
    QCOMPARE(texts, rows);
}

void tst_DownloadList::messages_data()
{
    QTest::addColumn<bool>("saving");
    QTest::addColumn<QByteArray>("dir"); // "TMP" stands for the temporary directory
    QTest::addColumn<QByteArray>("errors");
    QTest::addColumn<int>("loadStatus"); // when loading

    // No file yet is an empty list, not an error.
    QTest::newRow("load: no file yet")
        << false << QByteArray("TMP/")
        << QByteArray("load TMP/download.list\ncannot open the file.") << int(Missing);
    QTest::newRow("load: path too short")
        << false << QByteArray("/") << QByteArray("load path is too short.") << int(Failed);
    QTest::newRow("load: empty path")
        << false << QByteArray("") << QByteArray("load path is too short.") << int(Failed);
    QTest::newRow("save: path too short")
        << true << QByteArray("/") << QByteArray("save path is too short.") << 0;
    QTest::newRow("save: no such directory")
        << true << QByteArray("TMP/missing/")
        << QByteArray("save TMP/missing/download.list\ncannot open the file.") << 0;
}

void tst_DownloadList::messages()
{
    QFETCH(bool, saving);
    QFETCH(QByteArray, dir);
    QFETCH(QByteArray, errors);
    QFETCH(int, loadStatus);

    const QByteArray tmp = QFile::encodeName(m_dir->path());
    dir.replace("TMP", tmp);
    errors.replace("TMP", tmp);
    QList<ResultRow> rows;
    StderrCapture capture;
    if (saving)
        QVERIFY(!DownloadListFile::save(dir, {makeRow(First)}));
    else
        QCOMPARE(int(DownloadListFile::load(dir, &rows)), loadStatus);
    QVERIFY(rows.isEmpty());
    QCOMPARE(capture.text(), errors);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void tst_DownloadList::missingOrUnreadable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message"); // after the "load" line

    const QByteArray cannotOpen("cannot open the file.");
    QTest::newRow("no folder yet") << QStringLiteral("no folder") << int(Missing) << cannotOpen;
    QTest::newRow("link to no file yet")
        << QStringLiteral("dangling link") << int(Missing) << cannotOpen;
    QTest::newRow("fail: a directory") << QStringLiteral("directory") << int(Failed) << cannotOpen;
    QTest::newRow("fail: a pipe, which would block")
        << QStringLiteral("fifo") << int(Failed) << cannotOpen;
    QTest::newRow("fail: a loop of links") << QStringLiteral("loop") << int(Failed) << cannotOpen;
    // A regular file whose first read fails, whoever reads it.
    QTest::newRow("fail: read error")
        << QStringLiteral("read error") << int(Failed) << QByteArray("cannot read the file.");
}

void tst_DownloadList::missingOrUnreadable()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QByteArray, message);

    QByteArray dir = workDir();
    if (kind == QLatin1String("no folder"))
        dir += "missing/";
    else if (kind == QLatin1String("dangling link"))
        QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("elsewhere.list")), listPath()));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("download.list")));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(mkfifo(QFile::encodeName(listPath()).constData(), 0644), 0);
    else if (kind == QLatin1String("loop"))
        QVERIFY(QFile::link(listPath(), listPath()));
    else if (kind == QLatin1String("read error"))
        QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), listPath()));

    QList<ResultRow> rows;
    QString error = QStringLiteral("stale");
    {
        StderrCapture capture;
        QCOMPARE(int(DownloadListFile::load(dir, &rows, &error)), status);
        QCOMPARE(capture.text(), "load " + DownloadListFile::path(dir) + "\n" + message);
    }
    QVERIFY(rows.isEmpty());
    QCOMPARE(error.isEmpty(), status == int(Missing));
}

void tst_DownloadList::failedSaveKeepsOldList()
{
    const QByteArray old = line(First);
    QVERIFY(TestFiles::write(listPath(), old));

    // A file-size limit stands in for a full disk.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    QList<ResultRow> rows;
    for (int i = 0; i < 100; ++i)
        rows.append(makeRow(Second));
    bool done = true;
    {
        StderrCapture capture;
        done = DownloadListFile::save(workDir(), rows);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);

    QVERIFY(!done);
    QCOMPARE(TestFiles::read(listPath()), old);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("download.list")});
}

void tst_DownloadList::plantedListIsNotWrittenThrough_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symbolic link") << QStringLiteral("link");
    QTest::newRow("hard link") << QStringLiteral("hard link");
}

// A list that is a link to a file elsewhere is never saved over: the other
// file keeps its bytes and the save says it failed.
void tst_DownloadList::plantedListIsNotWrittenThrough()
{
    QFETCH(QString, kind);
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    const QByteArray victim = "precious bytes\n";
    QVERIFY(TestFiles::write(elsewhere, victim));
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(elsewhere, listPath()));
    else
        QCOMPARE(::link(QFile::encodeName(elsewhere).constData(),
                        QFile::encodeName(listPath()).constData()),
                 0);

    bool saved = true;
    QByteArray errors;
    {
        StderrCapture capture;
        saved = DownloadListFile::save(workDir(), {makeRow(First)});
        errors = capture.text();
    }
    QVERIFY(!saved);
    QVERIFY2(errors.contains("cannot write " + QFile::encodeName(listPath())), errors.constData());
    QCOMPARE(TestFiles::read(elsewhere), victim);
}

void tst_DownloadList::longLines_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<QByteArrayList>>("rows");
    QTest::addColumn<int>("skippedLine"); // 0: none

    const qsizetype cap = DownloadListFile::MaxLineBytes;
    // A row whose image fills its line, "\r\n" included, to `size` bytes.
    const auto lineOfSize = [](qsizetype size) {
        QByteArrayList texts = Third;
        texts[ResultRow::Image] = QByteArray(size - line(Third).size(), 'i');
        return line(texts);
    };
    QByteArrayList filled = Third;
    filled[ResultRow::Image] = QByteArray(cap - line(Third).size(), 'i');
    QTest::newRow("a line of exactly the cap is a row")
        << QByteArray(line(First) + lineOfSize(cap)) << int(Read)
        << QList<QByteArrayList>{First, filled} << 0;
    QTest::newRow("fail: one byte more is skipped, the rows around it load")
        << QByteArray(line(First) + lineOfSize(cap + 1) + line(Second)) << int(Partial)
        << QList<QByteArrayList>{First, Second} << 2;
    QTest::newRow("fail: 8 MiB without a line end at the end")
        << QByteArray("\r\n" + line(First) + QByteArray(8 * cap, 'x')) << int(Partial)
        << QList<QByteArrayList>{First} << 3;
}

// A line over the cap costs no more memory than the cap, is named on
// standard error, and the list holding it is not saved over.
void tst_DownloadList::longLines()
{
    QFETCH(QByteArray, file);
    QFETCH(int, status);
    QFETCH(QList<QByteArrayList>, rows);
    QFETCH(int, skippedLine);

    QVERIFY(TestFiles::write(listPath(), file));
    StderrCapture capture;
    QList<ResultRow> loaded;
    QString error;
    QCOMPARE(int(DownloadListFile::load(workDir(), &loaded, &error)), status);
    QList<QByteArrayList> texts;
    for (const ResultRow &row : std::as_const(loaded))
        texts.append(textsOf(row));
    QCOMPARE(texts, rows);

    const bool saved = DownloadListFile::update(
        workDir(), [](const QList<ResultRow> &current) { return std::optional(current); });
    const QByteArray errors = capture.text();
    if (skippedLine == 0) {
        QVERIFY(saved);
        QVERIFY2(!errors.contains("skipped"), errors.constData());
        return;
    }
    const QByteArray named = QFile::encodeName(listPath()) + ": line " +
                             QByteArray::number(skippedLine) + " is longer than 1048576 bytes";
    QVERIFY2(errors.contains(named + ": it is skipped\n"), errors.constData());
    QVERIFY2(error.contains(QStringLiteral("line %1 ").arg(skippedLine)), qPrintable(error));
    QVERIFY(!saved);
    QVERIFY(TestFiles::read(listPath()) == file);
}

void tst_DownloadList::merge_data()
{
    QTest::addColumn<QByteArrayList>("mine");    // the window's rows, top to bottom
    QTest::addColumn<QByteArrayList>("synced");  // the file when the window last read or wrote it
    QTest::addColumn<QByteArrayList>("current"); // the file now
    QTest::addColumn<QByteArrayList>("merged");

    QTest::newRow("nothing changed elsewhere: the window's rows")
        << QByteArrayList{"a", "b:x"} << QByteArrayList{"b", "a"} << QByteArrayList{"b", "a"}
        << QByteArrayList{"a:H", "b:x"};
    QTest::newRow("rows added elsewhere go on top, in file order")
        << QByteArrayList{"new", "a"} << QByteArrayList{"a"} << QByteArrayList{"c", "a", "d"}
        << QByteArrayList{"c:H", "d:H", "new:H", "a:H"};
    QTest::newRow("deleted or downloaded elsewhere: dropped")
        << QByteArrayList{"a", "b", "c"} << QByteArrayList{"a", "b", "c"} << QByteArrayList{"c"}
        << QByteArrayList{"c:H"};
    QTest::newRow("deleted here stays deleted")
        << QByteArrayList{"a"} << QByteArrayList{"a", "b"} << QByteArrayList{"a", "b"}
        << QByteArrayList{"a:H"};
    QTest::newRow("clear keeps only what came elsewhere")
        << QByteArrayList{} << QByteArrayList{"a", "b"} << QByteArrayList{"a", "c", "b"}
        << QByteArrayList{"c:H"};
    QTest::newRow("a mark made elsewhere is taken, a mark made here wins")
        << QByteArrayList{"a:H", "b:o"} << QByteArrayList{"a:H", "b:H"}
        << QByteArrayList{"a:x", "b:x"} << QByteArrayList{"a:x", "b:o"};
    QTest::newRow("the same video added on both sides is listed once")
        << QByteArrayList{"n", "a"} << QByteArrayList{"a"} << QByteArrayList{"n", "a"}
        << QByteArrayList{"n:H", "a:H"};
    QTest::newRow("the file removed elsewhere: its rows go")
        << QByteArrayList{"a"} << QByteArrayList{"a"} << QByteArrayList{} << QByteArrayList{};
}

void tst_DownloadList::merge()
{
    QFETCH(QByteArrayList, mine);
    QFETCH(QByteArrayList, synced);
    QFETCH(QByteArrayList, current);
    QFETCH(QByteArrayList, merged);

    QCOMPARE(namesOf(DownloadListFile::merge(rowsOf(mine), rowsOf(synced), rowsOf(current))),
             merged);
}

// While another process holds the work directory's lock, update() neither
// reads nor writes; once it is free, its edit sees what the other wrote.
void tst_DownloadList::updateWaitsForTheLock()
{
    QVERIFY(TestFiles::write(listPath(), line(First)));
    const int fd = ::open(QFile::encodeName(m_dir->path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX), 0);

    std::atomic<bool> entered{false};
    std::atomic<bool> saved{false};
    QList<ResultRow> seen;
    StderrCapture capture;
    std::thread other([&] {
        entered = true;
        saved = DownloadListFile::update(workDir(), [&](const QList<ResultRow> &current) {
            seen = current;
            QList<ResultRow> rows{makeRow(Third)};
            rows.append(current);
            return std::optional(rows);
        });
    });
    QTRY_VERIFY(entered.load());
    // What the holder writes while the thread waits.
    QVERIFY(TestFiles::write(listPath(), line(First) + line(Second)));
    ::close(fd);
    other.join();

    QVERIFY(saved.load());
    QCOMPARE(seen.size(), 2);
    QCOMPARE(TestFiles::read(listPath()), line(Third) + line(First) + line(Second));
}

QTEST_GUILESS_MAIN(tst_DownloadList)
#include "tst_downloadlist.moc"
