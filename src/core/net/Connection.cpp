#include "core/net/Connection.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

std::atomic<Connection::Resolver> resolverForTests{nullptr};

bool isStopped(const std::atomic<int> *stop)
{
    return stop && stop->load(std::memory_order_relaxed) != 0;
}

// Waits on one descriptor in slices of at most StopSliceMs, looking at the
// stop flag before each: true when an event (or an error state) is ready.
bool waitOn(int fd, short events, QDeadlineTimer deadline, const std::atomic<int> *stop)
{
    pollfd entry{fd, events, 0};
    for (;;) {
        if (isStopped(stop))
            return false;
        const qint64 left = deadline.remainingTime(); // -1: no deadline
        const int slice =
            left < 0 ? Connection::StopSliceMs : int(qMin<qint64>(left, Connection::StopSliceMs));
        const int result = poll(&entry, 1, slice);
        if (result > 0)
            return true;
        if (result < 0 && errno != EINTR)
            return false;
        if (result == 0 && deadline.hasExpired())
            return false;
    }
}

bool setNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A name lookup runs on a thread of its own, so that the caller can give it
// up at its deadline or at a stop: getaddrinfo() has no time-out and cannot be
// interrupted. glibc's getaddrinfo_a() does not help there, as it cannot
// cancel a request under way and goes on writing into the caller's control
// block; an abandoned request would need the same shared ownership as here,
// with less control over the thread. The state below is shared by the caller
// and the thread: an abandoned lookup ends on its own, and the last owner
// frees what it found.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    addrinfo *addresses = nullptr;

    ~Lookup()
    {
        if (addresses)
            freeaddrinfo(addresses);
    }
};

// The addresses of the host (freed by the caller), or null when it does not
// resolve by the deadline or a stop came first.
addrinfo *resolve(const QByteArray &host, const QByteArray &service, QDeadlineTimer deadline,
                  const std::atomic<int> *stop)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A numeric address needs no lookup and never waits.
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo *addresses = nullptr;
    const int numeric = getaddrinfo(host.constData(), service.constData(), &hints, &addresses);
    if (numeric == 0)
        return addresses;
    if (numeric != EAI_NONAME)
        return nullptr;

    hints.ai_flags = AI_NUMERICSERV;
    Connection::Resolver resolver = resolverForTests.load();
    if (!resolver)
        resolver = getaddrinfo;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, resolver, host, service, hints] {
            addrinfo *found = nullptr;
            const int status = resolver(host.constData(), service.constData(), &hints, &found);
            std::lock_guard lock(lookup->mutex);
            lookup->addresses = status == 0 ? found : nullptr;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return nullptr;
    }
    std::unique_lock lock(lookup->mutex);
    for (;;) {
        if (lookup->finished)
            return std::exchange(lookup->addresses, nullptr);
        if (isStopped(stop) || deadline.hasExpired())
            return nullptr;
        const qint64 left = deadline.remainingTime();
        const qint64 slice =
            left < 0 ? Connection::StopSliceMs : qMin<qint64>(left, Connection::StopSliceMs);
        lookup->done.wait_for(lock, std::chrono::milliseconds(slice));
    }
}

// Non-blocking connect bounded by the deadline; the socket stays non-blocking.
int connectOne(const addrinfo *address, QDeadlineTimer deadline, const std::atomic<int> *stop)
{
    const int fd =
        socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0)
        return -1;
    bool connected = false;
    if (setNonBlocking(fd)) {
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS && waitOn(fd, POLLOUT, deadline, stop)) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    if (!connected) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Connection::Connection() = default;

Connection::~Connection()
{
    closeSocket();
}

void Connection::setResolverForTests(Resolver resolver)
{
    resolverForTests.store(resolver);
}

void Connection::closeSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Connection::open(const QByteArray &host, int port, QDeadlineTimer deadline)
{
    closeSocket();
    if (host.isEmpty() || port <= 0 || port > 65535)
        return false;
    addrinfo *addresses = resolve(host, QByteArray::number(port), deadline, m_stop);
    for (const addrinfo *address = addresses; address && m_fd < 0 && !stopRequested();
         address = address->ai_next)
        m_fd = connectOne(address, deadline, m_stop);
    if (addresses)
        freeaddrinfo(addresses);
    return m_fd >= 0;
}

bool Connection::writeAll(const char *data, qint64 size, QDeadlineTimer deadline)
{
    if (m_fd < 0)
        return false;
    while (size > 0) {
        if (stopRequested())
            return false;
        const ssize_t written = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitSocket(POLLOUT, deadline))
                return false;
            continue;
        }
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool Connection::waitReadable(QDeadlineTimer deadline)
{
    m_readDeadline = deadline;
    return waitSocket(POLLIN, deadline);
}

bool Connection::waitSocket(short events, QDeadlineTimer deadline) const
{
    return m_fd >= 0 && waitOn(m_fd, events, deadline, m_stop);
}

qint64 Connection::read(char *buffer, qint64 maxSize)
{
    if (m_fd < 0)
        return -1;
    for (;;) {
        const ssize_t count = ::recv(m_fd, buffer, size_t(qMin<qint64>(maxSize, INT_MAX)), 0);
        if (count >= 0)
            return count;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitSocket(POLLIN, m_readDeadline))
            return -1;
    }
}
