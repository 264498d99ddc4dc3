#include "config/Settings.h"

#include "config/Engine.h"

Settings::Settings() = default;
Settings::~Settings() = default;
int Settings::timeout(int) const
{
    return 15000;
}
int Settings::cache(int) const
{
    return 384;
}
QByteArray Settings::userAgent() const
{
    return {};
}
void Settings::setAppDir(const QByteArray &) {}
void Settings::setWorkDir(const QByteArray &) {}
void Settings::setProxy(const QByteArray &) {}
void Settings::setUserId(const QByteArray &) {}
void Settings::setPassword(const QByteArray &) {}
bool Settings::save()
{
    return true;
}
QString Settings::iniPath() const
{
    return {};
}
QString Settings::engineDir() const
{
    return {};
}
int Settings::engineCount() const
{
    return 0;
}
const Engine *Settings::engine(int) const
{
    return nullptr;
}
const Engine *Settings::findEngine(const QByteArray &) const
{
    return nullptr;
}
void Settings::loadEngines() {}
