#include "core/download/DownloadListFile.h"

#include "core/config/AtomicFile.h"
#include "core/config/Descriptor.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using LoadStatus = DownloadListFile::LoadStatus;

constexpr QByteArrayView Separator = "<\t>";
constexpr QByteArrayView LineEnd = "\r\n";
// Another process holds the lock only while it reads and writes the list.
constexpr int LockWaitMs = 30000;
constexpr int LockPollMs = 10;

QByteArray sanitized(QByteArray text)
{
    text.replace(Separator, " ");
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

// The texts before the first seven separators; false when there are fewer.
bool parseLine(const QByteArray &line, ResultRow *row)
{
    ResultRow parsed;
    qsizetype from = 0;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        const qsizetype at = line.indexOf(Separator, from);
        if (at < 0)
            return false;
        parsed[column] = line.mid(from, at - from);
        from = at + Separator.size();
    }
    *row = std::move(parsed);
    return true;
}

QByteArray keyOf(const ResultRow &row)
{
    const QByteArray &id = row[ResultRow::Id];
    return QByteArray::number(id.size()) + ':' + id + row[ResultRow::Type];
}

// Reads the list at listPath; `verbose` prints the load lines of a first read.
LoadStatus readList(const QByteArray &listPath, QList<ResultRow> *rowsInFileOrder, QString *error,
                    bool verbose)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return LoadStatus::Failed;
    };
    const auto say = [verbose](const char *text) {
        if (verbose)
            fputs(text, stderr);
    };
    // Nothing at that path (the folder missing too) is the empty list of a
    // first start. Anything else that cannot be read whole is an error: a
    // directory, a pipe that could block, a file without read permission.
    struct stat info;
    if (::stat(listPath.constData(), &info) != 0) {
        const int code = errno;
        say("cannot open the file.");
        if (code == ENOENT || code == ENOTDIR)
            return LoadStatus::Missing;
        return fail(qt_error_string(code));
    }
    if (!S_ISREG(info.st_mode)) {
        say("cannot open the file.");
        return fail(QStringLiteral("not a regular file"));
    }
    QFile file(QFile::decodeName(listPath));
    if (!file.open(QIODevice::ReadOnly)) {
        say("cannot open the file.");
        return fail(file.errorString());
    }
    // Whole lines up to the cap: a long image address must not split a row,
    // and a line without end must not fill the memory. Read to the first
    // empty read, not to the size: a file may show size 0 and still hold
    // bytes, or fail at its first read.
    QList<ResultRow> rows;
    int lineNumber = 0;
    int firstSkipped = 0;
    for (;;) {
        // readLine(n) keeps at most n - 1 bytes.
        const QByteArray line = file.readLine(DownloadListFile::MaxLineBytes + 1);
        if (line.isEmpty())
            break;
        ++lineNumber;
        if (line.size() >= DownloadListFile::MaxLineBytes && !line.endsWith('\n') &&
            !file.atEnd()) {
            // The rest of the line is passed over in pieces.
            for (;;) {
                const QByteArray rest = file.readLine(64 * 1024);
                if (rest.isEmpty() || rest.endsWith('\n'))
                    break;
            }
            fprintf(stderr, "%s: line %d is longer than %lld bytes: it is skipped\n",
                    listPath.constData(), lineNumber,
                    static_cast<long long>(DownloadListFile::MaxLineBytes));
            if (firstSkipped == 0)
                firstSkipped = lineNumber;
            continue;
        }
        ResultRow row;
        if (parseLine(line, &row))
            rows.append(row);
    }
    if (file.error() != QFileDevice::NoError) {
        say("cannot read the file.");
        return fail(file.errorString());
    }
    rowsInFileOrder->append(rows);
    if (firstSkipped > 0) {
        if (error)
            *error = QStringLiteral("line %1 is longer than %2 bytes; shorten or remove it "
                                    "before the list can be saved")
                         .arg(firstSkipped)
                         .arg(DownloadListFile::MaxLineBytes);
        return LoadStatus::Partial;
    }
    return LoadStatus::Read;
}

// An exclusive flock() on the work directory, held while it lives. A
// directory lock leaves no file behind and follows no name that could be
// swapped. Where the filesystem has no flock() the list goes unlocked.
class DirectoryLock
{
public:
    explicit DirectoryLock(const QByteArray &workDir)
    {
        // The folder of the list: the work directory text up to its last '/'.
        const qsizetype slash = workDir.lastIndexOf('/');
        const QByteArray dir = slash < 0 ? QByteArray(".") : workDir.left(slash + 1);
        m_fd.reset(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_fd.isOpen())
            return; // no folder: the save then fails and says so
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            if (::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0)
                return;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                fprintf(stderr, "cannot lock %s (%s): the list is read and written unlocked\n",
                        dir.constData(), strerror(errno));
                return;
            }
            if (waited.elapsed() >= LockWaitMs) {
                m_busy = true;
                return;
            }
            QThread::msleep(LockPollMs);
        }
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

    // Another process held the lock for the whole wait.
    bool busy() const { return m_busy; }

