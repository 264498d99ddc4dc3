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
