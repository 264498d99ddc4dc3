#pragma once

#include <QByteArrayView>
#include <QList>

struct MarkerSet;

// Where the result scan cuts a page: each hit's block, the top markers that
// start it and the text of each field, as byte offsets into the page. The
// walk is the scan's own (fields are searched from the block's position to
// the end of the page), so the spans show exactly what the hit list holds.
class PageSpans
{
public:
    enum Kind { Block, TopMarker, Id, Title, User, Image, Time };

    struct Span
    {
        Kind kind = Block;
        qsizetype begin = 0; // first byte
        qsizetype end = 0;   // one past the last byte
        int hit = 0;         // the hit, from 0 in page order
        bool operator==(const Span &) const = default;
    };

    // Blocks first (in page order), then top markers, then fields, each
    // group in page order of its hits. A block runs from its top begin
    // marker to the next block's, the last one to the end of its last cut.
    static QList<Span> compute(QByteArrayView page, const MarkerSet &markers);
};
