#pragma once

#include "core/net/Connection.h"

struct ssl_ctx_st;
struct ssl_st;

// A connection that speaks TLS on the socket of its base. open() connects in
// plain TCP, so that a proxy tunnel can be asked for first with the plain
// operations; startTls() then runs the handshake, and from there on every
// operation goes through TLS with the same bounded waits, each by the
// deadline its caller gives and each ended by a stop as in the base.
class TlsConnection : public Connection
{
public:
    // The context must stay valid until startTls() has returned.
    explicit TlsConnection(ssl_ctx_st *context);
    ~TlsConnection() override;

    bool open(const QByteArray &host, int port, QDeadlineTimer deadline) override;
    // The handshake by the deadline, sending the host name as SNI, verifying
    // the peer's chain and that its certificate names the host (a name or an
    // IP address). False on any failure; error() then gives the reason as one
    // line (after a stop, stopRequested() is true).
    bool startTls(const QByteArray &host, QDeadlineTimer deadline);
    QByteArray error() const { return m_error; }

    bool writeAll(const char *data, qint64 size, QDeadlineTimer deadline) override;
    // Decrypted bytes not read yet count as readable; bytes on the socket
    // count only once they form application data.
    bool waitReadable(QDeadlineTimer deadline) override;
    qint64 read(char *buffer, qint64 maxSize) override;

private:
    // Waits for what the last TLS call asked for (SSL_ERROR_WANT_READ or
    // SSL_ERROR_WANT_WRITE) until the deadline; false for any other error,
    // when the deadline passed, or on a stop.
    bool waitFor(int sslError, QDeadlineTimer deadline);

    ssl_ctx_st *m_context;
    ssl_st *m_ssl = nullptr;
    QByteArray m_error;
};
