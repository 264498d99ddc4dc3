#include "core/net/HttpClient.h"

#include "core/job/Trace.h"
#include "core/net/Connection.h"
#include "core/net/CookieJar.h"
#include "core/net/ResultCode.h"
#include "core/net/TlsConnection.h"
#include "core/net/TlsContext.h"

#include <QList>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

namespace {

constexpr int HttpPort = 80;
constexpr int HttpsPort = 443;
constexpr int EndTagWindow = 1024;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A CR or LF taken from a page would add header lines to the request.
bool hasControlByte(const QByteArray &url)
{
    for (const char c : url) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (isBlank(text.front()) || text.front() == '\r'))
        text = text.sliced(1);
    while (!text.isEmpty() && (isBlank(text.back()) || text.back() == '\r'))
        text.chop(1);
    return text;
}

// The end-of-document rule looks at the last EndTagWindow bytes only.
bool hasEndTag(QByteArrayView bytes)
{
    const QByteArrayView tail = bytes.last(qMin<qsizetype>(EndTagWindow, bytes.size()));
    return tail.contains("</HTML>") || tail.contains("</html>");
}

// A decimal number within 64 bits and nothing else; -1 otherwise.
qint64 parseLength(QByteArrayView text)
{
    if (text.isEmpty())
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (!isDigit(c))
            return -1;
        if (value > (std::numeric_limits<qint64>::max() - (c - '0')) / 10)
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

int hexDigit(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A header value from the peer as it may go into a reason: short, one line.
QByteArray shown(QByteArrayView value, qsizetype maxSize = 200)
{
    QByteArray text = value.first(qMin(maxSize, value.size())).toByteArray();
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return value.size() > maxSize ? text + "..." : text;
}

// "HTTP/1.x 200 Reason" gives 200; anything else gives 0.
int parseStatus(QByteArrayView statusLine)
{
    if (!statusLine.startsWith("HTTP/"))
        return 0;
    const qsizetype space = statusLine.indexOf(' ');
    if (space < 0)
        return 0;
    const QByteArrayView code = statusLine.sliced(space + 1);
    if (code.size() < 3 || !isDigit(code[0]) || !isDigit(code[1]) || !isDigit(code[2]) ||
        (code.size() > 3 && code[3] != ' '))
        return 0;
    return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

// Offset of the header terminator ("\r\n\r\n" or "\n\n", whichever comes
// first) at or after `from`, and its length; -1 when there is none yet.
qsizetype findHeaderEnd(QByteArrayView text, qsizetype from, int *terminatorLength)
{
    const qsizetype crlf = text.indexOf("\r\n\r\n", from);
    const qsizetype lf = text.indexOf("\n\n", from);
    if (crlf >= 0 && (lf < 0 || crlf < lf)) {
        *terminatorLength = 4;
        return crlf;
    }
    *terminatorLength = 2;
    return lf;
}

// Splits the host text of a URL into name and port: "name", "name:port",
// "[v6-address]" or "[v6-address]:port", the port defaulting to
// defaultPort. False when it is malformed.
bool splitHostPort(const QByteArray &hostText, int defaultPort, QByteArray *name, int *port)
{
    QByteArray portText;
    if (hostText.startsWith('[')) {
        const qsizetype close = hostText.indexOf(']');
        if (close < 0)
            return false;
        *name = hostText.mid(1, close - 1);
        const QByteArray rest = hostText.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':'))
            return false;
        portText = rest.mid(1);
    } else {
        const qsizetype colon = hostText.indexOf(':');
        if (colon >= 0 && hostText.indexOf(':', colon + 1) >= 0)
            return false;
        *name = colon < 0 ? hostText : hostText.left(colon);
        if (colon >= 0)
            portText = hostText.mid(colon + 1);
    }
    if (name->isEmpty())
        return false;
    *port = defaultPort;
    if (portText.isEmpty())
        return true;
    const qint64 value = parseLength(portText);
    if (value < 1 || value > 65535)
        return false;
    *port = int(value);
    return true;
}

enum class Scheme { Http, Https, Other };

Scheme schemeOf(const QByteArray &url)
{
    if (url.size() >= 7 && qstrnicmp(url.constData(), "http://", 7) == 0)
        return Scheme::Http;
    if (url.size() >= 8 && qstrnicmp(url.constData(), "https://", 8) == 0)
        return Scheme::Https;
    return Scheme::Other;
}

// "name:port", with brackets around an IPv6 address.
QByteArray authorityOf(const QByteArray &name, int port)
{
    const QByteArray host = name.contains(':') ? '[' + name + ']' : name;
    return host + ':' + QByteArray::number(port);
}

// The parts of an http or https URL a Referer is made from.
struct RefererParts
{
    Scheme scheme = Scheme::Other;
    QByteArray authority; // as written, without user and password
    QByteArray host;      // lower case
    int port = 0;
    QByteArray rest; // path and query, without the fragment; "/" at least
};

std::optional<RefererParts> refererParts(const QByteArray &url)
{
    RefererParts parts;
    parts.scheme = schemeOf(url);
    if (parts.scheme == Scheme::Other || hasControlByte(url))
        return std::nullopt;
    const qsizetype start = parts.scheme == Scheme::Https ? 8 : 7;
    qsizetype end = start;
    while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#')
        ++end;
    parts.authority = url.mid(start, end - start);
    const qsizetype at = parts.authority.lastIndexOf('@');
    if (at >= 0)
        parts.authority.remove(0, at + 1);
    if (!splitHostPort(parts.authority, parts.scheme == Scheme::Https ? HttpsPort : HttpPort,
                       &parts.host, &parts.port))
        return std::nullopt;
    parts.host = parts.host.toLower();
    parts.rest = url.mid(end);
    const qsizetype fragment = parts.rest.indexOf('#');
    if (fragment >= 0)
        parts.rest.truncate(fragment);
    if (!parts.rest.startsWith('/'))
        parts.rest.prepend('/');
    return parts;
}

// What a request for `url` sends of the page it comes from.
QByteArray refererFor(const QByteArray &from, const QByteArray &url)
{
    const std::optional<RefererParts> page = refererParts(from);
    const std::optional<RefererParts> target = refererParts(url);
    if (!page || !target || (page->scheme == Scheme::Https && target->scheme == Scheme::Http))
        return QByteArray();
    const QByteArray origin =
        (page->scheme == Scheme::Https ? "https://" : "http://") + page->authority;
    if (page->scheme == target->scheme && page->host == target->host && page->port == target->port)
        return origin + page->rest;
    return origin + '/';
}

bool hasScheme(const QByteArray &reference)
{
    if (reference.isEmpty() || !isAlpha(reference[0]))
        return false;
    for (const char c : reference) {
        if (c == ':')
            return true;
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// Removes "." and ".." segments from an absolute path; a query is kept as is.
QByteArray removeDotSegments(const QByteArray &pathAndQuery)
{
    const qsizetype queryStart = pathAndQuery.indexOf('?');
    const QByteArray path = queryStart < 0 ? pathAndQuery : pathAndQuery.left(queryStart);
    const QByteArray query = queryStart < 0 ? QByteArray() : pathAndQuery.mid(queryStart);
    const QList<QByteArray> segments = path.split('/');
    QList<QByteArray> kept;
    for (qsizetype i = 1; i < segments.size(); ++i) {
        const QByteArray &segment = segments[i];
        const bool last = i == segments.size() - 1;
        if (segment == "." || segment == "..") {
            if (segment == ".." && !kept.isEmpty())
                kept.removeLast();
            if (last)
                kept.append(QByteArray());
        } else {
            kept.append(segment);
        }
    }
    return '/' + kept.join('/') + query;
}

// Resolves a redirect target against the URL of the request that returned it.
QByteArray resolveLocation(const QByteArray &base, QByteArray reference)
{
    const qsizetype fragment = reference.indexOf('#');
    if (fragment >= 0)
        reference.truncate(fragment);
    const qsizetype slashes = base.indexOf("//");
    if (hasScheme(reference) || slashes < 0)
        return reference;
    if (reference.startsWith("//"))
        return base.left(slashes) + reference;
    qsizetype pathStart = base.indexOf('/', slashes + 2);
    if (pathStart < 0)
        pathStart = base.size();
    const QByteArray origin = base.left(pathStart);
    QByteArray basePath = base.mid(pathStart);
    const qsizetype query = basePath.indexOf('?');
    if (query >= 0)
        basePath.truncate(query);
    if (basePath.isEmpty())
        basePath = "/";
    if (reference.startsWith('/'))
        return origin + removeDotSegments(reference);
    if (reference.startsWith('?'))
        return origin + basePath + reference;
    const QByteArray directory = basePath.left(basePath.lastIndexOf('/') + 1);
    return origin + removeDotSegments(directory + reference);
}

} // namespace

HttpClient::HttpClient() : m_buffer(std::make_unique<char[]>(Capacity + 4)) {}

HttpClient::~HttpClient() = default;

void HttpClient::setUserAgent(const QByteArray &userAgent)
{
    m_headers.setValue(RequestHeaders::UserAgent, userAgent);
}

void HttpClient::setProxy(const QByteArray &address, int port)
{
    m_proxy = address.isEmpty() ? QByteArrayLiteral(" ") : address;
    m_proxyPort = port;
}

void HttpClient::setAccount(const QByteArray &user, const QByteArray &password)
{
    m_user = user.isEmpty() ? QByteArrayLiteral(" ") : user;
    m_password = password.isEmpty() ? QByteArrayLiteral(" ") : password;
}

void HttpClient::setCaFile(const QByteArray &path)
{
    m_caFile = path;
    m_tls.reset();
}

std::unique_ptr<Connection> HttpClient::createConnection()
{
    return std::make_unique<Connection>();
}

int HttpClient::get(const QByteArray &url)
{
    m_deadline = QDeadlineTimer(qint64(m_timeout) * DeadlineFactor);
    QByteArray next = url;
    for (int hop = 0;; ++hop) {
        const int result = request(next, hop > 0);
        if (result < 0 || m_location.isEmpty())
            return result;
        if (hop == MaxRedirects)
            return refuse(ResultCode::TooManyRedirects,
                          "more than " + QByteArray::number(MaxRedirects) + " redirects");
        next = resolveLocation(m_url, m_location);
    }
}

int HttpClient::sendRequest(const QByteArray &url)
{
    m_deadline = QDeadlineTimer(qint64(m_timeout) * DeadlineFactor);
    return request(url, false);
}

int HttpClient::request(const QByteArray &url, bool redirected)
{
    m_connection.reset();
    m_url = url;
    m_statusCode = 0;
    m_location.clear();
    m_header.clear();
    m_error.clear();
    m_endTagWithHeader = false;
    m_chunked = false;
    clearBuffer();
    if (hasControlByte(url))
        return refuse(ResultCode::MalformedUrl, "control byte in URL " + shown(url));

    // Only http and https are served on either route: a proxy would fetch
    // "file:" or "gopher:" addresses a stranger's page redirects to.
    const Scheme scheme = schemeOf(url);
    if (scheme == Scheme::Other)
        return refuse(ResultCode::MalformedUrl,
                      (redirected ? "redirect to a scheme not served: " : "scheme not served: ") +
                          shown(url));
    QByteArray target;
    QByteArray host;
    int port = 0;
    const bool viaProxy = m_proxy.size() >= 2;
    if (viaProxy && scheme == Scheme::Http) {
        // The proxy gets the whole URL; the Host line follows the URL when it has a host.
        m_headers.splitUrl(url, nullptr);
        target = url;
        host = m_proxy;
        port = m_proxyPort;
    } else {
        // An https tunnel needs the host and port too.
        if (m_headers.splitUrl(url, &target) < 0 ||
            !splitHostPort(m_headers.value(RequestHeaders::Host),
                           scheme == Scheme::Https ? HttpsPort : HttpPort, &host, &port))
            return refuse(ResultCode::MalformedUrl, "malformed URL " + shown(url));
    }
    if (m_jar)
        m_headers.setValue(RequestHeaders::Cookie, m_jar->cookieHeader(url));

    if (stopRequested())
        return failure(ResultCode::Stopped, {});
    if (scheme == Scheme::Https) {
        const int opened = openTls(host, port);
        if (opened < 0)
            return opened;
    } else {
        std::unique_ptr<Connection> connection = createConnection();
        connection->setStopFlag(m_stop);
        if (!connection->open(host, port, phaseDeadline()))
            return failure(ResultCode::ConnectFailed,
                           (viaProxy ? "cannot connect to the proxy " : "cannot connect to ") +
                               authorityOf(host, port));
        m_connection = std::move(connection);
    }
    // The slot keeps the page the caller set; this request sends its trimmed form.
    const QByteArray referer = m_headers.value(RequestHeaders::Referer);
    m_headers.setValue(RequestHeaders::Referer, refererFor(referer, url));
    const QByteArray &request = m_headers.buildRequest(target);
    m_headers.setValue(RequestHeaders::Referer, referer);
    if (!m_connection->writeAll(request.constData(), request.size(), phaseDeadline()))
        return failure(ResultCode::SendFailed, "cannot send the request for " + shown(url));
    return readHeader();
}

int HttpClient::failure(int code, const QByteArray &reason)
{
    if (stopRequested()) {
        m_error = QByteArrayLiteral("stopped");
        return ResultCode::Stopped;
    }
    m_error = reason;
    return code;
}

int HttpClient::refuse(int code, const QByteArray &reason)
{
    m_error = reason;
    return code;
}

QDeadlineTimer HttpClient::phaseDeadline() const
{
    const QDeadlineTimer phase(m_timeout);
    return m_deadline < phase ? m_deadline : phase;
}

int HttpClient::openTls(const QByteArray &host, int port)
{
    auto tlsFailed = [&](const QByteArray &why) {
        const QByteArray reason = "TLS with " + host + " failed: " + why;
        Trace::print("%s\n", reason.constData());
        return refuse(ResultCode::TlsFailed, reason);
    };
    if (!m_tls)
        m_tls = std::make_unique<TlsContext>(m_caFile);
    if (!m_tls->handle())
        return tlsFailed(m_tls->error());
    auto connection = std::make_unique<TlsConnection>(m_tls->handle());
    connection->setStopFlag(m_stop);
    const bool viaProxy = m_proxy.size() >= 2;
    if (!connection->open(viaProxy ? m_proxy : host, viaProxy ? m_proxyPort : port,
                          phaseDeadline()))
        return failure(ResultCode::ConnectFailed,
                       (viaProxy
                            ? "cannot connect to the proxy " + authorityOf(m_proxy, m_proxyPort)
                            : "cannot connect to " + authorityOf(host, port)));
    if (viaProxy && !openTunnel(*connection, authorityOf(host, port)))
        return failure(ResultCode::ConnectFailed, m_error);
    if (!connection->startTls(host, phaseDeadline())) {
        if (stopRequested())
            return failure(ResultCode::Stopped, {});
        return tlsFailed(connection->error());
    }
    m_connection = std::move(connection);
    return 0;
}

bool HttpClient::openTunnel(TlsConnection &connection, const QByteArray &authority)
{
    QByteArray request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    const QByteArray userAgent = m_headers.value(RequestHeaders::UserAgent);
    if (userAgent.size() > 1)
        request += "User-Agent: " + userAgent + "\r\n";
    request += "\r\n";
    auto refused = [&](const QByteArray &why) {
        m_error = "proxy refused CONNECT " + authority + ": " + why;
        // A stop is no refusal.
        if (!stopRequested())
            Trace::print("%s\n", m_error.constData());
        clearBuffer();
        return false;
    };
    // One deadline for sending the request and the whole answer.
    const QDeadlineTimer deadline = phaseDeadline();
    if (!connection.writeAll(request.constData(), request.size(), deadline))
        return refused(QByteArrayLiteral("the request could not be sent"));

    // The proxy's answer ends with its header; the peer behind it says
    // nothing before the handshake, so nothing may follow.
    char *const buffer = m_buffer.get();
    qsizetype filled = 0;
    for (;;) {
        if (!connection.waitReadable(deadline))
            return refused(QByteArrayLiteral("no answer within the time-out"));
        const qint64 count = connection.read(buffer + filled, Capacity - filled);
        if (count > 0)
            filled += count;
        int terminatorLength = 0;
        const qsizetype end = findHeaderEnd(QByteArrayView(buffer, filled), 0, &terminatorLength);
        if (end < 0 && count > 0 && filled < Capacity)
            continue;
        if (filled == 0)
            return refused(QByteArrayLiteral("closed without an answer"));
        const QByteArray header(buffer, end < 0 ? filled : end);
        const qsizetype lineEnd = header.indexOf('\n');
        const QByteArrayView firstLine =
            trimmed(QByteArrayView(header).first(lineEnd < 0 ? header.size() : lineEnd));
        const QByteArray statusLine =
            firstLine.first(qMin<qsizetype>(200, firstLine.size())).toByteArray();
        const int status = parseStatus(statusLine);
        const bool success = status >= 200 && status <= 299 && end >= 0;
        if (success && end + terminatorLength == filled) {
            clearBuffer();
            return true;
        }
        m_statusCode = status;
        m_header = header;
        return refused(success ? statusLine + " (then data before the handshake)" : statusLine);
    }
}

int HttpClient::readHeader()
{
    char *const buffer = m_buffer.get();
    // The buffer reads as empty again when no header end was found.
    auto fail = [this](int code, const QByteArray &reason) {
        clearBuffer();
        return failure(code, reason);
    };
    // One deadline for the whole header: one that trickles in byte by byte
    // cannot hold the request open past the time-out.
    const QDeadlineTimer deadline = phaseDeadline();
    qsizetype filled = 0;
    for (;;) {
        if (!m_connection->waitReadable(deadline))
            return fail(ResultCode::NoHeader,
                        "no response header within the time-out from " + shown(m_url));
        const qint64 count = m_connection->read(buffer + filled, Capacity - filled);
        if (count <= 0)
            return fail(ResultCode::NoHeader,
                        "connection closed before the response header from " + shown(m_url));
        const qsizetype searchFrom = qMax<qsizetype>(0, filled - 3);
        filled += count;
        buffer[filled] = '\0';
        int terminatorLength = 0;
        const qsizetype end =
            findHeaderEnd(QByteArrayView(buffer, filled), searchFrom, &terminatorLength);
        if (end < 0) {
            // No room is left to read the rest of the header into.
            if (filled == Capacity)
                return fail(ResultCode::HeaderTooLarge, "response header larger than " +
                                                            QByteArray::number(Capacity) +
                                                            " bytes");
            continue;
        }
        // An answer whose body cannot be read leaves nothing to receive.
        m_received = 0;
        const qsizetype bodyStart = end + terminatorLength;
        if (!parseHeader(QByteArray(buffer, end)) || takeBody(bodyStart, filled - bodyStart) < 0) {
            clearBuffer();
            m_connection.reset();
            return ResultCode::MalformedAnswer;
        }
        // The caller may drain these bytes or turn binary mode on before its
        // first receive(), so the tag is only noted here.
        m_endTagWithHeader =
            !m_chunked && m_contentLength < 0 && hasEndTag(QByteArrayView(buffer, m_buffered));
        return m_buffered;
    }
}

bool HttpClient::parseHeader(const QByteArray &header)
{
    m_header = header;
    m_contentLength = -1;
    m_chunked = false;
    m_chunk = Chunk::SizeStart;
    m_chunkDigits = 0;
    m_chunkLineBytes = 0;
    m_chunkLeft = 0;
    QByteArrayList codings;
    const QList<QByteArray> lines = header.split('\n');
    m_statusCode = lines.isEmpty() ? 0 : parseStatus(trimmed(lines.first()));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArrayView name(line.constData(), colon);
        const QByteArrayView value = trimmed(QByteArrayView(line).sliced(colon + 1));
        if (m_location.isEmpty() && name.compare("Location", Qt::CaseInsensitive) == 0) {
            m_location = value.toByteArray();
        } else if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            // Equal values repeated (in lines or as a list) are one length;
            // anything else leaves no length to trust.
            for (const QByteArray &item : value.toByteArray().split(',')) {
                const qint64 length = parseLength(trimmed(item));
                if (length < 0) {
                    m_contentLength = -1;
                    m_error = "malformed Content-Length: " + shown(value, 40);
                    return false;
                }
                if (m_contentLength >= 0 && m_contentLength != length) {
                    m_error = "two different Content-Length values: " +
                              QByteArray::number(m_contentLength) + " and " +
                              QByteArray::number(length);
                    m_contentLength = -1;
                    return false;
                }
                m_contentLength = length;
            }
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            for (const QByteArray &item : value.toByteArray().split(','))
                codings.append(trimmed(item).toByteArray().toLower());
        } else if (m_jar && name.compare("Set-Cookie", Qt::CaseInsensitive) == 0) {
            m_jar->store(m_url, value.toByteArray());
        }
    }
    codings.removeAll(QByteArrayLiteral("identity"));
    codings.removeAll(QByteArray());
    if (codings.isEmpty())
        return true;
    // Any other coding would hand the caller encoded bytes as the body.
    if (codings != QByteArrayList{QByteArrayLiteral("chunked")}) {
        m_error = "unsupported Transfer-Encoding: " + shown(codings.join(", "), 40);
        return false;
    }
    // The chunks say where the body ends, not a length beside them.
    m_chunked = true;
    m_contentLength = -1;
    return true;
}

