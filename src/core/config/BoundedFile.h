#pragma once

#include <QByteArray>
#include <QString>

// Reads files a user names (saved pages, engine files) without trusting their
// size: only regular files, and never more than the limit allows.
class BoundedFile
{
public:
    // At most limit + 1 bytes of the file, so that a caller can tell a file
    // that is larger than the limit (bytes->size() > limit). False, with the
    // reason, when it is not a regular file or cannot be read.
    static bool read(const QString &path, qint64 limit, QByteArray *bytes, QString *error);
};
