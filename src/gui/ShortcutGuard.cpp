#include "gui/ShortcutGuard.h"

#include <QKeyEvent>
#include <QWidget>

ShortcutGuard::ShortcutGuard(QList<QKeyCombination> keys, QObject *parent)
    : QObject(parent), m_keys(std::move(keys))
{}

void ShortcutGuard::guard(std::initializer_list<QWidget *> widgets)
{
    for (QWidget *widget : widgets)
        widget->installEventFilter(this);
}

bool ShortcutGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *keyEvent = static_cast<QKeyEvent *>(event);
        const QKeyCombination key(keyEvent->modifiers() & ~Qt::KeypadModifier,
                                  Qt::Key(keyEvent->key()));
        if (m_keys.contains(key)) {
            event->ignore(); // not overridden: the window's shortcut fires
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
