#include "core/extract/MarkerExplain.h"

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

qsizetype indexOfAnyCase(QByteArrayView text, QByteArrayView marker, qsizetype from)
{
    const QByteArray lowerMarker = marker.toByteArray().toLower();
    const QByteArray lowerText = text.sliced(from).toByteArray().toLower();
    const qsizetype at = lowerText.indexOf(lowerMarker);
    return at < 0 ? -1 : from + at;
}

// The length of the text at `at` that reads as the marker when blanks are
// left out on both sides and case is ignored; 0 when it does not.
qsizetype blankFreeMatch(QByteArrayView text, qsizetype at, QByteArrayView marker)
{
    qsizetype i = 0;
    qsizetype j = at;
    qsizetype last = at;
    for (;;) {
        while (i < marker.size() && isBlank(marker[i]))
            ++i;
        if (i == marker.size())
            return last - at;
        while (j < text.size() && isBlank(text[j]))
            ++j;
        if (j == text.size() || asciiLower(text[j]) != asciiLower(marker[i]))
            return 0;
        ++i;
        last = ++j;
    }
}

QByteArray quoted(QByteArrayView bytes)
{
    return '"' + bytes.toByteArray() + '"';
}

} // namespace

MarkerExplain::Cut MarkerExplain::cut(QByteArrayView text, QByteArrayView begin, QByteArrayView end,
                                      qsizetype from)
{
    Cut cut;
    cut.from = from < 0 ? 0 : from;
    if (cut.from > text.size()) {
        cut.miss = Miss::StartPastEnd;
        return cut;
    }
    cut.beginAt = text.indexOf(begin, cut.from);
    if (cut.beginAt < 0) {
        cut.miss = Miss::NoBegin;
        cut.near = nearMiss(text, begin, cut.from);
        return cut;
    }
    const qsizetype cutPos = cut.beginAt + begin.size();
    if (end.isEmpty()) {
        cut.miss = Miss::EmptyEnd;
        return cut;
    }
    cut.endAt = text.indexOf(end, cutPos);
    if (cut.endAt < 0) {
        cut.miss = Miss::NoEnd;
        cut.near = nearMiss(text, end, cutPos);
    } else if (cut.endAt == cutPos) {
        cut.miss = Miss::EmptyCut;
    } else {
        cut.text = text.sliced(cutPos, cut.endAt - cutPos).toByteArray();
    }
    return cut;
}

MarkerExplain::NearMiss MarkerExplain::nearMiss(QByteArrayView text, QByteArrayView marker,
                                                qsizetype from)
{
    NearMiss near;
    if (marker.isEmpty() || from < 0 || from > text.size())
        return near;
    if (const qsizetype at = indexOfAnyCase(text, marker, from); at >= 0)
        return {NearMiss::OtherCase, at, marker.size(), marker.size()};
    const qsizetype firstBytePos = [&] {
        for (qsizetype i = 0; i < marker.size(); ++i) {
            if (!isBlank(marker[i]))
                return i;
        }
        return qsizetype(-1);
    }();
    if (firstBytePos >= 0) {
        const char first = asciiLower(marker[firstBytePos]);
        for (qsizetype at = from; at < text.size(); ++at) {
            if (asciiLower(text[at]) != first)
                continue;
            if (const qsizetype length = blankFreeMatch(text, at, marker))
                return {NearMiss::OtherBlanks, at, length, marker.size()};
        }
    }
    if (from > 0) {
        const qsizetype at =
            text.first(qMin(text.size(), from + marker.size() - 1)).lastIndexOf(marker);
        if (at >= 0 && at < from)
            return {NearMiss::Earlier, at, marker.size(), marker.size()};
    }
    // A prefix that occurs has every shorter prefix occurring too.
    qsizetype low = 0;
    qsizetype lowAt = -1;
    qsizetype high = marker.size() - 1;
    while (low < high) {
        const qsizetype middle = (low + high + 1) / 2;
        const qsizetype at = text.indexOf(marker.first(middle), from);
        if (at >= 0) {
            low = middle;
            lowAt = at;
        } else {
            high = middle - 1;
        }
    }
    if (low > 0)
        return {NearMiss::Prefix, lowAt, low, low};
    return near;
}

QByteArray MarkerExplain::markerName(QByteArrayView marker, const QByteArray &key, int line)
{
    QByteArray name = quoted(marker);
    if (!key.isEmpty()) {
        name += " (" + key;
        if (line > 0)
            name += ", line " + QByteArray::number(line);
        name += ')';
    }
    return name;
}

QByteArray MarkerExplain::describeNear(QByteArrayView text, QByteArrayView marker,
                                       const NearMiss &near)
{
    if (near.kind == NearMiss::None)
        return "nothing like it in the text";
    const QByteArray found = quoted(text.sliced(near.at, near.length));
    const QByteArray at = QByteArray::number(near.at);
    QByteArray line;
    switch (near.kind) {
    case NearMiss::None:
        break;
    case NearMiss::Earlier:
        line = "the marker at " + at + ", before the search start";
        break;
    case NearMiss::OtherCase:
        line = found + " in other case at " + at;
        break;
    case NearMiss::OtherBlanks:
        line = found + " with other blanks at " + at;
        break;
    case NearMiss::Prefix:
        line = found + " (its first " + QByteArray::number(near.matched) + " of " +
               QByteArray::number(marker.size()) + " bytes) at " + at;
        break;
    }
    const qsizetype start = qMax<qsizetype>(0, near.at - ContextBytes);
    const qsizetype stop = qMin(text.size(), near.at + near.length + ContextBytes);
    line += ", in " + quoted(text.sliced(start, stop - start));
    return line;
}

QByteArray MarkerExplain::describeMiss(QByteArrayView text, QByteArrayView begin,
                                       QByteArrayView end, const Cut &cut,
                                       const QByteArray &beginKey, int beginLine,
                                       const QByteArray &endKey, int endLine)
{
    const QByteArray beginName = markerName(begin, beginKey, beginLine);
    const QByteArray endName = markerName(end, endKey, endLine);
    const QByteArray beginAt = QByteArray::number(cut.beginAt);
    switch (cut.miss) {
    case Miss::None:
        return {};
    case Miss::StartPastEnd:
        return "the search starts at " + QByteArray::number(cut.from) +
               ", past the end of the text (" + QByteArray::number(text.size()) + " bytes)";
    case Miss::NoBegin:
        return "begin marker " + beginName + " not found from " + QByteArray::number(cut.from) +
               "; nearest: " + describeNear(text, begin, cut.near);
    case Miss::NoEnd:
        return "end marker " + endName + " not found from " +
               QByteArray::number(cut.endFrom(begin)) + " (begin marker at " + beginAt +
               "); nearest: " + describeNear(text, end, cut.near);
    case Miss::EmptyEnd:
        return "end marker " + endName + " is empty, so nothing is cut (begin marker at " +
               beginAt + ')';
    case Miss::EmptyCut:
        return "nothing between the begin marker at " + beginAt + " and the end marker at " +
               QByteArray::number(cut.endAt);
    }
    return {};
}
