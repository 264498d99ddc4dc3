#include "core/download/DownloadWorker.h"

#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/extract/MarkerCut.h"
#include "core/extract/TextTools.h"
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

// A video is written to its path plus ".part" and gets its own name only
// once its body is complete, so a name without ".part" always means a
// complete video. A failed or cancelled body stays as ".part" for the next
// try or run to resume.
class PartFile
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

// Writes the client's buffered bytes to the file and empties the buffer.
bool writeBuffered(HttpClient &http, PartFile &part)
{
    const bool written = part.write(http.data(), http.bufferedBytes());
    http.clearBuffer();
    return written;
}

} // namespace

DownloadWorker::DownloadWorker(Settings *settings, QList<ResultRow> rowsTopToBottom)
    : Worker(settings), m_rows(std::move(rowsTopToBottom)), m_jar(std::make_unique<CookieJar>()),
      m_http(std::make_unique<HttpClient>())
{
    settings->configureClient(*m_http);
    m_http->setCookieJar(m_jar.get());
    printStartLines(*settings);
    fputs("--------start download thread--------\n", stderr);
    start();
}

DownloadWorker::~DownloadWorker()
{
    // The thread uses the client until run() has returned.
    waitFinished(JoinTimeoutMs);
    m_http.reset();
    fputs("--------end download thread--------\n", stderr);
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

QList<std::pair<int, QByteArray>> DownloadWorker::takeMarks()
{
    std::lock_guard lock(m_marksMutex);
    return std::exchange(m_marks, {});
}

void DownloadWorker::pushMark(int index, const QByteArray &mark)
{
    std::lock_guard lock(m_marksMutex);
    m_marks.append({index, mark});
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
        switch (processRow(row)) {
        case Outcome::Stopped:
            return 1;
        case Outcome::Done:
            pushMark(index, QByteArrayLiteral("o"));
            break;
        case Outcome::Failed:
            pushMark(index, QByteArrayLiteral("x"));
            break;
        }
    }
    return 0;
}

DownloadWorker::Outcome DownloadWorker::processRow(const ResultRow &row)
{
    const QByteArray &id = row[ResultRow::Id];
    const QByteArray &engineId = row[ResultRow::Type];
    const Engine *engine = settings->findEngine(engineId);
    if (!engine) {
        fprintf(stderr, "download failed: no engine %s\n", engineId.constData());
        return Outcome::Failed;
    }
    if (engine->stagesRefused()) {
        fprintf(stderr, "engine %s: its download stages were refused when it was loaded\n",
                engineId.constData());
        return Outcome::Failed;
    }
    for (const QByteArray &name : {id, engineId}) {
        if (!isSafeComponent(name)) {
            fprintf(stderr, "unsafe file name: %s\n", name.constData());
            return Outcome::Failed;
        }
    }
    const QByteArray &ext = engine->text(Engine::Ext);
    if (!isSafeExtension(ext)) {
        fprintf(stderr, "unsafe file name: %s\n", ext.constData());
        return Outcome::Failed;
    }

    // One level only; when it cannot be made, the video file fails to open.
    QDir().mkdir(QFile::decodeName(settings->workDir() + engineId));

    QByteArray workText = id;
    const Outcome resolved = resolve(*engine, workText);
    if (resolved != Outcome::Done)
        return resolved;
    if (id.size() < 2) {
        fprintf(stderr, "download failed: ID too short: %s\n", id.constData());
        return Outcome::Failed;
    }
    return fetchVideo(*engine, row, workText);
}

DownloadWorker::Outcome DownloadWorker::resolve(const Engine &engine, QByteArray &workText)
{
    const int stageCount = engine.number(Engine::StageCount);
    const bool unescape = engine.number(Engine::DownloadHttp) == 1;
    int chainCode = 0;
    for (int stage = 0; stage < stageCount; ++stage) {
        QByteArray url;
        fillTemplate(url, engine.stageText(Engine::StageUrl, stage), workText, 0);
        chainCode = m_http->get(url);
        resultCode.store(chainCode);
        if (chainCode < 0) {
            fprintf(stderr, "stage %d: network error %d\n", stage, chainCode);
            return Outcome::Failed;
        }
        // The next stage, or the video fetch, comes from this page.
        m_http->headers().setValue(RequestHeaders::Referer, m_http->url());
        do {
            if (stopping())
                return Outcome::Stopped;
            chainCode = m_http->receive();
            resultCode.store(chainCode);
        } while (chainCode == ResultCode::ReceiveAgain);
        if (stopping())
            return Outcome::Stopped;

        // Fetching the target with an empty text could save an error page as the video.
        if (findBetween(workText, m_http->view(), engine.stageText(Engine::StageBegin, stage),
                        engine.stageText(Engine::StageEnd, stage)) < 0) {
            fprintf(stderr, "stage %d: markers not found\n", stage);
            return Outcome::Failed;
        }
        if (unescape)
            unescapeStageText(workText);
        // A page cut short may still hold its markers, but the last one must be whole.
        if (chainCode < 0 && stage == stageCount - 1) {
            fprintf(stderr, "stage %d: page ended short (%d)\n", stage, chainCode);
            return Outcome::Failed;
        }
    }
    return Outcome::Done;
}

