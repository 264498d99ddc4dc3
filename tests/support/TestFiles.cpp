#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

bool TestFiles::write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray TestFiles::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool TestFiles::writeEngine(const QString &dir, const QByteArray &text, quint16 port,
                            const QString &name)
{
    return write(dir + QStringLiteral("/.zindles/") + name + QStringLiteral(".zin"),
                 QByteArray(text).replace("PORT", QByteArray::number(port)));
}

bool TestFiles::writeSetup(const QString &dir, const QByteArray &workDir, const QByteArray &engine,
                           quint16 port, const QByteArray &iniExtra)
{
    return write(dir + QStringLiteral("/z_user.ini"),
                 "[settings]\r\njobs=1\r\npath=" + workDir + "\r\n" + iniExtra) &&
           writeEngine(dir, engine, port);
}

QByteArray TestFiles::randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}
