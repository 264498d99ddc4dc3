#include "core/download/DownloadWorker.h"

#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/extract/MarkerCut.h"
#include "core/extract/TextTools.h"
#include "core/job/Trace.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QDir>
#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool isControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// IDs and engine ids come from web pages and engine files; each must stay one
// path component inside the work directory.
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

void unescapeStageText(QByteArray &text)
{
    // Upper-case escapes only, and only these four, in this order.
    text.replace("%3A", ":");
    text.replace("%2F", "/");
    text.replace("%3F", "?");
    text.replace("%3D", "=");
}

std::atomic<qint64> retryPauseUnitMs{1000};

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

// The first byte and the total of "bytes FIRST-LAST/TOTAL" (TOTAL may be "*",
// giving -1) or of "bytes */TOTAL" (first is then -1). False for anything else.
bool parseContentRange(const QByteArray &text, qint64 *first, qint64 *total)
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
    bool ok = false;
    *total = totalText == "*" ? -1 : totalText.toLongLong(&ok);
    if (totalText != "*" && (!ok || *total < 0))
        return false;
    if (span == "*") {
        *first = -1;
        return *total >= 0;
    }
    const qsizetype dash = span.indexOf('-');
    if (dash <= 0)
        return false;
    *first = span.left(dash).toLongLong(&ok);
    return ok && *first >= 0;
}

// What a ranged request's answer means for the bytes already on disk.
enum class Resume {
    Continue,     // the body continues them
    StartOver,    // the body is the whole video: the server ignored the range
    AlreadyWhole, // they are the whole video already
    Refused,      // anything else: the server's copy may have changed
};

Resume resumeFrom(int status, const QByteArray &header, qint64 offset)
{
    if (status == 200)
        return Resume::StartOver;
    qint64 first = 0;
    qint64 total = 0;
    const bool ranged = parseContentRange(headerValue(header, "Content-Range"), &first, &total);
    if (status == 206 && ranged && first == offset)
        return Resume::Continue;
    if (status == 416 && ranged && first < 0 && total == offset)
        return Resume::AlreadyWhole;
    return Resume::Refused;
}

} // namespace

// A video is written to its path plus ".part" and gets its own name only
// once its body is complete, so a name without ".part" always means a
// complete video. A failed or cancelled body stays as ".part" for the next
// try or run to resume.
class DownloadWorker::PartFile
{
public:
    explicit PartFile(const QByteArray &videoPath)
        : m_videoPath(videoPath), m_partPath(videoPath + ".part"),
          m_file(QFile::decodeName(m_partPath))
    {}

    // The bytes an earlier try left, 0 when there is no such file.
    qint64 existingSize() const { return m_file.exists() ? m_file.size() : 0; }

    // Append: the new bytes go after those already there; else it starts empty.
    bool open(bool append)
    {
        const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered |
                                         (append ? QIODevice::Append : QIODevice::Truncate);
        if (m_file.open(mode))
            return true;
        m_error = m_file.errorString().toLocal8Bit();
        return false;
    }

