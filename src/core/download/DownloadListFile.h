#pragma once

#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

// The download list kept between runs: "download.list" in the work directory.
// One line per row: the seven texts, each followed by "<\t>", then "\r\n". A
// row whose state begins with 'o' is written as an empty line, so downloaded
// rows are gone at the next load. Diagnostics go to standard error.
//
// Two processes (the window and zindle-cli, or two zindle-cli) may share a
// work directory. Each change goes through update(): under an exclusive
// flock() on the work directory itself the current file is read, the change
// is applied to it and the result written, so no change made elsewhere in the
// meantime is lost. Rows name the same video when ID and Type match.
class DownloadListFile
{
public:
    // A longer line (its line end included) is skipped at load, and a list
    // holding one is never saved over: the line would be lost.
    static constexpr qsizetype MaxLineBytes = 1024 * 1024;

    static QByteArray path(const QByteArray &workDir);

    enum class LoadStatus {
        Read,    // the file's rows were appended
        Missing, // there is no list file yet: an empty list, nothing is wrong
        Failed,  // no work directory, or a list that cannot be read: a caller
                 // must not save over it
        Partial, // the rows were appended, but lines longer than MaxLineBytes
                 // were skipped (each named on standard error): a caller must
                 // not save over it
    };
    // Appends the file's rows in file order (nothing unless Read or Partial).
    // On Failed and Partial, *error (when given) says why; standard error
    // carries the load lines.
    static LoadStatus load(const QByteArray &workDir, QList<ResultRow> *rowsInFileOrder,
                           QString *error = nullptr);
    // Replaces the list through AtomicFile, so a failed save leaves the old
    // list. Separators, CR and LF in a text are written as spaces, so every
    // row reads back whole. Callers that change a list another process may
    // share use update().
    static bool save(const QByteArray &workDir, const QList<ResultRow> &rowsTopToBottom);

    // Gets the current rows in file order (empty when there is no file) and
    // returns the rows to write top to bottom, or nothing to leave the file.
    using Edit = std::function<std::optional<QList<ResultRow>>(const QList<ResultRow> &)>;
    // Read-modify-write under the work directory's lock. False, with *error
    // (when given) saying why, when the list could not be read whole (nothing
    // is written then) or the save failed. The edit runs under the lock: it
    // must not wait for anything.
    static bool update(const QByteArray &workDir, const Edit &edit, QString *error = nullptr);

    static bool sameVideo(const ResultRow &a, const ResultRow &b);
    // True when a download row names the same video as the hit: the same
    // "ID" on the same engine ("Type"). "List up" and "search --add" copy a
    // hit only when this is false.
    static bool isListed(const QList<ResultRow> &downloadRows, const ResultRow &hit);

    // The list a window writes and then shows when it saves its edited rows
    // (`mine`, top to bottom) over a file that another process may have
    // changed since the window last read or wrote it (`synced`, the rows as
    // they were then; `current`, the file now, in file order):
    // - rows of the file that were not there at the last sync and that the
    //   window does not show were added elsewhere: they go on top, in file
    //   order;
    // - a row the window shows that was in the file at the last sync and is
    //   gone from it now was deleted (or downloaded) elsewhere: it is dropped;
    // - a row the window deleted stays deleted, one it added stays added;
    // - a row on both sides takes the file's state unless the window changed
    //   its state since the last sync (a download mark of its own).
    static QList<ResultRow> merge(const QList<ResultRow> &mine, const QList<ResultRow> &synced,
                                  const QList<ResultRow> &current);
};
