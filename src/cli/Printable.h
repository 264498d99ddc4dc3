#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Texts from pages, engine files and the download list reach the terminal
// only through here: every control byte (below 0x20, TAB, CR and LF
// included, and 0x7F) is written as "\xNN" with two lower-case hex digits,
// so an escape sequence in a title cannot drive the terminal and a field
// never splits a tab-separated line. Other bytes, a backslash included,
// pass unchanged.
class Printable
{
public:
    static QByteArray text(QByteArrayView bytes);
    // The string in the local 8-bit encoding.
    static QByteArray local(const QString &string);
};
