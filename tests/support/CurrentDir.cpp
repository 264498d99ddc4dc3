#include "CurrentDir.h"

#include <QDir>

CurrentDir::CurrentDir(const QString &path) : m_previous(QDir::currentPath())
{
    QDir::setCurrent(path);
}

CurrentDir::~CurrentDir()
{
    QDir::setCurrent(m_previous);
}
