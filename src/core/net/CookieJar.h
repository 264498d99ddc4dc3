#pragma once

#include <QByteArray>
#include <QList>
#include <utility>

// The cookies of one job, in memory only: what the "Set-Cookie" lines of its
// responses stored, and the "Cookie" text each of its requests carries.
// A cookie is host-only unless its Domain attribute names the request's host
// or a parent domain of it; a public suffix ("com", "co.uk", "github.io")
// is refused as the domain of a cookie for a name below it; its
// path defaults to the directory of the request path; a Secure cookie is
// neither taken from nor sent over plain http. Max-Age (which wins) or
// Expires decide its end: one in the past deletes it. Not thread-safe: one
// job's thread uses it.
class CookieJar
{
public:
    // At most this many cookies are kept; the oldest goes first.
    static constexpr int MaxCookies = 3000;

    // Stores the cookie of one "Set-Cookie" value received for the URL.
    // Values that are malformed or not allowed for the URL are ignored.
    void store(const QByteArray &requestUrl, const QByteArray &setCookie);
    // The "name=value" pairs that go with a request for the URL, joined by
    // "; ", longer paths first, then in the order they were first set;
    // empty when none matches.
    QByteArray cookieHeader(const QByteArray &url) const;

    int count() const { return int(m_cookies.size()); }
    void clear() { m_cookies.clear(); }

    // For a connection's own jar beside the row's: startFrom() makes this
    // jar a copy of `row` that also keeps every value store() is given from
    // then on, with its URL; passStoredTo() tells `row` those values in the
    // same order and forgets them. The caller guards `row` from other threads.
    void startFrom(const CookieJar &row);
    void passStoredTo(CookieJar &row);

private:
    struct Cookie
    {
        QByteArray name;
        QByteArray value;
        QByteArray domain;
        QByteArray path;
        qint64 expiresMs; // milliseconds since the epoch
        quint64 created;  // order of first setting
        bool hostOnly;
        bool secure;
    };

    // Adds the cookie, or replaces the one of the same name, domain and
    // path (keeping its place in the order); drops the expired ones and, at
    // MaxCookies, the oldest.
    void keep(Cookie cookie, qint64 now);

    QList<Cookie> m_cookies;
    quint64 m_nextCreated = 0;
    bool m_recording = false;
    QList<std::pair<QByteArray, QByteArray>> m_stored; // (URL, Set-Cookie value) since startFrom()
};
