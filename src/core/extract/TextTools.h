#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Every "%s" of the template is replaced by the word, then every "%d" by the
// number in decimal, left to right, continuing after each insertion.
void fillTemplate(QByteArray &out, QByteArrayView templ, QByteArrayView word, int number);

// Local 8-bit -> UTF-8 -> percent-encoded ("A-Za-z0-9-._" kept, space as "+",
// every other byte as "%XX" in upper case), in place.
void encodeSearchWord(QByteArray &word);

// Drops bold tags and "&quot;", decodes "&nbsp;", "&amp;", "&lt;", "&gt;",
// "&copy;", removes everything from the first CR on, then converts the text
// from UTF-8 to the local 8-bit encoding, in place.
void cleanHtmlText(QByteArray &text);

void utf8ToLocal(QByteArray &out, QByteArrayView in);
void localToUtf8(QByteArray &out, QByteArrayView in);
