#pragma once

#include <QString>

// Makes a directory current for the life of the object.
class CurrentDir
{
public:
    explicit CurrentDir(const QString &path);
    ~CurrentDir();
    CurrentDir(const CurrentDir &) = delete;
    CurrentDir &operator=(const CurrentDir &) = delete;

private:
    QString m_previous;
};
