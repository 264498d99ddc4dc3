#include "download/DownloadWorker.h"

#include "app/ResultCode.h"
#include "config/Engine.h"
#include "config/Settings.h"
#include "extract/MarkerCut.h"
#include "extract/TextTools.h"
#include "net/HttpClient.h"

#include <QDir>
#include <QFile>
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

// A video is written to its path plus ".part" and gets its own name only
// once its body is complete, so a name without ".part" always means a
// complete video. A failed or cancelled body stays as ".part".
class PartFile
{
public:
    explicit PartFile(const QByteArray &videoPath)
        : m_videoPath(videoPath), m_partPath(videoPath + ".part"),
          m_file(QFile::decodeName(m_partPath))
    {}

    bool open()
    {
        if (m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
            return true;
        m_error = m_file.errorString().toLocal8Bit();
        return false;
    }

    bool write(const char *data, qint64 size)
    {
        if (m_file.write(data, size) == size)
            return true;
        m_error = m_file.errorString().toLocal8Bit();
        return false;
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
    : Worker(settings), m_rows(std::move(rowsTopToBottom)), m_http(std::make_unique<HttpClient>())
{
    configureClient(*m_http, *settings);
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
    if (!engine)
        return Outcome::Failed;
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
    if (id.size() < 2)
        return Outcome::Failed;
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
        if (chainCode < 0)
            break;
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
    }
    return chainCode < 0 ? Outcome::Failed : Outcome::Done;
}

DownloadWorker::Outcome DownloadWorker::fetchVideo(const Engine &engine, const ResultRow &row,
                                                   const QByteArray &workText)
{
    QByteArray url;
    fillTemplate(url, engine.text(Engine::Target), workText, 0);
    const int got = m_http->get(url);
    resultCode.store(got);
    if (got < 0)
        return Outcome::Failed;
    const int status = m_http->statusCode();
    if (status < 200 || status > 299) {
        fprintf(stderr, "download failed: HTTP status %d\n", status);
        return Outcome::Failed;
    }
    m_http->setBinaryMode(true);

    const QByteArray base = settings->workDir() + row[ResultRow::Type] + '/' + row[ResultRow::Id];
    const QByteArray videoPath = base + engine.text(Engine::Ext);
    fprintf(stderr, "open %s\n", videoPath.constData());
    PartFile part(videoPath);
    if (!part.open()) {
        fputs("open file error\n", stderr);
        return Outcome::Failed;
    }

    int code = ResultCode::ReceiveAgain;
    bool written = true;
    while (!stopping()) {
        code = m_http->receive();
        resultCode.store(code);
        if (m_http->bufferedBytes() > FlushThreshold) {
            written = writeBuffered(*m_http, part);
            if (!written)
                break;
        }
        const qint64 length = m_http->contentLength();
        if (length > 0)
            progress.store(int(qMin<qint64>(100, m_http->receivedBytes() * 100 / length)));
        if (code != ResultCode::ReceiveAgain && code != ResultCode::BufferFull)
            break;
    }
    const bool cancelled = stopping();
    progress.store(100);
    if (written && m_http->bufferedBytes() > 0)
        written = writeBuffered(*m_http, part);
    written = part.close() && written;

    if (cancelled)
        return Outcome::Failed;
    if (!written) {
        fprintf(stderr, "download failed: write error: %s\n", part.errorText().constData());
        return Outcome::Failed;
    }
    if (code != ResultCode::BodyComplete) {
        fprintf(stderr, "download failed: body ended short (%d)\n", code);
        return Outcome::Failed;
    }
    if (!part.commit()) {
        fprintf(stderr, "download failed: cannot rename: %s\n", part.errorText().constData());
        return Outcome::Failed;
    }

    // The title file holds one line; one that cannot be written is passed over.
    QFile title(QFile::decodeName(base + ".txt"));
    if (title.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        title.write("t::" + row[ResultRow::Title] + '\n');
        title.close();
    }
    return Outcome::Done;
}
