#include "core/net/Connection.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// poll() on one descriptor, restarted after a signal.
int pollOne(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    for (;;) {
        const int result = poll(&entry, 1, timeoutMs);
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

bool setBlocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

// Non-blocking connect bounded by the time-out, then back to blocking mode.
int connectOne(const addrinfo *address, int timeoutMs)
{
    const int fd =
        socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0)
        return -1;
    bool connected = false;
    if (setBlocking(fd, false)) {
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS && pollOne(fd, POLLOUT, timeoutMs) > 0) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    if (!connected || !setBlocking(fd, true)) {
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

void Connection::closeSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Connection::open(const QByteArray &host, int port, int timeoutMs)
{
    closeSocket();
    if (host.isEmpty() || port <= 0 || port > 65535)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    if (getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &addresses) !=
        0)
        return false;
    for (const addrinfo *address = addresses; address && m_fd < 0; address = address->ai_next)
        m_fd = connectOne(address, timeoutMs);
    freeaddrinfo(addresses);
    if (m_fd < 0)
        return false;
    // A blocking write that the peer does not take ends after the time-out.
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return true;
}

bool Connection::writeAll(const char *data, qint64 size)
{
    if (m_fd < 0)
        return false;
    while (size > 0) {
        const ssize_t written = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool Connection::waitReadable(int timeoutMs)
{
    return m_fd >= 0 && pollOne(m_fd, POLLIN, timeoutMs) > 0;
}

int Connection::pollSocket(short events, int timeoutMs) const
{
    return m_fd >= 0 ? pollOne(m_fd, events, timeoutMs) : -1;
}

qint64 Connection::read(char *buffer, qint64 maxSize)
{
    if (m_fd < 0)
        return -1;
    for (;;) {
        const ssize_t count = ::recv(m_fd, buffer, size_t(qMin<qint64>(maxSize, INT_MAX)), 0);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}