DownloadWorker::Outcome DownloadWorker::fetchVideo(const Engine &engine, const ResultRow &row,
                                                   const QByteArray &workText)
{
    QByteArray url;
    fillTemplate(url, engine.text(Engine::Target), workText, 0);
    const QByteArray base = settings->workDir() + row[ResultRow::Type] + '/' + row[ResultRow::Id];
    const QByteArray videoPath = base + engine.text(Engine::Ext);
    const int retries = qMax(0, engine.number(Engine::Retry));
    for (int retry = 1;; ++retry) {
        int code = 0;
        const Try result = fetchOnce(url, videoPath, &code);
        if (result == Try::Complete)
            break;
        if (result == Try::Failed)
            return Outcome::Failed;
        const QByteArray why = code == ResultCode::BodyStopped
                                   ? "body ended short (" + QByteArray::number(code) + ')'
                                   : "network error " + QByteArray::number(code);
        if (retry > retries) {
            if (code == ResultCode::BodyStopped)
                progress.store(100);
            fprintf(stderr, "download failed: %s\n", why.constData());
            return Outcome::Failed;
        }
        fprintf(stderr, "retry %d/%d: %s\n", retry, retries, why.constData());
        if (!pauseFor(retryPause(retry)))
            return Outcome::Failed;
    }

    PartFile part(videoPath);
    if (!part.commit()) {
        fprintf(stderr, "download failed: cannot rename: %s\n", part.errorText().constData());
        return Outcome::Failed;
    }
    // The title file holds one line; one that cannot be written is passed
    // over, and so is one that would replace the video itself.
    QFile title(QFile::decodeName(base + ".txt"));
    if (base + ".txt" == videoPath) {
        fputs("no title file: it would replace the video\n", stderr);
    } else if (title.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        title.write("t::" + row[ResultRow::Title] + '\n');
        title.close();
    }
    return Outcome::Done;
}

DownloadWorker::Try DownloadWorker::fetchOnce(const QByteArray &url, const QByteArray &videoPath,
                                              int *code)
{
    PartFile part(videoPath);
    // The bytes already on disk, counted in `progress` too.
    qint64 offset = part.existingSize();
    for (;;) {
        if (offset > 0)
            m_http->headers().setValue(RequestHeaders::Range,
                                       "bytes=" + QByteArray::number(offset) + '-');
        const int got = m_http->get(url);
        m_http->headers().setValue(RequestHeaders::Range, QByteArray());
        resultCode.store(got);
        if (got < 0) {
            *code = got;
            if (isTransient(got))
                return Try::Transient;
            fprintf(stderr, "download failed: network error %d\n", got);
            return Try::Failed;
        }
        const int status = m_http->statusCode();
        if (offset == 0)
            break;
        if (status == 200) {
            // No range from this server: the whole video comes again.
            offset = 0;
            break;
        }
        qint64 first = 0;
        qint64 total = 0;
        const bool ranged = parseContentRange(
            headerValue(m_http->responseHeader(), "Content-Range"), &first, &total);
        if (status == 206 && ranged && first == offset)
            break;
        if (status == 416 && ranged && first < 0 && total == offset) {
            // The ".part" holds the whole video already.
            progress.store(100);
            return Try::Complete;
        }
        // The server's copy may have changed: the bytes on disk cannot be trusted.
        fprintf(stderr, "cannot resume at %lld (HTTP status %d): starting over\n",
                static_cast<long long>(offset), status);
        offset = 0;
    }
    const int status = m_http->statusCode();
    // A 206 that was not asked for holds only a part of the video.
    if (status < 200 || status > 299 || (status == 206 && offset == 0)) {
        fprintf(stderr, "download failed: HTTP status %d\n", status);
        return Try::Failed;
    }
    m_http->setBinaryMode(true);
    // Stopped while the request was under way: the bytes on disk stay as they are.
    if (stopping())
        return Try::Failed;

    fprintf(stderr, "open %s\n", videoPath.constData());
    if (!part.open(offset > 0)) {
        fputs("open file error\n", stderr);
        return Try::Failed;
    }

    int received = ResultCode::ReceiveAgain;
    bool written = true;
    while (!stopping()) {
        received = m_http->receive();
        resultCode.store(received);
        if (m_http->bufferedBytes() > FlushThreshold) {
            written = writeBuffered(*m_http, part);
            if (!written)
                break;
        }
        const qint64 length = m_http->contentLength();
        if (length > 0) {
            const qint64 percent = (offset + m_http->receivedBytes()) * 100 / (offset + length);
            progress.store(int(qMin<qint64>(100, percent)));
        }
        if (received != ResultCode::ReceiveAgain && received != ResultCode::BufferFull)
            break;
    }
    const bool cancelled = stopping();
    if (written && m_http->bufferedBytes() > 0)
        written = writeBuffered(*m_http, part);
    written = part.close() && written;

    if (!cancelled && written && received != ResultCode::BodyComplete) {
        // `progress` keeps showing what is on disk while a retry waits.
        *code = received;
        return Try::Transient;
    }
    progress.store(100);
    if (cancelled)
        return Try::Failed;
    if (!written) {
        fprintf(stderr, "download failed: write error: %s\n", part.errorText().constData());
        return Try::Failed;
    }
    return Try::Complete;
}
