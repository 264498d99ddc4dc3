#include "core/net/TlsConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

int descriptorOf(BIO *bio)
{
    return int(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a
// closed peer; this one sends with MSG_NOSIGNAL like the plain connection.
int bioWrite(BIO *bio, const char *data, size_t size, size_t *written)
{
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t count = ::send(descriptorOf(bio), data, size, MSG_NOSIGNAL);
        if (count >= 0) {
            *written = size_t(count);
            return 1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        return 0;
    }
}

int bioRead(BIO *bio, char *data, size_t size, size_t *readBytes)
{
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t count = ::recv(descriptorOf(bio), data, size, 0);
        if (count > 0) {
            *readBytes = size_t(count);
            return 1;
        }
        if (count == 0) {
            BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        return 0;
    }
}

long bioControl(BIO *bio, int command, long, void *)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) ? 1 : 0;
    default:
        return 0;
    }
}

int bioCreate(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD *socketMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *created =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zindle socket");
        if (created) {
            BIO_meth_set_write_ex(created, bioWrite);
            BIO_meth_set_read_ex(created, bioRead);
            BIO_meth_set_ctrl(created, bioControl);
            BIO_meth_set_create(created, bioCreate);
        }
        return created;
    }();
    return method;
}

bool isIpAddress(const QByteArray &host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.constData(), address) == 1 ||
           inet_pton(AF_INET6, host.constData(), address) == 1;
}

// The reason of the last failed TLS call, from OpenSSL's error queue.
QByteArray queuedReason()
{
    const unsigned long code = ERR_peek_last_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? QByteArray(reason) : QByteArray();
}

} // namespace

TlsConnection::TlsConnection(ssl_ctx_st *context) : m_context(context) {}

TlsConnection::~TlsConnection()
{
    SSL_free(m_ssl);
}

bool TlsConnection::open(const QByteArray &host, int port, QDeadlineTimer deadline)
{
    SSL_free(m_ssl);
    m_ssl = nullptr;
    m_error.clear();
    return Connection::open(host, port, deadline);
}

bool TlsConnection::startTls(const QByteArray &host, QDeadlineTimer deadline)
{
    auto fail = [this](const QByteArray &reason) {
        m_error = reason;
        SSL_free(m_ssl);
        m_ssl = nullptr;
        closeSocket();
        return false;
    };
    ERR_clear_error();
    if (!isOpen() || !m_context)
        return fail(QByteArrayLiteral("no connection"));
    const BIO_METHOD *method = socketMethod();
    BIO *bio = method ? BIO_new(method) : nullptr;
    m_ssl = SSL_new(m_context);
    if (!bio || !m_ssl) {
        BIO_free(bio);
        return fail(QByteArrayLiteral("cannot set up TLS"));
    }
    BIO_set_data(bio, reinterpret_cast<void *>(intptr_t(descriptor())));
    SSL_set_bio(m_ssl, bio, bio);

    // Names go out as SNI and are matched against the DNS names of the
    // certificate; an address is matched against its IP address entries.
    const bool named = isIpAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl),
                                                                         host.constData()) == 1
                                         : SSL_set_tlsext_host_name(m_ssl, host.constData()) == 1 &&
                                               SSL_set1_host(m_ssl, host.constData()) == 1;
    if (!named)
        return fail(QByteArrayLiteral("host name not usable"));

    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(m_ssl);
        if (result == 1)
            return true;
        const int error = SSL_get_error(m_ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (waitFor(error, deadline))
                continue;
            return fail(stopRequested() ? QByteArrayLiteral("stopped")
                                        : QByteArrayLiteral("no answer within the time-out"));
        }
        const long verified = SSL_get_verify_result(m_ssl);
        if (verified != X509_V_OK)
            return fail(X509_verify_cert_error_string(verified));
        const QByteArray reason = queuedReason();
        return fail(reason.isEmpty() ? QByteArrayLiteral("connection closed during the handshake")
                                     : reason);
    }
}

bool TlsConnection::waitFor(int sslError, QDeadlineTimer deadline)
{
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE)
        return false;
    return waitSocket(sslError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
}

bool TlsConnection::writeAll(const char *data, qint64 size, QDeadlineTimer deadline)
{
    if (!m_ssl)
        return Connection::writeAll(data, size, deadline);
    while (size > 0) {
        if (stopRequested())
            return false;
        ERR_clear_error();
        // A retried write repeats the same arguments, as OpenSSL requires.
        const int written = SSL_write(m_ssl, data, int(qMin<qint64>(size, INT_MAX)));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (!waitFor(SSL_get_error(m_ssl, written), deadline)) {
            return false;
        }
    }
    return true;
}

bool TlsConnection::waitReadable(QDeadlineTimer deadline)
{
    if (!m_ssl)
        return Connection::waitReadable(deadline);
    m_readDeadline = deadline;
    if (stopRequested())
        return false;
    if (SSL_pending(m_ssl) > 0)
        return true;
    // Bytes on the socket may be only part of a record, or a record without
    // application data (a session ticket); peeking processes what arrived.
    for (;;) {
        ERR_clear_error();
        char byte;
        const int result = SSL_peek(m_ssl, &byte, 1);
        if (result > 0)
            return true;
        const int error = SSL_get_error(m_ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return true; // the end of the stream or an error: read() reports it
        if (!waitFor(error, deadline))
            return false;
    }
}

qint64 TlsConnection::read(char *buffer, qint64 maxSize)
{
    if (!m_ssl)
        return Connection::read(buffer, maxSize);
    for (;;) {
        ERR_clear_error();
        const int count = SSL_read(m_ssl, buffer, int(qMin<qint64>(maxSize, INT_MAX)));
        if (count > 0)
            return count;
        const int error = SSL_get_error(m_ssl, count);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        // Only a read without waitReadable() before it can get here.
        if (!waitFor(error, m_readDeadline))
            return -1;
    }
}
