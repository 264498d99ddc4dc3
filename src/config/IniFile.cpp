#include "config/IniFile.h"

IniFile::IniFile(const QString &path) : m_path(path) {}
bool IniFile::load()
{
    return true;
}
QByteArray IniFile::value(const QByteArray &, const QByteArray &, const QByteArray &d) const
{
    return d;
}
int IniFile::intValue(const QByteArray &, const QByteArray &, int d) const
{
    return d;
}
void IniFile::setValue(const QByteArray &, const QByteArray &, const QByteArray &) {}
bool IniFile::save()
{
    return true;
}
