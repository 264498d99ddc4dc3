#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A page's bytes as text for a plain-text view, with the position in that
// text of every byte offset. UTF-8 sequences become their characters; a
// byte that starts no valid sequence becomes U+FFFD; a control byte other
// than TAB and LF is shown as its control picture (U+2400 + byte, U+2421
// for DEL), except the CR of a CR LF pair, which is left out. So a view's
// lines are the page's lines, and nothing in the page can change how the
// rest of it reads.
class PageText
{
public:
    explicit PageText(const QByteArray &page = QByteArray());

    const QString &text() const { return m_text; }
    // The text position of a byte offset 0..size of the page; a position
    // inside a multi-byte character gives the character's position.
    int position(qsizetype offset) const;

private:
    QString m_text;
    QList<int> m_positions; // one per byte, and one for the end
};
