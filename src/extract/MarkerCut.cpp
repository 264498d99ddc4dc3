#include "extract/MarkerCut.h"

#include <cstdio>

namespace {

constexpr QByteArrayView TraceStart = "-------find_start------";
constexpr QByteArrayView TraceEnd = "--------find_end-------";
constexpr QByteArrayView TraceNotFound = "not found";

// The whole trace goes out in one write: a result scan makes thousands of cuts.
void writeTrace(QByteArrayView begin, QByteArrayView end, QByteArrayView result)
{
    QByteArray trace;
    trace.reserve(TraceStart.size() + begin.size() + end.size() + result.size() + TraceEnd.size());
    trace.append(TraceStart).append(begin).append(end).append(result).append(TraceEnd);
    std::fwrite(trace.constData(), 1, size_t(trace.size()), stderr);
}

} // namespace

qsizetype findBetween(QByteArray &out, QByteArrayView text, QByteArrayView begin,
                      QByteArrayView end, qsizetype from)
{
    // `out` is written last: the caller may pass views into it as text or markers.
    QByteArray cut;
    qsizetype endPos = -1;
    // A negative start would make indexOf count from the end of the text.
    if (from < 0)
        from = 0;
    const qsizetype beginPos = from <= text.size() ? text.indexOf(begin, from) : -1;
    if (beginPos >= 0) {
        const qsizetype cutPos = beginPos + begin.size();
        // An empty end marker is found right at cutPos, so it never cuts anything.
        const qsizetype found = text.indexOf(end, cutPos);
        if (found > cutPos) {
            cut = text.sliced(cutPos, found - cutPos).toByteArray();
            endPos = found;
        }
    }

    writeTrace(begin, end, endPos >= 0 ? QByteArrayView(cut) : TraceNotFound);
    out = std::move(cut);
    return endPos;
}