int HttpClient::takeBody(qsizetype from, qsizetype count)
{
    if (m_chunked)
        return takeChunked(from, count);
    char *const buffer = m_buffer.get();
    if (m_contentLength >= 0)
        count = qMin<qsizetype>(count, m_contentLength - m_received);
    memmove(buffer + m_buffered, buffer + from, size_t(count));
    m_buffered += int(count);
    m_received += count;
    buffer[m_buffered] = '\0';
    return 0;
}

int HttpClient::takeChunked(qsizetype from, qsizetype count)
{
    // Chunk sizes of up to 15 hex digits, a chunk-size line of at most this
    // many bytes in all, and trailer lines of at most this many bytes together.
    constexpr int MaxLineBytes = 4096;
    char *const buffer = m_buffer.get();
    auto malformed = [&](const char *what) {
        buffer[m_buffered] = '\0';
        m_error = QByteArray("malformed chunked body: ") + what;
        return int(ResultCode::MalformedAnswer);
    };
    const qsizetype end = from + count;
    qsizetype at = from;
    while (at < end && m_chunk != Chunk::Done) {
        if (m_chunk == Chunk::Data) {
            const qsizetype take = qMin<qint64>(m_chunkLeft, end - at);
            memmove(buffer + m_buffered, buffer + at, size_t(take));
            m_buffered += int(take);
            m_received += take;
            m_chunkLeft -= take;
            at += take;
            if (m_chunkLeft == 0)
                m_chunk = Chunk::DataCr;
            continue;
        }
        const char c = buffer[at++];
        auto endOfSizeLine = [&] {
            m_chunkLineBytes = 0;
            m_chunk = m_chunkLeft == 0 ? Chunk::TrailerStart : Chunk::Data;
        };
        if (m_chunk != Chunk::Trailer && m_chunk != Chunk::TrailerStart &&
            m_chunk != Chunk::DataCr && m_chunk != Chunk::DataLf &&
            ++m_chunkLineBytes > MaxLineBytes)
            return malformed("chunk-size line too long");
        switch (m_chunk) {
        case Chunk::SizeStart:
            if (hexDigit(c) < 0)
                return malformed("no chunk size");
            m_chunkLeft = hexDigit(c);
            m_chunkDigits = 1;
            m_chunk = Chunk::Size;
            break;
        case Chunk::Size:
            if (hexDigit(c) >= 0) {
                if (++m_chunkDigits > 15)
                    return malformed("chunk size too large");
                m_chunkLeft = m_chunkLeft * 16 + hexDigit(c);
            } else if (isBlank(c)) {
                m_chunk = Chunk::SizeBlank;
            } else if (c == ';') {
                m_chunk = Chunk::Extension;
            } else if (c == '\r') {
                m_chunk = Chunk::SizeCr;
            } else if (c == '\n') {
                endOfSizeLine();
            } else {
                return malformed("bad chunk size");
            }
            break;
        case Chunk::SizeBlank:
            if (c == ';')
                m_chunk = Chunk::Extension;
            else if (c == '\r')
                m_chunk = Chunk::SizeCr;
            else if (c == '\n')
                endOfSizeLine();
            else if (!isBlank(c))
                return malformed("bad chunk size");
            break;
        case Chunk::Extension:
            // Extensions are skipped unread.
            if (c == '\n')
                endOfSizeLine();
            break;
        case Chunk::SizeCr:
            if (c != '\n')
                return malformed("bad chunk-size line end");
            endOfSizeLine();
            break;
        case Chunk::DataCr:
            if (c == '\r')
                m_chunk = Chunk::DataLf;
            else if (c == '\n')
                m_chunk = Chunk::SizeStart;
            else
                return malformed("chunk longer than its size");
            break;
        case Chunk::DataLf:
            if (c != '\n')
                return malformed("chunk longer than its size");
            m_chunk = Chunk::SizeStart;
            break;
        case Chunk::TrailerStart:
        case Chunk::Trailer:
            if (++m_chunkLineBytes > MaxLineBytes)
                return malformed("trailer too long");
            if (m_chunk == Chunk::TrailerStart && c == '\r')
                m_chunk = Chunk::TrailerCr;
            else if (c == '\n')
                m_chunk = m_chunk == Chunk::TrailerStart ? Chunk::Done : Chunk::TrailerStart;
            else
                m_chunk = Chunk::Trailer;
            break;
        case Chunk::TrailerCr:
            if (c != '\n')
                return malformed("bad trailer end");
            m_chunk = Chunk::Done;
            break;
        case Chunk::Data:
        case Chunk::Done:
            break;
        }
    }
    if (m_chunk == Chunk::Done)
        m_contentLength = m_received; // anything after the last chunk is dropped
    buffer[m_buffered] = '\0';
    return 0;
}

