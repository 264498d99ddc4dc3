#pragma once

#include "core/search/ThumbnailCache.h"

#include <QByteArray>
#include <QList>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class HttpClient;
class Settings;

// Fetches the thumbnails of a result list in the background: on up to
// MaxParallel threads of its own, each image from the disk cache when it is
// there, else through a client set up as a search's is
// (Settings::configureClient), with a body of at most
// ThumbnailCache::MaxImageBytes. Only http and https URLs are fetched.
//
// Each image's bytes go to the sink, on the fetching thread; the sink says
// whether they are an image it can use, and only those are kept in the cache,
// so a broken image is never kept. A failed fetch says why on standard error
// and calls nothing.
//
// stop() (and the destructor) drops the URLs not started, stops the fetches
// under way at their next wait and joins the threads: it returns within a
// fraction of a second.
class ThumbnailFetcher
{
public:
    static constexpr int MaxParallel = 4;

    using Sink = std::function<bool(const QByteArray &url, const QByteArray &bytes)>;

    // Reads the settings now, on the calling thread: the fetch threads never
    // touch them. cacheFolder empty: no disk cache.
    ThumbnailFetcher(const Settings &settings, const QByteArray &cacheFolder, Sink sink,
                     qint64 cacheBytes = ThumbnailCache::DefaultMaxBytes);
    ~ThumbnailFetcher(); // stop()
    ThumbnailFetcher(const ThumbnailFetcher &) = delete;
    ThumbnailFetcher &operator=(const ThumbnailFetcher &) = delete;

    // Fetches the URLs, first to last, each once; called once.
    void start(const QList<QByteArray> &urls);
    void stop();
    // True once every URL was handled (or a stop ended them).
    bool isIdle() const { return m_busy.load() == 0; }

private:
    void threadMain(HttpClient &http);
    bool takeUrl(QByteArray *url);
    // The image's bytes, or false with the reason.
    bool download(HttpClient &http, const QByteArray &url, QByteArray *bytes, QByteArray *why);

    Sink m_sink;
    std::unique_ptr<ThumbnailCache> m_cache;
    std::vector<std::unique_ptr<HttpClient>> m_clients;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    QList<QByteArray> m_queue;
    std::atomic<int> m_stop{0};
    std::atomic<int> m_busy{0}; // URLs queued or under way
};
