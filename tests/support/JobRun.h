#pragma once

#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Runs a download job over rows, with the settings of a directory, to its
// end and collects what it did; standard error is captured meanwhile.
//
//     const JobRun::Result run = JobRun::download(dir, {makeRow("H", "ab12")}, FinishMs);
//     QVERIFY(run.finished);
//     QCOMPARE(run.marks, (Marks{{0, "o", {}}}));
namespace JobRun {

struct Result
{
    // False when the job did not end in time; it was stopped then, and
    // nothing else is filled in.
    bool finished = false;
    QList<DownloadWorker::RowMark> marks;
    int resultCode = 0;
    int progress = 0;
    // What was written on standard error.
    QByteArray errors;
};

Result download(const QString &dir, const QList<ResultRow> &rows, int timeoutMs);

} // namespace JobRun
