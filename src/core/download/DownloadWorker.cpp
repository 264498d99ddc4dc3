#include "core/download/DownloadWorker.h"

#include "core/config/AtomicFile.h"
#include "core/config/Descriptor.h"
#include "core/config/Engine.h"
#include "core/config/PlainFile.h"
#include "core/config/Settings.h"
#include "core/download/HistoryFile.h"
#include "core/download/HlsDownload.h"
#include "core/download/StageChain.h"
#include "core/extract/TextTools.h"
#include "core/job/Trace.h"
#include "core/net/Connection.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

bool isControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// IDs come from web pages; each must stay one path component inside the
// engine folder.
bool isSafeComponent(const QByteArray &name)
{
    if (name.isEmpty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        if (c == '/' || c == '\\' || isControl(c))
            return false;
    }
    return true;
}

// The extension is appended to the ID, so only separators and control bytes matter.
bool isSafeExtension(const QByteArray &ext)
{
    for (const char c : ext) {
        if (c == '/' || c == '\\' || isControl(c))
            return false;
    }
    return true;
}

std::atomic<qint64> retryPauseUnitMs{1000};

// A row's speed is measured over at least this long.
constexpr qint64 SpeedSampleMs = 500;

// Codes of a failure that a later try may not meet again: no connection, a
// write that failed, no header in time, a body cut short or stalled. A bad
// URL, a refused certificate or a redirect loop stay as they are.
bool isTransient(int code)
{
    return code == ResultCode::ConnectFailed || code == ResultCode::SendFailed ||
           code == ResultCode::NoHeader || code == ResultCode::BodyStopped;
}

// The value of the header line with that name (any case, at a line start),
// without surrounding blanks; null when there is none.
QByteArray headerValue(const QByteArray &header, QByteArrayView name)
{
    for (const QByteArray &line : header.split('\n')) {
        if (line.size() > name.size() && line[name.size()] == ':' &&
            QByteArrayView(line).first(name.size()).compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(name.size() + 1).trimmed();
    }
    return QByteArray();
}

qint64 parseCount(const QByteArray &text, bool *ok)
{
    *ok = !text.isEmpty();
    for (const char c : text)
        *ok = *ok && c >= '0' && c <= '9';
    const qint64 value = *ok ? text.toLongLong(ok) : -1;
    return *ok ? value : -1;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", giving -1) or "bytes */TOTAL"
// (first and last are then -1). False for anything else.
bool parseContentRange(const QByteArray &text, qint64 *first, qint64 *last, qint64 *total)
{
    const QByteArray value = text.simplified();
    if (value.size() < 6 || qstrnicmp(value.constData(), "bytes ", 6) != 0)
        return false;
    const QByteArray range = value.mid(6);
    const qsizetype slash = range.indexOf('/');
    if (slash < 0)
        return false;
    const QByteArray span = range.left(slash);
    const QByteArray totalText = range.mid(slash + 1);
    bool ok = true;
    *total = totalText == "*" ? -1 : parseCount(totalText, &ok);
    if (!ok)
        return false;
    if (span == "*") {
        *first = *last = -1;
        return *total >= 0;
    }
    const qsizetype dash = span.indexOf('-');
    if (dash <= 0)
        return false;
    bool lastOk = false;
    *first = parseCount(span.left(dash), &ok);
    *last = parseCount(span.mid(dash + 1), &lastOk);
    return ok && lastOk && *first <= *last && (*total < 0 || *last < *total);
}

// What the ".part.meta" file beside a ".part" keeps: the validator of the
// server's copy those bytes came from and the video's total length.
struct Kept
{
    static constexpr int MaxValidatorBytes = 512;
    static constexpr int MaxFileBytes = 8192;

    QByteArray validator;
    qint64 total = -1;
    // Fetched over several connections: the ".part" is as long as the video
    // and only these ranges [first, end) of it hold its bytes.
    bool ranged = false;
    QList<std::pair<qint64, qint64>> done;

    // A ".part" of `size` bytes may be resumed against this.
    bool resumes(qint64 size) const { return !validator.isEmpty() && total >= size; }

    QByteArray text() const
    {
        QByteArray text = "validator " + validator + "\nlength " + QByteArray::number(total) + '\n';
        if (ranged) {
            text += "ranges";
            for (const auto &[first, end] : done)
                text += ' ' + QByteArray::number(first) + '-' + QByteArray::number(end);
            text += '\n';
        }
        return text;
    }

    static bool isSafeValidator(const QByteArray &value)
    {
        if (value.isEmpty() || value.size() > MaxValidatorBytes)
            return false;
        for (const char c : value) {
            if (isControl(c))
                return false;
        }
        return true;
    }

    static Kept parse(const QByteArray &text)
    {
        Kept kept;
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith("validator "))
                kept.validator = line.mid(10);
            else if (line.startsWith("length ")) {
                bool ok = false;
                kept.total = parseCount(line.mid(7), &ok);
            } else if (line == "ranges" || line.startsWith("ranges ")) {
                kept.ranged = true;
                for (const QByteArray &span : line.mid(7).split(' ')) {
                    const qsizetype dash = span.indexOf('-');
                    bool firstOk = false;
                    bool endOk = false;
                    const qint64 first = parseCount(span.left(qMax<qsizetype>(dash, 0)), &firstOk);
                    const qint64 end = parseCount(span.mid(dash + 1), &endOk);
                    if (dash > 0 && firstOk && endOk && first < end)
                        kept.done.append({first, end});
                }
            }
        }
        // Ranges past the video or out of order count as nothing done.
        qint64 previousEnd = 0;
        for (const auto &[first, end] : std::as_const(kept.done)) {
            if (first < previousEnd || end > kept.total) {
                kept.done.clear();
                break;
            }
            previousEnd = end;
        }
        if (!isSafeValidator(kept.validator))
            kept.validator.clear();
        return kept;
    }

    // A strong ETag, else Last-Modified: what "If-Range:" may carry. A weak
    // ETag never matches a range request.
    static QByteArray validatorOf(const QByteArray &header)
    {
        const QByteArray etag = headerValue(header, "ETag");
        if (etag.startsWith('"') && isSafeValidator(etag))
            return etag;
        const QByteArray modified = headerValue(header, "Last-Modified");
        return isSafeValidator(modified) ? modified : QByteArray();
    }

    // The answer names the same copy, or names none.
    bool sameCopy(const QByteArray &header) const
    {
        const QByteArray named =
            headerValue(header, validator.startsWith('"') ? "ETag" : "Last-Modified");
        return named.isNull() || named == validator;
    }
};

// What a ranged request's answer means for the bytes already on disk.
enum class Resume {
    Continue,     // the body continues them
    StartOver,    // the body is the whole video: the server's copy is another
    AlreadyWhole, // they are the whole video already
    Refused,      // anything else: the answer cannot be trusted to continue them
};

