#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Every "%s" of the template is replaced by the word, then every "%d" by the
// number in decimal, left to right, continuing after each insertion.
void fillTemplate(QByteArray &out, QByteArrayView templ, QByteArrayView word, int number);

// Local 8-bit -> UTF-8 -> percent-encoded ("A-Za-z0-9-._" kept, space as "+",
// every other byte as "%XX" in upper case), in place.
void encodeSearchWord(QByteArray &word);

// Drops bold tags, removes everything from the first CR on, decodes the
// character references as decodeHtmlReferences does except that "&nbsp;" is a
// plain space, "&quot;" is dropped and "&copy;" becomes "(c)", then converts
// the text from UTF-8 to the local 8-bit encoding, in place.
void cleanHtmlText(QByteArray &text);

// Decodes the character references of a UTF-8 text in place, in one pass (a
// decoded "&" starts no further reference): decimal and hexadecimal ones, and
// the named ones of HTML 4 plus "&apos;", case-sensitive, each ended by ";".
// 0x80..0x9F are read as windows-1252; tab, LF, FF and CR give a space. A
// reference to NUL, another control, a surrogate, a value beyond U+10FFFF or
// an unknown name stays as written, and so does every other byte.
void decodeHtmlReferences(QByteArray &text);

void utf8ToLocal(QByteArray &out, QByteArrayView in);
void localToUtf8(QByteArray &out, QByteArrayView in);
