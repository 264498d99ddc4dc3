#pragma once

#include "app/ResultRow.h"
#include "app/Worker.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

class Engine;
class HttpClient;

// The download job. It works on a copy of the download list's rows, top to
// bottom, taken when the job starts: for each row not marked "o" it resolves
// the video's address through the row's engine stages, streams the video into
// work directory + engine id + "/" + ID + extension, writes the title file
// beside it, and settles the row as "o" or "x". It touches no widget: each
// settled row's mark is queued for the owner, who takes it with takeMarks().
//
// `progress` is 1 while a row's address is resolved, the percent of the video
// received while it arrives, and 100 once its body has ended. `resultCode` is
// the code of the last request or receive step. run() returns 1 when it ended
// on a stop request at a row's start or in a stage chain, else 0.
class DownloadWorker : public Worker
{
public:
    // Video bytes are written out whenever more than this many are buffered.
    static constexpr int FlushThreshold = 32768;

    DownloadWorker(Settings *settings, QList<ResultRow> rowsTopToBottom);
    ~DownloadWorker() override;

    int run() override;

    // The marks settled since the last call: row index (into the rows given
    // to the constructor) and the new column-0 text. Any thread.
    QList<std::pair<int, QByteArray>> takeMarks();

    // Index of the row being worked on, -1 before the first.
    std::atomic<int> currentRow{-1};

private:
    enum class Outcome { Done, Failed, Stopped };

    Outcome processRow(const ResultRow &row);
    // The stage chain: carries `workText` from the ID through every stage.
    Outcome resolve(const Engine &engine, QByteArray &workText);
    // The final fetch of the video into its file.
    Outcome fetchVideo(const Engine &engine, const ResultRow &row, const QByteArray &workText);
    void pushMark(int index, const QByteArray &mark);

    QList<ResultRow> m_rows;
    std::unique_ptr<HttpClient> m_http;
    std::mutex m_marksMutex;
    QList<std::pair<int, QByteArray>> m_marks;
};
