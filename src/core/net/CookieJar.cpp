#include "core/net/CookieJar.h"

#include <QDateTime>
#include <algorithm>
#include <arpa/inet.h>
#include <libpsl.h>
#include <limits>
#include <optional>

namespace {

constexpr qint64 Never = std::numeric_limits<qint64>::max();
constexpr int MaxPairSize = 4096;

struct UrlParts
{
    QByteArray host; // lower case, without port or brackets
    QByteArray path; // without query and fragment, never empty
    bool secure = false;
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

QByteArray trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text.toByteArray();
}

// A byte that would end or break the request header line it goes into.
bool hasControlByte(QByteArrayView text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
    });
}

// The host of "host[:port]" or "[address]:port", lower case; empty when there is none.
QByteArray hostOf(QByteArray authority)
{
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        return close < 0 ? QByteArray() : authority.mid(1, close - 1).toLower();
    }
    const qsizetype colon = authority.indexOf(':');
    if (colon >= 0)
        authority.truncate(colon);
    return authority.toLower();
}

// "http://host[:port]/path?query" and the same with https; nothing for other schemes.
std::optional<UrlParts> parseUrl(const QByteArray &url)
{
    UrlParts parts;
    qsizetype hostStart;
    if (url.size() >= 7 && qstrnicmp(url.constData(), "http://", 7) == 0) {
        hostStart = 7;
    } else if (url.size() >= 8 && qstrnicmp(url.constData(), "https://", 8) == 0) {
        hostStart = 8;
        parts.secure = true;
    } else {
        return std::nullopt;
    }
    qsizetype hostEnd = hostStart;
    while (hostEnd < url.size() && url[hostEnd] != '/' && url[hostEnd] != '?' &&
           url[hostEnd] != '#')
        ++hostEnd;
    parts.host = hostOf(url.mid(hostStart, hostEnd - hostStart));
    if (parts.host.isEmpty())
        return std::nullopt;
    if (hostEnd < url.size() && url[hostEnd] == '/') {
        qsizetype pathEnd = hostEnd;
        while (pathEnd < url.size() && url[pathEnd] != '?' && url[pathEnd] != '#')
            ++pathEnd;
        parts.path = url.mid(hostEnd, pathEnd - hostEnd);
    } else {
        parts.path = QByteArrayLiteral("/");
    }
    return parts;
}

bool isIpAddress(const QByteArray &host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host.constData(), address) == 1 ||
           inet_pton(AF_INET6, host.constData(), address) == 1;
}

// The host equals the domain, or is a name below it.
bool domainMatches(const QByteArray &host, const QByteArray &domain)
{
    return host == domain ||
           (host.endsWith('.' + domain) && host.size() > domain.size() + 1 && !isIpAddress(host));
}

// The request path equals the cookie path, or continues it at a "/".
bool pathMatches(const QByteArray &requestPath, const QByteArray &cookiePath)
{
    if (!requestPath.startsWith(cookiePath))
        return false;
    return requestPath.size() == cookiePath.size() || cookiePath.endsWith('/') ||
           requestPath[cookiePath.size()] == '/';
}

// The directory of the request path: up to, not including, its last "/".
QByteArray defaultPath(const QByteArray &requestPath)
{
    const qsizetype last = requestPath.lastIndexOf('/');
    return last <= 0 ? QByteArrayLiteral("/") : requestPath.left(last);
}

// A run of 1 to maxDigits digits at the start of the token, followed by a
// non-digit or the end; -1 otherwise.
int leadingNumber(QByteArrayView token, int minDigits, int maxDigits, qsizetype *length = nullptr)
{
    qsizetype digits = 0;
    while (digits < token.size() && isDigit(token[digits]))
        ++digits;
    if (digits < minDigits || digits > maxDigits)
        return -1;
    int value = 0;
    for (qsizetype i = 0; i < digits; ++i)
        value = value * 10 + (token[i] - '0');
    if (length)
        *length = digits;
    return value;
}

bool isDateDelimiter(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2f) || (u >= 0x3b && u <= 0x40) ||
           (u >= 0x5b && u <= 0x60) || (u >= 0x7b && u <= 0x7e);
}

// The runs of non-delimiter bytes of a cookie date, in order.
QList<QByteArrayView> dateTokens(QByteArrayView text)
{
    QList<QByteArrayView> tokens;
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && isDateDelimiter(text[i]))
            ++i;
        const qsizetype start = i;
        while (i < text.size() && !isDateDelimiter(text[i]))
            ++i;
        if (i > start)
            tokens.append(text.sliced(start, i - start));
    }
    return tokens;
}

// The parts of a cookie date, -1 while not found. Each take...() takes the
// token when its part is still missing and the token has that part's form.
struct DateParts
{
    int hour = -1, minute = -1, second = -1, day = -1, month = -1, year = -1;

