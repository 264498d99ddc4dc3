#pragma once

#include <QByteArray>
#include <QString>

namespace TestFiles {

// Writes the bytes, creating parent directories; false on failure.
bool write(const QString &path, const QByteArray &bytes);
QByteArray read(const QString &path);
// Bytes of every value, the same for the same seed (the videos of the tests).
QByteArray randomBytes(qsizetype size, quint32 seed);
// Writes the engine file dir/.zindles/<name>.zin with every "PORT" in the
// text replaced by the port.
bool writeEngine(const QString &dir, const QByteArray &text, quint16 port,
                 const QString &name = QStringLiteral("tube"));
// Writes dir/z_user.ini with one job, the work directory (ending in '/') and
// the extra lines (each ending in "\r\n"), and the engine file as writeEngine().
bool writeSetup(const QString &dir, const QByteArray &workDir, const QByteArray &engine,
                quint16 port, const QByteArray &iniExtra = {});

} // namespace TestFiles
