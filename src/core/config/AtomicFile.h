#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file's contents all at once: the bytes go into a temporary file
// in the same folder, every write is checked and synced, and only then is the
// temporary file renamed over the old one. A reader, or a crash, sees either
// the old contents or the new ones, never a cut file.
//
// A symbolic link is followed to the file it names, which is replaced while
// the link stays. The new file keeps the permission bits of the file it
// replaces; a file that did not exist gets 0644 under the umask.
class AtomicFile
{
public:
    // Where a failed write stopped.
    enum class Failure {
        None,
        Create, // no temporary file could be made: nothing was written
        Write,  // writing, syncing or renaming the temporary file failed
    };

    // Writes the bytes to path. On failure the old file (if any) is as it was,
    // no temporary file is left, *error (when given) holds the reason and
    // *failure (when given) the step.
    static bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                      Failure *failure = nullptr);
};
