#pragma once

#include "core/job/ResultRow.h"
#include "core/job/Worker.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class CookieJar;
class Engine;
class HttpClient;

// The download job. It works on a copy of the download list's rows, taken
// when the job starts, on up to Settings::jobs() rows at the same time,
// starting them top to bottom: for each row not marked "o" it resolves the
// video's address through the row's engine stages, streams the video into
// work directory + engine id + "/" + ID + extension, writes the title file
// beside it, and settles the row as "o" or "x". Two rows that name the same
// video file never run at once: the lower one waits for the upper one. It
// touches no widget: each settled row's mark is queued for the owner, who
// takes it with takeMarks(), together with the reason a failed row failed.
//
// Each row that may run at once has a client and a cookie jar of its own,
// kept for the job's life and in memory only: the cookies a stage page sets
// go with the row's later stages, its video fetch and the rows that run
// after it in its place, never with a row running beside it. Every request of a row after its first
// carries the URL of the one before in "Referer:".
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
// A row's own progress (rowProgress()) is 1 while its address is resolved,
// the percent of the whole video on disk while it arrives, and 100 once its
// body has ended. `progress` is the whole run's: the rows' percents weighed
// by their videos' lengths where known, else their mean. `resultCode` is the
// code of the last request or receive step of any row. A stop ends every
// running row: one stopped in its stage chain keeps its mark, one stopped
// in its video fetch is "x" and keeps its ".part". run() returns 1 when it
// ended on a stop request before a row's start or in a stage chain, else 0.
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

    // A running row as the owner sees it.
    struct RowProgress
    {
        int index = -1;            // into the rows given to the constructor
        int percent = 0;           // as `progress` is for a single row
        qint64 bytesPerSecond = 0; // the video's recent speed, 0 before its body
        qint64 length = -1;        // the video's length in bytes, -1 while unknown
        bool operator==(const RowProgress &) const = default;
    };
    // The rows running now, top to bottom. Any thread.
    QList<RowProgress> rowProgress() const;
    // A speed as people read it: "512 B/s", "1.5 kB/s", "2.4 MB/s".
    static QByteArray speedText(qint64 bytesPerSecond);

    // Where a download of the row puts its video: work directory + engine
    // id + "/" + ID + extension. Empty when the row's engine is not loaded
    // or the row names a file the job would refuse to write.
    static QByteArray videoPath(const Settings &settings, const ResultRow &row);

    // Index of the row started last, -1 before the first.
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
    // One running row: its client, cookie jar, last URL and progress.
    struct Lane;

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

    // The row's video file name in its engine folder: ID + extension.
    static QByteArray videoName(const ResultRow &row, const Engine &engine);

    RowResult processRow(Lane &lane, const ResultRow &row);
    // The row's engine must be there with its stages, and the file names the
    // row leads to must stay inside the work directory.
    RowResult checkRow(const ResultRow &row, const Engine *engine) const;
    // The stage chain (StageChain): carries `workText` from the ID through every stage.
    RowResult resolve(Lane &lane, const Engine &engine, QByteArray &workText);
    // The video fetch, tried again as the engine allows, and the files it leaves.
    RowResult fetchVideo(Lane &lane, const Engine &engine, const ResultRow &row,
                         const QByteArray &workText);
    // Gives the complete video its name and writes the title file beside it.
    RowResult finishVideo(const ResultRow &row, PartFile &part);
    // One request for the video and its body, resuming the ".part" file when
    // it holds bytes, and asking again while ranges come back short.
    Try fetchOnce(Lane &lane, const QByteArray &url, PartFile &part);
    // Asks for the video from the end of the ".part" on. A server that does
    // not continue those bytes starts the video over; a ".part" that holds
    // the whole video already completes the try.
    Answer requestVideo(Lane &lane, const QByteArray &url, PartFile &part);
    // The answer at hand taken as the whole video from its first byte, or
    // the failure its status means.
    Answer wholeAnswer(Lane &lane);
    // One request for the video; `ranged`: from byte `from` on, if the
    // server's copy still has `validator` ("If-Range"). The range headers
    // are cleared again for the requests that follow.
    int requestFrom(Lane &lane, const QByteArray &url, qint64 from, const QByteArray &validator,
                    bool ranged);
    // Several connections: asks for the video from its first missing byte
    // on and, when the server answers that range and the video is long
    // enough, fetches the missing ranges over up to connectionsFor() clients
    // at once. Nothing when the video goes over one connection instead; then
    // *inHand is the answer to go on from when it can be used (a server
    // that ignored the range, a short video), else the video is asked again.
    std::optional<Try> fetchRanges(Lane &lane, const QByteArray &url, PartFile &part, int round,
                                   std::optional<Answer> *inHand);
    // Fetches `pieces` of a video of `total` bytes whose ranges `done` are
    // on disk, one connection per piece at first; a connection whose piece
    // is done takes the unfetched half of the piece with the most left, so
    // all of them end together.
    Try fetchPieces(Lane &lane, const QByteArray &url, PartFile &part, const QByteArray &validator,
                    qint64 total, const QList<std::pair<qint64, qint64>> &done,
                    const QList<std::pair<qint64, qint64>> &pieces);
    // The row's connections: the setting, or the engine's max_connections:: when smaller.
    int connectionsFor(const Engine &engine) const;
    // Up to `wanted` (at least 1) of the connections one host may take, jobs x connections.
    int takeHostConnections(const QByteArray &host, int wanted);
    void releaseHostConnections(const QByteArray &host, int count);
    // Streams the answered body into the ".part" file after its first `offset` bytes.
    Try streamBody(Lane &lane, PartFile &part, const Answer &answer);
    // Receives until the body ends, a write fails or a stop comes; false
    // when a write failed. *received is the last receive code.
    bool receiveBody(Lane &lane, PartFile &part, const Answer &answer, int *received);
    // The video fetch answered with an HLS playlist: HlsDownload fills the
    // ".part" from its segments, and the row ends there.
    Try fetchStream(Lane &lane, PartFile &part);
    // Prints a row's line and queues its mark.
    void settle(const Lane &lane, int index, const RowResult &result);
    // Works on rows until none is left or a stop comes; true when a row's
    // stage chain was stopped.
    bool runLane(Lane &lane);
    // The next row to start, top first, whose video no running row names;
    // waits while only such rows are left. False when none is left or a
    // stop came.
    bool takeRow(int *index);
    // The row ended: its video may start again in another row.
    void releaseRow(int index);
    // Sets a lane's row percent and the whole run's `progress`.
    void setPercent(Lane &lane, int percent);
    void updateProgress();
    // The row ended: its share of `progress` stays with the settled rows.
    void retire(Lane &lane);

    QList<ResultRow> m_rows;
    std::vector<std::unique_ptr<Lane>> m_lanes; // one per row that may run at once
    std::mutex m_marksMutex;
    QList<RowMark> m_marks;
    // Engine id + "/" + video name of every row, whatever its mark.
    QSet<QByteArray> m_videoNames;
    // The rows' video keys (engine id + "/" + video name), by index.
    QList<QByteArray> m_videoKeys;

    std::mutex m_queueMutex;
    std::condition_variable m_queueWake;
    QList<int> m_pending;           // rows not started yet, top to bottom
    QSet<QByteArray> m_runningKeys; // video keys of the running rows

    std::mutex m_hostMutex;
    QHash<QByteArray, int> m_hostConnections; // connections held per host

    mutable std::mutex m_progressMutex;
    // The ended rows' share of `progress`: sums of length x percent and of
    // lengths where known, of percents and rows.
    qint64 m_endedWeighted = 0;
    qint64 m_endedLength = 0;
    qint64 m_endedPercents = 0;
    int m_endedRows = 0;
};
