#pragma once

#include <QByteArray>
#include <array>

// The header lines of the next request, as a fixed table of named slots, and
// the assembled request text. A slot goes out only when its value is longer
// than one character.
class RequestHeaders
{
public:
    enum Slot {
        Accept,
        Referer,
        AcceptLanguage,
        UserAgent,
        Host,
        ProxyConnection,
        Connection,
        Range,
        Cookie,
        IfRange,
        SlotCount
    };

    RequestHeaders();

    void setValue(Slot slot, const QByteArray &value) { m_values[slot] = value; }
    QByteArray value(Slot slot) const { return m_values[slot]; }
    static const char *name(Slot slot);

    // Splits "scheme://host/path": the host (with any ":port") goes to the
    // Host slot and *path receives the rest from the "/" after the host, query
    // included. Returns 0 when the host changed, 1 when it is unchanged, -1
    // when the URL has no "//" or no "/" after the host (nothing changes).
    int splitUrl(const QByteArray &url, QByteArray *path);

    // "GET target HTTP/1.0", the slots in table order, an empty line; every
    // line ends with CR LF. The text stays valid until the next call.
    const QByteArray &buildRequest(const QByteArray &target);

private:
    std::array<QByteArray, SlotCount> m_values;
    QByteArray m_request;
};
