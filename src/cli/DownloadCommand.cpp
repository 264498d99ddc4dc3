#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int PollMs = 100;

// "ID mark", and the reason after the mark of a row that failed.
void printMark(const ResultRow &row, const QByteArray &reason, bool live)
{
    // On a terminal the mark replaces the live percentage line.
    fprintf(stderr, "%s%s %s%s%s\n", live ? "\r\033[K" : "", row[ResultRow::Id].constData(),
            row[ResultRow::State].constData(), reason.isEmpty() ? "" : " ", reason.constData());
}

} // namespace

int Cli::download(const QStringList &args)
{
    if (!args.isEmpty()) {
        printUsage(stderr);
        return 2;
    }
    Settings settings;
    const QByteArray workDir = settings.workDir();
    QList<ResultRow> fileRows;
    const DownloadListFile::LoadStatus status = DownloadListFile::load(workDir, &fileRows);
    if (status != DownloadListFile::LoadStatus::Read) {
        fputc('\n', stderr);
        if (status == DownloadListFile::LoadStatus::Failed)
            return 1;
    }

    // The tab puts each loaded row at the head: the file's last row is on top.
    QList<ResultRow> rows(fileRows.crbegin(), fileRows.crend());
    QList<bool> reported(rows.size(), false);
    const bool live = isatty(STDERR_FILENO);
    int endCode = 0;
    {
        DownloadWorker job(&settings, rows);
        auto takeMarks = [&] {
            for (const DownloadWorker::RowMark &settled : job.takeMarks()) {
                rows[settled.index][ResultRow::State] = settled.mark;
                reported[settled.index] = true;
                printMark(rows[settled.index], settled.reason, live);
            }
        };
        while (!job.waitFinished(PollMs)) {
            if (InterruptFlag::raised())
                job.requestStop();
            takeMarks();
            const int current = job.currentRow.load();
            if (live && current >= 0)
                fprintf(stderr, "\r\033[K%s %d%%", rows[current][ResultRow::Id].constData(),
                        job.progress.load());
        }
        takeMarks();
        endCode = job.resultCode.load();
    }
    fprintf(stderr, "download thread endcode=%d\n", endCode);

    bool allDone = true;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (!reported[i])
            printMark(rows[i], QByteArray(), live);
        allDone = allDone && rows[i][ResultRow::State] == "o";
    }
    const bool saved = DownloadListFile::save(workDir, rows);
    if (!saved)
        fputc('\n', stderr);
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    return allDone && saved ? 0 : 1;
}
