#include "core/download/DownloadListFile.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QByteArrayView Separator = "<\t>";
constexpr QByteArrayView LineEnd = "\r\n";

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

// Writes every byte, retrying short writes; false on an error.
bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}

} // namespace

QByteArray DownloadListFile::path(const QByteArray &workDir)
{
    return workDir + "download.list";
}

bool DownloadListFile::load(const QByteArray &workDir, QList<ResultRow> *rowsInFileOrder)
{
    if (workDir.size() < 2) {
        fputs("load path is too short.", stderr);
        return false;
    }
    const QByteArray listPath = path(workDir);
    fprintf(stderr, "load %s\n", listPath.constData());
    QFile file(QFile::decodeName(listPath));
    if (!file.open(QIODevice::ReadOnly)) {
        fputs("cannot open the file.", stderr);
        return false;
    }
    // Whole lines, however long: a long image address must not split a row.
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.isEmpty())
            break;
        ResultRow row;
        if (parseLine(line, &row))
            rowsInFileOrder->append(row);
    }
    return true;
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

    QByteArray tempPath = listPath + ".XXXXXX";
    const int fd = mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) {
        fputs("cannot open the file.", stderr);
        return false;
    }
    // The new list replaces the old one only once it is wholly on disk.
    struct stat old;
    const mode_t mode = stat(listPath.constData(), &old) == 0 ? old.st_mode & 07777 : 0644;
    const bool written = fchmod(fd, mode) == 0 && writeAll(fd, bytes) && fsync(fd) == 0;
    const int error = written ? 0 : errno;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(tempPath.constData(), listPath.constData()) != 0) {
        fprintf(stderr, "cannot write %s: %s\n", listPath.constData(),
                strerror(error ? error : errno));
        unlink(tempPath.constData());
        return false;
    }
    return true;
}

bool DownloadListFile::isListed(const QList<ResultRow> &downloadRows, const ResultRow &hit)
{
    for (const ResultRow &row : downloadRows) {
        if (row[ResultRow::Id] == hit[ResultRow::Id] &&
            row[ResultRow::Type] == hit[ResultRow::Type])
            return true;
    }
    return false;
}
