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

// A decimal number of at most 18 digits and nothing else; -1 otherwise.
qint64 parseLength(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (!isDigit(c))
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
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
    QByteArray next = url;
    for (int hop = 0;; ++hop) {
        const int result = sendRequest(next);
        if (result < 0 || m_location.isEmpty())
            return result;
        if (hop == MaxRedirects)
            return ResultCode::TooManyRedirects;
        next = resolveLocation(m_url, m_location);
    }
}

int HttpClient::sendRequest(const QByteArray &url)
{
    m_connection.reset();
    m_url = url;
    m_statusCode = 0;
    m_location.clear();
    m_header.clear();
    m_endTagWithHeader = false;
    clearBuffer();
    if (hasControlByte(url))
        return ResultCode::MalformedUrl;

    const Scheme scheme = schemeOf(url);
    QByteArray target;
    QByteArray host;
    int port = 0;
    if (m_proxy.size() >= 2 && scheme != Scheme::Https) {
        // The proxy gets the whole URL; the Host line follows the URL when it has a host.
        m_headers.splitUrl(url, nullptr);
        target = url;
        host = m_proxy;
        port = m_proxyPort;
    } else {
        // Directly only http and https are served; an https tunnel needs the
        // host and port too.
        if (scheme == Scheme::Other || m_headers.splitUrl(url, &target) < 0 ||
            !splitHostPort(m_headers.value(RequestHeaders::Host),
                           scheme == Scheme::Https ? HttpsPort : HttpPort, &host, &port))
            return ResultCode::MalformedUrl;
    }
    if (m_jar)
        m_headers.setValue(RequestHeaders::Cookie, m_jar->cookieHeader(url));

    if (stopRequested())
        return ResultCode::Stopped;
    if (scheme == Scheme::Https) {
        const int opened = openTls(host, port);
        if (opened < 0)
            return opened;
    } else {
        std::unique_ptr<Connection> connection = createConnection();
        connection->setStopFlag(m_stop);
        if (!connection->open(host, port, phaseDeadline()))
            return failure(ResultCode::ConnectFailed);
        m_connection = std::move(connection);
    }
    const QByteArray &request = m_headers.buildRequest(target);
    if (!m_connection->writeAll(request.constData(), request.size(), phaseDeadline()))
        return failure(ResultCode::SendFailed);
    return readHeader();
}

int HttpClient::failure(int code) const
{
    return stopRequested() ? int(ResultCode::Stopped) : code;
}

int HttpClient::openTls(const QByteArray &host, int port)
{
    if (!m_tls)
        m_tls = std::make_unique<TlsContext>(m_caFile);
    if (!m_tls->handle()) {
        Trace::print("TLS with %s failed: %s\n", host.constData(), m_tls->error().constData());
        return ResultCode::TlsFailed;
    }
    auto connection = std::make_unique<TlsConnection>(m_tls->handle());
    connection->setStopFlag(m_stop);
    const bool viaProxy = m_proxy.size() >= 2;
    if (!connection->open(viaProxy ? m_proxy : host, viaProxy ? m_proxyPort : port,
                          phaseDeadline()))
        return failure(ResultCode::ConnectFailed);
    if (viaProxy && !openTunnel(*connection, authorityOf(host, port)))
        return failure(ResultCode::ConnectFailed);
    if (!connection->startTls(host, phaseDeadline())) {
        if (stopRequested())
            return ResultCode::Stopped;
        Trace::print("TLS with %s failed: %s\n", host.constData(), connection->error().constData());
        return ResultCode::TlsFailed;
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
        // A stop is no refusal.
        if (!stopRequested())
            Trace::print("proxy refused CONNECT %s: %s\n", authority.constData(), why.constData());
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
    auto fail = [this](int code) {
        clearBuffer();
        return code;
    };
    // One deadline for the whole header: one that trickles in byte by byte
    // cannot hold the request open past the time-out.
    const QDeadlineTimer deadline = phaseDeadline();
    qsizetype filled = 0;
    for (;;) {
        if (!m_connection->waitReadable(deadline))
            return fail(failure(ResultCode::NoHeader));
        const qint64 count = m_connection->read(buffer + filled, Capacity - filled);
        if (count <= 0)
            return fail(ResultCode::NoHeader);
        const qsizetype searchFrom = qMax<qsizetype>(0, filled - 3);
        filled += count;
        buffer[filled] = '\0';
        int terminatorLength = 0;
        const qsizetype end =
            findHeaderEnd(QByteArrayView(buffer, filled), searchFrom, &terminatorLength);
        if (end < 0) {
            // No room is left to read the rest of the header into.
            if (filled == Capacity)
                return fail(ResultCode::HeaderTooLarge);
            continue;
        }
        parseHeader(QByteArray(buffer, end));
        const qsizetype bodyStart = end + terminatorLength;
        m_buffered = int(filled - bodyStart);
        memmove(buffer, buffer + bodyStart, size_t(m_buffered));
        buffer[m_buffered] = '\0';
        m_received = m_buffered;
        // The caller may drain these bytes or turn binary mode on before its
        // first receive(), so the tag is only noted here.
        m_endTagWithHeader = hasEndTag(QByteArrayView(buffer, m_buffered));
        return m_buffered;
    }
}

void HttpClient::parseHeader(const QByteArray &header)
{
    m_header = header;
    m_contentLength = -1;
    bool lengthSeen = false;
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
        } else if (!lengthSeen && name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            lengthSeen = true;
            m_contentLength = parseLength(value);
        } else if (m_jar && name.compare("Set-Cookie", Qt::CaseInsensitive) == 0) {
            m_jar->store(m_url, value.toByteArray());
        }
    }
}

int HttpClient::receive()
{
    if (!m_connection)
        return ResultCode::NoConnection;
    if (std::exchange(m_endTagWithHeader, false) && !m_binaryMode && m_contentLength < 0) {
        // A page that came whole with its header ends here, not after a
        // wait for bytes that a server keeping the connection open never sends.
        m_contentLength = m_received;
    }
    if (m_buffered == Capacity)
        return ResultCode::BufferFull;
    if (m_contentLength >= 0 && m_received >= m_contentLength)
        return ResultCode::BodyComplete;
    // Each wait of the body is bounded on its own: a big video that keeps
    // coming slowly is not cut at the time-out.
    if (!m_connection->waitReadable(phaseDeadline()))
        return failure(ResultCode::BodyStopped);
    char *const buffer = m_buffer.get();
    const qint64 count = m_connection->read(buffer + m_buffered, Capacity - m_buffered);
    if (count < 0)
        return ResultCode::BodyStopped;
    if (count == 0) {
        // An orderly close ends a body of unknown length; before an announced
        // length is reached it means the body was cut short.
        if (m_contentLength >= 0)
            return ResultCode::BodyStopped;
        m_contentLength = m_received;
        return ResultCode::BodyComplete;
    }
    m_buffered += int(count);
    m_received += count;
    buffer[m_buffered] = '\0';
    applyEndOfDocument();
    return ResultCode::ReceiveAgain;
}

void HttpClient::applyEndOfDocument()
{
    if (m_binaryMode)
        return;
    if (hasEndTag(QByteArrayView(m_buffer.get(), m_buffered)))
        m_contentLength = m_received;
}

void HttpClient::clearBuffer()
{
    m_buffered = 0;
    m_buffer[0] = '\0';
}
