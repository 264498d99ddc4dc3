#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file's contents all at once: the bytes go into a temporary file
// in the same folder, every write is checked and synced, and only then is the
// temporary file renamed over the old one. A reader, or a crash, sees either
// the old contents or the new ones, never a cut file.
//
// With Links::Follow a symbolic link is followed to the file it names, which
// is replaced while the link stays. With Links::Refuse a target that is a
// symbolic link, not a regular file, or a file with more than one hard link
// is left alone and the write fails with Failure::Refused: a file in a
// folder that others can write to must not lead the bytes elsewhere. The
// folders on the way to the target are followed either way.
//
// The new file keeps the permission bits of the file it replaces; a file that
// did not exist gets 0644 under the umask.
class AtomicFile
{
public:
    // Where a failed write stopped.
    enum class Failure {
        None,
        Create,  // no temporary file could be made: nothing was written
        Write,   // writing, syncing or renaming the temporary file failed
        Refused, // Links::Refuse and the target is no plain file: nothing was written
    };
    enum class Links { Follow, Refuse };

    // Writes the bytes to path. On failure the old file (if any) is as it was,
    // no temporary file is left, *error (when given) holds the reason and
    // *failure (when given) the step.
    static bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                      Failure *failure = nullptr, Links links = Links::Follow);

    // The same for the entry `name` (one path component) of an open folder,
    // always as Links::Refuse. The descriptor stays open and is not moved.
    static bool writeAt(int folderFd, const QByteArray &name, const QByteArray &bytes,
                        QString *error = nullptr, Failure *failure = nullptr);
};
