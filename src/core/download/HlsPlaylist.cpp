#include "core/download/HlsPlaylist.h"

#include <QHash>
#include <QStringDecoder>
#include <QUrl>
#include <cctype>

namespace {

bool isDigits(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool isUtf8(const QByteArray &text)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text);
    (void)decoded;
    return !decoder.hasError();
}

// The attribute list of a tag: NAME=VALUE pairs split at commas outside
// quotes; quoted values come without their quotes.
QHash<QByteArray, QByteArray> attributes(QByteArrayView text)
{
    QHash<QByteArray, QByteArray> result;
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype equals = text.indexOf('=', at);
        if (equals < 0)
            break;
        const QByteArray name = text.sliced(at, equals - at).trimmed().toByteArray().toUpper();
        qsizetype end = equals + 1;
        QByteArray value;
        if (end < text.size() && text[end] == '"') {
            const qsizetype close = text.indexOf('"', end + 1);
            const qsizetype stop = close < 0 ? text.size() : close;
            value = text.sliced(end + 1, stop - end - 1).toByteArray();
            end = close < 0 ? text.size() : close + 1;
            const qsizetype comma = text.indexOf(',', end);
            end = comma < 0 ? text.size() : comma;
        } else {
            const qsizetype comma = text.indexOf(',', end);
            const qsizetype stop = comma < 0 ? text.size() : comma;
            value = text.sliced(end, stop - end).trimmed().toByteArray();
            end = stop;
        }
        result.insert(name, value);
        at = end + 1;
    }
    return result;
}

// "LENGTH[@OFFSET]"; the offset is -1 when not given.
bool parseRange(QByteArrayView text, qint64 *length, qint64 *offset)
{
    const qsizetype at = text.indexOf('@');
    const QByteArrayView lengthText = at < 0 ? text : text.first(at);
    if (!isDigits(lengthText))
        return false;
    *length = lengthText.toLongLong();
    *offset = -1;
    if (at >= 0) {
        if (!isDigits(text.sliced(at + 1)))
            return false;
        *offset = text.sliced(at + 1).toLongLong();
    }
    return *length > 0;
}

// "0x" and 32 hex digits.
bool parseIv(const QByteArray &text, QByteArray *iv)
{
    if (text.size() != 34 || !(text.startsWith("0x") || text.startsWith("0X")))
        return false;
    for (const char c : text.mid(2)) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    *iv = QByteArray::fromHex(text.mid(2));
    return iv->size() == 16;
}

QByteArray sequenceIv(qint64 sequence)
{
    QByteArray iv(16, '\0');
    for (int byte = 0; byte < 8; ++byte)
        iv[15 - byte] = char((quint64(sequence) >> (8 * byte)) & 0xff);
    return iv;
}

} // namespace

bool HlsPlaylist::isVariantRule(const QByteArray &rule)
{
    const QByteArray name = rule.trimmed().toLower();
    return name.isEmpty() || name == "best" || name == "worst" ||
           (isDigits(name) && name.size() <= 6 && name.toInt() > 0);
}

