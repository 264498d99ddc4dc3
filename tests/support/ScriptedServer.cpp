#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int RequestWaitMs = 5000;

// Waits for the descriptor or the stop pipe: 1 the descriptor is ready, 0
// the time passed, -1 the server is stopping (or poll failed).
int waitFor(int fd, short events, int stopFd, int timeoutMs)
{
    pollfd entries[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    const int count = fd >= 0 ? 2 : 1;
    for (;;) {
        const int result = poll(entries, nfds_t(count), timeoutMs);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0 || entries[0].revents)
            return -1;
        return result == 0 ? 0 : 1;
    }
}

bool hasHeaderEnd(const QByteArray &bytes)
{
    return bytes.contains("\r\n\r\n") || bytes.contains("\n\n");
}

const char *reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

// One accepted connection, plain or TLS. Every wait also ends when the
// server stops.
struct ScriptedServer::Peer
{
    int fd;
    int stopFd;
    SSL *ssl = nullptr;

    // Waits for what the last TLS call asked for; as waitFor().
    int waitTls(int result, int timeoutMs)
    {
        const int error = SSL_get_error(ssl, result);
        if (error == SSL_ERROR_WANT_READ)
            return waitFor(fd, POLLIN, stopFd, timeoutMs);
        if (error == SSL_ERROR_WANT_WRITE)
            return waitFor(fd, POLLOUT, stopFd, timeoutMs);
        return -1;
    }

    bool handshake()
    {
        for (;;) {
            const int result = SSL_accept(ssl);
            if (result == 1)
                return true;
            if (waitTls(result, RequestWaitMs) <= 0)
                return false;
        }
    }

    // Bytes read, or 0 or less when the peer closed, the time passed, an
    // error occurred or the server is stopping.
    ssize_t read(char *buffer, size_t size, int timeoutMs)
    {
        if (!ssl) {
            const int ready = waitFor(fd, POLLIN, stopFd, timeoutMs);
            return ready <= 0 ? ready : recv(fd, buffer, size, 0);
        }
        for (;;) {
            const int count = SSL_read(ssl, buffer, int(size));
            if (count > 0)
                return count;
            const int ready = waitTls(count, timeoutMs);
            if (ready <= 0)
                return ready;
        }
    }

