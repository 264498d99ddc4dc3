#include "cli/Printable.h"

QByteArray Printable::text(QByteArrayView bytes)
{
    static constexpr char Digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out.append("\\x");
            out.append(Digits[byte >> 4]);
            out.append(Digits[byte & 0xf]);
        } else {
            out.append(c);
        }
    }
    return out;
}

QByteArray Printable::local(const QString &string)
{
    const QByteArray bytes = string.toLocal8Bit();
    return text(QByteArrayView(bytes));
}