private:
    Descriptor m_fd;
    bool m_busy = false;
};

} // namespace

QByteArray DownloadListFile::path(const QByteArray &workDir)
{
    return workDir + "download.list";
}

DownloadListFile::LoadStatus
DownloadListFile::load(const QByteArray &workDir, QList<ResultRow> *rowsInFileOrder, QString *error)
{
    if (error)
        error->clear();
    if (workDir.size() < 2) {
        fputs("load path is too short.", stderr);
        if (error)
            *error = QStringLiteral("the work directory is not set");
        return LoadStatus::Failed;
    }
    const QByteArray listPath = path(workDir);
    fprintf(stderr, "load %s\n", listPath.constData());
    return readList(listPath, rowsInFileOrder, error, true);
}

bool DownloadListFile::save(const QByteArray &workDir, const QList<ResultRow> &rowsTopToBottom)
{
    if (workDir.size() < 2) {
        fputs("save path is too short.", stderr);
        return false;
    }
    const QByteArray listPath = path(workDir);
    fprintf(stderr, "save %s\n", listPath.constData());

    QByteArray bytes;
    for (const ResultRow &row : rowsTopToBottom) {
        if (!row[ResultRow::State].startsWith('o')) {
            for (const QByteArray &text : row.columns)
                bytes.append(sanitized(text)).append(Separator);
        }
        bytes.append(LineEnd);
    }

    // The new list replaces the old one only once it is wholly on disk. A
    // link or a hard-linked list in the work directory is refused: someone
    // planted it there to have the list written over another file.
    QString error;
    AtomicFile::Failure failure = AtomicFile::Failure::None;
    if (!AtomicFile::write(QFile::decodeName(listPath), bytes, &error, &failure,
                           AtomicFile::Links::Refuse)) {
        if (failure == AtomicFile::Failure::Create)
            fputs("cannot open the file.", stderr);
        else
            fprintf(stderr, "cannot write %s: %s\n", listPath.constData(),
                    error.toLocal8Bit().constData());
        return false;
    }
    return true;
}

bool DownloadListFile::update(const QByteArray &workDir, const Edit &edit, QString *error)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (error)
        error->clear();
    if (workDir.size() < 2) {
        fputs("save path is too short.", stderr);
        return fail(QStringLiteral("the work directory is not set"));
    }
    const DirectoryLock lock(workDir);
    if (lock.busy())
        return fail(QStringLiteral("another process keeps the download list locked"));
    QList<ResultRow> current;
    QString readError;
    switch (readList(path(workDir), &current, &readError, false)) {
    case LoadStatus::Read:
    case LoadStatus::Missing:
        break;
    case LoadStatus::Failed:
    case LoadStatus::Partial:
        return fail(readError);
    }
    const std::optional<QList<ResultRow>> rows = edit(current);
    if (!rows)
        return true;
    if (!save(workDir, *rows))
        return fail(QStringLiteral("the list could not be written"));
    return true;
}

bool DownloadListFile::sameVideo(const ResultRow &a, const ResultRow &b)
{
    return a[ResultRow::Id] == b[ResultRow::Id] && a[ResultRow::Type] == b[ResultRow::Type];
}

bool DownloadListFile::isListed(const QList<ResultRow> &downloadRows, const ResultRow &hit)
{
    for (const ResultRow &row : downloadRows) {
        if (sameVideo(row, hit))
            return true;
    }
    return false;
}

QList<ResultRow> DownloadListFile::merge(const QList<ResultRow> &mine,
                                         const QList<ResultRow> &synced,
                                         const QList<ResultRow> &current)
{
    QHash<QByteArray, QByteArray> syncedStates;
    for (const ResultRow &row : synced)
        syncedStates.insert(keyOf(row), row[ResultRow::State]);
    QHash<QByteArray, const ResultRow *> currentRows;
    for (const ResultRow &row : current)
        currentRows.insert(keyOf(row), &row);
    QSet<QByteArray> mineKeys;
    for (const ResultRow &row : mine)
        mineKeys.insert(keyOf(row));

    QList<ResultRow> result;
    QSet<QByteArray> taken;
    for (const ResultRow &row : current) {
        const QByteArray key = keyOf(row);
        if (!syncedStates.contains(key) && !mineKeys.contains(key) && !taken.contains(key)) {
            result.append(row);
            taken.insert(key);
        }
    }
    for (const ResultRow &row : mine) {
        const QByteArray key = keyOf(row);
        const auto there = currentRows.constFind(key);
        const auto before = syncedStates.constFind(key);
        if (before != syncedStates.cend() && there == currentRows.cend())
            continue; // deleted or downloaded elsewhere
        ResultRow kept = row;
        if (before != syncedStates.cend() && *before == row[ResultRow::State])
            kept[ResultRow::State] = (**there)[ResultRow::State];
        result.append(kept);
    }
    return result;
}
