#pragma once

#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <QByteArray>

// Rows of the download tests and their lines in "download.list".
namespace TestRows {

// A row of that engine type: title "Title <id>", time "1:00", user
// "someone", image "http://img.example/<id>.jpg".
ResultRow makeRow(const QByteArray &state, const QByteArray &id,
                  const QByteArray &type = QByteArrayLiteral("tube"));
// The row as a line of "download.list": each text followed by "<\t>", then CRLF.
QByteArray listLine(const ResultRow &row);

} // namespace TestRows

// How QCOMPARE shows a settled row: index, mark and the quoted reason.
char *toString(const DownloadWorker::RowMark &mark);
