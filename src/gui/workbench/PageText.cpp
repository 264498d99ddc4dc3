#include "gui/workbench/PageText.h"

namespace {

// The length of the valid UTF-8 sequence at `at` and its code point; 0 when
// the byte there starts none.
int sequenceAt(const QByteArray &bytes, qsizetype at, char32_t *codePoint)
{
    const auto byte = [&](qsizetype i) { return uchar(bytes[i]); };
    const uchar lead = byte(at);
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        const uchar next = byte(at + i);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *codePoint = value;
    return length;
}

} // namespace

PageText::PageText(const QByteArray &page)
{
    m_text.reserve(page.size());
    m_positions.resize(page.size() + 1);
    qsizetype at = 0;
    while (at < page.size()) {
        char32_t codePoint = 0;
        int length = sequenceAt(page, at, &codePoint);
        if (length == 0) {
            length = 1;
            codePoint = 0xFFFD;
        } else if (codePoint == '\r' && at + 1 < page.size() && page[at + 1] == '\n') {
            m_positions[at] = int(m_text.size());
            ++at;
            continue;
        } else if (codePoint == 0x7F) {
            codePoint = 0x2421;
        } else if (codePoint < 0x20 && codePoint != '\t' && codePoint != '\n') {
            codePoint = 0x2400 + codePoint;
        }
        for (int i = 0; i < length; ++i)
            m_positions[at + i] = int(m_text.size());
        m_text.append(QChar::fromUcs4(codePoint));
        at += length;
    }
    m_positions[page.size()] = int(m_text.size());
}

int PageText::position(qsizetype offset) const
{
    if (offset <= 0)
        return 0;
    if (offset >= m_positions.size())
        return m_positions.last();
    return m_positions[offset];
}