    // "h:m:s", one or two digits each.
    bool takeTime(QByteArrayView token)
    {
        if (hour >= 0)
            return false;
        qsizetype a = 0, b = 0;
        const int h = leadingNumber(token, 1, 2, &a);
        if (h < 0 || a >= token.size() || token[a] != ':')
            return false;
        const int m = leadingNumber(token.sliced(a + 1), 1, 2, &b);
        if (m < 0 || a + 1 + b >= token.size() || token[a + 1 + b] != ':')
            return false;
        const int s = leadingNumber(token.sliced(a + 1 + b + 1), 1, 2);
        if (s < 0)
            return false;
        hour = h;
        minute = m;
        second = s;
        return true;
    }

    bool takeDay(QByteArrayView token)
    {
        if (day >= 0)
            return false;
        day = leadingNumber(token, 1, 2);
        return day >= 0;
    }

    // The first three letters of an English month name, any case.
    bool takeMonth(QByteArrayView token)
    {
        static const char *const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                             "jul", "aug", "sep", "oct", "nov", "dec"};
        if (month >= 0 || token.size() < 3)
            return false;
        const QByteArray prefix = token.first(3).toByteArray().toLower();
        const auto found = std::find_if(std::begin(months), std::end(months),
                                        [&](const char *name) { return prefix == name; });
        if (found == std::end(months))
            return false;
        month = int(found - std::begin(months)) + 1;
        return true;
    }

    bool takeYear(QByteArrayView token)
    {
        if (year >= 0)
            return false;
        year = leadingNumber(token, 2, 4);
        return year >= 0;
    }

    // Milliseconds since the epoch; nothing when a part is missing or out of
    // range. A two-digit year from 70 is of the 1900s, below 70 of the 2000s.
    std::optional<qint64> toMsecsSinceEpoch() const
    {
        int fullYear = year;
        if (fullYear >= 70 && fullYear <= 99)
            fullYear += 1900;
        else if (fullYear >= 0 && fullYear <= 69)
            fullYear += 2000;
        if (hour < 0 || day < 1 || day > 31 || month < 0 || fullYear < 1601 || hour > 23 ||
            minute > 59 || second > 59)
            return std::nullopt;
        const QDate date(fullYear, month, day);
        if (!date.isValid())
            return std::nullopt;
        return QDateTime(date, QTime(hour, minute, second), Qt::UTC).toMSecsSinceEpoch();
    }
};

// A cookie date in any of the forms servers send ("Wed, 09 Jun 2021
// 10:18:14 GMT", "Wednesday, 09-Jun-21 10:18:14 GMT", asctime), read token
// by token for a time, a day, a month and a year, in that order of trying.
std::optional<qint64> parseCookieDate(QByteArrayView text)
{
    DateParts parts;
    for (const QByteArrayView token : dateTokens(text)) {
        if (!parts.takeTime(token) && !parts.takeDay(token) && !parts.takeMonth(token))
            parts.takeYear(token);
    }
    return parts.toMsecsSinceEpoch();
}

// The end of a cookie with this "Max-Age" value: a count of seconds, signed;
// nothing when it is not one. Zero or less ends it at once.
std::optional<qint64> maxAgeEnd(const QByteArray &value, qint64 now)
{
    const bool negative = value.startsWith('-');
    const QByteArray digits = negative ? value.mid(1) : value;
    if (digits.isEmpty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        return std::nullopt;
    // Anything beyond a few centuries lasts as long as the job anyway.
    const qint64 seconds = digits.size() > 11 ? 99999999999 : digits.toLongLong();
    if (negative || seconds == 0)
        return std::numeric_limits<qint64>::min();
    return now + seconds * 1000;
}

// The attributes after a cookie's "name=value", as far as the jar uses them.
struct CookieAttributes
{
    std::optional<qint64> maxAgeEnd;
    std::optional<qint64> expiresEnd;
    QByteArray domain; // lower case, without a leading dot; empty: none
    QByteArray path;   // as given; empty: none
    bool secure = false;

    // Max-Age wins over Expires; without either the cookie lasts.
    qint64 end() const { return maxAgeEnd ? *maxAgeEnd : expiresEnd ? *expiresEnd : Never; }
};

// Reads "; Name=value" attributes, names in any case; one it cannot read is passed over.
CookieAttributes parseAttributes(const QList<QByteArray> &fields, qint64 now)
{
    CookieAttributes attributes;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const qsizetype split = fields[i].indexOf('=');
        const QByteArray name =
            trimmed(QByteArrayView(fields[i]).first(split < 0 ? fields[i].size() : split))
                .toLower();
        const QByteArray value = split < 0 ? QByteArray() : trimmed(fields[i].mid(split + 1));
        if (name == "max-age") {
            if (const std::optional<qint64> end = maxAgeEnd(value, now))
                attributes.maxAgeEnd = end;
        } else if (name == "expires") {
            if (const std::optional<qint64> end = parseCookieDate(value))
                attributes.expiresEnd = end;
        } else if (name == "domain") {
            attributes.domain = value.startsWith('.') ? value.mid(1).toLower() : value.toLower();
        } else if (name == "path") {
            attributes.path = value;
        } else if (name == "secure") {
            attributes.secure = true;
        }
    }
    return attributes;
}

