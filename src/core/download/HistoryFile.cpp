#include "core/download/HistoryFile.h"

#include "core/config/Descriptor.h"
#include "core/config/PlainFile.h"

#include <QDateTime>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int FieldCount = 5;

QByteArray safeField(QByteArray text)
{
    for (char &c : text) {
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

QString errnoText(int code)
{
    return QString::fromLocal8Bit(strerror(code));
}

// An error from opening with O_NOFOLLOW, told as a user reads it.
QString openError(int code)
{
    return code == ELOOP ? QStringLiteral("the file is a symbolic link") : errnoText(code);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    // One write() of the whole line: with O_APPEND it lands in one piece.
    for (;;) {
        const ssize_t written = ::write(fd, bytes.constData(), size_t(bytes.size()));
        if (written < 0 && errno == EINTR)
            continue;
        if (written == bytes.size())
            return true;
        if (written >= 0)
            errno = ENOSPC;
        return false;
    }
}

bool parseLine(const QByteArray &line, HistoryFile::Entry *entry)
{
    const QByteArrayList fields = line.split('\t');
    if (fields.size() != FieldCount)
        return false;
    *entry = {fields[0], fields[1], fields[2], fields[3], fields[4]};
    return !entry->engineId.isEmpty() && !entry->id.isEmpty() && !entry->file.isEmpty() &&
           QDateTime::fromString(QString::fromLatin1(entry->date), Qt::ISODate).isValid();
}

} // namespace

QByteArray HistoryFile::path(const QByteArray &workDir)
{
    return workDir + "history.list";
}

QByteArray HistoryFile::now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1();
}

QByteArray HistoryFile::lineOf(const Entry &entry)
{
    return safeField(entry.engineId) + '\t' + safeField(entry.id) + '\t' + safeField(entry.title) +
           '\t' + safeField(entry.file) + '\t' + safeField(entry.date) + '\n';
}

bool HistoryFile::append(const QByteArray &workDir, const Entry &entry, QString *error)
{
    if (workDir.size() < 2)
        return fail(error, QStringLiteral("no work directory"));
    const QByteArray filePath = path(workDir);
    const Descriptor fd(::open(filePath.constData(),
                               O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                               0644));
    if (!fd.isOpen())
        return fail(error, openError(errno));
    struct stat info;
    if (::fstat(fd.get(), &info) != 0)
        return fail(error, errnoText(errno));
    if (const QString why = PlainFile::refusal(info); !why.isNull())
        return fail(error, why);
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return fail(error, errnoText(errno));
    }
    QByteArray line = lineOf(entry);
    // A line cut short (a crash, a full disk) must not swallow this one.
    if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
        char last = '\n';
        if (::pread(fd.get(), &last, 1, info.st_size - 1) == 1 && last != '\n')
            line.prepend('\n');
    }
    if (!writeAll(fd.get(), line))
        return fail(error, errnoText(errno));
    return true; // closing the descriptor releases the lock
}

HistoryFile::LoadStatus HistoryFile::load(const QByteArray &workDir, QList<Entry> *entries,
                                          QString *error)
{
    if (workDir.size() < 2) {
        fail(error, QStringLiteral("no work directory"));
        return LoadStatus::Failed;
    }
    const QByteArray filePath = path(workDir);
    const Descriptor fd(
        ::open(filePath.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isOpen()) {
        if (errno == ENOENT)
            return LoadStatus::Missing;
        fail(error, openError(errno));
        return LoadStatus::Failed;
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) {
        fail(error, errnoText(errno));
        return LoadStatus::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        fail(error, QStringLiteral("not a regular file"));
        return LoadStatus::Failed;
    }
    if (info.st_size > MaxFileBytes) {
        fail(error, QStringLiteral("larger than %1 bytes").arg(MaxFileBytes));
        return LoadStatus::Failed;
    }
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail(error, errnoText(errno));
            return LoadStatus::Failed;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
        if (bytes.size() > MaxFileBytes) {
            fail(error, QStringLiteral("larger than %1 bytes").arg(MaxFileBytes));
            return LoadStatus::Failed;
        }
    }
    const QByteArrayList lines = bytes.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line.isEmpty())
            continue;
        Entry entry;
        if (parseLine(line, &entry))
            entries->append(entry);
        else
            fprintf(stderr, "%s:%lld: broken history line skipped\n", filePath.constData(),
                    static_cast<long long>(i + 1));
    }
    return LoadStatus::Read;
}

QByteArray HistoryFile::keyOf(const QByteArray &engineId, const QByteArray &id)
{
    return engineId + '\t' + id;
}

QHash<QByteArray, QByteArray> HistoryFile::dates(const QList<Entry> &entries)
{
    QHash<QByteArray, QByteArray> latest;
    for (const Entry &entry : entries) {
        QByteArray &date = latest[keyOf(entry.engineId, entry.id)];
        if (entry.date > date)
            date = entry.date;
    }
    return latest;
}

QHash<QByteArray, QByteArray> HistoryFile::downloadedDates(const QByteArray &workDir)
{
    if (workDir.size() < 2)
        return {};
    QList<Entry> entries;
    QString error;
    if (load(workDir, &entries, &error) == LoadStatus::Failed) {
        fprintf(stderr, "cannot read the history %s: %s\n", path(workDir).constData(),
                error.toLocal8Bit().constData());
        return {};
    }
    return dates(entries);
}
