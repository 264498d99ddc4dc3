#pragma once

#include <QByteArray>
#include <QList>

// One HLS playlist (the "#EXTM3U" text format), parsed: either a master
// playlist listing variants of a video, or a media playlist listing the
// segments whose concatenation is the video. Every URI is resolved against
// the playlist's own URL and must be http or https.
//
// Media playlist: an EXT-X-MAP init segment is listed before the segments it
// applies to (again only when it changes), EXT-X-BYTERANGE gives a segment's
// range (its offset defaults to the end of the previous range of the same
// URI), EXT-X-KEY METHOD=AES-128 gives the key URI and IV of the segments
// that follow (the IV defaults to the media sequence number), METHOD=NONE
// ends encryption. EXT-X-DISCONTINUITY is noted on the segment that follows.
//
// parse() refuses, with a reason: text that is not UTF-8 or does not start
// with "#EXTM3U", more than MaxSegments segments or MaxVariants variants, a
// URI of another scheme, a malformed byte range or IV, a key method other
// than NONE and AES-128 (SAMPLE-AES among them), a media playlist without
// EXT-X-ENDLIST (a live stream), one without segments.
class HlsPlaylist
{
public:
    static constexpr int MaxSegments = 100000;
    static constexpr int MaxVariants = 1000;

    enum class Kind { Master, Media };

    struct Variant
    {
        QByteArray uri;
        qint64 bandwidth = 0;
        int height = -1; // -1: no RESOLUTION
        // Its audio is a separate rendition (an EXT-X-MEDIA TYPE=AUDIO with
        // a URI in the variant's AUDIO group), not muxed into its segments.
        bool separateAudio = false;
    };

    // How one segment's bytes are decrypted: `keyUri` empty for clear segments.
    struct Segment
    {
        QByteArray uri;
        qint64 offset = 0;  // first byte of the range
        qint64 length = -1; // -1: the whole resource
        QByteArray keyUri;
        QByteArray iv; // 16 bytes when keyUri is set
        bool init = false;
        bool discontinuity = false;

        bool operator==(const Segment &) const = default;
    };

    Kind kind = Kind::Media;
    QList<Variant> variants; // master
    QList<Segment> segments; // media: init segments among them, in order

    // Parses the text of the playlist fetched from `url`; false with *reason set.
    bool parse(const QByteArray &text, const QByteArray &url, QByteArray *reason);

    // The index into `variants` that `rule` ("best", "worst" or a maximum
    // height; empty means "best") picks, -1 when there are none. Variants
    // with muxed audio are preferred: *videoOnly is set when only variants
    // with a separate audio rendition were there to pick from.
    int chooseVariant(const QByteArray &rule, bool *videoOnly) const;

    // Whether `rule` is one chooseVariant() reads: empty, best, worst or a
    // whole number of pixels.
    static bool isVariantRule(const QByteArray &rule);
};
