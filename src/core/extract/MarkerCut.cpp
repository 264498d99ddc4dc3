#include "core/extract/MarkerCut.h"

#include "core/job/Trace.h"

#include <cstdio>

namespace {

constexpr QByteArrayView TraceStart = "-------find_start------";
constexpr QByteArrayView TraceEnd = "--------find_end-------";
constexpr QByteArrayView TraceNotFound = "not found";

// The whole trace goes out in one write: a result scan makes thousands of cuts.
void writeTrace(QByteArrayView begin, QByteArrayView end, QByteArrayView result)
{
    if (!Trace::enabled())
        return;
    QByteArray trace;
    trace.reserve(TraceStart.size() + begin.size() + end.size() + result.size() + TraceEnd.size());
    trace.append(TraceStart).append(begin).append(end).append(result).append(TraceEnd);
    Trace::write(trace);
}

} // namespace

qsizetype findBetween(QByteArray &out, QByteArrayView text, QByteArrayView begin,
                      QByteArrayView end, qsizetype from)
{
    // The cut writes `out` last, so the caller may pass views into it.
    return MarkerCut(text, begin, end).cut(out, from);
}

MarkerCut::MarkerCut(QByteArrayView text, QByteArrayView begin, QByteArrayView end)
    : m_text(text), m_begin(begin), m_end(end)
{}

qsizetype MarkerCut::cut(QByteArray &out, qsizetype from)
{
    QByteArray cut;
    qsizetype endPos = -1;
    // A negative start would make indexOf count from the end of the text.
    if (from < 0)
        from = 0;
    const qsizetype beginPos = from <= m_text.size() ? find(m_begin, m_beginMemo, from) : -1;
    if (beginPos >= 0) {
        const qsizetype cutPos = beginPos + m_begin.size();
        // An empty end marker is found right at cutPos, so it never cuts anything.
        const qsizetype found = find(m_end, m_endMemo, cutPos);
        if (found > cutPos) {
            cut = m_text.sliced(cutPos, found - cutPos).toByteArray();
            endPos = found;
        }
    }

    writeTrace(m_begin, m_end, endPos >= 0 ? QByteArrayView(cut) : TraceNotFound);
    out = std::move(cut);
    return endPos;
}

qsizetype MarkerCut::find(QByteArrayView marker, Memo &memo, qsizetype from) const
{
    // An empty marker is found where the search starts: nothing to remember.
    if (marker.isEmpty())
        return m_text.indexOf(marker, from);
    const bool known = memo.from >= 0 && from >= memo.from && (memo.at < 0 || from <= memo.at);
    if (!known)
        memo = {from, m_text.indexOf(marker, from)};
    return memo.at;
}
