#pragma once

#include "core/job/ResultRow.h"
#include "core/job/Worker.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

class CookieJar;
class Engine;
class HttpClient;

// The download job. It works on a copy of the download list's rows, top to
// bottom, taken when the job starts: for each row not marked "o" it resolves
// the video's address through the row's engine stages, streams the video into
// work directory + engine id + "/" + ID + extension, writes the title file
// beside it, and settles the row as "o" or "x". It touches no widget: each
// settled row's mark is queued for the owner, who takes it with takeMarks(),
// together with the reason a failed row failed.
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

    // A settled row as the owner sees it.
    struct RowMark
    {
        int index = -1;    // into the rows given to the constructor
        QByteArray mark;   // the new column-0 text, "o" or "x"
        QByteArray reason; // why an "x" row failed (local 8-bit); empty for "o"

        bool operator==(const RowMark &) const = default;
    };

    // The marks settled since the last call, in the order the rows settled.
    // Any thread.
    QList<RowMark> takeMarks();

    // Index of the row being worked on, -1 before the first.
    std::atomic<int> currentRow{-1};

private:
    // How one row's processing ended. A failed row is marked "x" with its
    // reason; a stopped one keeps its mark and ends the run.
    struct RowResult
    {
        enum Status { Done, Failed, Stopped };
        // How a failure shows on standard error: not at all, as the reason
        // alone, or as "download failed: " and the reason.
        enum Line { NoLine, ReasonLine, DownloadFailedLine };

        Status status = Done;
        QByteArray reason;
        Line line = NoLine;

        static RowResult done() { return {}; }
        static RowResult stopped() { return {Stopped, {}, NoLine}; }
        // The reason names its own step ("stage 1: ...", "unsafe file name: ...").
        static RowResult failedAt(QByteArray reason) { return {Failed, reason, ReasonLine}; }
        static RowResult failed(QByteArray reason) { return {Failed, reason, DownloadFailedLine}; }
        // A stop once the video fetch was under way: its bytes stay in the
        // ".part" file and the row is not done.
        static RowResult cutByStop() { return {Failed, QByteArrayLiteral("stopped"), NoLine}; }

        // The one place a failed row's line goes to standard error.
        void printLine() const;
    };

    // How one try of the video fetch ended. A Transient try may be tried
    // again and `code` holds the failing request or receive code; a Settled
    // one ends the row as `row` says.
    struct Try
    {
        enum Kind { Complete, Transient, Settled };

        Kind kind = Complete;
        int code = 0;
        RowResult row;

        static Try transient(int code) { return {Transient, code, {}}; }
        static Try settled(RowResult row) { return {Settled, 0, std::move(row)}; }
    };

    // Where the video fetch stands once its request was answered: the body
    // continues the first `offset` bytes on disk, unless the try ended there.
    struct Answer
    {
        qint64 offset = 0;
        std::optional<Try> end;
    };

    class PartFile;

    RowResult processRow(const ResultRow &row);
    // The row's engine must be there with its stages, and the file names the
    // row leads to must stay inside the work directory.
    RowResult checkRow(const ResultRow &row, const Engine *engine) const;
    // The stage chain: carries `workText` from the ID through every stage.
    RowResult resolve(const Engine &engine, QByteArray &workText);
    // Requests one stage's page and reads it whole into *page (a page cut
    // short too); *code is the fetch's code.
    RowResult fetchStagePage(int stage, const QByteArray &url, QByteArray *page, int *code);
    // The video fetch, tried again as the engine allows, and the files it leaves.
    RowResult fetchVideo(const Engine &engine, const ResultRow &row, const QByteArray &workText);
    // Gives the complete video its name and writes the title file beside it.
    RowResult finishVideo(const ResultRow &row, const QByteArray &videoPath);
    // One request for the video and its body, resuming the ".part" file when
    // it holds bytes.
    Try fetchOnce(const QByteArray &url, const QByteArray &videoPath);
    // Asks for the video from `offset` on. A server that does not continue
    // those bytes starts the video over; a ".part" that holds the whole
    // video already completes the try.
    Answer requestVideo(const QByteArray &url, qint64 offset);
    // Streams the answered body into the ".part" file after its first `offset` bytes.
    Try streamBody(const QByteArray &videoPath, qint64 offset);
    // Receives until the body ends, a write fails or a stop comes; false
    // when a write failed. *received is the last receive code.
    bool receiveBody(PartFile &part, qint64 offset, int *received);
    // Prints a failed row's line and queues its mark.
    void settle(int index, const RowResult &result);

    QList<ResultRow> m_rows;
    std::unique_ptr<CookieJar> m_jar; // outlives the client that points to it
    std::unique_ptr<HttpClient> m_http;
    std::mutex m_marksMutex;
    QList<RowMark> m_marks;
};
