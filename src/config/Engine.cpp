#include "config/Engine.h"

Engine::Engine() = default;
Engine::~Engine() = default;
int Engine::parse(const QString &, const QString &)
{
    return -1;
}
const QByteArray &Engine::text(int key) const
{
    return m_texts[key];
}
int Engine::number(int) const
{
    return 0;
}
const QByteArray &Engine::stageText(int kind, int) const
{
    return m_texts[kind];
}
const char *Engine::keyName(int)
{
    return "";
}
