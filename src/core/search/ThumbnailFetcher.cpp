#include "core/search/ThumbnailFetcher.h"

#include "core/config/Settings.h"
#include "core/job/Trace.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QSet>
#include <system_error>

namespace {

bool isWebUrl(const QByteArray &url)
{
    return url.startsWith("http://") || url.startsWith("https://");
}

} // namespace

ThumbnailFetcher::ThumbnailFetcher(const Settings &settings, const QByteArray &cacheFolder,
                                   Sink sink, qint64 cacheBytes)
    : m_sink(std::move(sink))
{
    if (!cacheFolder.isEmpty()) {
        m_cache = std::make_unique<ThumbnailCache>(cacheFolder, cacheBytes);
        QString error;
        if (!m_cache->open(&error))
            Trace::print("thumbnail cache %s: %s\n", cacheFolder.constData(),
                         error.toLocal8Bit().constData());
    }
    for (int i = 0; i < MaxParallel; ++i) {
        auto http = std::make_unique<HttpClient>();
        settings.configureClient(*http);
        http->setStopFlag(&m_stop);
        http->setBinaryMode(true);
        m_clients.push_back(std::move(http));
    }
}

ThumbnailFetcher::~ThumbnailFetcher()
{
    stop();
}

void ThumbnailFetcher::start(const QList<QByteArray> &urls)
{
    QSet<QByteArray> seen;
    {
        std::lock_guard lock(m_mutex);
        for (const QByteArray &url : urls) {
            if (isWebUrl(url) && !seen.contains(url)) {
                seen.insert(url);
                m_queue.append(url);
            }
        }
        m_busy.store(int(m_queue.size()));
    }
    const size_t wanted = std::min<size_t>(m_clients.size(), size_t(seen.size()));
    for (size_t i = 0; i < wanted && m_threads.size() < wanted; ++i) {
        try {
            m_threads.emplace_back([this, i] { threadMain(*m_clients[i]); });
        } catch (const std::system_error &e) {
            Trace::print("cannot create a thumbnail thread: %s\n", e.what());
            break;
        }
    }
    if (m_threads.empty()) {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_busy.store(0);
    }
}

void ThumbnailFetcher::stop()
{
    m_stop.store(1);
    {
        std::lock_guard lock(m_mutex);
        m_busy.fetch_sub(int(m_queue.size()));
        m_queue.clear();
    }
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
}

bool ThumbnailFetcher::takeUrl(QByteArray *url)
{
    std::lock_guard lock(m_mutex);
    if (m_stop.load() != 0 || m_queue.isEmpty())
        return false;
    *url = m_queue.takeFirst();
    return true;
}

void ThumbnailFetcher::threadMain(HttpClient &http)
{
    QByteArray url;
    while (takeUrl(&url)) {
        QByteArray bytes;
        QByteArray why;
        if (m_cache && m_cache->read(url, &bytes)) {
            if (!m_sink(url, bytes))
                Trace::print("thumbnail %s: the cached image cannot be read\n", url.constData());
        } else if (download(http, url, &bytes, &why)) {
            QString error;
            if (!m_sink(url, bytes))
                Trace::print("thumbnail %s: not an image that can be shown\n", url.constData());
            else if (m_cache && m_cache->isOpen() && !m_cache->store(url, bytes, &error))
                Trace::print("thumbnail %s: not cached: %s\n", url.constData(),
                             error.toLocal8Bit().constData());
        } else if (m_stop.load() == 0) {
            Trace::print("thumbnail %s: %s\n", url.constData(), why.constData());
        }
        m_busy.fetch_sub(1);
    }
}

bool ThumbnailFetcher::download(HttpClient &http, const QByteArray &url, QByteArray *bytes,
                                QByteArray *why)
{
    const qint64 limit = ThumbnailCache::MaxImageBytes;
    int code = http.get(url);
    if (code < 0) {
        *why = "network error " + QByteArray::number(code) + ": " + http.errorString();
        return false;
    }
    if (http.statusCode() < 200 || http.statusCode() > 299) {
        *why = "HTTP status " + QByteArray::number(http.statusCode());
        return false;
    }
    if (http.contentLength() > limit) {
        *why = "larger than " + QByteArray::number(limit) + " bytes";
        return false;
    }
    // get() returned a count of bytes; every later code is a receive state.
    code = ResultCode::ReceiveAgain;
    for (;;) {
        bytes->append(http.view());
        http.clearBuffer();
        if (bytes->size() > limit) {
            *why = "larger than " + QByteArray::number(limit) + " bytes";
            return false;
        }
        // A body without an announced length is complete when the server
        // closes; a stop before then (time-out, read error, chunks cut) is
        // a failure, however much came.
        if (code == ResultCode::BodyComplete)
            return true;
        if (code < 0) {
            *why = "network error " + QByteArray::number(code) + ": " + http.errorString();
            return false;
        }
        code = http.receive();
    }
}
