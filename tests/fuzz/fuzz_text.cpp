// Title cleanup, reference decoding, search-word encoding and template filling
// over any bytes.
// Input: the whole input is the title and the search word; for the template,
// the bytes before the first NUL are the template and the bytes after it the
// word.
#include "FuzzSupport.h"
#include "core/extract/TextTools.h"

#include <climits>

namespace {

bool keptByEncoding(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

int upperHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Undoes the percent-encoding, failing on any byte the encoding may not produce.
QByteArray decodeSearchWord(const QByteArray &encoded)
{
    QByteArray decoded;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '+') {
            decoded.append(' ');
        } else if (c == '%') {
            FUZZ_CHECK(i + 2 < encoded.size());
            const int high = upperHexValue(encoded[i + 1]);
            const int low = upperHexValue(encoded[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            const char byte = char(high * 16 + low);
            // A byte the encoding keeps must not arrive encoded.
            FUZZ_CHECK(!keptByEncoding(byte) && byte != ' ');
            decoded.append(byte);
            i += 2;
        } else {
            FUZZ_CHECK(keptByEncoding(c));
            decoded.append(c);
        }
    }
    return decoded;
}

// Only the ASCII bytes that cleanHtmlText looks at.
bool hasCleanupTrigger(QByteArrayView text)
{
    return text.contains('&') || text.contains('<') || text.contains('\r');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input = Fuzz::bytesOf(data, size);
    const bool validUtf8 = input.isValidUtf8();

    QByteArray title = input.toByteArray();
    cleanHtmlText(title);
    FUZZ_CHECK(!title.contains('\r'));
    if (validUtf8) {
        // Every replacement shortens the text; nothing to replace leaves it as it is.
        FUZZ_CHECK(title.size() <= input.size());
        if (!hasCleanupTrigger(input))
            FUZZ_CHECK(title == input);
    }

    // Decoding shortens the text, never makes a control byte, and undoes an
    // escaping of every "&" exactly: a decoded "&" starts no further reference.
    QByteArray decoded = input.toByteArray();
    decodeHtmlReferences(decoded);
    FUZZ_CHECK(decoded.size() <= input.size());
    if (!input.contains('&'))
        FUZZ_CHECK(decoded == input);
    for (char control = 0; control < 0x20; ++control)
        FUZZ_CHECK(decoded.count(control) <= input.count(control));
    FUZZ_CHECK(decoded.count('\x7f') <= input.count('\x7f'));
    QByteArray escaped = input.toByteArray().replace('&', "&amp;");
    decodeHtmlReferences(escaped);
    FUZZ_CHECK(escaped == input);

    // A title whose "&" and "<" are escaped comes out as the text itself.
    if (validUtf8) {
        const QByteArray plain = input.toByteArray().replace('\r', QByteArray());
        QByteArray escapedTitle = plain;
        escapedTitle.replace('&', "&amp;").replace('<', "&lt;");
        cleanHtmlText(escapedTitle);
        QByteArray local;
        utf8ToLocal(local, plain);
        FUZZ_CHECK(escapedTitle == local);
    }

    QByteArray word = input.toByteArray();
    encodeSearchWord(word);
    QByteArray utf8;
    localToUtf8(utf8, input);
    FUZZ_CHECK(word.size() <= 3 * utf8.size());
    FUZZ_CHECK(decodeSearchWord(word) == utf8);
    if (validUtf8)
        FUZZ_CHECK(utf8 == input);

    // Capped, so that a template full of "%s" and a word full of "%d" stay
    // within memory: the filling itself sets no limit, by design.
    const QList<QByteArrayView> parts = Fuzz::split(input, '\0', 2);
    const QByteArrayView templ = parts[0].first(qMin<qsizetype>(parts[0].size(), 1024));
    const QByteArrayView filler = parts.size() > 1
                                      ? parts[1].first(qMin<qsizetype>(parts[1].size(), 1024))
                                      : QByteArrayView();
    static const int Numbers[] = {0, 20, -1, -123, INT_MIN, INT_MAX};
    const int number = Numbers[size % (sizeof Numbers / sizeof Numbers[0])];
    QByteArray filled;
    fillTemplate(filled, templ, filler, number);
    // QByteArray::replace works left to right and continues after each
    // insertion too, so it is an independent reference.
    const QByteArray expected =
        templ.toByteArray().replace("%s", filler).replace("%d", QByteArray::number(number));
    FUZZ_CHECK(filled == expected);
    return 0;
}
