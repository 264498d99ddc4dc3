#include "core/net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

TlsContext::TlsContext(const QByteArray &caFile)
{
    ERR_clear_error();
    m_context = SSL_CTX_new(TLS_client_method());
    if (!m_context) {
        m_error = QByteArrayLiteral("cannot set up TLS");
        return;
    }
    SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
    // A peer that closes without a close_notify ends the stream like a plain
    // close; an announced length still shows a body that was cut short.
    SSL_CTX_set_options(m_context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Without a readable system store only the extra file is trusted.
    SSL_CTX_set_default_verify_paths(m_context);
    ERR_clear_error();
    if (!caFile.isEmpty() &&
        SSL_CTX_load_verify_locations(m_context, caFile.constData(), nullptr) != 1) {
        m_error = "cannot read the CA file " + caFile;
        SSL_CTX_free(m_context);
        m_context = nullptr;
    }
    ERR_clear_error();
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_context);
}