void HttpClient::close()
{
    m_connection.reset();
    clearBuffer();
}

int HttpClient::receive()
{
    if (!m_connection)
        return refuse(ResultCode::NoConnection, QByteArrayLiteral("no request was made"));
    if (std::exchange(m_endTagWithHeader, false) && !m_binaryMode && m_contentLength < 0) {
        // A page that came whole with its header ends here, not after a
        // wait for bytes that a server keeping the connection open never sends.
        m_contentLength = m_received;
    }
    if (m_buffered == Capacity)
        return ResultCode::BufferFull;
    if (bodyEnded())
        return ResultCode::BodyComplete;
    // Each wait of a video body is bounded on its own: a big video that
    // keeps coming slowly is not cut at the time-out. A page keeps to the
    // request's deadline as well, so one that trickles in cannot hold a
    // search or a stage past it.
    const QDeadlineTimer wait = m_pageDeadline ? phaseDeadline() : QDeadlineTimer(m_timeout);
    if (!m_connection->waitReadable(wait))
        return failure(ResultCode::BodyStopped, "body stopped after " +
                                                    QByteArray::number(m_received) +
                                                    " bytes: nothing within the time-out");
    char *const buffer = m_buffer.get();
    qint64 room = Capacity - m_buffered;
    // Bytes beyond the announced length are left unread.
    if (!m_chunked && m_contentLength >= 0)
        room = qMin(room, m_contentLength - m_received);
    const qint64 count = m_connection->read(buffer + m_buffered, room);
    if (count < 0)
        return failure(ResultCode::BodyStopped, "body stopped after " +
                                                    QByteArray::number(m_received) +
                                                    " bytes: read error");
    if (count == 0) {
        // An orderly close ends a body of unknown length; before an announced
        // length or the last chunk it means the body was cut short. After
        // the last chunk only its trailer is missing.
        if (m_chunked && m_chunk == Chunk::TrailerStart) {
            m_contentLength = m_received;
            return ResultCode::BodyComplete;
        }
        if (m_contentLength >= 0 || m_chunked)
            return refuse(ResultCode::BodyStopped,
                          "body cut short after " + QByteArray::number(m_received) +
                              (m_chunked
                                   ? QByteArray(" bytes, inside its chunks")
                                   : " of " + QByteArray::number(m_contentLength) + " bytes"));
        m_contentLength = m_received;
        return ResultCode::BodyComplete;
    }
    if (takeBody(m_buffered, count) < 0) {
        m_connection.reset();
        return ResultCode::MalformedAnswer;
    }
    applyEndOfDocument();
    return ResultCode::ReceiveAgain;
}

