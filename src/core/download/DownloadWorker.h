#pragma once

#include "core/job/ResultRow.h"
#include "core/job/Worker.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

class CookieJar;
class Engine;
class HttpClient;

// The download job. It works on a copy of the download list's rows, top to
// bottom, taken when the job starts: for each row not marked "o" it resolves
// the video's address through the row's engine stages, streams the video into
// work directory + engine id + "/" + ID + extension, writes the title file
// beside it, and settles the row as "o" or "x". It touches no widget: each
// settled row's mark is queued for the owner, who takes it with takeMarks().
//
// The job keeps one cookie jar for its life, in memory only: the cookies a
// stage page sets go with the later stages and the video fetch. Every request
// of a row after its first carries the URL of the one before in "Referer:".
//
// A video is streamed into its path plus ".part". When that file is there
// already (a run that was cut off), the video fetch asks for the rest with
// "Range:"; an answer that does not continue those bytes starts the video
// over (at most one request more). After a network failure, a time-out or a
// body cut short, the video fetch is tried again "dowuload_retry::" times,
// each try resuming the ".part" after a pause that doubles from one second up
// to thirty; a stop ends the pause at once.
//
// `progress` is 1 while a row's address is resolved, the percent of the whole
// video on disk while it arrives, and 100 once its body has ended.
// `resultCode` is the code of the last request or receive step. run()
// returns 1 when it ended on a stop request at a row's start or in a stage
// chain, else 0.
class DownloadWorker : public Worker
{
public:
    // Video bytes are written out whenever more than this many are buffered.
    static constexpr int FlushThreshold = 32768;
    // The pause before retry k (from 1) is 2^(k-1) units, at most this many.
    static constexpr int MaxPauseUnits = 30;

    DownloadWorker(Settings *settings, QList<ResultRow> rowsTopToBottom);
    ~DownloadWorker() override;

    int run() override;

    // The pause before retry `retry` (from 1).
    static std::chrono::milliseconds retryPause(int retry);
    // The unit of the pauses between tries: one second, shorter in tests.
    static void setRetryPauseUnitForTests(std::chrono::milliseconds unit);

    // The marks settled since the last call: row index (into the rows given
    // to the constructor) and the new column-0 text. Any thread.
    QList<std::pair<int, QByteArray>> takeMarks();

    // Index of the row being worked on, -1 before the first.
    std::atomic<int> currentRow{-1};

private:
    enum class Outcome { Done, Failed, Stopped };
    // How one try of the video fetch ended; Transient may be tried again.
    enum class Try { Complete, Failed, Transient };

    Outcome processRow(const ResultRow &row);
    // The stage chain: carries `workText` from the ID through every stage.
    Outcome resolve(const Engine &engine, QByteArray &workText);
    // The final fetch of the video into its file.
    Outcome fetchVideo(const Engine &engine, const ResultRow &row, const QByteArray &workText);
    // One request for the video and its body, resuming the ".part" file when
    // it holds bytes. *code receives the failing request or receive code.
    Try fetchOnce(const QByteArray &url, const QByteArray &videoPath, int *code);
    void pushMark(int index, const QByteArray &mark);

    QList<ResultRow> m_rows;
    std::unique_ptr<CookieJar> m_jar; // outlives the client that points to it
    std::unique_ptr<HttpClient> m_http;
    std::mutex m_marksMutex;
    QList<std::pair<int, QByteArray>> m_marks;
};
