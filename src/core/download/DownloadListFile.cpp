#include "core/download/DownloadListFile.h"

#include "core/config/AtomicFile.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

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

} // namespace

QByteArray DownloadListFile::path(const QByteArray &workDir)
{
    return workDir + "download.list";
}

DownloadListFile::LoadStatus
DownloadListFile::load(const QByteArray &workDir, QList<ResultRow> *rowsInFileOrder, QString *error)
{
    const auto fail = [error](const QString &reason) {
        if (error)
            *error = reason;
        return LoadStatus::Failed;
    };
    if (error)
        error->clear();
    if (workDir.size() < 2) {
        fputs("load path is too short.", stderr);
        return fail(QStringLiteral("the work directory is not set"));
    }
    const QByteArray listPath = path(workDir);
    fprintf(stderr, "load %s\n", listPath.constData());
    // Nothing at that path (the folder missing too) is the empty list of a
    // first start. Anything else that cannot be read whole is an error: a
    // directory, a pipe that could block, a file without read permission.
    struct stat info;
    if (::stat(listPath.constData(), &info) != 0) {
        const int code = errno;
        fputs("cannot open the file.", stderr);
        if (code == ENOENT || code == ENOTDIR)
            return LoadStatus::Missing;
        return fail(qt_error_string(code));
    }
    if (!S_ISREG(info.st_mode)) {
        fputs("cannot open the file.", stderr);
        return fail(QStringLiteral("not a regular file"));
    }
    QFile file(QFile::decodeName(listPath));
    if (!file.open(QIODevice::ReadOnly)) {
        fputs("cannot open the file.", stderr);
        return fail(file.errorString());
    }
    // Whole lines, however long: a long image address must not split a row.
    // Read to the first empty read, not to the size: a file may show size 0
    // and still hold bytes, or fail at its first read.
    QList<ResultRow> rows;
    for (;;) {
        const QByteArray line = file.readLine();
        if (line.isEmpty())
            break;
        ResultRow row;
        if (parseLine(line, &row))
            rows.append(row);
    }
    if (file.error() != QFileDevice::NoError) {
        fputs("cannot read the file.", stderr);
        return fail(file.errorString());
    }
    rowsInFileOrder->append(rows);
    return LoadStatus::Read;
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

    // The new list replaces the old one only once it is wholly on disk.
    QString error;
    AtomicFile::Failure failure = AtomicFile::Failure::None;
    if (!AtomicFile::write(QFile::decodeName(listPath), bytes, &error, &failure)) {
        if (failure == AtomicFile::Failure::Create)
            fputs("cannot open the file.", stderr);
        else
            fprintf(stderr, "cannot write %s: %s\n", listPath.constData(),
                    error.toLocal8Bit().constData());
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