void HttpClient::applyEndOfDocument()
{
    // A length or the chunks say where the body ends; the tag only stands in
    // for them.
    if (m_binaryMode || m_chunked || m_contentLength >= 0)
        return;
    if (hasEndTag(QByteArrayView(m_buffer.get(), m_buffered)))
        m_contentLength = m_received;
}

int HttpClient::readPage(QByteArray *page, const std::function<void()> &onProgress)
{
    page->clear();
    m_pageDeadline = true;
    int code = ResultCode::ReceiveAgain;
    for (;;) {
        page->append(data(), m_buffered);
        clearBuffer();
        if (onProgress)
            onProgress();
        if (page->size() > MaxPageBytes) {
            page->truncate(MaxPageBytes);
            Trace::print("page cut at %d bytes: %s\n", MaxPageBytes, m_url.constData());
            code = ResultCode::BufferFull;
            break;
        }
        if (code == ResultCode::BodyComplete || code < 0)
            break;
        code = receive();
    }
    m_pageDeadline = false;
    return code;
}

int HttpClient::fetchPage(const QByteArray &url, QByteArray *page, StatusRule rule,
                          const std::function<void()> &onProgress)
{
    page->clear();
    const int code = get(url);
    if (code < 0)
        return code;
    if (rule == RequireSuccess && (m_statusCode < 200 || m_statusCode > 299)) {
        clearBuffer();
        return refuse(ResultCode::HttpStatus, "HTTP status " + QByteArray::number(m_statusCode));
    }
    return readPage(page, onProgress);
}

void HttpClient::clearBuffer()
{
    m_buffered = 0;
    m_buffer[0] = '\0';
}
