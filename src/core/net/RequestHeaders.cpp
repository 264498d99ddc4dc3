#include "core/net/RequestHeaders.h"

namespace {

const char *const slotNames[RequestHeaders::SlotCount] = {
    "Accept:",           "Referer:",    "Accept-Language:", "User-Agent:", "Host:",
    "Proxy-Connection:", "Connection:", "Range:",           "Cookie:",     "If-Range:",
};

} // namespace

RequestHeaders::RequestHeaders()
{
    m_values[Accept] = QByteArrayLiteral("*/*");
    m_values[AcceptLanguage] = QByteArrayLiteral("ja");
    m_values[Connection] = QByteArrayLiteral("close");
}

const char *RequestHeaders::name(Slot slot)
{
    return slot >= 0 && slot < SlotCount ? slotNames[slot] : "";
}

int RequestHeaders::splitUrl(const QByteArray &url, QByteArray *path)
{
    const qsizetype slashes = url.indexOf("//");
    if (slashes < 0)
        return -1;
    const qsizetype hostStart = slashes + 2;
    const qsizetype pathStart = url.indexOf('/', hostStart);
    if (pathStart < 0)
        return -1;
    if (path)
        *path = url.mid(pathStart);
    const QByteArray host = url.mid(hostStart, pathStart - hostStart);
    if (host == m_values[Host])
        return 1;
    m_values[Host] = host;
    return 0;
}

const QByteArray &RequestHeaders::buildRequest(const QByteArray &target)
{
    m_request = "GET " + target + " HTTP/1.0\r\n";
    for (int slot = 0; slot < SlotCount; ++slot) {
        if (m_values[slot].size() > 1)
            m_request += QByteArray(slotNames[slot]) + ' ' + m_values[slot] + "\r\n";
    }
    m_request += "\r\n";
    return m_request;
}