bool HlsPlaylist::parse(const QByteArray &text, const QByteArray &url, QByteArray *reason)
{
    variants.clear();
    segments.clear();
    if (!text.startsWith("#EXTM3U")) {
        *reason = "not an HLS playlist";
        return false;
    }
    if (!isUtf8(text)) {
        *reason = "playlist is not UTF-8";
        return false;
    }
    const QUrl base = QUrl::fromEncoded(url);
    // The URI resolved against the playlist's URL; empty when it is not http(s).
    const auto resolve = [&](const QByteArray &uri) -> QByteArray {
        const QUrl resolved = base.resolved(QUrl::fromEncoded(uri, QUrl::TolerantMode));
        const QString scheme = resolved.scheme().toLower();
        if (!resolved.isValid() || resolved.host().isEmpty() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
            *reason = "URI of another scheme or malformed: " + uri.left(200);
            return {};
        }
        return resolved.toEncoded(QUrl::RemoveFragment);
    };

    bool ended = false;
    bool master = false;
    qint64 sequence = 0;
    qint64 nextOffset = 0; // where a range without an offset starts
    QByteArray lastRangeUri;
    QByteArray keyUri;
    QByteArray keyIv; // explicit IV of the current key; empty: from the sequence number
    Segment pending;  // tags seen for the next URI line
    bool pendingRange = false;
    bool pendingVariant = false;
    Variant variant;
    Segment init;
    Segment lastInit;
    QHash<QByteArray, bool> audioGroupHasUri;
    QList<QByteArray> variantGroups;

    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        const QByteArray line = text.sliced(at, end - at).trimmed();
        at = end + 1;
        if (line.isEmpty())
            continue;
        if (line.startsWith('#')) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray tag = colon < 0 ? line : line.left(colon);
            const QByteArrayView value =
                colon < 0 ? QByteArrayView() : QByteArrayView(line).sliced(colon + 1);
            if (tag == "#EXT-X-ENDLIST") {
                ended = true;
            } else if (tag == "#EXT-X-MEDIA-SEQUENCE") {
                if (!isDigits(value)) {
                    *reason = "malformed EXT-X-MEDIA-SEQUENCE";
                    return false;
                }
                sequence = value.toLongLong();
            } else if (tag == "#EXT-X-DISCONTINUITY") {
                pending.discontinuity = true;
            } else if (tag == "#EXT-X-BYTERANGE") {
                qint64 offset = -1;
                if (!parseRange(value, &pending.length, &offset)) {
                    *reason = "malformed EXT-X-BYTERANGE: " + line.left(200);
                    return false;
                }
                pending.offset = offset;
                pendingRange = true;
            } else if (tag == "#EXT-X-KEY") {
                const auto attrs = attributes(value);
                const QByteArray method = attrs.value("METHOD");
                if (method == "NONE") {
                    keyUri.clear();
                    keyIv.clear();
                } else if (method == "AES-128") {
                    if (!attrs.contains("URI")) {
                        *reason = "EXT-X-KEY without URI";
                        return false;
                    }
                    keyUri = resolve(attrs.value("URI"));
                    if (keyUri.isEmpty())
                        return false;
                    keyIv.clear();
                    if (attrs.contains("IV") && !parseIv(attrs.value("IV"), &keyIv)) {
                        *reason = "malformed IV: " + attrs.value("IV").left(200);
                        return false;
                    }
                } else {
                    *reason = "encryption " + method.left(100) + " is not supported (only AES-128)";
                    return false;
                }
            } else if (tag == "#EXT-X-MAP") {
                const auto attrs = attributes(value);
                init = Segment();
                init.init = true;
                init.uri = resolve(attrs.value("URI"));
                if (init.uri.isEmpty())
                    return false;
                if (attrs.contains("BYTERANGE")) {
                    qint64 offset = -1;
                    if (!parseRange(attrs.value("BYTERANGE"), &init.length, &offset)) {
                        *reason = "malformed EXT-X-MAP BYTERANGE";
                        return false;
                    }
                    init.offset = qMax<qint64>(0, offset);
                }
                if (!keyUri.isEmpty()) {
                    if (keyIv.isEmpty()) {
                        *reason = "encrypted EXT-X-MAP without an IV";
                        return false;
                    }
                    init.keyUri = keyUri;
                    init.iv = keyIv;
                }
            } else if (tag == "#EXT-X-STREAM-INF") {
                master = true;
                const auto attrs = attributes(value);
                variant = Variant();
                variant.bandwidth = attrs.value("BANDWIDTH").toLongLong();
                const QByteArray resolution = attrs.value("RESOLUTION");
                const qsizetype x = resolution.indexOf('x');
                if (x > 0 && isDigits(QByteArrayView(resolution).sliced(x + 1)))
                    variant.height = resolution.mid(x + 1).toInt();
                variantGroups.append(attrs.value("AUDIO"));
                pendingVariant = true;
            } else if (tag == "#EXT-X-MEDIA") {
                const auto attrs = attributes(value);
                if (attrs.value("TYPE") == "AUDIO" && attrs.contains("URI")) {
                    master = true;
                    audioGroupHasUri.insert(attrs.value("GROUP-ID"), true);
                }
            }
            continue;
        }

        // A URI line.
        const QByteArray uri = resolve(line);
        if (uri.isEmpty())
            return false;
        if (pendingVariant) {
            if (variants.size() >= MaxVariants) {
                *reason = "more than " + QByteArray::number(MaxVariants) + " variants";
                return false;
            }
            variant.uri = uri;
            variants.append(variant);
            pendingVariant = false;
            continue;
        }
        if (master)
            continue;
        if (segments.size() >= MaxSegments) {
            *reason = "more than " + QByteArray::number(MaxSegments) + " segments";
            return false;
        }
        if (!init.uri.isEmpty() && !(init == lastInit)) {
            segments.append(init);
            lastInit = init;
        }
        pending.uri = uri;
        if (pendingRange) {
            if (pending.offset < 0) {
                if (lastRangeUri != uri) {
                    *reason = "EXT-X-BYTERANGE without an offset after another URI";
                    return false;
                }
                pending.offset = nextOffset;
            }
            nextOffset = pending.offset + pending.length;
            lastRangeUri = uri;
        } else {
            pending.offset = 0;
            pending.length = -1;
            lastRangeUri.clear();
        }
        if (!keyUri.isEmpty()) {
            pending.keyUri = keyUri;
            pending.iv = keyIv.isEmpty() ? sequenceIv(sequence) : keyIv;
        }
        segments.append(pending);
        ++sequence;
        pending = Segment();
        pendingRange = false;
    }

    if (master) {
        kind = Kind::Master;
        for (qsizetype index = 0; index < variants.size(); ++index)
            variants[index].separateAudio = audioGroupHasUri.value(variantGroups.value(index));
        if (variants.isEmpty()) {
            *reason = "master playlist without variants";
            return false;
        }
        return true;
    }
    kind = Kind::Media;
    if (!ended) {
        *reason = "live playlist (no EXT-X-ENDLIST): not supported";
        return false;
    }
    if (segments.isEmpty()) {
        *reason = "playlist without segments";
        return false;
    }
    return true;
}

