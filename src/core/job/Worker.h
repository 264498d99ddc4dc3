#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class HttpClient;
class Settings;

// The thread base of the two jobs. A derived class calls start() as the last
// step of its constructor; its thread runs run() and then sets `finished`.
// The owner polls the atomic fields from the GUI thread, sets `stopRequested`
// to cancel, and deletes the job once it has seen `finished`.
//
// A job's client looks at `stopRequested` in every wait (configureClient()
// hands it over), so a job ends within a fraction of a second of a stop
// request. Deleting a job therefore requests a stop and joins its thread:
// the thread never outlives the object nor runs on without it.
class Worker
{
public:
    explicit Worker(Settings *settings);
    virtual ~Worker(); // requests a stop and joins the thread
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // How long an owner waits for a job it did not ask to stop.
    static constexpr int JoinTimeoutMs = 30000;

    virtual int run();

    bool isFinished() const { return finished.load(std::memory_order_acquire) != 0; }
    // Sets the stop flag and ends a pause under way at once.
    void requestStop();
    bool stopping() const { return stopRequested.load(std::memory_order_relaxed) != 0; }
    // Waits until `finished` is set, at most timeoutMs; true when it is.
    bool waitFinished(int timeoutMs);
    // Requests a stop and waits for the thread's end, which the client's
    // sliced waits keep short; a derived destructor calls it before it
    // deletes what run() uses. Does nothing once joined or never started.
    void stopAndJoin();

    std::atomic<int> stopRequested{0};
    std::atomic<int> finished{0}; // stored with release order after run() returned
    std::atomic<int> progress{0};
    std::atomic<int> progressTotal{0};
    std::atomic<int> resultCode{0};

protected:
    // Starts the thread. When it cannot be created, the job ends at once with
    // ResultCode::ThreadFailed and one line on standard error.
    void start();

    // Sets up a job's client as Settings::configureClient() does, and gives
    // it `stopRequested` as its stop flag.
    void configureClient(HttpClient &http) const;
    // The start block both jobs print on standard error; a password that is
    // set shows as "********", an empty one as nothing.
    static void printStartLines(const Settings &settings);
    // Waits on the job's thread for the duration, ended early by
    // requestStop() (or by `stopRequested` set directly, seen within
    // StopSliceMs); false when a stop was requested.
    bool pauseFor(std::chrono::milliseconds duration);

    Settings *const settings;

private:
    void threadMain();

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseWake;
};