    bool write(const char *data, qint64 size)
    {
        // A write that fills the disk comes back short without an error; the
        // next one says why.
        while (size > 0) {
            const qint64 written = m_file.write(data, size);
            if (written <= 0) {
                m_error = m_file.errorString().toLocal8Bit();
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

    // Flushes and closes the file; false when a byte did not reach it.
    bool close()
    {
        const bool flushed = m_file.flush();
        if (!flushed)
            m_error = m_file.errorString().toLocal8Bit();
        m_file.close();
        return flushed;
    }

    // Gives the complete video its name, replacing an older file of that name.
    bool commit()
    {
        if (::rename(m_partPath.constData(), m_videoPath.constData()) == 0)
            return true;
        m_error = strerror(errno);
        return false;
    }

    // Why the last operation failed.
    QByteArray errorText() const { return m_error; }

private:
    QByteArray m_videoPath;
    QByteArray m_partPath;
    QFile m_file;
    QByteArray m_error;
};

DownloadWorker::DownloadWorker(Settings *settings, QList<ResultRow> rowsTopToBottom)
    : Worker(settings), m_rows(std::move(rowsTopToBottom)), m_jar(std::make_unique<CookieJar>()),
      m_http(std::make_unique<HttpClient>())
{
    configureClient(*m_http);
    m_http->setCookieJar(m_jar.get());
    printStartLines(*settings);
    Trace::write("--------start download thread--------\n");
    start();
}

DownloadWorker::~DownloadWorker()
{
    // The thread uses the client until run() has returned.
    stopAndJoin();
    m_http.reset();
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

void DownloadWorker::settle(int index, const RowResult &result)
{
    result.printLine();
    const bool done = result.status == RowResult::Done;
    std::lock_guard lock(m_marksMutex);
    m_marks.append({index, done ? QByteArrayLiteral("o") : QByteArrayLiteral("x"),
                    done ? QByteArray() : result.reason});
}

int DownloadWorker::run()
{
    for (int index = 0; index < m_rows.size(); ++index) {
        m_http->setBinaryMode(false);
        // A row's first request refers to no page.
        m_http->headers().setValue(RequestHeaders::Referer, QByteArray());
        if (stopping())
            return 1;
        currentRow.store(index);
        progress.store(1);
        const ResultRow &row = m_rows[index];
        if (row[ResultRow::State] == "o")
            continue;
        const RowResult result = processRow(row);
        if (result.status == RowResult::Stopped)
            return 1;
        settle(index, result);
    }
    return 0;
}

DownloadWorker::RowResult DownloadWorker::processRow(const ResultRow &row)
{
    const QByteArray &id = row[ResultRow::Id];
    const QByteArray &engineId = row[ResultRow::Type];
    const Engine *engine = settings->findEngine(engineId);
    if (RowResult refused = checkRow(row, engine); refused.status != RowResult::Done)
        return refused;

    // One level only; when it cannot be made, the video file fails to open.
    QDir().mkdir(QFile::decodeName(settings->workDir() + engineId));

    QByteArray workText = id;
    RowResult resolved = resolve(*engine, workText);
    if (resolved.status != RowResult::Done)
        return resolved;
    if (id.size() < 2)
        return RowResult::failed("ID too short: " + id);
    return fetchVideo(*engine, row, workText);
}

DownloadWorker::RowResult DownloadWorker::checkRow(const ResultRow &row, const Engine *engine) const
{
    const QByteArray &engineId = row[ResultRow::Type];
    if (!engine)
        return RowResult::failed("no engine " + engineId);
    if (engine->stagesRefused())
        return RowResult::failedAt("engine " + engineId +
                                   ": its download stages were refused when it was loaded");
    for (const QByteArray &name : {row[ResultRow::Id], engineId}) {
        if (!isSafeComponent(name))
            return RowResult::failedAt("unsafe file name: " + name);
    }
    const QByteArray &ext = engine->text(Engine::Ext);
    if (!isSafeExtension(ext))
        return RowResult::failedAt("unsafe file name: " + ext);
    return RowResult::done();
}

DownloadWorker::RowResult DownloadWorker::resolve(const Engine &engine, QByteArray &workText)
{
    const int stageCount = engine.number(Engine::StageCount);
    const bool unescape = engine.number(Engine::DownloadHttp) == 1;
    for (int stage = 0; stage < stageCount; ++stage) {
        QByteArray url;
        fillTemplate(url, engine.stageText(Engine::StageUrl, stage), workText, 0);
        int chainCode = 0;
        QByteArray page;
        RowResult fetched = fetchStagePage(stage, url, &page, &chainCode);
        if (fetched.status != RowResult::Done)
            return fetched;

        const QByteArray stageName = "stage " + QByteArray::number(stage);
        // Fetching the target with an empty text could save an error page as the video.
        if (findBetween(workText, page, engine.stageText(Engine::StageBegin, stage),
                        engine.stageText(Engine::StageEnd, stage)) < 0)
            return RowResult::failedAt(stageName + ": markers not found");
        if (unescape)
            unescapeStageText(workText);
        // A page cut short may still hold its markers, but the last one must be whole.
        if (chainCode < 0 && stage == stageCount - 1)
            return RowResult::failedAt(stageName + ": page ended short (" +
                                       QByteArray::number(chainCode) + ')');
    }
    return RowResult::done();
}

DownloadWorker::RowResult DownloadWorker::fetchStagePage(int stage, const QByteArray &url,
                                                         QByteArray *page, int *code)
{
    *code = m_http->fetchPage(url, page);
    resultCode.store(*code);
    if (*code == ResultCode::Stopped || stopping())
        return RowResult::stopped();
    // A page cut short still goes to the marker search.
    if (*code < 0 && *code != ResultCode::BodyStopped)
        return RowResult::failedAt("stage " + QByteArray::number(stage) + ": network error " +
                                   QByteArray::number(*code) + ": " + m_http->errorString());
    // The next stage, or the video fetch, comes from this page.
    m_http->headers().setValue(RequestHeaders::Referer, m_http->url());
    return RowResult::done();
}

DownloadWorker::RowResult DownloadWorker::fetchVideo(const Engine &engine, const ResultRow &row,
                                                     const QByteArray &workText)
{
    QByteArray url;
    fillTemplate(url, engine.text(Engine::Target), workText, 0);
    const QByteArray videoPath = settings->workDir() + row[ResultRow::Type] + '/' +
                                 row[ResultRow::Id] + engine.text(Engine::Ext);
    const int retries = qMax(0, engine.number(Engine::Retry));
    for (int retry = 1;; ++retry) {
        const Try attempt = fetchOnce(url, videoPath);
        if (attempt.kind == Try::Complete)
            return finishVideo(row, videoPath);
        if (attempt.kind == Try::Settled)
            return attempt.row;
        const QByteArray why = attempt.code == ResultCode::BodyStopped
                                   ? "body ended short (" + QByteArray::number(attempt.code) + ')'
                                   : "network error " + QByteArray::number(attempt.code);
        if (retry > retries) {
            if (attempt.code == ResultCode::BodyStopped)
                progress.store(100);
            return RowResult::failed(why);
        }
        Trace::print("retry %d/%d: %s\n", retry, retries, why.constData());
        if (!pauseFor(retryPause(retry)))
            return RowResult::cutByStop();
    }
}

DownloadWorker::RowResult DownloadWorker::finishVideo(const ResultRow &row,
                                                      const QByteArray &videoPath)
{
    PartFile part(videoPath);
    if (!part.commit())
        return RowResult::failed("cannot rename: " + part.errorText());
    // The title file holds one line; one that cannot be written is passed
    // over, and so is one that would replace the video itself.
    const QByteArray titlePath =
        settings->workDir() + row[ResultRow::Type] + '/' + row[ResultRow::Id] + ".txt";
    QFile title(QFile::decodeName(titlePath));
    if (titlePath == videoPath) {
        Trace::write("no title file: it would replace the video\n");
    } else if (title.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        title.write("t::" + row[ResultRow::Title] + '\n');
        title.close();
    }
    return RowResult::done();
}

DownloadWorker::Try DownloadWorker::fetchOnce(const QByteArray &url, const QByteArray &videoPath)
{
    // The bytes already on disk, counted in `progress` too.
    const Answer answer = requestVideo(url, PartFile(videoPath).existingSize());
    if (answer.end)
        return *answer.end;
    m_http->setBinaryMode(true);
    // Stopped while the request was under way: the bytes on disk stay as they are.
    if (stopping())
        return Try::settled(RowResult::cutByStop());
    return streamBody(videoPath, answer.offset);
}

DownloadWorker::Answer DownloadWorker::requestVideo(const QByteArray &url, qint64 offset)
{
    for (;;) {
        if (offset > 0)
            m_http->headers().setValue(RequestHeaders::Range,
                                       "bytes=" + QByteArray::number(offset) + '-');
        const int got = m_http->get(url);
        m_http->headers().setValue(RequestHeaders::Range, QByteArray());
        resultCode.store(got);
        // Stopped while the request was under way: the bytes on disk stay as they are.
        if (got == ResultCode::Stopped)
            return {offset, Try::settled(RowResult::cutByStop())};
        if (got < 0) {
            if (isTransient(got))
                return {offset, Try::transient(got)};
            return {offset,
                    Try::settled(RowResult::failed("network error " + QByteArray::number(got)))};
        }
        const int status = m_http->statusCode();
        if (offset > 0) {
            switch (resumeFrom(status, m_http->responseHeader(), offset)) {
            case Resume::Continue:
                break;
            case Resume::StartOver:
                offset = 0;
                break;
            case Resume::AlreadyWhole:
                progress.store(100);
                return {offset, Try{}};
            case Resume::Refused:
                Trace::print("cannot resume at %lld (HTTP status %d): starting over\n",
                             static_cast<long long>(offset), status);
                offset = 0;
                continue;
            }
        }
        // A 206 that was not asked for holds only a part of the video.
        if (status < 200 || status > 299 || (status == 206 && offset == 0))
            return {offset,
                    Try::settled(RowResult::failed("HTTP status " + QByteArray::number(status)))};
        return {offset, std::nullopt};
    }
}

DownloadWorker::Try DownloadWorker::streamBody(const QByteArray &videoPath, qint64 offset)
{
    PartFile part(videoPath);
    Trace::print("open %s\n", videoPath.constData());
    if (!part.open(offset > 0))
        return Try::settled(RowResult::failedAt("open file error"));

    int received = ResultCode::ReceiveAgain;
    bool written = receiveBody(part, offset, &received);
    const bool cancelled = stopping();
    if (written && m_http->bufferedBytes() > 0)
        written = part.writeBuffered(*m_http);
    written = part.close() && written;

    if (!cancelled && written && received != ResultCode::BodyComplete) {
        // `progress` keeps showing what is on disk while a retry waits.
        return Try::transient(received);
    }
    progress.store(100);
    if (cancelled)
        return Try::settled(RowResult::cutByStop());
    if (!written)
        return Try::settled(RowResult::failed("write error: " + part.errorText()));
    return Try{};
}

bool DownloadWorker::receiveBody(PartFile &part, qint64 offset, int *received)
{
    while (!stopping()) {
        *received = m_http->receive();
        resultCode.store(*received);
        if (m_http->bufferedBytes() > FlushThreshold && !part.writeBuffered(*m_http))
            return false;
        const qint64 length = m_http->contentLength();
        if (length > 0) {
            const qint64 percent = (offset + m_http->receivedBytes()) * 100 / (offset + length);
            progress.store(int(qMin<qint64>(100, percent)));
        }
        if (*received != ResultCode::ReceiveAgain && *received != ResultCode::BufferFull)
            break;
    }
    return true;
}