Resume resumeFrom(int status, const QByteArray &header, qint64 offset, const Kept &kept,
                  qint64 *until)
{
    if (status == 200)
        return Resume::StartOver;
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = 0;
    const bool ranged =
        parseContentRange(headerValue(header, "Content-Range"), &first, &last, &total);
    if (!ranged || total != kept.total || !kept.sameCopy(header))
        return Resume::Refused;
    if (status == 416 && first < 0 && total == offset)
        return Resume::AlreadyWhole;
    if (status != 206 || first != offset)
        return Resume::Refused;
    // The body must be exactly the bytes the range names.
    const QByteArray length = headerValue(header, "Content-Length");
    bool ok = true;
    if (!length.isNull() && parseCount(length, &ok) != last - first + 1)
        return Resume::Refused;
    *until = last + 1;
    return Resume::Continue;
}

// Opens the engine folder itself, never a link in its place. -1 with *why
// set when the folder is refused, -1 with an empty *why when it cannot be opened.
int openEngineFolder(const QByteArray &path, QByteArray *why)
{
    why->clear();
    struct stat info;
    if (::lstat(path.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
        *why = QByteArrayLiteral("is a symbolic link");
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP)
        *why = QByteArrayLiteral("is a symbolic link");
    return fd;
}

// Appends the done row to the history; a line that cannot be written is said
// on standard error and noted in the row's reason, and the row stays done.
void recordHistory(const Settings &settings, const ResultRow &row, QByteArray *reason)
{
    const HistoryFile::Entry entry{row[ResultRow::Type], row[ResultRow::Id], row[ResultRow::Title],
                                   DownloadWorker::videoPath(settings, row), HistoryFile::now()};
    QString error;
    if (HistoryFile::append(settings.workDir(), entry, &error))
        return;
    const QByteArray note =
        "no history line: " + HistoryFile::path(settings.workDir()) + ": " + error.toLocal8Bit();
    Trace::print("%s\n", note.constData());
    *reason = reason->isEmpty() ? note : *reason + "; " + note;
}

} // namespace

// A video is written to its path plus ".part" and gets its own name only
// once its body is complete, so a name without ".part" always means a
// complete video. A failed or cancelled body stays as ".part" for the next
// try or run to resume, with "<video>.part.meta" beside it saying which copy
// of the video it holds.
//
// Every entry is reached through the open engine folder and never through a
// link. The ".part" stays open, and locked, from claim() to the end of the
// row; an empty one is removed then.
class DownloadWorker::PartFile
{
public:
    enum class Claim { Claimed, Busy, Unsafe, Failed };