    bool write(const char *data, size_t size)
    {
        size_t sent = 0;
        while (sent < size) {
            if (ssl) {
                const int count = SSL_write(ssl, data + sent, int(size - sent));
                if (count > 0)
                    sent += size_t(count);
                else if (waitTls(count, -1) <= 0)
                    return false;
                continue;
            }
            if (waitFor(fd, POLLOUT, stopFd, -1) < 0)
                return false;
            const ssize_t count = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (count < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (count <= 0)
                return false;
            sent += size_t(count);
        }
        return true;
    }
};

ScriptedServer::ScriptedServer() = default;

ScriptedServer::~ScriptedServer()
{
    stop();
    SSL_CTX_free(m_tls);
}

bool ScriptedServer::setTls(const QByteArray &certificateFile, const QByteArray &keyFile)
{
    SSL_CTX_free(m_tls);
    m_tls = SSL_CTX_new(TLS_server_method());
    if (m_tls && SSL_CTX_use_certificate_chain_file(m_tls, certificateFile.constData()) == 1 &&
        SSL_CTX_use_PrivateKey_file(m_tls, keyFile.constData(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(m_tls) == 1)
        return true;
    SSL_CTX_free(m_tls);
    m_tls = nullptr;
    return false;
}

void ScriptedServer::addResponse(const Script &script)
{
    std::lock_guard lock(m_mutex);
    m_queue.append(script);
}

void ScriptedServer::setFallback(const Script &script)
{
    std::lock_guard lock(m_mutex);
    m_fallback = script;
    m_hasFallback = true;
}

void ScriptedServer::setRoute(const QByteArray &path, const Script &script)
{
    std::lock_guard lock(m_mutex);
    m_routes.insert(path, script);
}

bool ScriptedServer::start()
{
    if (m_listenFd >= 0)
        return true;
    if (pipe2(m_stopPipe, O_CLOEXEC) != 0 || pipe2(m_gatePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return false;
    const int on = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 16) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread(&ScriptedServer::acceptLoop, this);
    return true;
}

void ScriptedServer::stop()
{
    if (m_stopPipe[1] >= 0) {
        const char byte = 's';
        while (write(m_stopPipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
    for (int *fd : {&m_listenFd, &m_stopPipe[0], &m_stopPipe[1], &m_gatePipe[0], &m_gatePipe[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ScriptedServer::proceed()
{
    const char byte = 'g';
    while (write(m_gatePipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

QByteArray ScriptedServer::url(const QByteArray &path) const
{
    return (m_tls ? "https" : "http") + QByteArrayLiteral("://127.0.0.1:") +
           QByteArray::number(m_port) + path;
}

QList<QByteArray> ScriptedServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int ScriptedServer::connectionCount() const
{
    std::lock_guard lock(m_mutex);
    return int(m_requests.size());
}

ScriptedServer::Script ScriptedServer::reply(int status, const QByteArray &body,
                                             const QByteArray &extraHeaders)
{
    return {Step::send("HTTP/1.0 " + QByteArray::number(status) + ' ' + reason(status) +
                       "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" +
                       extraHeaders + "\r\n" + body),
            Step::close()};
}

QByteArray ScriptedServer::okAnswer(const QByteArray &body)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

QByteArray ScriptedServer::target(const QByteArray &request)
{
    const qsizetype lineEnd = request.indexOf('\n');
    const QList<QByteArray> words = request.left(lineEnd).trimmed().split(' ');
    return words.size() >= 2 ? words[1] : QByteArray();
}

void ScriptedServer::acceptLoop()
{
    for (;;) {
        if (waitFor(m_listenFd, POLLIN, m_stopPipe[0], -1) < 0)
            return;
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        qsizetype index;
        {
            std::lock_guard lock(m_mutex);
            index = m_requests.size();
            m_requests.append(QByteArray());
        }
        m_threads.emplace_back(&ScriptedServer::serve, this, fd, index);
    }
}

void ScriptedServer::record(qsizetype index, const QByteArray &bytes)
{
    std::lock_guard lock(m_mutex);
    m_requests[index] += bytes;
}

ScriptedServer::Script ScriptedServer::pickScript(const QByteArray &request)
{
    QByteArray path = target(request);
    const qsizetype scheme = path.indexOf("://");
    if (scheme >= 0) {
        const qsizetype pathStart = path.indexOf('/', scheme + 3);
        path = pathStart < 0 ? QByteArrayLiteral("/") : path.mid(pathStart);
    }
    std::lock_guard lock(m_mutex);
    if (m_routes.contains(path))
        return m_routes.value(path);
    if (!m_queue.isEmpty())
        return m_queue.takeFirst();
    return m_hasFallback ? m_fallback : Script();
}

void ScriptedServer::serve(int fd, qsizetype index)
{
    Peer peer{fd, m_stopPipe[0]};
    if (m_tls) {
        // OpenSSL writes with write(): a client gone must not raise SIGPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        peer.ssl = SSL_new(m_tls);
        if (!peer.ssl || SSL_set_fd(peer.ssl, fd) != 1 || !peer.handshake()) {
            SSL_free(peer.ssl);
            ::close(fd);
            return;
        }
    }
    // The request first, so that a later close does not reset unread bytes.
    QByteArray request;
    char chunk[4096];
    while (!hasHeaderEnd(request)) {
        const ssize_t count = peer.read(chunk, sizeof chunk, RequestWaitMs);
        if (count <= 0)
            break;
        request.append(chunk, count);
        record(index, QByteArray(chunk, count));
    }
    for (const Step &step : pickScript(request)) {
        if (!runStep(peer, index, step))
            break;
    }
    if (peer.ssl) {
        SSL_shutdown(peer.ssl);
        SSL_free(peer.ssl);
    }
    shutdown(fd, SHUT_WR);
    ::close(fd);
}

bool ScriptedServer::runStep(Peer &peer, qsizetype index, const Step &step)
{
    switch (step.kind) {
    case Step::Send:
        return peer.write(step.bytes.constData(), size_t(step.bytes.size()));
    case Step::Pause:
        return waitFor(-1, 0, m_stopPipe[0], step.ms) == 0;
    case Step::Close:
        return false;
    case Step::Stall: {
        char chunk[4096];
        for (;;) {
            const ssize_t count = peer.read(chunk, sizeof chunk, -1);
            if (count <= 0)
                return false;
            record(index, QByteArray(chunk, count));
        }
    }
    case Step::Await:
        for (;;) {
            if (waitFor(m_gatePipe[0], POLLIN, m_stopPipe[0], -1) < 0)
                return false;
            char byte;
            if (read(m_gatePipe[0], &byte, 1) == 1)
                return true;
        }
    }
    return false;
}
