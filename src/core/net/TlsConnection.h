#pragma once

#include "core/net/Connection.h"

struct ssl_ctx_st;
struct ssl_st;

// A connection that speaks TLS on the socket of its base. open() connects in
// plain TCP, so that a proxy tunnel can be asked for first with the plain
// operations; startTls() then runs the handshake, and from there on every
// operation goes through TLS with the same bounded waits: each wait of a
// write or of the handshake by the time-out given to open(), the wait for
// data by the time-out given to waitReadable().
class TlsConnection : public Connection
{
public:
    // The context must stay valid until startTls() has returned.
    explicit TlsConnection(ssl_ctx_st *context);
    ~TlsConnection() override;

    bool open(const QByteArray &host, int port, int timeoutMs) override;
    // The handshake, sending the host name as SNI, verifying the peer's chain
    // and that its certificate names the host (a name or an IP address).
    // False on any failure; error() then gives the reason as one line.
    bool startTls(const QByteArray &host);
    QByteArray error() const { return m_error; }

    bool writeAll(const char *data, qint64 size) override;
    // Decrypted bytes not read yet count as readable; bytes on the socket
    // count only once they form application data.
    bool waitReadable(int timeoutMs) override;
    qint64 read(char *buffer, qint64 maxSize) override;

private:
    // Waits for what the last TLS call asked for (SSL_ERROR_WANT_READ or
    // SSL_ERROR_WANT_WRITE) at most timeoutMs; false for any other error, or
    // when the time passed.
    bool waitFor(int sslError, int timeoutMs);

    ssl_ctx_st *m_context;
    ssl_st *m_ssl = nullptr;
    QByteArray m_error;
    int m_timeout = 0;
};
