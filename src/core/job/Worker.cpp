#include "core/job/Worker.h"

#include "core/config/Settings.h"
#include "core/job/Trace.h"
#include "core/net/Connection.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

Worker::Worker(Settings *settings) : settings(settings) {}

Worker::~Worker()
{
    stopAndJoin();
}

void Worker::stopAndJoin()
{
    if (!m_thread.joinable())
        return;
    requestStop();
    m_thread.join();
}

int Worker::run()
{
    return 0;
}

void Worker::requestStop()
{
    {
        // Under the pause lock, so that a pause cannot miss the wake-up.
        std::lock_guard lock(m_pauseMutex);
        stopRequested.store(1, std::memory_order_relaxed);
    }
    m_pauseWake.notify_all();
}

bool Worker::pauseFor(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    std::unique_lock lock(m_pauseMutex);
    while (!stopping()) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= left.zero())
            return true;
        m_pauseWake.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                       left, std::chrono::milliseconds(Connection::StopSliceMs)));
    }
    return false;
}

bool Worker::waitFinished(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return isFinished(); });
    return isFinished();
}

void Worker::start()
{
    try {
        m_thread = std::thread(&Worker::threadMain, this);
    } catch (const std::system_error &e) {
        fprintf(stderr, "cannot create the job thread: %s\n", e.what());
        resultCode.store(ResultCode::ThreadFailed, std::memory_order_relaxed);
        finished.store(1, std::memory_order_release);
    }
}

void Worker::threadMain()
{
    run();
    std::lock_guard lock(m_mutex);
    finished.store(1, std::memory_order_release);
    m_done.notify_all();
}

void Worker::configureClient(HttpClient &http) const
{
    settings->configureClient(http);
    http.setStopFlag(&stopRequested);
}

void Worker::printStartLines(const Settings &settings)
{
    Trace::print("--------start search thread--------\n"
                 "Timeout= %d\n"
                 "UserAgent= %s\n"
                 "Proxy= %s\n"
                 "Port= %d\n"
                 "ID= %s\n"
                 "Password= %s\n",
                 settings.timeout(1), settings.userAgent().constData(),
                 settings.proxy().constData(), settings.port(), settings.userId().constData(),
                 settings.password().isEmpty() ? "" : "********");
}
