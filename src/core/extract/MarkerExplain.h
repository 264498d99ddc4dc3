#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// One marker cut told in full, for engine authors: where each marker stood,
// or which one was missing, from where it was searched, and what in the text
// came nearest to it. It cuts as findBetween() does (same positions, same
// text), without its trace; it is slower, so it is for explaining only.
class MarkerExplain
{
public:
    // What in the text nearly matched a missing marker.
    struct NearMiss
    {
        enum Kind {
            None,        // nothing like it
            Earlier,     // the marker itself, but before the search start
            OtherCase,   // the marker in other upper/lower case
            OtherBlanks, // the marker with other blanks (spaces, tabs, line breaks)
            Prefix,      // only the first `matched` bytes of the marker
        };
        Kind kind = None;
        qsizetype at = -1;     // where it starts in the text
        qsizetype length = 0;  // its length in the text
        qsizetype matched = 0; // for Prefix: bytes of the marker that matched
    };

    enum class Miss {
        None,         // the cut succeeded
        NoBegin,      // the begin marker is not in the text from `from` on
        NoEnd,        // the end marker is not after the begin marker
        EmptyEnd,     // the end marker is empty, which never cuts
        EmptyCut,     // the end marker follows the begin marker at once
        StartPastEnd, // the search started beyond the end of the text
    };

    struct Cut
    {
        qsizetype from = 0;     // where the begin marker was searched from
        qsizetype beginAt = -1; // where the begin marker was found
        qsizetype endAt = -1;   // where the end marker was found (-1: not found)
        QByteArray text;        // the cut; empty on a miss
        Miss miss = Miss::None;
        NearMiss near; // for NoBegin and NoEnd

        bool found() const { return miss == Miss::None; }
        // Where the end marker was searched from.
        qsizetype endFrom(QByteArrayView begin) const { return beginAt + begin.size(); }
    };

    // Bytes of context shown on each side of a near miss.
    static constexpr int ContextBytes = 16;

    static Cut cut(QByteArrayView text, QByteArrayView begin, QByteArrayView end,
                   qsizetype from = 0);
    // What nearest to `marker` the text holds, searching from `from` (an
    // earlier whole marker counts too).
    static NearMiss nearMiss(QByteArrayView text, QByteArrayView marker, qsizetype from);

    // One line saying why a cut failed, e.g. `begin marker "<b>" (find0_id::,
    // line 7) not found from 120; nearest: "<B>" in other case at 140: ...`.
    // `beginKey` and `endKey` name the keys ("" to leave out), with their
    // lines (0 to leave out). The text may hold any byte: print it through
    // an escaping filter.
    static QByteArray describeMiss(QByteArrayView text, QByteArrayView begin, QByteArrayView end,
                                   const Cut &cut, const QByteArray &beginKey, int beginLine,
                                   const QByteArray &endKey, int endLine);
    // `marker "X" (key::, line N)` as describeMiss() names a marker.
    static QByteArray markerName(QByteArrayView marker, const QByteArray &key, int line);
    // The near miss with a few bytes of context: `"<B>" in other case at 140: ...xx<B>yy...`.
    static QByteArray describeNear(QByteArrayView text, QByteArrayView marker,
                                   const NearMiss &near);
};
