#include "cli/Commands.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int PollMs = 100;

void printMark(const ResultRow &row, bool live)
{
    // On a terminal the mark replaces the live percentage line.
    fprintf(stderr, "%s%s %s\n", live ? "\r\033[K" : "", row[ResultRow::Id].constData(),
            row[ResultRow::State].constData());
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
            for (const auto &[index, mark] : job.takeMarks()) {
                rows[index][ResultRow::State] = mark;
                reported[index] = true;
                printMark(rows[index], live);
            }
        };
        while (!job.waitFinished(PollMs)) {
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
            printMark(rows[i], live);
        allDone = allDone && rows[i][ResultRow::State] == "o";
    }
    const bool saved = DownloadListFile::save(workDir, rows);
    if (!saved)
        fputc('\n', stderr);
    return allDone && saved ? 0 : 1;
}
