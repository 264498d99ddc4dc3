#pragma once

#include <QByteArrayView>

namespace Numbers {

// Leading-number rule: leading blanks, an optional sign, digits up to the
// first other character; no digits give 0. Saturates at the int range.
int leadingNumber(QByteArrayView text);

// 64-bit variant; ok is false when no digit was found.
qint64 leadingNumber64(QByteArrayView text, bool *ok = nullptr);

// Whole-text integer rule: optional blanks, an optional sign, one or more
// digits, optional blanks and nothing else, fitting 32 bits; anything else,
// the empty text included, reads as 0.
int wholeNumber(QByteArrayView text);

} // namespace Numbers
