#include "core/download/HlsDownload.h"

#include "core/job/Trace.h"
#include "core/net/Connection.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <openssl/evp.h>
#include <optional>
#include <system_error>
#include <thread>

namespace {

constexpr QByteArrayView Magic = "#EXTM3U";
// The sidecar is written at most this often while segments arrive.
constexpr qint64 SaveIntervalMs = 1000;
// A segment fetched ahead of its turn is held in memory up to this many bytes.
constexpr qsizetype MaxHeldBytes = 16 * 1024 * 1024;

// A failure that a later try may not meet again (as for the video fetch).
bool isTransient(int code)
{
    return code == ResultCode::ConnectFailed || code == ResultCode::SendFailed ||
           code == ResultCode::NoHeader || code == ResultCode::BodyStopped;
}

struct CipherFree
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

// "name value" lines of the sidecar.
QByteArray sidecarValue(const QByteArray &text, QByteArrayView name)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.size() > name.size() && line.startsWith(name) && line[name.size()] == ' ')
            return line.mid(name.size() + 1);
    }
    return QByteArray();
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

HlsDownload::HlsDownload(HttpClient &http, Target &target, Options options)
    : m_http(http), m_target(target), m_options(std::move(options))
{}

bool HlsDownload::answersPlaylist(HttpClient &http, int *code)
{
    *code = ResultCode::ReceiveAgain;
    while (http.bufferedBytes() < Magic.size() && Magic.startsWith(http.view())) {
        *code = http.receive();
        if (*code != ResultCode::ReceiveAgain)
            break;
    }
    return http.view().startsWith(Magic);
}

HlsDownload::Result HlsDownload::fail(QByteArray reason) const
{
    return {Result::Failed, std::move(reason), 0};
}

HlsDownload::Result HlsDownload::writeFailure()
{
    std::lock_guard lock(m_mutex);
    return fail("write error: " + m_target.errorText());
}

bool HlsDownload::readAnswer(QByteArray *text, Result *failure)
{
    const int got = m_http.readPage(text);
    if (m_options.resultCode)
        m_options.resultCode->store(got);
    if (got == ResultCode::BufferFull) {
        *failure =
            fail("playlist longer than " + QByteArray::number(HttpClient::MaxPageBytes) + " bytes");
        return false;
    }
    if (got == ResultCode::Stopped) {
        *failure = {Result::Stopped, {}, got};
        return false;
    }
    if (got < 0) {
        *failure = isTransient(got) ? Result{Result::Transient, {}, got}
                                    : fail("playlist: network error " + QByteArray::number(got));
        return false;
    }
    return true;
}

bool HlsDownload::fetchPlaylist(const QByteArray &url, QByteArray *text, Result *failure)
{
    const int got = m_http.get(url);
    if (m_options.resultCode)
        m_options.resultCode->store(got);
    if (got == ResultCode::Stopped) {
        *failure = {Result::Stopped, {}, got};
        return false;
    }
    if (got < 0) {
        *failure = isTransient(got) ? Result{Result::Transient, {}, got}
                                    : fail("playlist: network error " + QByteArray::number(got));
        return false;
    }
    if (m_http.statusCode() < 200 || m_http.statusCode() > 299) {
        *failure =
            fail("playlist " + url + ": HTTP status " + QByteArray::number(m_http.statusCode()));
        return false;
    }
    return readAnswer(text, failure);
}

