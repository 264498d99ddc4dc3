#pragma once

#include <QPushButton>

// A push button whose accelerator is CTRL plus the letter of its & mark
// (the mark alone would give ALT plus the letter).
class CtrlButton : public QPushButton
{
    Q_OBJECT

public:
    CtrlButton(const QString &text, Qt::Key key, const QString &objectName, QWidget *parent);

    // Sets the text and the CTRL accelerator again, which a new text replaces.
    void setTextKeepingKey(const QString &text);

private:
    Qt::Key m_key;
};
