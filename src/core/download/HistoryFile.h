#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// The history of completed downloads: "history.list" in the work directory,
// one line per video that was downloaded, oldest first:
//
//     engine id TAB ID TAB title TAB file TAB date LF
//
// The date is UTC in ISO 8601 ("2026-12-11T12:34:56Z"). A tab, CR or LF in
// a field is written as a space, so every line reads back whole.
//
// Lines are only ever appended, each by one write of the whole line to a
// file opened with O_APPEND under an exclusive flock(), so lines from several
// threads or processes never mix. A symbolic link, a file that is not a
// regular one, or a file with a second hard link in its place is refused:
// nothing is written through it. The file is never rewritten.
class HistoryFile
{
public:
    // A history larger than this is not read (it is still appended to).
    static constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

    struct Entry
    {
        QByteArray engineId;
        QByteArray id;
        QByteArray title;
        QByteArray file;
        QByteArray date; // UTC, ISO 8601
        bool operator==(const Entry &) const = default;
    };

    static QByteArray path(const QByteArray &workDir);
    // The current time as an entry's date.
    static QByteArray now();
    // The entry's line, its line end included.
    static QByteArray lineOf(const Entry &entry);

    // False, with *error (when given) saying why, when nothing was appended.
    static bool append(const QByteArray &workDir, const Entry &entry, QString *error = nullptr);

    enum class LoadStatus {
        Read,    // the entries were appended; broken lines were skipped
        Missing, // no history yet: an empty history
        Failed,  // no work directory, or a history that cannot be read
    };
    // Appends the file's entries in file order. A broken line (not five
    // fields, an empty engine id, ID or file, a date that is not one) is
    // skipped with a line on standard error naming it. On Failed, *error
    // (when given) says why.
    static LoadStatus load(const QByteArray &workDir, QList<Entry> *entries,
                           QString *error = nullptr);

    // The key a video has in dates(): its engine id and its ID.
    static QByteArray keyOf(const QByteArray &engineId, const QByteArray &id);
    // The latest date of each video in the entries, by keyOf().
    static QHash<QByteArray, QByteArray> dates(const QList<Entry> &entries);
    // The dates() of the history in `workDir`; none without a work
    // directory, and none for a history that cannot be read, which is said
    // on standard error.
    static QHash<QByteArray, QByteArray> downloadedDates(const QByteArray &workDir);
};
