#pragma once

#include "core/download/HlsPlaylist.h"

#include <QByteArray>
#include <QHash>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class HttpClient;

// Downloads an HLS stream into the video's ".part": the answered playlist
// (a master one leads to the variant HlsPlaylist::chooseVariant() picks),
// then each segment in order through the row's client, so its cookies,
// Referer (the playlist's URL) and stop flag apply. AES-128 segments are
// decrypted (AES-128-CBC, PKCS7), each key URI fetched once and required to
// hold 16 bytes. The ".part" ends up as the concatenation of the clear
// segments, the init segment first.
//
// Segments may come over several connections at once (Options::connections);
// they are still appended in order.
//
// A segment that fails on the network is tried again `retries` times, after
// the owner's pause; an HTTP status other than 2xx (5xx excepted, which is
// tried again) fails the download. The sidecar records a digest of the
// playlist URL and segment list, the segments done and their bytes, so a
// later run resumes at the first missing segment, or starts over when the
// list changed or the ".part" is shorter than recorded.
//
// Work files are reached only through the Target, never by a path from a
// playlist.
class HlsDownload
{
public:
    // The ".part" and its sidecar, written by the owner's safe paths.
    class Target
    {
    public:
        virtual ~Target() = default;
        virtual qint64 size() const = 0;
        // Drops what lies past `size` and writes on from there.
        virtual bool resize(qint64 size) = 0;
        virtual bool write(const char *data, qint64 size) = 0;
        // Up to a few hundred bytes of the sidecar; empty when there is none.
        virtual QByteArray readSidecar() const = 0;
        virtual bool writeSidecar(const QByteArray &text) = 0;
        virtual QByteArray errorText() const = 0;
    };

    struct Options
    {
        QByteArray variantRule; // "hls_variant::"
        int retries = 0;        // per segment
        // Waits before retry `retry` (from 1); false when a stop came meanwhile.
        std::function<bool(int retry)> pause;
        std::function<void(int percent)> progress; // told the stream's percent, when given
        std::atomic<int> *resultCode = nullptr;    // last request code, when given
        // Segments fetched at once. Above 1, each further connection is a
        // client from makeClient (set up as the row's: time-out, proxy,
        // stop flag), with the row's cookies and its Referer.
        int connections = 1;
        std::function<std::unique_ptr<HttpClient>()> makeClient;
    };

    struct Result
    {
        // Transient: the playlist could not be read for a network reason
        // (`code`); the whole download may be tried again.
        enum Status { Done, Failed, Stopped, Transient };
        Status status = Done;
        QByteArray reason; // why it failed, or a note on a done one
        int code = 0;
    };

    // The ".part.meta" line that marks a sidecar as this class's.
    static constexpr QByteArrayView SidecarTag = "hls ";

    HlsDownload(HttpClient &http, Target &target, Options options);

    // After get() was answered: whether the body begins with "#EXTM3U".
    // Receives only while the bytes so far could still begin so (a video's
    // first byte settles it), until the body ends; the bytes stay buffered.
    // *code is the last receive code, ReceiveAgain when none was needed: a
    // negative one ends the try as it would have ended the body.
    static bool answersPlaylist(HttpClient &http, int *code);

    // Runs the download; the client holds the playlist's answer.
    Result run();

    // What run() found, for a summary line.
    int variantCount() const { return m_variantCount; }
    QByteArray chosenVariant() const { return m_chosen; }
    int segmentCount() const { return int(m_media.segments.size()); }

private:
    // Reads the answered playlist into *text; a failed Result when it cannot be.
    bool readAnswer(QByteArray *text, Result *failure);
    bool fetchPlaylist(const QByteArray &url, QByteArray *text, Result *failure);
    // Takes a segment's clear bytes; false when they cannot be taken.
    using Sink = std::function<bool(const char *data, qint64 size)>;
    // One segment, with its retries; Done or the reason it failed.
    Result fetchSegment(int index);
    // One try of a segment over `http`, its clear bytes to `sink`;
    // `progress` is told the bytes taken and those expected (-1: unknown).
    Result fetchSegmentOnce(HttpClient &http, int index, const Sink &sink,
                            const std::function<void(qint64, qint64)> &progress);
    // The segments from m_done on over up to Options::connections clients at
    // once, appended in order: a segment ahead of the one being appended is
    // held in memory, and no client takes a segment more than `connections`
    // ahead of it.
    Result fetchTogether();
    // The key for `uri`, fetched at its first use.
    bool keyFor(HttpClient &http, const QByteArray &uri, QByteArray *key, Result *failure);
    // Why a segment that may be tried again failed, as its retry line and a final failure say.
    QByteArray retryReason(int index, const Result &result) const;
    // After try `retry` (from 1) of segment `index` ended in *result, not
    // Done: true to try again, once the retry line is traced and the owner's
    // pause is over. Otherwise *result is how the segment ends: a Transient
    // one becomes the failure when the retries are spent, or Stopped when a
    // stop came during the pause.
    bool tryAgain(int index, int retry, Result *result) const;
    // Segment `index` is on disk in full, right after the ones before.
    void segmentDone(int index);
    void saveProgress(bool force);
    void showProgress(int index, qint64 segmentBytes, qint64 segmentTotal);
    QByteArray listDigest() const;
    Result fail(QByteArray reason) const;
    // The Target's error as a failure, read under m_mutex since a client
    // working together with others may be writing meanwhile; m_mutex not held.
    Result writeFailure();

    std::mutex m_mutex; // guards the keys, the row's cookie jar and the progress while clients work
                        // together
    HttpClient &m_http;
    Target &m_target;
    Options m_options;
    QByteArray m_mediaUrl;
    HlsPlaylist m_media;
    QHash<QByteArray, QByteArray> m_keys;
    QByteArray m_digest;
    QByteArray m_chosen;
    int m_variantCount = 0;
    int m_done = 0;           // segments complete on disk
    qint64 m_doneBytes = 0;   // their bytes
    qint64 m_rangeTotal = -1; // sum of the lengths when every segment has one
    qint64 m_rangeDone = 0;
    qint64 m_lastSave = 0;
};
