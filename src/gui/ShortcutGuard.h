#pragma once

#include <QKeyCombination>
#include <QList>
#include <QObject>

class QWidget;

// Keeps key combinations that a window binds to its own shortcuts away from
// the text fields it is installed on: a line edit would otherwise take CTRL+A,
// CTRL+U or CTRL+Left for its own editing, and the shortcut would not fire.
class ShortcutGuard : public QObject
{
    Q_OBJECT

public:
    ShortcutGuard(QList<QKeyCombination> keys, QObject *parent);

    // Installs the guard on each widget.
    void guard(std::initializer_list<QWidget *> widgets);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<QKeyCombination> m_keys;
};
