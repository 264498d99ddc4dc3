#include "gui/CtrlButton.h"

CtrlButton::CtrlButton(const QString &text, Qt::Key key, const QString &objectName, QWidget *parent)
    : QPushButton(text, parent), m_key(key)
{
    setObjectName(objectName);
    setShortcut(QKeySequence(Qt::CTRL | key));
}

void CtrlButton::setTextKeepingKey(const QString &text)
{
    setText(text);
    setShortcut(QKeySequence(Qt::CTRL | m_key));
}
