#include "config/Numbers.h"

int Numbers::leadingNumber(QByteArrayView)
{
    return 0;
}
qint64 Numbers::leadingNumber64(QByteArrayView, bool *ok)
{
    if (ok)
        *ok = false;
    return 0;
}
int Numbers::wholeNumber(QByteArrayView)
{
    return 0;
}