int HlsPlaylist::chooseVariant(const QByteArray &rule, bool *videoOnly) const
{
    bool anyMuxed = false;
    for (const Variant &variant : variants)
        anyMuxed = anyMuxed || !variant.separateAudio;
    *videoOnly = !anyMuxed && !variants.isEmpty();
    const QByteArray name = rule.trimmed().toLower();
    const bool worst = name == "worst";
    const int maxHeight = isDigits(name) ? name.toInt() : -1;

    int chosen = -1;
    // The lowest variant, for a height limit that none keeps to.
    int lowest = -1;
    for (int index = 0; index < int(variants.size()); ++index) {
        const Variant &variant = variants[index];
        if (anyMuxed && variant.separateAudio)
            continue;
        const auto lower = [&](int other) {
            const Variant &them = variants[other];
            return variant.height != them.height && variant.height >= 0 && them.height >= 0
                       ? variant.height < them.height
                       : variant.bandwidth < them.bandwidth;
        };
        if (lowest < 0 || lower(lowest))
            lowest = index;
        if (maxHeight > 0 && variant.height > maxHeight)
            continue;
        if (chosen < 0 || (worst ? variant.bandwidth < variants[chosen].bandwidth
                                 : variant.bandwidth > variants[chosen].bandwidth))
            chosen = index;
    }
    return chosen >= 0 ? chosen : lowest;
}
