#pragma once

#include <QByteArray>
#include <QString>

namespace TestFiles {

// Writes the bytes, creating parent directories; false on failure.
bool write(const QString &path, const QByteArray &bytes);
QByteArray read(const QString &path);

} // namespace TestFiles
