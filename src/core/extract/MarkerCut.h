#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Cuts the text between the first `begin` in `text` (searching from `from`)
// and the first `end` after it into `out`. Returns the position in `text` at
// which that `end` begins, or -1 when either marker is missing, the end marker
// is empty, or the text between them is empty (`out` is then empty). An empty
// begin marker matches at `from`; a negative `from` counts as 0.
// Writes its trace to standard error, without separators or line breaks:
// "-------find_start------", begin, end, then the cut or "not found", then
// "--------find_end-------".
qsizetype findBetween(QByteArray &out, QByteArrayView text, QByteArrayView begin,
                      QByteArrayView end, qsizetype from = 0);

// findBetween over one text and one marker pair, asked again and again: it
// remembers where each marker was found, so that the result scan, which cuts
// every field from every record's position to the end of the page, does not
// search the same bytes once per record. Results and traces are those of
// findBetween. The text and the markers must outlive the object, and `out`
// must be neither of them.
class MarkerCut
{
public:
    MarkerCut(QByteArrayView text, QByteArrayView begin, QByteArrayView end);

    qsizetype cut(QByteArray &out, qsizetype from = 0);

private:
    // The first occurrence of a marker at or after `from` is `at` (-1: none).
    // That answer holds for every position from `from` up to `at`, or from
    // `from` on when there was none.
    struct Memo
    {
        qsizetype from = -1;
        qsizetype at = -1;
    };
    qsizetype find(QByteArrayView marker, Memo &memo, qsizetype from) const;

    QByteArrayView m_text;
    QByteArrayView m_begin;
    QByteArrayView m_end;
    Memo m_beginMemo;
    Memo m_endMemo;
};
