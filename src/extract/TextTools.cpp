#include "extract/TextTools.h"

void fillTemplate(QByteArray &out, QByteArrayView templ, QByteArrayView, int)
{
    out = templ.toByteArray();
}
void encodeSearchWord(QByteArray &) {}
void cleanHtmlText(QByteArray &) {}
void utf8ToLocal(QByteArray &out, QByteArrayView in)
{
    out = in.toByteArray();
}
void localToUtf8(QByteArray &out, QByteArrayView in)
{
    out = in.toByteArray();
}
