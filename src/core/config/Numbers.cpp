#include "core/config/Numbers.h"

#include <limits>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads an optional sign and the digits that follow from text[*pos], leaving
// *pos after the last digit. The magnitude saturates at the 64-bit range.
qint64 readSignedDigits(QByteArrayView text, qsizetype *pos, bool *anyDigit)
{
    qsizetype i = *pos;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate negatively so that the lowest value fits.
    const qint64 lowest = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    bool saturated = false;
    *anyDigit = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        *anyDigit = true;
        const int digit = text[i] - '0';
        if (saturated || value < (lowest + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    *pos = i;
    if (saturated)
        return negative ? lowest : std::numeric_limits<qint64>::max();
    if (!negative)
        return value == lowest ? std::numeric_limits<qint64>::max() : -value;
    return value;
}

int clampToInt(qint64 value)
{
    if (value > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(value);
}

} // namespace

int Numbers::leadingNumber(QByteArrayView text)
{
    return clampToInt(leadingNumber64(text));
}

qint64 Numbers::leadingNumber64(QByteArrayView text, bool *ok)
{
    qsizetype pos = 0;
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    bool anyDigit = false;
    const qint64 value = readSignedDigits(text, &pos, &anyDigit);
    if (ok)
        *ok = anyDigit;
    return anyDigit ? value : 0;
}

int Numbers::wholeNumber(QByteArrayView text)
{
    qsizetype pos = 0;
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    bool anyDigit = false;
    const qint64 value = readSignedDigits(text, &pos, &anyDigit);
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    if (!anyDigit || pos != text.size())
        return 0;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return 0;
    return int(value);
}
