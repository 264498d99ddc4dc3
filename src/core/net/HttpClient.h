#pragma once

#include "core/net/RequestHeaders.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <atomic>
#include <functional>
#include <memory>

class Connection;
class CookieJar;
class TlsConnection;
class TlsContext;

// An HTTP/1.0 GET client: one request at a time over a fresh connection,
// straight to the server or through an HTTP proxy, following redirects, with
// a fixed body buffer that the caller drains step by step. Made and set up on
// one thread, then used by one job thread only; it holds no locks.
//
// "https://" URLs go over TLS (port 443 unless the URL names one), through
// the proxy by a CONNECT tunnel; the peer's certificate is always verified.
// A failed handshake or verification ends the request with TlsFailed and one
// line on standard error naming the host and the reason; a proxy that refuses
// the tunnel ends it with ConnectFailed and a line with its status line.
//
// With a cookie jar set, the "Set-Cookie" lines of every response (redirect
// hops included) go into it, and every request takes its "Cookie:" slot from
// it. The caller sets "Referer:" and "Range:" through headers(); they stay
// for every following request until changed. The Referer slot holds the URL
// of the page the request comes from; what each request (redirect hops
// included) sends of it is trimmed: nothing from an https page to an http
// URL, only "scheme://host[:port]/" to another origin, the URL without
// user, password and fragment to the same origin.
//
// Only http and https URLs are requested, on both routes; a redirect to any
// other scheme ends the request with MalformedUrl.
//
// The body arrives as sent, whatever the framing: an announced length is
// kept to (bytes beyond it are never delivered), a chunked body is
// de-chunked. A Content-Length that is not one decimal number, two that
// differ, a malformed chunk header or a transfer coding other than chunked
// end the request with MalformedAnswer.
//
// With a stop flag set, every wait of a request or of a body looks at the flag
// at least every Connection::StopSliceMs and ends once it is not 0: get(),
// sendRequest() and receive() then return Stopped, and print nothing.
//
// Calling pattern: get(); when it is not negative, receive() until it returns
// non-zero, reading receivedBytes()/contentLength() for progress and, where
// the body is drained, taking data()/bufferedBytes() and calling clearBuffer().
// Pages are read whole instead: fetchPage(), or get() then readPage().
// Results are the codes of core/net/ResultCode.h; after a failure
// errorString() says why.
class HttpClient
{
public:
    static constexpr int Capacity = 131072;
    static constexpr int MaxRedirects = 20;
    // A page longer than this is cut here (and a line says so).
    static constexpr int MaxPageBytes = 8 * 1024 * 1024;
    // A request, its redirect hops and header, and a page's body too, end
    // within this many time-outs in all.
    static constexpr int DeadlineFactor = 4;

    enum StatusRule { AnyStatus, RequireSuccess };

    HttpClient();
    virtual ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    // Bounds each phase of a request as a whole, from the phase's start: name
    // resolution with connecting, the TLS handshake, the proxy's answer to
    // CONNECT, sending the request, the response header. In the body it
    // bounds each wait for bytes, so a slow body that keeps coming is not cut.
    // get() also bounds all its hops together by DeadlineFactor time-outs;
    // readPage() keeps to that deadline for the body as well.
    void setTimeout(int ms) { m_timeout = ms; }
    // Not owned; null (the default) never stops. Read from the thread that
    // uses the client; any thread may set the flag.
    void setStopFlag(const std::atomic<int> *flag) { m_stop = flag; }
    bool stopRequested() const { return m_stop && m_stop->load(std::memory_order_relaxed) != 0; }
    void setUserAgent(const QByteArray &userAgent);
    // An address shorter than two characters means no proxy.
    void setProxy(const QByteArray &address, int port);
    // Kept only; no request carries them.
    void setAccount(const QByteArray &user, const QByteArray &password);
    // An extra PEM file of trusted certificates for https; empty for the
    // system's CA store alone.
    void setCaFile(const QByteArray &path);
    // Not owned; null (the default) for no cookie handling.
    void setCookieJar(CookieJar *jar) { m_jar = jar; }
    CookieJar *cookieJar() const { return m_jar; }

    // Fetches the URL, following up to MaxRedirects redirects. Returns after
    // the header of the final response: the body bytes already buffered, or
    // a negative code.
    int get(const QByteArray &url);
    // One request without redirect handling; same results as get().
    int sendRequest(const QByteArray &url);
    // One receive step: one bounded wait and one read of up to the free
    // space. 0 bytes were read (call again), 1 the buffer is full (drain it),
    // 2 the body is complete; NoConnection, BodyStopped, Stopped.
    int receive();