    PartFile(int folder, const QByteArray &folderPath, const QByteArray &videoName)
        : m_folder(folder), m_folderPath(folderPath), m_videoName(videoName),
          m_partName(videoName + ".part"), m_metaName(videoName + ".part.meta")
    {}
    ~PartFile()
    {
        if (!m_fd.isOpen() || m_committed)
            return;
        struct stat mine;
        struct stat named;
        if (::fstat(m_fd.get(), &mine) == 0 && mine.st_size == 0 &&
            ::fstatat(m_folder, m_partName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            named.st_dev == mine.st_dev && named.st_ino == mine.st_ino) {
            ::unlinkat(m_folder, m_partName.constData(), 0);
            ::unlinkat(m_folder, m_metaName.constData(), 0);
        }
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    QByteArray videoPath() const { return m_folderPath + '/' + m_videoName; }
    QByteArray partPath() const { return m_folderPath + '/' + m_partName; }
    QByteArray metaPath() const { return m_folderPath + '/' + m_metaName; }
    QByteArray videoName() const { return m_videoName; }
    int folder() const { return m_folder; }

    // Opens the ".part", making it when there is none, and takes its lock
    // without waiting. A lock taken on a file that lost its name in between
    // (another process finished or removed it) is let go and taken again.
    Claim claim()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            struct stat info;
            if (::fstatat(m_folder, m_partName.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                m_error = PlainFile::refusalAfterName(info).toLatin1();
                if (!m_error.isEmpty())
                    return Claim::Unsafe;
            }
            // Non-blocking, so that a named pipe put there cannot hold the open.
            Descriptor fd(::openat(m_folder, m_partName.constData(),
                                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
            if (!fd.isOpen()) {
                if (errno == ELOOP || errno == ENXIO) {
                    m_error = errno == ELOOP ? "is a symbolic link" : "is not a regular file";
                    return Claim::Unsafe;
                }
                m_error = strerror(errno);
                return Claim::Failed;
            }
            if (::fstat(fd.get(), &info) != 0) {
                m_error = strerror(errno);
                return Claim::Failed;
            }
            m_error = PlainFile::refusalAfterName(info).toLatin1();
            if (!m_error.isEmpty())
                return Claim::Unsafe;
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno == EWOULDBLOCK)
                    return Claim::Busy;
                m_error = strerror(errno);
                return Claim::Failed;
            }
            struct stat named;
            if (::fstatat(m_folder, m_partName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                named.st_dev == info.st_dev && named.st_ino == info.st_ino) {
                ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
                m_fd.reset(fd.release());
                return Claim::Claimed;
            }
        }
        return Claim::Busy;
    }

    qint64 size() const
    {
        struct stat info;
        return ::fstat(m_fd.get(), &info) == 0 ? info.st_size : 0;
    }

    // What the meta file keeps; nothing when it is missing, unreadable or no plain file.
    Kept kept() const
    {
        const QByteArray text = keptText();
        return text.isEmpty() ? Kept() : Kept::parse(text);
    }

    // The meta file's first Kept::MaxFileBytes bytes.
    QByteArray keptText() const
    {
        Descriptor fd(::openat(m_folder, m_metaName.constData(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info;
        if (!fd.isOpen() || ::fstat(fd.get(), &info) != 0 || !PlainFile::refusal(info).isNull())
            return {};
        QByteArray text(Kept::MaxFileBytes, Qt::Uninitialized);
        const ssize_t got = ::read(fd.get(), text.data(), size_t(text.size()));
        if (got <= 0)
            return {};
        text.truncate(got);
        return text;
    }

    // The body goes after the first `offset` bytes, anything past them is
    // dropped. A fresh start (offset 0) first forgets the old copy's
    // validator, then keeps `kept` when it has one; false with errorText() set
    // when a step failed.
    bool startAt(qint64 offset, const Kept &kept)
    {
        if (offset == 0 && ::unlinkat(m_folder, m_metaName.constData(), 0) != 0 &&
            errno != ENOENT) {
            m_error = metaPath() + ": " + strerror(errno);
            return false;
        }
        if (::ftruncate(m_fd.get(), offset) != 0 ||
            ::lseek(m_fd.get(), offset, SEEK_SET) != offset) {
            m_error = strerror(errno);
            return false;
        }
        if (offset > 0 || !kept.resumes(0))
            return true;
        QString error;
        if (!AtomicFile::writeAt(m_folder, m_metaName, kept.text(), &error)) {
            m_error = metaPath() + ": " + error.toLocal8Bit();
            return false;
        }
        return true;
    }

    bool write(const char *data, qint64 size)
    {
        while (size > 0) {
            const ssize_t written = ::write(m_fd.get(), data, size_t(size));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                m_error = written == 0 ? QByteArray(strerror(EIO)) : QByteArray(strerror(errno));
                return false;
            }
            data += written;
            size -= written;
        }
        return true;
    }

    // Writes the client's buffered bytes and empties its buffer.
    bool writeBuffered(HttpClient &http)
    {
        const bool written = write(http.data(), http.bufferedBytes());
        http.clearBuffer();
        return written;
    }

    // Writes at `offset`, leaving the file position alone; any thread. 0 or an errno.
    int writeAt(qint64 offset, const char *data, qint64 size) const
    {
        while (size > 0) {
            const ssize_t written = ::pwrite(m_fd.get(), data, size_t(size), offset);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return written == 0 ? EIO : errno;
            data += written;
            size -= written;
            offset += written;
        }
        return 0;
    }

    // Makes the ".part" `size` bytes long, holes where nothing was written.
    bool resize(qint64 size)
    {
        if (::ftruncate(m_fd.get(), size) == 0)
            return true;
        m_error = strerror(errno);
        return false;
    }

    bool writeKept(const Kept &kept)
    {
        QString error;
        if (AtomicFile::writeAt(m_folder, m_metaName, kept.text(), &error))
            return true;
        m_error = metaPath() + ": " + error.toLocal8Bit();
        return false;
    }

    // Drops what lies past `end`: bytes a server sent beyond what it announced.
    void truncateTo(qint64 end) { (void)::ftruncate(m_fd.get(), end); }

    // Gives the complete video its name. An older file of that name is
    // replaced only when it is a plain file: a link or anything else in its
    // place is refused.
    bool commit()
    {
        struct stat info;
        if (::fstatat(m_folder, m_videoName.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISLNK(info.st_mode) || !S_ISREG(info.st_mode))) {
            m_error =
                "unsafe file: " + videoPath() + ' ' + PlainFile::refusalAfterName(info).toLatin1();
            return false;
        }
        if (::renameat(m_folder, m_partName.constData(), m_folder, m_videoName.constData()) != 0) {
            m_error = "cannot rename: " + QByteArray(strerror(errno));
            return false;
        }
        m_committed = true;
        ::unlinkat(m_folder, m_metaName.constData(), 0);
        return true;
    }

    // Why the last operation failed.
    QByteArray errorText() const { return m_error; }

private:
    int m_folder;
    QByteArray m_folderPath;
    QByteArray m_videoName;
    QByteArray m_partName;
    QByteArray m_metaName;
    Descriptor m_fd;
    QByteArray m_error;
    bool m_committed = false;
};

struct DownloadWorker::Lane
{
    // Read by any thread.
    std::atomic<int> index{-1};
    std::atomic<int> percent{0};
    std::atomic<qint64> length{-1}; // the video's, -1 while unknown
    std::atomic<qint64> speed{0};

    // The lane's thread only.
    std::unique_ptr<CookieJar> jar; // outlives the client that points to it
    std::unique_ptr<HttpClient> http;
    QByteArray rowUrl;              // the last URL requested for the row
    const Engine *engine = nullptr; // the row's, during its video fetch
    const ResultRow *row = nullptr;
    QElapsedTimer sampleClock;
    qint64 sampleBytes = 0;

    // Counts the bytes of the video on disk for the speed.
    void sample(qint64 bytes)
    {
        if (!sampleClock.isValid() || bytes < sampleBytes) {
            sampleClock.start();
            sampleBytes = bytes;
            return;
        }
        const qint64 elapsed = sampleClock.elapsed();
        if (elapsed < SpeedSampleMs)
            return;
        speed.store((bytes - sampleBytes) * 1000 / elapsed);
        sampleClock.start();
        sampleBytes = bytes;
    }
};

DownloadWorker::DownloadWorker(Settings *settings, QList<ResultRow> rowsTopToBottom)
    : Worker(settings), m_rows(std::move(rowsTopToBottom))
{
    for (int lane = 0; lane < settings->jobs(); ++lane)
        m_lanes.push_back(std::make_unique<Lane>());
    printStartLines(*settings);
    Trace::write("--------start download thread--------\n");
    start();
}

DownloadWorker::~DownloadWorker()
{
    // The thread uses the client until run() has returned.
    stopAndJoin();
    m_lanes.clear();
    Trace::write("--------end download thread--------\n");
}

std::chrono::milliseconds DownloadWorker::retryPause(int retry)
{
    // 1, 2, 4 ... units; 2^5 is past the cap already.
    const int doublings = qBound(0, retry - 1, 5);
    const qint64 units = qMin<qint64>(qint64(1) << doublings, MaxPauseUnits);
    return std::chrono::milliseconds(units * retryPauseUnitMs.load());
}

void DownloadWorker::setRetryPauseUnitForTests(std::chrono::milliseconds unit)
{
    retryPauseUnitMs.store(unit.count());
}

QList<DownloadWorker::RowMark> DownloadWorker::takeMarks()
{
    std::lock_guard lock(m_marksMutex);
    return std::exchange(m_marks, {});
}

void DownloadWorker::RowResult::printLine() const
{
    switch (line) {
    case NoLine:
        break;
    case ReasonLine:
        Trace::print("%s\n", reason.constData());
        break;
    case DownloadFailedLine:
        Trace::print("download failed: %s\n", reason.constData());
        break;
    }
}

QList<DownloadWorker::RowProgress> DownloadWorker::rowProgress() const
{
    QList<RowProgress> running;
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        const int index = lane->index.load();
        if (index >= 0)
            running.append({index, lane->percent.load(), lane->speed.load(), lane->length.load()});
    }
    std::sort(running.begin(), running.end(),
              [](const RowProgress &a, const RowProgress &b) { return a.index < b.index; });
    return running;
}

QByteArray DownloadWorker::speedText(qint64 bytesPerSecond)
{
    if (bytesPerSecond < 1000)
        return QByteArray::number(qMax<qint64>(0, bytesPerSecond)) + " B/s";
    if (bytesPerSecond < 1000 * 1000)
        return QByteArray::number(double(bytesPerSecond) / 1000, 'f', 1) + " kB/s";
    return QByteArray::number(double(bytesPerSecond) / (1000 * 1000), 'f', 1) + " MB/s";
}

void DownloadWorker::setPercent(Lane &lane, int percent)
{
    lane.percent.store(percent);
    updateProgress();
}

void DownloadWorker::updateProgress()
{
    std::lock_guard lock(m_progressMutex);
    qint64 weighted = m_endedWeighted;
    qint64 length = m_endedLength;
    qint64 percents = m_endedPercents;
    int rows = m_endedRows;
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        if (lane->index.load() < 0)
            continue;
        const qint64 known = lane->length.load();
        const int percent = lane->percent.load();
        if (known > 0) {
            weighted += known * percent;
            length += known;
        }
        percents += percent;
        ++rows;
    }
    if (length > 0)
        progress.store(int(weighted / length));
    else if (rows > 0)
        progress.store(int(percents / rows));
}

void DownloadWorker::retire(Lane &lane)
{
    {
        std::lock_guard lock(m_progressMutex);
        const qint64 known = lane.length.load();
        const int percent = lane.percent.load();
        if (known > 0) {
            m_endedWeighted += known * percent;
            m_endedLength += known;
        }
        m_endedPercents += percent;
        ++m_endedRows;
        lane.index.store(-1);
    }
}

void DownloadWorker::settle(const Lane &lane, int index, const RowResult &result)
{
    result.printLine();
    RowMark settled{index, {}, result.reason, {}};
    switch (result.status) {
    case RowResult::Done:
        settled.mark = QByteArrayLiteral("o");
        recordHistory(*settings, m_rows[index], &settled.reason);
        break;
    case RowResult::Skipped:
        // Another process works on the row: its result stands, not ours.
        settled.mark = m_rows[index][ResultRow::State];
        settled.url = lane.rowUrl;
        break;
    case RowResult::Failed:
    case RowResult::Stopped:
        settled.mark = QByteArrayLiteral("x");
        settled.url = lane.rowUrl;
        break;
    }
    std::lock_guard lock(m_marksMutex);
    m_marks.append(settled);
}

int DownloadWorker::run()
{
    // A row's title file must not replace another row's video.
    for (const ResultRow &row : std::as_const(m_rows)) {
        const Engine *engine = settings->findEngine(row[ResultRow::Type]);
        const QByteArray key =
            row[ResultRow::Type] + '/' + (engine ? videoName(row, *engine) : row[ResultRow::Id]);
        m_videoKeys.append(key);
        if (engine)
            m_videoNames.insert(key);
    }
    for (int index = 0; index < m_rows.size(); ++index) {
        if (m_rows[index][ResultRow::State] != "o")
            m_pending.append(index);
    }
    if (!m_rows.isEmpty())
        progress.store(1);

    // The first lane runs on this thread, the others on threads of their own.
    std::atomic<bool> chainStopped{false};
    std::vector<std::thread> others;
    const size_t wanted = std::min<size_t>(m_lanes.size(), size_t(qMax(1, int(m_pending.size()))));
    for (size_t lane = 1; lane < wanted; ++lane) {
        try {
            others.emplace_back([this, lane, &chainStopped] {
                if (runLane(*m_lanes[lane]))
                    chainStopped.store(true);
            });
        } catch (const std::system_error &e) {
            Trace::print("cannot create a download thread: %s\n", e.what());
            break;
        }
    }
    if (runLane(*m_lanes[0]))
        chainStopped.store(true);
    for (std::thread &thread : others)
        thread.join();
    std::lock_guard lock(m_queueMutex);
    return chainStopped.load() || (stopping() && !m_pending.isEmpty()) ? 1 : 0;
}

bool DownloadWorker::takeRow(int *index)
{
    std::unique_lock lock(m_queueMutex);
    while (!stopping() && !m_pending.isEmpty()) {
        for (qsizetype i = 0; i < m_pending.size(); ++i) {
            const QByteArray &key = m_videoKeys[m_pending[i]];
            if (m_runningKeys.contains(key))
                continue;
            *index = m_pending.takeAt(i);
            m_runningKeys.insert(key);
            return true;
        }
        m_queueWake.wait_for(lock, std::chrono::milliseconds(Connection::StopSliceMs));
    }
    return false;
}

void DownloadWorker::releaseRow(int index)
{
    {
        std::lock_guard lock(m_queueMutex);
        m_runningKeys.remove(m_videoKeys[index]);
    }
    m_queueWake.notify_all();
}

bool DownloadWorker::runLane(Lane &lane)
{
    // The lane's cookies stay for its rows; rows running at once share none.
    lane.jar = std::make_unique<CookieJar>();
    lane.http = std::make_unique<HttpClient>();
    configureClient(*lane.http);
    lane.http->setCookieJar(lane.jar.get());
    int index = -1;
    while (takeRow(&index)) {
        lane.http->setBinaryMode(false);
        // A row's first request refers to no page.
        lane.http->headers().setValue(RequestHeaders::Referer, QByteArray());
        lane.rowUrl.clear();
        lane.length.store(-1);
        lane.speed.store(0);
        lane.sampleClock.invalidate();
        lane.percent.store(1);
        lane.index.store(index);
        currentRow.store(index);
        updateProgress();
        const RowResult result = processRow(lane, m_rows[index]);
        if (result.status != RowResult::Stopped)
            settle(lane, index, result);
        retire(lane);
        releaseRow(index);
        if (result.status == RowResult::Stopped)
            return true;
    }
    return false;
}

DownloadWorker::RowResult DownloadWorker::processRow(Lane &lane, const ResultRow &row)
{
    const QByteArray &id = row[ResultRow::Id];
    const QByteArray &engineId = row[ResultRow::Type];
    const Engine *engine = settings->findEngine(engineId);
    if (RowResult refused = checkRow(row, engine); refused.status != RowResult::Done)
        return refused;

    // One level only; when it cannot be made, the video file fails to open.
    QDir().mkdir(QFile::decodeName(settings->workDir() + engineId));

    QByteArray workText = id;
    RowResult resolved = resolve(lane, *engine, workText);
    if (resolved.status != RowResult::Done)
        return resolved;
    if (id.size() < 2)
        return RowResult::failed("ID too short: " + id);
    return fetchVideo(lane, *engine, row, workText);
}

QByteArray DownloadWorker::videoName(const ResultRow &row, const Engine &engine)
{
    return row[ResultRow::Id] + engine.text(Engine::Ext);
}

QByteArray DownloadWorker::videoPath(const Settings &settings, const ResultRow &row)
{
    const Engine *engine = settings.findEngine(row[ResultRow::Type]);
    if (!engine || !Engine::isSafeId(row[ResultRow::Type]) ||
        !isSafeComponent(row[ResultRow::Id]) || !isSafeExtension(engine->text(Engine::Ext)))
        return {};
    return settings.workDir() + row[ResultRow::Type] + '/' + videoName(row, *engine);
}

DownloadWorker::RowResult DownloadWorker::checkRow(const ResultRow &row, const Engine *engine) const
{
    const QByteArray &engineId = row[ResultRow::Type];
    if (!engine)
        return RowResult::failed("no engine " + engineId);
    if (engine->stagesRefused())
        return RowResult::failedAt("engine " + engineId +
                                   ": its download stages were refused when it was loaded");
    if (!Engine::isSafeId(engineId))
        return RowResult::failedAt("unsafe engine id: " + engineId);
    if (!isSafeComponent(row[ResultRow::Id]))
        return RowResult::failedAt("unsafe file name: " + row[ResultRow::Id]);
    const QByteArray &ext = engine->text(Engine::Ext);
    if (!isSafeExtension(ext))
        return RowResult::failedAt("unsafe file name: " + ext);
    return RowResult::done();
}

DownloadWorker::RowResult DownloadWorker::resolve(Lane &lane, const Engine &engine,
                                                  QByteArray &workText)
{
    StageChain chain(*lane.http, engine);
    chain.setOnFetched([this, &lane](const StageChain::Step &step) {
        resultCode.store(step.code);
        lane.rowUrl = lane.http->url();
        return !stopping();
    });
    switch (chain.run(workText)) {
    case StageChain::Outcome::Resolved:
        workText = chain.text();
        return RowResult::done();
    case StageChain::Outcome::Failed:
        return RowResult::failedAt(chain.reason());
    case StageChain::Outcome::Stopped:
        break;
    }
    return RowResult::stopped();
}

DownloadWorker::RowResult DownloadWorker::fetchVideo(Lane &lane, const Engine &engine,
                                                     const ResultRow &row,
                                                     const QByteArray &workText)
{
    QByteArray url;
    fillTemplate(url, engine.text(Engine::Target), workText, 0);
    const QByteArray &engineId = row[ResultRow::Type];
    const QByteArray folderPath = settings->workDir() + engineId;
    const QByteArray videoName = DownloadWorker::videoName(row, engine);
    Trace::print("open %s\n", (folderPath + '/' + videoName).constData());

    QByteArray why;
    const Descriptor folder(openEngineFolder(folderPath, &why));
    if (!why.isEmpty())
        return RowResult::failedAt("unsafe engine folder: " + folderPath + ' ' + why);
    if (!folder.isOpen())
        return RowResult::failedAt("open file error");
    PartFile part(folder.get(), folderPath, videoName);
    switch (part.claim()) {
    case PartFile::Claim::Claimed:
        break;
    case PartFile::Claim::Busy:
        return RowResult::skipped("in use by another Zindle");
    case PartFile::Claim::Unsafe:
        return RowResult::failedAt("unsafe file: " + part.partPath() + ' ' + part.errorText());
    case PartFile::Claim::Failed:
        return RowResult::failedAt("open file error");
    }

    lane.engine = &engine;
    lane.row = &row;
    const int retries = engine.retryCount();
    for (int retry = 1;; ++retry) {
        const Try attempt = fetchOnce(lane, url, part);
        if (attempt.kind == Try::Complete)
            return finishVideo(row, part);
        if (attempt.kind == Try::Settled)
            return attempt.row;
        const QByteArray why = attempt.code == ResultCode::BodyStopped
                                   ? "body ended short (" + QByteArray::number(attempt.code) + ')'
                                   : "network error " + QByteArray::number(attempt.code);
        if (retry > retries) {
            if (attempt.code == ResultCode::BodyStopped)
                setPercent(lane, 100);
            return RowResult::failed(why);
        }
        Trace::print("retry %d/%d: %s\n", retry, retries, why.constData());
        if (!pauseFor(retryPause(retry)))
            return RowResult::cutByStop();
    }
}

DownloadWorker::RowResult DownloadWorker::finishVideo(const ResultRow &row, PartFile &part)
{
    if (!part.commit())
        return RowResult::failed(part.errorText());
    // The title file holds one line. One that cannot be written leaves the
    // row done with a note, and so does one that would replace a video:
    // this row's own, or another row's when the extension is empty ("clip"
    // and "clip.txt").
    const QByteArray titleName = row[ResultRow::Id] + ".txt";
    const QByteArray titlePath = settings->workDir() + row[ResultRow::Type] + '/' + titleName;
    if (titleName == part.videoName())
        return RowResult::doneWithNote("no title file: it would replace the video");
    if (m_videoNames.contains(row[ResultRow::Type] + '/' + titleName))
        return RowResult::doneWithNote("no title file: " + titlePath +
                                       " is the video of another row");
    QString error;
    if (!AtomicFile::writeAt(part.folder(), titleName, "t::" + row[ResultRow::Title] + '\n',
                             &error))
        return RowResult::doneWithNote("no title file: " + titlePath + ": " + error.toLocal8Bit());
    return RowResult::done();
}

namespace {

// A video this long or shorter comes over one connection.
constexpr qint64 MinRangedBytes = 1024 * 1024;
// A range is not split into pieces shorter than this.
constexpr qint64 MinPieceBytes = 64 * 1024;
// The ranges done are written to the ".part.meta" at most this often.
constexpr qint64 SaveRangesMs = 1000;

// Adds [first, end) to sorted, disjoint ranges, merging neighbours.
void addRange(QList<std::pair<qint64, qint64>> &ranges, qint64 first, qint64 end)
{
    if (first >= end)
        return;
    QList<std::pair<qint64, qint64>> merged;
    bool placed = false;
    for (const auto &range : std::as_const(ranges)) {
        if (range.second < first) {
            merged.append(range);
        } else if (end < range.first) {
            if (!placed)
                merged.append({first, end});
            placed = true;
            merged.append(range);
        } else {
            first = qMin(first, range.first);
            end = qMax(end, range.second);
        }
    }
    if (!placed)
        merged.append({first, end});
    ranges = merged;
}

// The parts of [0, total) outside the ranges done.
QList<std::pair<qint64, qint64>> missingRanges(const QList<std::pair<qint64, qint64>> &done,
                                               qint64 total)
{
    QList<std::pair<qint64, qint64>> missing;
    qint64 at = 0;
    for (const auto &[first, end] : done) {
        if (first > at)
            missing.append({at, first});
        at = qMax(at, end);
    }
    if (at < total)
        missing.append({at, total});
    return missing;
}

// The missing ranges cut into up to `count` pieces, halving the longest;
// sorted, so the first still starts where the first missing range does.
QList<std::pair<qint64, qint64>> splitPieces(QList<std::pair<qint64, qint64>> pieces, int count)
{
    while (pieces.size() < count) {
        auto longest = std::max_element(pieces.begin(), pieces.end(), [](auto a, auto b) {
            return a.second - a.first < b.second - b.first;
        });
        const qint64 length = longest->second - longest->first;
        if (length < 2 * MinPieceBytes)
            break;
        const qint64 middle = longest->first + length / 2;
        const std::pair<qint64, qint64> upper{middle, longest->second};
        longest->second = middle;
        pieces.append(upper);
    }
    std::sort(pieces.begin(), pieces.end());
    return pieces;
}

QByteArray hostOf(const QByteArray &url)
{
    const qsizetype start = url.indexOf("//");
    const QByteArray rest = start < 0 ? url : url.mid(start + 2);
    return rest.left(rest.indexOf('/')).toLower();
}

// The answer is a 206 for exactly [first, end) of a video of `total` bytes
// (any total when `total` is -1); *announced is the total it names.
bool answersRange(int status, const QByteArray &header, qint64 first, qint64 end, qint64 total,
                  qint64 *announced)
{
    qint64 from = 0;
    qint64 last = 0;
    if (status != 206 ||
        !parseContentRange(headerValue(header, "Content-Range"), &from, &last, announced))
        return false;
    if (*announced <= 0 || from != first || (total >= 0 && *announced != total))
        return false;
    if (end < 0)
        end = *announced;
    if (last != end - 1)
        return false;
    const QByteArray length = headerValue(header, "Content-Length");
    bool ok = true;
    return length.isNull() || parseCount(length, &ok) == end - first;
}

} // namespace

int DownloadWorker::connectionsFor(const Engine &engine) const
{
    const int most = engine.maxConnections();
    return most > 0 ? qMin(most, settings->connections()) : settings->connections();
}

int DownloadWorker::takeHostConnections(const QByteArray &host, int wanted)
{
    std::lock_guard lock(m_hostMutex);
    const int limit = settings->jobs() * settings->connections();
    int &held = m_hostConnections[host];
    const int granted = qMax(1, qMin(wanted, limit - held));
    held += granted;
    return granted;
}

void DownloadWorker::releaseHostConnections(const QByteArray &host, int count)
{
    std::lock_guard lock(m_hostMutex);
    if ((m_hostConnections[host] -= count) <= 0)
        m_hostConnections.remove(host);
}

int DownloadWorker::requestFrom(Lane &lane, const QByteArray &url, qint64 from,
                                const QByteArray &validator, bool ranged)
{
    if (ranged) {
        lane.http->headers().setValue(RequestHeaders::Range,
                                      "bytes=" + QByteArray::number(from) + '-');
        lane.http->headers().setValue(RequestHeaders::IfRange, validator);
    }
    const int got = lane.http->get(url);
    lane.rowUrl = lane.http->url();
    lane.http->headers().setValue(RequestHeaders::Range, QByteArray());
    lane.http->headers().setValue(RequestHeaders::IfRange, QByteArray());
    resultCode.store(got);
    return got;
}

std::optional<DownloadWorker::Try> DownloadWorker::fetchRanges(Lane &lane, const QByteArray &url,
                                                               PartFile &part, int round,
                                                               std::optional<Answer> *inHand)
{
    const int wanted = connectionsFor(*lane.engine);
    Kept kept = part.kept();
    if (kept.ranged && (kept.validator.isEmpty() || kept.total <= 0 || part.size() != kept.total)) {
        Trace::print("cannot resume the ranges (no validator kept): starting over\n");
        if (!part.startAt(0, Kept()))
            return Try::settled(RowResult::failed("write error: " + part.errorText()));
        kept = Kept();
    }
    if (!kept.ranged && (wanted < 2 || part.size() > 0))
        return std::nullopt;
    QList<std::pair<qint64, qint64>> missing;
    if (kept.ranged) {
        missing = missingRanges(kept.done, kept.total);
        if (missing.isEmpty()) {
            setPercent(lane, 100);
            return Try{};
        }
    }
    const qint64 first = kept.ranged ? missing.first().first : 0;
    const int got = requestFrom(lane, url, first, kept.validator, true);
    if (got == ResultCode::Stopped)
        return Try::settled(RowResult::cutByStop());
    if (got < 0) {
        if (isTransient(got))
            return Try::transient(got);
        return Try::settled(RowResult::failed("network error " + QByteArray::number(got)));
    }
    const QByteArray header = lane.http->responseHeader();
    const int status = lane.http->statusCode();
    // A server that ignores ranges answered with the whole video (or with
    // what it has to say instead): the row goes on from this answer, over
    // one connection, without asking again.
    if (status != 206 && status != 416) {
        if (kept.ranged)
            Trace::print("cannot resume the ranges (HTTP status %d): starting over\n", status);
        else if (status >= 200 && status <= 299)
            Trace::print("no ranges (HTTP status %d): one connection\n", status);
        *inHand = wholeAnswer(lane);
        return std::nullopt;
    }
    qint64 total = -1;
    const bool fits =
        answersRange(status, header, first, -1, kept.ranged ? kept.total : -1, &total) &&
        (!kept.ranged || kept.sameCopy(header));
    if (kept.ranged && !fits) {
        Trace::print("cannot resume the ranges (HTTP status %d): starting over\n", status);
        if (!part.startAt(0, Kept()))
            return Try::settled(RowResult::failed("write error: " + part.errorText()));
        if (round > 0 || stopping())
            return std::nullopt;
        return fetchRanges(lane, url, part, round + 1, inHand);
    }
    if (!fits) {
        // A range that cannot be trusted: its body is not used.
        Trace::print("no ranges (HTTP status %d): one connection\n", status);
        return std::nullopt;
    }
    if (!kept.ranged && total <= MinRangedBytes) {
        // The range from byte 0 is the whole short video.
        *inHand = Answer{0, total, total, std::nullopt};
        return std::nullopt;
    }
    if (!kept.ranged) {
        kept.validator = Kept::validatorOf(header);
        kept.total = total;
        kept.ranged = true;
        // The meta file says "ranges" before the ".part" grows to the
        // video's length, so its holes are never taken for video bytes.
        if (!part.startAt(0, Kept()) || !part.writeKept(kept) || !part.resize(total))
            return Try::settled(RowResult::failed("write error: " + part.errorText()));
        missing = {{0, total}};
    }
    return fetchPieces(lane, url, part, kept.validator, kept.total, kept.done,
                       splitPieces(missing, wanted));
}

DownloadWorker::Try DownloadWorker::fetchPieces(Lane &lane, const QByteArray &url, PartFile &part,
                                                const QByteArray &validator, qint64 total,
                                                const QList<std::pair<qint64, qint64>> &done,
                                                const QList<std::pair<qint64, qint64>> &pieces)
{
    Kept kept;
    kept.validator = validator;
    kept.total = total;
    kept.ranged = true;
    kept.done = done;
    const QByteArray host = hostOf(lane.http->url());
    const int connections = takeHostConnections(host, int(pieces.size()));
    lane.http->setBinaryMode(true);
    lane.length.store(kept.total);

    // A piece's bytes before `at` are on disk or being written; those from
    // `end` on are another piece's. A piece that takes over the upper half
    // of another moves the other's end.
    struct Piece
    {
        qint64 at;
        qint64 end;
        bool running;
    };
    std::mutex mutex; // guards the pieces, kept.done, lane.jar and the outcome below
    std::deque<Piece> work;
    for (const auto &[first, end] : pieces)
        work.push_back({first, end, false});
    work.front().running = true; // the lane's open answer
    size_t next = 1;
    int failure = 0;
    bool restart = false;
    int writeError = 0;
    std::atomic<int> running{0};

    // Receives one piece's body into the ".part"; false when it ended short.
    auto receivePiece = [&](HttpClient &http, Piece &piece) {
        for (;;) {
            const int received = http.receive();
            qint64 at = 0;
            qint64 take = 0;
            {
                std::lock_guard lock(mutex);
                take = qMin<qint64>(http.bufferedBytes(), piece.end - piece.at);
                if (take > 0 && received == ResultCode::ReceiveAgain &&
                    http.bufferedBytes() <= FlushThreshold && piece.at + take < piece.end)
                    take = 0;
                at = piece.at;
                piece.at += take;
            }
            if (take > 0) {
                const int error = part.writeAt(at, http.data(), take);
                http.clearBuffer();
                std::lock_guard lock(mutex);
                if (error != 0) {
                    writeError = error;
                    return false;
                }
                addRange(kept.done, at, at + take);
            }
            std::lock_guard lock(mutex);
            if (piece.at >= piece.end)
                return true;
            if (received == ResultCode::BodyComplete || received < 0) {
                failure = received < 0 ? received : int(ResultCode::BodyStopped);
                return false;
            }
        }
    };
    // The next piece to fetch, or the upper half of the running one with the most left.
    auto takePiece = [&]() -> Piece * {
        std::lock_guard lock(mutex);
        if (failure != 0 || restart || writeError != 0 || stopping())
            return nullptr;
        if (next < work.size()) {
            Piece &piece = work[next++];
            piece.running = true;
            return &piece;
        }
        Piece *most = nullptr;
        for (Piece &piece : work) {
            if (piece.running && (!most || piece.end - piece.at > most->end - most->at))
                most = &piece;
        }
        if (!most || most->end - most->at < 4 * MinPieceBytes)
            return nullptr;
        const qint64 middle = most->at + (most->end - most->at) / 2;
        work.push_back({middle, most->end, true});
        most->end = middle;
        next = work.size();
        return &work.back();
    };
    const QByteArray referer = lane.http->headers().value(RequestHeaders::Referer);
    auto connection = [&](bool withLane) {
        if (withLane) {
            const bool whole = receivePiece(*lane.http, work.front());
            // Its connection goes before another is opened in its place.
            lane.http->close();
            std::lock_guard lock(mutex);
            work.front().running = false;
            if (!whole) {
                --running;
                return;
            }
        }
        // Every further piece over a client of this connection's own, with
        // the row's cookies as they are when it asks; the cookies its
        // answers set go to the row's jar.
        CookieJar jar;
        HttpClient own;
        configureClient(own);
        own.setCookieJar(&jar);
        own.setBinaryMode(true);
        own.headers().setValue(RequestHeaders::Referer, referer);
        own.headers().setValue(RequestHeaders::IfRange, kept.validator);
        while (Piece *piece = takePiece()) {
            qint64 first = 0;
            qint64 end = 0;
            {
                std::lock_guard lock(mutex);
                first = piece->at;
                end = piece->end;
                jar.startFrom(*lane.jar);
            }
            own.headers().setValue(RequestHeaders::Range, "bytes=" + QByteArray::number(first) +
                                                              '-' + QByteArray::number(end - 1));
            const int got = own.get(url);
            bool whole = false;
            {
                std::lock_guard lock(mutex);
                jar.passStoredTo(*lane.jar);
                qint64 announced = -1;
                if (got < 0) {
                    failure = got;
                } else if (!answersRange(own.statusCode(), own.responseHeader(), first, end,
                                         kept.total, &announced) ||
                           !kept.sameCopy(own.responseHeader())) {
                    Trace::print("range %lld-%lld answered with HTTP status %d: starting over\n",
                                 static_cast<long long>(first), static_cast<long long>(end - 1),
                                 own.statusCode());
                    restart = true;
                } else {
                    whole = true;
                }
            }
            whole = whole && receivePiece(own, *piece);
            own.close();
            std::lock_guard lock(mutex);
            piece->running = false;
            if (!whole)
                break;
        }
        --running;
    };

    std::vector<std::thread> threads;
    running = connections;
    for (int index = 0; index < connections; ++index) {
        try {
            threads.emplace_back(connection, index == 0);
        } catch (const std::system_error &e) {
            running -= connections - index;
            Trace::print("cannot create a download thread: %s\n", e.what());
            break;
        }
    }
    if (threads.empty()) {
        running = 1;
        connection(true);
    }

    // The row's percent and speed follow the bytes on disk; the ranges done
    // are kept less often.
    QElapsedTimer saved;
    saved.start();
    // Only this thread writes the ".part.meta"; the connections wait on the
    // lock before every chunk, so its fsyncs happen on a copy, outside it.
    auto show = [&](bool keep) {
        std::optional<Kept> snapshot;
        {
            std::lock_guard lock(mutex);
            qint64 bytes = 0;
            for (const auto &[first, end] : std::as_const(kept.done))
                bytes += end - first;
            lane.sample(bytes);
            setPercent(lane, int(qMin<qint64>(100, bytes * 100 / kept.total)));
            if (keep && !restart)
                snapshot = kept;
        }
        if (snapshot)
            part.writeKept(*snapshot);
    };
    while (running.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(Connection::StopSliceMs / 2));
        const bool keep = saved.elapsed() >= SaveRangesMs;
        show(keep);
        if (keep)
            saved.start();
    }
    for (std::thread &thread : threads)
        thread.join();
    releaseHostConnections(host, connections);
    show(true);

    if (writeError != 0)
        return Try::settled(RowResult::failed("write error: " + QByteArray(strerror(writeError))));
    if (missingRanges(kept.done, kept.total).isEmpty())
        return Try{};
    if (stopping())
        return Try::settled(RowResult::cutByStop());
    if (restart) {
        if (!part.startAt(0, Kept()))
            return Try::settled(RowResult::failed("write error: " + part.errorText()));
        return Try::transient(ResultCode::BodyStopped);
    }
    if (failure == ResultCode::Stopped)
        return Try::settled(RowResult::cutByStop());
    if (failure == 0 || isTransient(failure))
        return Try::transient(failure == 0 ? int(ResultCode::BodyStopped) : failure);
    return Try::settled(RowResult::failed("network error " + QByteArray::number(failure)));
}

DownloadWorker::Try DownloadWorker::fetchOnce(Lane &lane, const QByteArray &url, PartFile &part)
{
    // The ranged request's answer when it was not a range.
    std::optional<Answer> inHand;
    if (std::optional<Try> ranged = fetchRanges(lane, url, part, 0, &inHand))
        return *ranged;
    for (;;) {
        // The bytes already on disk, counted in `progress` too.
        const Answer answer =
            inHand ? *std::exchange(inHand, std::nullopt) : requestVideo(lane, url, part);
        if (answer.end)
            return *answer.end;
        lane.http->setBinaryMode(true);
        // Stopped while the request was under way: the bytes on disk stay as they are.
        if (stopping())
            return Try::settled(RowResult::cutByStop());
        if (answer.offset == 0) {
            int peeked = ResultCode::ReceiveAgain;
            if (HlsDownload::answersPlaylist(*lane.http, &peeked))
                return fetchStream(lane, part);
            if (peeked == ResultCode::Stopped)
                return Try::settled(RowResult::cutByStop());
            if (peeked < 0)
                return Try::transient(peeked);
        }
        const Try streamed = streamBody(lane, part, answer);
        // A range that ended before the video did: ask for the rest.
        if (streamed.kind != Try::Complete || answer.total < 0 || answer.until < 0 ||
            answer.until >= answer.total)
            return streamed;
        Trace::print("range ended at %lld of %lld: asking for the rest\n",
                     static_cast<long long>(answer.until), static_cast<long long>(answer.total));
    }
}

DownloadWorker::Answer DownloadWorker::requestVideo(Lane &lane, const QByteArray &url,
                                                    PartFile &part)
{
    qint64 offset = part.size();
    const Kept kept = offset > 0 ? part.kept() : Kept();
    if (offset > 0 && !kept.resumes(offset)) {
        Trace::print("cannot resume at %lld (%s): starting over\n", static_cast<long long>(offset),
                     kept.validator.isEmpty() ? "no validator kept"
                                              : "it is longer than the video");
        offset = 0;
    }
    for (;;) {
        const int got = requestFrom(lane, url, offset, kept.validator, offset > 0);
        // Stopped while the request was under way: the bytes on disk stay as they are.
        if (got == ResultCode::Stopped)
            return {offset, -1, -1, Try::settled(RowResult::cutByStop())};
        if (got < 0) {
            if (isTransient(got))
                return {offset, -1, -1, Try::transient(got)};
            return {offset, -1, -1,
                    Try::settled(RowResult::failed("network error " + QByteArray::number(got)))};
        }
        const int status = lane.http->statusCode();
        const QByteArray header = lane.http->responseHeader();
        if (offset > 0) {
            qint64 until = -1;
            switch (resumeFrom(status, header, offset, kept, &until)) {
            case Resume::Continue:
                return {offset, until, kept.total, std::nullopt};
            case Resume::StartOver:
                offset = 0;
                break;
            case Resume::AlreadyWhole:
                setPercent(lane, 100);
                return {offset, offset, offset, Try{}};
            case Resume::Refused:
                Trace::print("cannot resume at %lld (HTTP status %d): starting over\n",
                             static_cast<long long>(offset), status);
                offset = 0;
                continue;
            }
        }
        return wholeAnswer(lane);
    }
}

DownloadWorker::Answer DownloadWorker::wholeAnswer(Lane &lane)
{
    const int status = lane.http->statusCode();
    // A 206 that was not asked for holds only a part of the video.
    if (status < 200 || status > 299 || status == 206)
        return {0, -1, -1,
                Try::settled(RowResult::failed("HTTP status " + QByteArray::number(status)))};
    const qint64 length = lane.http->contentLength();
    return {0, length, length, std::nullopt};
}

DownloadWorker::Try DownloadWorker::streamBody(Lane &lane, PartFile &part, const Answer &answer)
{
    Kept fresh;
    if (answer.offset == 0) {
        fresh.validator = Kept::validatorOf(lane.http->responseHeader());
        fresh.total = answer.total;
    }
    if (!part.startAt(answer.offset, fresh))
        return Try::settled(RowResult::failed("write error: " + part.errorText()));

    int received = ResultCode::ReceiveAgain;
    bool written = receiveBody(lane, part, answer, &received);
    const bool cancelled = stopping();
    if (written && lane.http->bufferedBytes() > 0)
        written = part.writeBuffered(*lane.http);
    // A body without a length that ran past the range it announced.
    if (written && answer.offset > 0 && part.size() > answer.until)
        part.truncateTo(answer.until);

    // A body that ended before its range did counts as cut short.
    const bool whole =
        received == ResultCode::BodyComplete && (answer.offset == 0 || part.size() >= answer.until);
    if (!cancelled && written && !whole) {
        // `progress` keeps showing what is on disk while a retry waits.
        return Try::transient(received < 0 ? received : int(ResultCode::BodyStopped));
    }
    setPercent(lane, 100);
    if (cancelled)
        return Try::settled(RowResult::cutByStop());
    if (!written)
        return Try::settled(RowResult::failed("write error: " + part.errorText()));
    return Try{};
}

bool DownloadWorker::receiveBody(Lane &lane, PartFile &part, const Answer &answer, int *received)
{
    const qint64 whole = answer.total > 0 ? answer.total : answer.until;
    auto count = [&] {
        const qint64 onDisk = answer.offset + lane.http->receivedBytes();
        lane.sample(onDisk);
        if (whole > 0) {
            lane.length.store(whole);
            setPercent(lane, int(qMin<qint64>(100, onDisk * 100 / whole)));
        }
    };
    // The bytes that came with the header count before the first wait, which
    // may be long when the server then stalls.
    count();
    while (!stopping()) {
        // Before each wait: the bytes that came with the header are on disk
        // even when the server then stalls.
        if (lane.http->bufferedBytes() > FlushThreshold && !part.writeBuffered(*lane.http))
            return false;
        *received = lane.http->receive();
        resultCode.store(*received);
        count();
        if (*received != ResultCode::ReceiveAgain && *received != ResultCode::BufferFull)
            break;
    }
    return true;
}

DownloadWorker::Try DownloadWorker::fetchStream(Lane &lane, PartFile &part)
{
    // The ".part" and its ".part.meta", through the same safe paths as a plain video.
    class PartTarget : public HlsDownload::Target
    {
    public:
        explicit PartTarget(PartFile &part) : m_part(part) {}
        qint64 size() const override { return m_part.size(); }
        bool resize(qint64 size) override { return m_part.startAt(size, Kept()); }
        bool write(const char *data, qint64 size) override { return m_part.write(data, size); }
        QByteArray readSidecar() const override { return m_part.keptText(); }
        bool writeSidecar(const QByteArray &text) override
        {
            QString error;
            if (AtomicFile::writeAt(m_part.folder(), m_part.videoName() + ".part.meta", text,
                                    &error))
                return true;
            m_error = error.toLocal8Bit();
            return false;
        }
        QByteArray errorText() const override
        {
            return m_error.isEmpty() ? m_part.errorText() : m_error;
        }

    private:
        PartFile &m_part;
        QByteArray m_error;
    };

    PartTarget target(part);
    HlsDownload::Options options;
    options.variantRule = lane.engine->text(Engine::HlsVariant);
    options.retries = lane.engine->retryCount();
    options.pause = [this](int retry) { return pauseFor(retryPause(retry)); };
    options.progress = [this, &lane](int percent) { setPercent(lane, percent); };
    options.resultCode = &resultCode;
    options.connections = connectionsFor(*lane.engine);
    options.makeClient = [this] {
        auto client = std::make_unique<HttpClient>();
        configureClient(*client);
        return client;
    };
    HlsDownload stream(*lane.http, target, std::move(options));
    const HlsDownload::Result result = stream.run();
    lane.rowUrl = lane.http->url();
    switch (result.status) {
    case HlsDownload::Result::Done:
        break;
    case HlsDownload::Result::Failed:
        return Try::settled(RowResult::failed(result.reason));
    case HlsDownload::Result::Stopped:
        return Try::settled(RowResult::cutByStop());
    case HlsDownload::Result::Transient:
        return Try::transient(result.code);
    }
    RowResult finished = finishVideo(*lane.row, part);
    // A done stream's note (video only) goes before the title file's.
    if (finished.status == RowResult::Done && !result.reason.isEmpty())
        finished = RowResult::doneWithNote(
            finished.reason.isEmpty() ? result.reason : result.reason + "; " + finished.reason);
    return Try::settled(finished);
}
