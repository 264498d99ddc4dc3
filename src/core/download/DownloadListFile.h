#pragma once

#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The download list kept between runs: "download.list" in the work directory.
// One line per row: the seven texts, each followed by "<\t>", then "\r\n". A
// row whose state begins with 'o' is written as an empty line, so downloaded
// rows are gone at the next load. Diagnostics go to standard error.
class DownloadListFile
{
public:
    static QByteArray path(const QByteArray &workDir);

    enum class LoadStatus {
        Read,    // the file's rows were appended
        Missing, // there is no list file yet: an empty list, nothing is wrong
        Failed,  // no work directory, or a list that cannot be read: a caller
                 // must not save over it
    };
    // Appends the file's rows in file order (nothing unless Read). On Failed,
    // *error (when given) says why; standard error carries the load lines.
    static LoadStatus load(const QByteArray &workDir, QList<ResultRow> *rowsInFileOrder,
                           QString *error = nullptr);
    // Replaces the list through AtomicFile, so a failed save leaves the old
    // list. Separators, CR and LF in a text are written as spaces, so every
    // row reads back whole.
    static bool save(const QByteArray &workDir, const QList<ResultRow> &rowsTopToBottom);

    // True when a download row names the same video as the hit: the same
    // "ID" on the same engine ("Type"). "List up" and "search --add" copy a
    // hit only when this is false.
    static bool isListed(const QList<ResultRow> &downloadRows, const ResultRow &hit);
};
