#pragma once

#include <QProgressBar>

// The program's status line: a fill from 0 to 100 and a text in place of the
// percentage. A new text shows from the next change of value on.
class QTextProgressBar : public QProgressBar
{
    Q_OBJECT

public:
    explicit QTextProgressBar(QWidget *parent = nullptr);

    QString text() const override;

    void setBarText(const QString &text) { barText = text; }
    QString storedText() const { return barText; }

private:
    QString barText;
    QString shownText;
};