// A name under which anyone may register (a top-level domain, "co.uk",
// "github.io"), by the public suffix list: the newer of libpsl's built-in
// copy and the system's, both read from disk, never fetched.
bool isPublicSuffix(const QByteArray &domain)
{
    static psl_ctx_t *const list = psl_latest(nullptr);
    return list ? psl_is_public_suffix(list, domain.constData()) != 0 : !domain.contains('.');
}

// Where a cookie goes. Without a Domain attribute only to the request's
// host; with one, to that domain and the names below it, provided the
// request's host is one of them and the domain is no public suffix (a
// public suffix that is the host itself makes the cookie host-only).
// Nothing when the Domain attribute is not allowed.
struct CookieScope
{
    QByteArray domain;
    QByteArray path;
    bool hostOnly = true;
};

std::optional<CookieScope> scopeOf(const UrlParts &url, const CookieAttributes &attributes)
{
    const QByteArray path =
        attributes.path.startsWith('/') ? attributes.path : defaultPath(url.path);
    const QByteArray &domain = attributes.domain;
    if (domain.isEmpty())
        return CookieScope{url.host, path, true};
    if (domain != url.host && !domainMatches(url.host, domain))
        return std::nullopt;
    if (!isIpAddress(domain) && isPublicSuffix(domain)) {
        if (domain == url.host)
            return CookieScope{url.host, path, true};
        return std::nullopt;
    }
    return CookieScope{domain, path, false};
}

} // namespace

void CookieJar::store(const QByteArray &requestUrl, const QByteArray &setCookie)
{
    if (m_recording)
        m_stored.append({requestUrl, setCookie});
    const std::optional<UrlParts> url = parseUrl(requestUrl);
    if (!url)
        return;
    const QList<QByteArray> fields = setCookie.split(';');
    const QByteArray &pair = fields.first();
    const qsizetype equals = pair.indexOf('=');
    if (equals < 0 || pair.size() > MaxPairSize)
        return;
    Cookie cookie;
    cookie.name = trimmed(QByteArrayView(pair).first(equals));
    cookie.value = trimmed(QByteArrayView(pair).sliced(equals + 1));
    if (cookie.name.isEmpty() || hasControlByte(cookie.name) || hasControlByte(cookie.value))
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const CookieAttributes attributes = parseAttributes(fields, now);
    cookie.secure = attributes.secure;
    if (cookie.secure && !url->secure)
        return;
    cookie.expiresMs = attributes.end();
    const std::optional<CookieScope> scope = scopeOf(*url, attributes);
    if (!scope)
        return;
    cookie.domain = scope->domain;
    cookie.path = scope->path;
    cookie.hostOnly = scope->hostOnly;
    keep(std::move(cookie), now);
}

void CookieJar::keep(Cookie cookie, qint64 now)
{
    // Expired ones go, and so does the cookie this one replaces.
    const auto same = std::find_if(m_cookies.begin(), m_cookies.end(), [&](const Cookie &old) {
        return old.name == cookie.name && old.domain == cookie.domain && old.path == cookie.path;
    });
    cookie.created = same != m_cookies.end() ? same->created : m_nextCreated++;
    if (same != m_cookies.end())
        m_cookies.erase(same);
    m_cookies.removeIf([now](const Cookie &old) { return old.expiresMs <= now; });
    if (cookie.expiresMs <= now)
        return;
    if (m_cookies.size() >= MaxCookies) {
        m_cookies.erase(std::min_element(
            m_cookies.begin(), m_cookies.end(),
            [](const Cookie &a, const Cookie &b) { return a.created < b.created; }));
    }
    m_cookies.append(std::move(cookie));
}

void CookieJar::startFrom(const CookieJar &row)
{
    *this = row;
    m_recording = true;
    m_stored.clear();
}

void CookieJar::passStoredTo(CookieJar &row)
{
    for (const auto &[from, setCookie] : std::exchange(m_stored, {}))
        row.store(from, setCookie);
}

QByteArray CookieJar::cookieHeader(const QByteArray &url) const
{
    const std::optional<UrlParts> parts = parseUrl(url);
    if (!parts)
        return {};
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QList<const Cookie *> matching;
    for (const Cookie &cookie : m_cookies) {
        const bool hostMatches = cookie.hostOnly ? parts->host == cookie.domain
                                                 : domainMatches(parts->host, cookie.domain);
        if (hostMatches && pathMatches(parts->path, cookie.path) &&
            (!cookie.secure || parts->secure) && cookie.expiresMs > now)
            matching.append(&cookie);
    }
    std::sort(matching.begin(), matching.end(), [](const Cookie *a, const Cookie *b) {
        if (a->path.size() != b->path.size())
            return a->path.size() > b->path.size();
        return a->created < b->created;
    });
    QByteArray header;
    for (const Cookie *cookie : matching) {
        if (!header.isEmpty())
            header += "; ";
        header += cookie->name + '=' + cookie->value;
    }
    return header;
}