HlsDownload::Result HlsDownload::run()
{
    Result failure;
    QByteArray text;
    m_mediaUrl = m_http.url();
    if (!readAnswer(&text, &failure))
        return failure;
    QByteArray reason;
    HlsPlaylist playlist;
    if (!playlist.parse(text, m_mediaUrl, &reason))
        return fail("HLS: " + reason);
    QByteArray note;
    if (playlist.kind == HlsPlaylist::Kind::Master) {
        bool videoOnly = false;
        const int chosen = playlist.chooseVariant(m_options.variantRule, &videoOnly);
        const HlsPlaylist::Variant &variant = playlist.variants[chosen];
        m_variantCount = int(playlist.variants.size());
        m_chosen = QByteArray::number(variant.bandwidth) + " b/s";
        if (variant.height > 0)
            m_chosen += ", " + QByteArray::number(variant.height) + 'p';
        if (videoOnly)
            note = "video only: audio is a separate rendition";
        Trace::print("HLS: %d variants, chose %s\n", m_variantCount, m_chosen.constData());
        m_http.headers().setValue(RequestHeaders::Referer, m_mediaUrl);
        m_mediaUrl = variant.uri;
        text.clear();
        if (!fetchPlaylist(m_mediaUrl, &text, &failure))
            return failure;
        m_mediaUrl = m_http.url();
        if (!playlist.parse(text, m_mediaUrl, &reason))
            return fail("HLS: " + reason);
        if (playlist.kind != HlsPlaylist::Kind::Media)
            return fail("HLS: a variant is a master playlist again");
    }
    m_media = std::move(playlist);
    text = QByteArray();
    m_keys.clear();

    const int count = int(m_media.segments.size());
    m_rangeTotal = 0;
    for (const HlsPlaylist::Segment &segment : std::as_const(m_media.segments))
        m_rangeTotal = segment.length < 0 || m_rangeTotal < 0 ? -1 : m_rangeTotal + segment.length;

    // Resume where the sidecar says, when it describes this very list.
    m_digest = listDigest();
    m_done = 0;
    m_doneBytes = 0;
    const QByteArray kept = m_target.readSidecar();
    if (kept.startsWith(SidecarTag) && sidecarValue(kept, "hls") == m_digest) {
        bool doneOk = false;
        bool bytesOk = false;
        const int done = sidecarValue(kept, "segments").toInt(&doneOk);
        const qint64 bytes = sidecarValue(kept, "bytes").toLongLong(&bytesOk);
        if (doneOk && bytesOk && done > 0 && done <= count && bytes >= 0 &&
            bytes <= m_target.size()) {
            m_done = done;
            m_doneBytes = bytes;
            Trace::print("HLS: resuming at segment %d of %d\n", done + 1, count);
        }
    }
    m_rangeDone = 0;
    for (int index = 0; index < m_done && m_rangeTotal >= 0; ++index)
        m_rangeDone += m_media.segments[index].length;
    if (!m_target.resize(m_doneBytes))
        return fail("write error: " + m_target.errorText());
    m_lastSave = 0;
    saveProgress(true);

    m_http.headers().setValue(RequestHeaders::Referer, m_mediaUrl);
    if (m_options.connections > 1 && m_options.makeClient && count - m_done > 1) {
        // The row's client only read the playlist: its connection goes.
        m_http.close();
        const Result result = fetchTogether();
        if (result.status != Result::Done) {
            // What is complete stays for the next run.
            (void)m_target.resize(m_doneBytes);
            saveProgress(true);
            return result;
        }
    }
    while (m_done < count) {
        Result result = fetchSegment(m_done);
        if (result.status != Result::Done) {
            // What is complete stays for the next run.
            (void)m_target.resize(m_doneBytes);
            saveProgress(true);
            return result;
        }
    }
    if (m_options.progress)
        m_options.progress(100);
    return {Result::Done, note, 0};
}

QByteArray HlsDownload::listDigest() const
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(m_mediaUrl);
    for (const HlsPlaylist::Segment &segment : m_media.segments) {
        hash.addData(QByteArrayView("\n"));
        hash.addData(segment.uri);
        hash.addData(QByteArray::number(segment.offset) + ' ' + QByteArray::number(segment.length) +
                     ' ' + segment.keyUri + ' ' + segment.iv.toHex() + (segment.init ? " i" : ""));
    }
    return hash.result().toHex();
}

void HlsDownload::saveProgress(bool force)
{
    const qint64 now = nowMs();
    if (!force && now - m_lastSave < SaveIntervalMs)
        return;
    m_lastSave = now;
    const QByteArray text =
        SidecarTag.toByteArray() + m_digest + "\nsegments " + QByteArray::number(m_done) +
        "\nbytes " + QByteArray::number(m_doneBytes) + "\nplaylist " + m_mediaUrl.left(600) + '\n';
    if (!m_target.writeSidecar(text))
        Trace::print("HLS: cannot keep the progress: %s\n", m_target.errorText().constData());
}