    // Reads the rest of the body after get() into *page (the buffered bytes
    // first; the buffer is left empty), by the deadline get() started.
    // BodyComplete, BufferFull when the page was cut at MaxPageBytes, or a
    // negative code with *page holding what arrived. onProgress, when set,
    // is called after each step.
    int readPage(QByteArray *page, const std::function<void()> &onProgress = {});
    // get() then readPage(). With RequireSuccess a status other than 2xx
    // ends it with HttpStatus before the body is read.
    int fetchPage(const QByteArray &url, QByteArray *page, StatusRule rule = AnyStatus,
                  const std::function<void()> &onProgress = {});

    // Why the last request or body step failed ("malformed Content-Length:
    // 12abc", "HTTP status 404", ...); empty when it did not.
    QByteArray errorString() const { return m_error; }

    // Lets the current answer go: its connection is closed, the rest of its
    // body unread, and receive() returns NoConnection until the next request.
    void close();

    int bufferedBytes() const { return m_buffered; }
    // The buffered body bytes; a NUL always follows the last one.
    const char *data() const { return m_buffer.get(); }
    QByteArrayView view() const { return QByteArrayView(m_buffer.get(), m_buffered); }
    void clearBuffer();

    // The announced body length, -1 when the response announced none.
    qint64 contentLength() const { return m_contentLength; }
    // Body bytes of the current response received in all, drained ones included.
    qint64 receivedBytes() const { return m_received; }
    // On: a closing HTML tag does not end the body.
    void setBinaryMode(bool on) { m_binaryMode = on; }

    // Status code of the last response header read, 0 when unknown.
    int statusCode() const { return m_statusCode; }
    // The URL of the last request, after redirects.
    QByteArray url() const { return m_url; }
    // The last response header, status line included, terminator excluded.
    QByteArray responseHeader() const { return m_header; }
    RequestHeaders &headers() { return m_headers; }

protected:
    // The connection for the next plain request (http, or anything through
    // the proxy); https requests make a TlsConnection.
    virtual std::unique_ptr<Connection> createConnection();

private:
    // Connects to the host (or the proxy, asking it for a tunnel) and runs
    // the TLS handshake; 0 or a negative code.
    int openTls(const QByteArray &host, int port);
    bool openTunnel(TlsConnection &connection, const QByteArray &authority);
    int readHeader();
    // One hop of get(); `redirected` when a Location led to it.
    int request(const QByteArray &url, bool redirected);
    // The code for a failed step: Stopped when a stop was asked for, else
    // `code`; errorString() becomes the reason.
    int failure(int code, const QByteArray &reason);
    // `code` with the reason, stop or not.
    int refuse(int code, const QByteArray &reason);
    // The time-out from now, or the request's deadline when that comes first.
    QDeadlineTimer phaseDeadline() const;
    // Parses the header; false (the reason in m_error) when it is malformed.
    bool parseHeader(const QByteArray &header);
    // Takes `count` raw body bytes at `from` (at or after the buffered ones)
    // into the buffer, de-chunked and kept within the announced length.
    // 0, or MalformedAnswer.
    int takeBody(qsizetype from, qsizetype count);
    int takeChunked(qsizetype from, qsizetype count);
    bool bodyEnded() const { return m_contentLength >= 0 && m_received >= m_contentLength; }
    void applyEndOfDocument();

    RequestHeaders m_headers;
    std::unique_ptr<char[]> m_buffer;
    QByteArray m_header;
    QByteArray m_location;
    QByteArray m_proxy = QByteArrayLiteral(" ");
    QByteArray m_user = QByteArrayLiteral(" ");
    QByteArray m_password = QByteArrayLiteral(" ");
    QByteArray m_url;
    QByteArray m_caFile;
    QByteArray m_error;
    std::unique_ptr<Connection> m_connection;
    std::unique_ptr<TlsContext> m_tls; // made at the first https request
    CookieJar *m_jar = nullptr;
    const std::atomic<int> *m_stop = nullptr;
    bool m_binaryMode = false;
    // A closing HTML tag came with the header; the first receive() applies
    // it unless binary mode was turned on in between.
    bool m_endTagWithHeader = false;
    // Where the de-chunking stands within the raw stream.
    enum class Chunk {
        SizeStart,
        Size,
        SizeBlank,
        Extension,
        SizeCr,
        Data,
        DataCr,
        DataLf,
        TrailerStart,
        Trailer,
        TrailerCr,
        Done
    };
    bool m_chunked = false;
    Chunk m_chunk = Chunk::SizeStart;
    qint64 m_chunkLeft = 0;
    int m_chunkDigits = 0;
    int m_chunkLineBytes = 0;
    // Set by get(); body waits keep to it while readPage() runs.
    QDeadlineTimer m_deadline;
    bool m_pageDeadline = false;
    int m_timeout = 10000;
    qint64 m_contentLength = 0;
    qint64 m_received = 0;
    int m_buffered = 0;
    int m_proxyPort = 0;
    int m_statusCode = 0;
};
