#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QtGlobal>
#include <atomic>

struct addrinfo;

// One TCP stream connection over a non-blocking POSIX socket. Every wait is
// bounded by the deadline its caller gives, and every wait looks at the stop
// flag at least every StopSliceMs: once the flag is set the wait ends at once
// and the operation fails, with stopRequested() telling why. A TLS variant
// derives from this class and works on the same descriptor; HttpClient only
// uses the virtual interface.
class Connection
{
public:
    static constexpr int StopSliceMs = 100;

    // getaddrinfo()'s signature; the addresses are released with freeaddrinfo().
    using Resolver = int (*)(const char *host, const char *service, const addrinfo *hints,
                             addrinfo **result);

    Connection();
    virtual ~Connection(); // closes the socket
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Not owned; null (the default) never stops. Not 0 means stop.
    void setStopFlag(const std::atomic<int> *flag) { m_stop = flag; }
    bool stopRequested() const { return m_stop && m_stop->load(std::memory_order_relaxed) != 0; }

    // Resolves the host (IPv4 and IPv6) and connects to the first address
    // that answers, all by the deadline. False when the name does not
    // resolve, no address accepts the connection, the deadline passes or a
    // stop is requested.
    virtual bool open(const QByteArray &host, int port, QDeadlineTimer deadline);
    // Writes every byte; false on an error, a stop, or when the deadline
    // passes before the peer has taken them all.
    virtual bool writeAll(const char *data, qint64 size, QDeadlineTimer deadline);
    // True when bytes (or the end of the stream) can be read now or arrive
    // before the deadline; false after the deadline or on a stop.
    virtual bool waitReadable(QDeadlineTimer deadline);
    // One read of at most maxSize bytes: the count read, 0 when the peer has
    // closed the stream, -1 on an error. Meant to follow waitReadable(); a
    // read that finds nothing yet waits until that call's deadline.
    virtual qint64 read(char *buffer, qint64 maxSize);

    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }

    // The function that names other than numeric addresses go to: getaddrinfo
    // unless a test sets another (one that never answers, say); null
    // restores getaddrinfo. Any thread.
    static void setResolverForTests(Resolver resolver);

protected:
    void closeSocket();
    // Waits on the socket for the events in slices of at most StopSliceMs,
    // restarted after a signal: true when one is ready, false when the
    // deadline passed, on an error, or when a stop was requested.
    bool waitSocket(short events, QDeadlineTimer deadline) const;
    // The deadline of the last waitReadable(), which read() keeps to.
    QDeadlineTimer m_readDeadline;

private:
    int m_fd = -1;
    const std::atomic<int> *m_stop = nullptr;
};