void HlsDownload::showProgress(int index, qint64 segmentBytes, qint64 segmentTotal)
{
    if (!m_options.progress)
        return;
    qint64 percent = 0;
    if (m_rangeTotal > 0) {
        percent = (m_rangeDone + segmentBytes) * 100 / m_rangeTotal;
    } else {
        const qint64 count = m_media.segments.size();
        qint64 within = segmentTotal > 0 ? qMin<qint64>(100, segmentBytes * 100 / segmentTotal) : 0;
        percent = (qint64(index) * 100 + within) / count;
    }
    // 100 means done.
    m_options.progress(int(qBound(qint64(1), percent, qint64(99))));
}

bool HlsDownload::keyFor(HttpClient &http, const QByteArray &uri, QByteArray *key, Result *failure)
{
    {
        std::lock_guard lock(m_mutex);
        if (const auto found = m_keys.constFind(uri); found != m_keys.constEnd()) {
            *key = *found;
            return true;
        }
    }
    // Clients working together may each fetch a new key; any copy serves.
    QByteArray page;
    const int got = http.fetchPage(uri, &page, HttpClient::RequireSuccess);
    if (m_options.resultCode)
        m_options.resultCode->store(got);
    if (got == ResultCode::Stopped) {
        *failure = {Result::Stopped, {}, got};
        return false;
    }
    if (got < 0 || got == ResultCode::BufferFull) {
        const QByteArray why =
            "key " + uri.left(300) + ": " +
            (got == ResultCode::HttpStatus ? "HTTP status " + QByteArray::number(http.statusCode())
                                           : "network error " + QByteArray::number(got));
        *failure = isTransient(got) ? Result{Result::Transient, why, got} : fail(why);
        return false;
    }
    if (page.size() != 16) {
        *failure = fail("key " + uri.left(300) + " is " + QByteArray::number(page.size()) +
                        " bytes, not 16");
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_keys.insert(uri, page);
    *key = page;
    return true;
}

QByteArray HlsDownload::retryReason(int index, const Result &result) const
{
    return "segment " + QByteArray::number(index + 1) + " of " +
           QByteArray::number(m_media.segments.size()) + ": " +
           (result.reason.isEmpty() ? "network error " + QByteArray::number(result.code)
                                    : result.reason);
}

void HlsDownload::segmentDone(int index)
{
    m_doneBytes = m_target.size();
    if (m_rangeTotal >= 0)
        m_rangeDone += m_media.segments[index].length;
    ++m_done;
    showProgress(m_done, 0, 0);
    saveProgress(m_done == int(m_media.segments.size()));
}

HlsDownload::Result HlsDownload::fetchSegment(int index)
{
    const Sink append = [this](const char *data, qint64 size) {
        return m_target.write(data, size);
    };
    const auto progress = [this, index](qint64 taken, qint64 expected) {
        showProgress(index, taken, expected);
    };
    for (int retry = 1;; ++retry) {
        if (m_http.stopRequested())
            return {Result::Stopped, {}, ResultCode::Stopped};
        if (!m_target.resize(m_doneBytes))
            return fail("write error: " + m_target.errorText());
        Result result = fetchSegmentOnce(m_http, index, append, progress);
        if (result.status == Result::Done) {
            segmentDone(index);
            return result;
        }
        if (!tryAgain(index, retry, &result))
            return result;
    }
}

bool HlsDownload::tryAgain(int index, int retry, Result *result) const
{
    if (result->status != Result::Transient)
        return false;
    const QByteArray why = retryReason(index, *result);
    if (retry > m_options.retries) {
        *result = fail(why);
        return false;
    }
    Trace::print("retry %d/%d: %s\n", retry, m_options.retries, why.constData());
    if (m_options.pause && !m_options.pause(retry)) {
        *result = {Result::Stopped, {}, ResultCode::Stopped};
        return false;
    }
    return true;
}

HlsDownload::Result HlsDownload::fetchTogether()
{
    const int count = int(m_media.segments.size());
    const int ahead = m_options.connections;
    CookieJar *const rowJar = m_http.cookieJar();
    std::condition_variable wake;
    int nextToTake = m_done;
    QHash<int, QByteArray> held;   // complete segments waiting for their turn
    std::optional<Result> outcome; // the first failure or stop ends the others
    const auto slice = std::chrono::milliseconds(Connection::StopSliceMs);

    // Appends the held segments whose turn it is; m_mutex held.
    auto appendHeld = [&] {
        for (auto found = held.find(m_done); found != held.end(); found = held.find(m_done)) {
            const QByteArray bytes = std::move(*found);
            held.erase(found);
            if (!m_target.write(bytes.constData(), bytes.size()))
                return false;
            segmentDone(m_done);
        }
        return true;
    };

    auto work = [&](HttpClient &http, CookieJar &jar) {
        for (;;) {
            int index = -1;
            {
                std::unique_lock lock(m_mutex);
                while (!outcome && nextToTake < count && nextToTake >= m_done + ahead &&
                       !http.stopRequested())
                    wake.wait_for(lock, slice);
                if (outcome || nextToTake >= count || http.stopRequested())
                    return;
                index = nextToTake++;
            }
            // The segment whose turn it is goes straight into the ".part";
            // another is held until its turn, and one past MaxHeldBytes
            // waits for it.
            QByteArray bytes;
            bool abandoned = false;
            const Sink sink = [&](const char *data, qint64 size) {
                std::unique_lock lock(m_mutex);
                while (index != m_done && bytes.size() + size > MaxHeldBytes && !outcome &&
                       !http.stopRequested())
                    wake.wait_for(lock, slice);
                if (outcome || (index != m_done && bytes.size() + size > MaxHeldBytes)) {
                    abandoned = true;
                    return false;
                }
                if (index != m_done) {
                    bytes.append(data, size);
                    return true;
                }
                if (!bytes.isEmpty() && !m_target.write(bytes.constData(), bytes.size()))
                    return false;
                bytes.clear();
                return m_target.write(data, size);
            };
            Result result;
            for (int retry = 1;; ++retry) {
                {
                    std::lock_guard lock(m_mutex);
                    if (rowJar)
                        jar.startFrom(*rowJar);
                }
                result = fetchSegmentOnce(http, index, sink, [](qint64, qint64) {});
                {
                    std::lock_guard lock(m_mutex);
                    if (rowJar)
                        jar.passStoredTo(*rowJar);
                    if (result.status == Result::Done && !abandoned) {
                        if (index != m_done) {
                            held.insert(index, std::move(bytes));
                        } else if (!bytes.isEmpty() &&
                                   !m_target.write(bytes.constData(), bytes.size())) {
                            result = fail("write error: " + m_target.errorText());
                        } else {
                            segmentDone(index);
                            if (!appendHeld())
                                result = fail("write error: " + m_target.errorText());
                        }
                        wake.notify_all();
                    } else if (index == m_done) {
                        // What this try appended goes again.
                        (void)m_target.resize(m_doneBytes);
                    }
                    bytes.clear();
                }
                if (abandoned)
                    return;
                if (result.status == Result::Done)
                    break;
                if (tryAgain(index, retry, &result))
                    continue;
                std::lock_guard lock(m_mutex);
                if (!outcome)
                    outcome = result;
                wake.notify_all();
                return;
            }
        }
    };

    std::vector<std::unique_ptr<CookieJar>> jars;
    std::vector<std::unique_ptr<HttpClient>> clients;
    std::vector<std::thread> threads;
    for (int client = 0; client < qMin(m_options.connections, count - m_done); ++client) {
        jars.push_back(std::make_unique<CookieJar>());
        clients.push_back(m_options.makeClient());
        clients.back()->setCookieJar(jars.back().get());
        clients.back()->setBinaryMode(true);
        clients.back()->headers().setValue(RequestHeaders::Referer, m_mediaUrl);
        try {
            threads.emplace_back(work, std::ref(*clients.back()), std::ref(*jars.back()));
        } catch (const std::system_error &e) {
            Trace::print("cannot create a download thread: %s\n", e.what());
            break;
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    if (outcome)
        return *outcome;
    if (m_done < count && m_http.stopRequested())
        return {Result::Stopped, {}, ResultCode::Stopped};
    // Segments left (no thread could be made) go one at a time.
    return {};
}

HlsDownload::Result
HlsDownload::fetchSegmentOnce(HttpClient &http, int index, const Sink &sink,
                              const std::function<void(qint64, qint64)> &progress)
{
    const HlsPlaylist::Segment &segment = m_media.segments[index];
    const QByteArray where = "segment " + QByteArray::number(index + 1) + " of " +
                             QByteArray::number(m_media.segments.size());

    Cipher cipher;
    if (!segment.keyUri.isEmpty()) {
        QByteArray key;
        Result failure;
        if (!keyFor(http, segment.keyUri, &key, &failure))
            return failure;
        cipher.reset(EVP_CIPHER_CTX_new());
        if (!cipher || EVP_DecryptInit_ex(
                           cipher.get(), EVP_aes_128_cbc(), nullptr,
                           reinterpret_cast<const unsigned char *>(key.constData()),
                           reinterpret_cast<const unsigned char *>(segment.iv.constData())) != 1)
            return fail(where + ": cannot set up AES-128");
    }

    const bool ranged = segment.length >= 0;
    if (ranged)
        http.headers().setValue(RequestHeaders::Range,
                                "bytes=" + QByteArray::number(segment.offset) + '-' +
                                    QByteArray::number(segment.offset + segment.length - 1));
    const int got = http.get(segment.uri);
    http.headers().setValue(RequestHeaders::Range, QByteArray());
    if (m_options.resultCode)
        m_options.resultCode->store(got);
    if (got == ResultCode::Stopped)
        return {Result::Stopped, {}, got};
    if (got < 0)
        return isTransient(got) ? Result{Result::Transient, {}, got}
                                : fail(where + ": network error " + QByteArray::number(got));
    const int status = http.statusCode();
    if (status < 200 || status > 299) {
        const QByteArray why = where + ": HTTP status " + QByteArray::number(status);
        return status >= 500 ? Result{Result::Transient, why, ResultCode::HttpStatus} : fail(why);
    }
    // A server that ignores the range sends the whole resource: skip to it.
    qint64 skip = ranged && status != 206 ? segment.offset : 0;
    qint64 wanted = ranged ? segment.length : -1;
    const qint64 announced = http.contentLength();
    const qint64 expected = ranged ? segment.length : announced;

    QByteArray clear;
    qint64 taken = 0;
    int received = ResultCode::ReceiveAgain;
    for (;;) {
        QByteArrayView bytes = http.view();
        if (skip > 0) {
            const qint64 dropped = qMin<qint64>(skip, bytes.size());
            bytes = bytes.sliced(dropped);
            skip -= dropped;
        }
        if (wanted >= 0 && bytes.size() > wanted - taken)
            bytes = bytes.first(wanted - taken);
        if (!bytes.isEmpty()) {
            if (cipher) {
                clear.resize(bytes.size() + 16);
                int length = 0;
                if (EVP_DecryptUpdate(cipher.get(), reinterpret_cast<unsigned char *>(clear.data()),
                                      &length,
                                      reinterpret_cast<const unsigned char *>(bytes.data()),
                                      int(bytes.size())) != 1)
                    return fail(where + ": decryption failed");
                if (!sink(clear.constData(), length))
                    return writeFailure();
            } else if (!sink(bytes.data(), bytes.size())) {
                return writeFailure();
            }
            taken += bytes.size();
        }
        http.clearBuffer();
        progress(taken, expected);
        if (wanted >= 0 && taken >= wanted)
            break;
        if (received != ResultCode::ReceiveAgain && received != ResultCode::BufferFull)
            break;
        if (http.stopRequested())
            return {Result::Stopped, {}, ResultCode::Stopped};
        received = http.receive();
        if (m_options.resultCode)
            m_options.resultCode->store(received);
        if (received == ResultCode::Stopped)
            return {Result::Stopped, {}, received};
        if (received < 0 && received != ResultCode::BodyStopped)
            return fail(where + ": network error " + QByteArray::number(received));
    }
    if ((wanted >= 0 && taken < wanted) || received == ResultCode::BodyStopped)
        return {Result::Transient, where + ": body ended short", ResultCode::BodyStopped};
    if (cipher) {
        clear.resize(32);
        int length = 0;
        if (EVP_DecryptFinal_ex(cipher.get(), reinterpret_cast<unsigned char *>(clear.data()),
                                &length) != 1)
            return fail(where + ": decryption failed (wrong key or cut segment)");
        if (!sink(clear.constData(), length))
            return writeFailure();
    }
    return {};
}
