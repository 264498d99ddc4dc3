#include "core/config/BoundedFile.h"

#include <QFile>
#include <QFileInfo>

bool BoundedFile::read(const QString &path, qint64 limit, QByteArray *bytes, QString *error)
{
    // A pipe or a device would block or never end.
    if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("not a regular file");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}
