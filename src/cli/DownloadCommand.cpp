#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"
#include "core/job/Trace.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int PollMs = 100;

// "ID mark", and after the mark of a row that failed its reason and the URL
// it tried last, as one whole line on standard output.
void printMark(const ResultRow &row, const QByteArray &reason, const QByteArray &url, bool live)
{
    // On a terminal the live percentage line is taken away first.
    if (live)
        fputs("\r\033[K", stderr);
    QByteArray line =
        Printable::text(row[ResultRow::Id]) + ' ' + Printable::text(row[ResultRow::State]);
    if (!reason.isEmpty())
        line += ' ' + Printable::text(reason);
    if (!url.isEmpty())
        line += ' ' + Printable::text(url);
    line += '\n';
    fputs(line.constData(), stdout);
    fflush(stdout);
}

// The live line on a terminal: the whole run's percent, then each running
// row's ID and percent, and the speed of them all.
void printRunning(const QList<ResultRow> &rows, const QList<DownloadWorker::RowProgress> &running,
                  int percent)
{
    if (running.isEmpty())
        return;
    QByteArray line = "\r\033[K" + QByteArray::number(percent) + "% " +
                      QByteArray::number(running.size()) + " running";
    qint64 speed = 0;
    for (const DownloadWorker::RowProgress &row : running) {
        line += ' ' + Printable::text(rows[row.index][ResultRow::Id]) + ' ' +
                QByteArray::number(row.percent) + '%';
        speed += row.bytesPerSecond;
    }
    line += ' ' + DownloadWorker::speedText(speed);
    fputs(line.constData(), stderr);
}

// The settled marks, applied to the rows of the list as it is now: rows added
// by another process meanwhile are kept, rows it deleted stay deleted.
std::optional<QList<ResultRow>> withMarks(const QList<ResultRow> &fileRows,
                                          const QList<ResultRow> &settled)
{
    // Shown as the tab shows a loaded list: the file's last row on top.
    QList<ResultRow> rows(fileRows.crbegin(), fileRows.crend());
    for (ResultRow &row : rows) {
        for (const ResultRow &marked : settled) {
            if (DownloadListFile::sameVideo(row, marked))
                row[ResultRow::State] = marked[ResultRow::State];
        }
    }
    return rows;
}

} // namespace

int Cli::download(const QStringList &args)
{
    int jobs = 0;
    int connections = 0;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool isNumber = false;
        bool inRange = false;
        if (args[i] == QLatin1String("--jobs") && i + 1 < args.size()) {
            jobs = args[++i].toInt(&isNumber);
            inRange = jobs >= 1 && jobs <= Settings::MaxJobs;
        } else if (args[i] == QLatin1String("--connections") && i + 1 < args.size()) {
            connections = args[++i].toInt(&isNumber);
            inRange = connections >= 1 && connections <= Settings::MaxConnections;
        }
        if (!isNumber || !inRange) {
            printUsage(stderr);
            return 2;
        }
    }
    Settings settings;
    // For this run only: the record is not marked modified, so not saved.
    if (jobs > 0)
        settings.setJobs(jobs);
    if (connections > 0)
        settings.setConnections(connections);
    const QByteArray workDir = settings.workDir();
    QList<ResultRow> fileRows;
    QString loadError;
    const DownloadListFile::LoadStatus status =
        DownloadListFile::load(workDir, &fileRows, &loadError);
    switch (status) {
    case DownloadListFile::LoadStatus::Read:
        break;
    case DownloadListFile::LoadStatus::Missing:
        fputc('\n', stderr);
        break;
    case DownloadListFile::LoadStatus::Partial:
        // The rows that loaded are downloaded; their marks cannot be saved.
        fprintf(stderr, "%s: %s\n", DownloadListFile::path(workDir).constData(),
                loadError.toLocal8Bit().constData());
        break;
    case DownloadListFile::LoadStatus::Failed:
        fputc('\n', stderr);
        return 1;
    }

    // The tab puts each loaded row at the head: the file's last row is on top.
    QList<ResultRow> rows(fileRows.crbegin(), fileRows.crend());
    QList<bool> reported(rows.size(), false);
    QList<ResultRow> settled;
    const bool live = isatty(STDERR_FILENO);
    int endCode = 0;
    {
        DownloadWorker job(&settings, rows);
        auto takeMarks = [&] {
            for (const DownloadWorker::RowMark &mark : job.takeMarks()) {
                rows[mark.index][ResultRow::State] = mark.mark;
                reported[mark.index] = true;
                settled.append(rows[mark.index]);
                printMark(rows[mark.index], mark.reason, mark.url, live);
            }
        };
        while (!job.waitFinished(PollMs)) {
            if (InterruptFlag::raised())
                job.requestStop();
            takeMarks();
            if (live)
                printRunning(rows, job.rowProgress(), job.progress.load());
        }
        takeMarks();
        endCode = job.resultCode.load();
    }
    Trace::print("download thread endcode=%d\n", endCode);

    bool allDone = true;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (!reported[i])
            printMark(rows[i], QByteArray(), QByteArray(), live);
        allDone = allDone && rows[i][ResultRow::State] == "o";
    }
    QString saveError;
    const bool saved = DownloadListFile::update(
        workDir, [&settled](const QList<ResultRow> &now) { return withMarks(now, settled); },
        &saveError);
    if (!saved) {
        fprintf(stderr, "\n%s was not saved: %s\n", DownloadListFile::path(workDir).constData(),
                saveError.toLocal8Bit().constData());
    }
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    return allDone && saved ? 0 : 1;
}
