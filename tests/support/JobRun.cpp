#include "JobRun.h"

#include "StderrCapture.h"
#include "core/config/Settings.h"

JobRun::Result JobRun::download(const QString &dir, const QList<ResultRow> &rows, int timeoutMs)
{
    Settings settings(dir);
    StderrCapture capture;
    Result result;
    {
        DownloadWorker job(&settings, rows);
        if (!job.waitFinished(timeoutMs))
            return result;
        result.finished = true;
        result.marks = job.takeMarks();
        result.resultCode = job.resultCode.load();
        result.progress = job.progress.load();
    }
    result.errors = capture.text();
    return result;
}
