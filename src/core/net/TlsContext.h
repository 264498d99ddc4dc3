#pragma once

#include <QByteArray>

struct ssl_ctx_st;

// The client side of TLS shared by the connections of one client: TLS 1.2 or
// newer, the peer's chain verified against the system's CA store and, when
// given, an extra PEM file of trusted certificates. Verification cannot be
// switched off.
class TlsContext
{
public:
    explicit TlsContext(const QByteArray &caFile);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // Null when the set-up failed (the CA file cannot be read, for one);
    // error() then says why.
    ssl_ctx_st *handle() const { return m_context; }
    QByteArray error() const { return m_error; }

private:
    ssl_ctx_st *m_context = nullptr;
    QByteArray m_error;
};
