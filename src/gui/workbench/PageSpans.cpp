#include "gui/workbench/PageSpans.h"

#include "core/extract/MarkerCut.h"
#include "core/extract/ResultScan.h"

#include <algorithm>
#include <array>

QList<PageSpans::Span> PageSpans::compute(QByteArrayView page, const MarkerSet &markers)
{
    struct Field
    {
        Kind kind;
        const QByteArray *pair;
    };
    const std::array<Field, 5> fields = {{{Title, markers.title},
                                          {User, markers.user},
                                          {Image, markers.image},
                                          {Time, markers.time},
                                          {Id, markers.id}}};
    MarkerCut top(page, markers.top[0], markers.top[1]);
    std::array<MarkerCut, 5> cuts = {MarkerCut(page, markers.title[0], markers.title[1]),
                                     MarkerCut(page, markers.user[0], markers.user[1]),
                                     MarkerCut(page, markers.image[0], markers.image[1]),
                                     MarkerCut(page, markers.time[0], markers.time[1]),
                                     MarkerCut(page, markers.id[0], markers.id[1])};

    QList<Span> blocks;
    QList<Span> tops;
    QList<Span> cutSpans;
    QByteArray scratch;
    qsizetype pos = top.cut(scratch, 0);
    int hit = 0;
    while (pos >= 0) {
        // The cut ends where the end marker begins; the begin marker stands before it.
        const qsizetype topBegin = pos - scratch.size() - markers.top[0].size();
        tops.append({TopMarker, topBegin, topBegin + markers.top[0].size(), hit});
        tops.append({TopMarker, pos, pos + markers.top[1].size(), hit});
        qsizetype reach = pos + markers.top[1].size();
        for (size_t i = 0; i < fields.size(); ++i) {
            QByteArray text;
            const qsizetype end = cuts[i].cut(text, pos);
            if (end < 0)
                continue;
            cutSpans.append({fields[i].kind, end - text.size(), end, hit});
            reach = std::max(reach, end);
        }
        const qsizetype next = top.cut(scratch, pos);
        const qsizetype blockEnd =
            next >= 0 ? next - scratch.size() - markers.top[0].size() : reach;
        blocks.append({Block, topBegin, std::max(blockEnd, topBegin), hit});
        pos = next;
        ++hit;
    }
    return blocks + tops + cutSpans;
}
