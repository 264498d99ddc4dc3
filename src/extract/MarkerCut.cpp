#include "extract/MarkerCut.h"

qsizetype findBetween(QByteArray &out, QByteArrayView, QByteArrayView, QByteArrayView, qsizetype)
{
    out.clear();
    return -1;
}
