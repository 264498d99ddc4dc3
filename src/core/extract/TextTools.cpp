#include "core/extract/TextTools.h"

#include <QRegularExpression>
#include <QString>

namespace {

// Replaces every `placeholder` of `text` by `value`, left to right, continuing
// after each inserted value.
QByteArray replaceAll(const QByteArray &text, QByteArrayView placeholder, QByteArrayView value)
{
    QByteArray result;
    result.reserve(text.size());
    qsizetype pos = 0;
    for (qsizetype hit = text.indexOf(placeholder); hit >= 0;
         hit = text.indexOf(placeholder, pos)) {
        result.append(QByteArrayView(text).sliced(pos, hit - pos)).append(value);
        pos = hit + placeholder.size();
    }
    result.append(QByteArrayView(text).sliced(pos));
    return result;
}

bool keptInSearchWord(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

struct Cleanup
{
    // Every match contains this text: a title without it is left alone, which
    // spares most titles most of the regular expressions.
    QString needle;
    QRegularExpression pattern;
    QString replacement;
};

} // namespace

void fillTemplate(QByteArray &out, QByteArrayView templ, QByteArrayView word, int number)
{
    const QByteArray withWord = replaceAll(templ.toByteArray(), "%s", word);
    out = replaceAll(withWord, "%d", QByteArray::number(number));
}

void encodeSearchWord(QByteArray &word)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    QByteArray utf8;
    localToUtf8(utf8, word);
    QByteArray encoded;
    encoded.reserve(utf8.size() * 3);
    for (const char c : std::as_const(utf8)) {
        if (keptInSearchWord(c)) {
            encoded.append(c);
        } else if (c == ' ') {
            encoded.append('+');
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded.append('%').append(Hex[byte >> 4]).append(Hex[byte & 0x0f]);
        }
    }
    word = encoded;
}

void cleanHtmlText(QByteArray &text)
{
    // Case-sensitive on purpose: upper-case tags and entities stay as they are.
    static const Cleanup steps[] = {
        {QStringLiteral("<"), QRegularExpression(QStringLiteral("</*b>")), QString()},
        {QStringLiteral("&nbsp;"), QRegularExpression(QStringLiteral("&nbsp;")),
         QStringLiteral(" ")},
        {QStringLiteral("&quot;"), QRegularExpression(QStringLiteral("&quot;")), QString()},
        {QStringLiteral("&amp;"), QRegularExpression(QStringLiteral("&amp;")), QStringLiteral("&")},
        {QStringLiteral("&lt;"), QRegularExpression(QStringLiteral("&lt;")), QStringLiteral("<")},
        {QStringLiteral("&gt;"), QRegularExpression(QStringLiteral("&gt;")), QStringLiteral(">")},
        {QStringLiteral("&copy;"), QRegularExpression(QStringLiteral("&copy;")),
         QStringLiteral("(c)")},
        // A title ends at its first CR; line feeds after it go too.
        {QStringLiteral("\r"),
         QRegularExpression(QStringLiteral("\r.*"), QRegularExpression::DotMatchesEverythingOption),
         QString()},
    };

    QString cleaned = QString::fromUtf8(text);
    for (const Cleanup &step : steps) {
        if (cleaned.contains(step.needle))
            cleaned.replace(step.pattern, step.replacement);
    }
    utf8ToLocal(text, cleaned.toUtf8());
}

void utf8ToLocal(QByteArray &out, QByteArrayView in)
{
    out = QString::fromUtf8(in).toLocal8Bit();
}

void localToUtf8(QByteArray &out, QByteArrayView in)
{
    out = QString::fromLocal8Bit(in).toUtf8();
}
