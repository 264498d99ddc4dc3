#pragma once

#include "core/job/ResultRow.h"
#include "core/job/Worker.h"

#include <QByteArray>
#include <QList>
#include <QSet>
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
// The engine folder and every file the job writes in it are opened without
// following links: a link, a folder entry that is no plain file, or a file
// with a second hard link is refused, so nothing planted in the work
// directory can lead the bytes elsewhere. An engine id names that folder and
// is refused unless it is a plain name (see Engine::isSafeId()).
//
// A video is streamed into its path plus ".part". When that file is there
// already (a run that was cut off), the video fetch asks for the rest with
// "Range:" and "If-Range:", the latter holding the validator (ETag, else
// Last-Modified) kept with the video's total length in "<video>.part.meta"
// beside it; without one kept, or when the answer is the whole video or
// another total, the video starts over (at most one request more). A range
// answered short is asked for again from where it ended. After a network
// failure, a time-out or a body cut short, the video fetch is tried again
// "dowuload_retry::" times (at most Engine::MaxRetries), each try resuming the
// ".part" after a pause that doubles from one second up to thirty; a stop
// ends the pause at once.
//
// A video fetch whose body begins with "#EXTM3U" is an HLS stream:
// HlsDownload fills the ".part" from the playlist's segments and keeps its
// progress in the ".part.meta" (see HlsDownload.h).
//
// A ".part" is worked on by one process at a time: the job holds an advisory
// lock on it, and a row whose ".part" another process holds is passed over
// with its mark unchanged and the reason "in use by another Zindle".
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
        // The URL may be left out: marks are written {index, mark, reason}.
        RowMark(int index = -1, QByteArray mark = {}, QByteArray reason = {}, QByteArray url = {})
            : index(index), mark(std::move(mark)), reason(std::move(reason)), url(std::move(url))
        {}

        int index;       // into the rows given to the constructor
        QByteArray mark; // the new column-0 text: "o", "x", or the old one for a row passed over
        // Why an "x" row failed or a row was passed over, or what an "o" row
        // lacks (its title file); local 8-bit, empty when there is nothing to say.
        QByteArray reason;
        // For a row not marked "o": the last URL requested for it, after
        // redirects; empty when none was.
        QByteArray url;

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
        // Skipped: passed over with its mark unchanged, the run goes on.
        enum Status { Done, Failed, Stopped, Skipped };
        // How a failure shows on standard error: not at all, as the reason
        // alone, or as "download failed: " and the reason.
        enum Line { NoLine, ReasonLine, DownloadFailedLine };

        Status status = Done;
        QByteArray reason;
        Line line = NoLine;

        static RowResult done() { return {}; }
        // Done, but with something to say: a title file left out.
        static RowResult doneWithNote(QByteArray note) { return {Done, note, ReasonLine}; }
        static RowResult skipped(QByteArray reason) { return {Skipped, reason, ReasonLine}; }
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

    class PartFile;

    // Where the video fetch stands once its request was answered: the body
    // continues the first `offset` bytes on disk up to `until` (exclusive;
    // -1 when unknown), of a video of `total` bytes (-1 when unknown),
    // unless the try ended there.
    struct Answer
    {
        qint64 offset = 0;
        qint64 until = -1;
        qint64 total = -1;
        std::optional<Try> end;
    };

    RowResult processRow(const ResultRow &row);
    // The row's engine must be there with its stages, and the file names the
    // row leads to must stay inside the work directory.
    RowResult checkRow(const ResultRow &row, const Engine *engine) const;
    // The stage chain (StageChain): carries `workText` from the ID through every stage.
    RowResult resolve(const Engine &engine, QByteArray &workText);
    // The video fetch, tried again as the engine allows, and the files it leaves.
    RowResult fetchVideo(const Engine &engine, const ResultRow &row, const QByteArray &workText);
    // Gives the complete video its name and writes the title file beside it.
    RowResult finishVideo(const ResultRow &row, PartFile &part);
    // One request for the video and its body, resuming the ".part" file when
    // it holds bytes, and asking again while ranges come back short.
    Try fetchOnce(const QByteArray &url, PartFile &part);
    // Asks for the video from the end of the ".part" on. A server that does
    // not continue those bytes starts the video over; a ".part" that holds
    // the whole video already completes the try.
    Answer requestVideo(const QByteArray &url, PartFile &part);
    // Streams the answered body into the ".part" file after its first `offset` bytes.
    Try streamBody(PartFile &part, const Answer &answer);
    // Receives until the body ends, a write fails or a stop comes; false
    // when a write failed. *received is the last receive code.
    bool receiveBody(PartFile &part, const Answer &answer, int *received);
    // The video fetch answered with an HLS playlist: HlsDownload fills the
    // ".part" from its segments, and the row ends there.
    Try fetchStream(PartFile &part);
    // Prints a row's line and queues its mark.
    void settle(int index, const RowResult &result);

    QList<ResultRow> m_rows;
    std::unique_ptr<CookieJar> m_jar; // outlives the client that points to it
    std::unique_ptr<HttpClient> m_http;
    std::mutex m_marksMutex;
    QList<RowMark> m_marks;
    // Engine id + "/" + video name of every row, whatever its mark.
    QSet<QByteArray> m_videoNames;
    QByteArray m_rowUrl;              // the last URL requested for the current row
    const Engine *m_engine = nullptr; // the current row's, during its video fetch
    const ResultRow *m_row = nullptr;
};
