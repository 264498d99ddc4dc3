// The HTTP client's response side over any byte stream: header parsing,
// redirects and the receive loop, fed by a fake connection in chunks.
// Input: a flag byte, a byte that seeds the chunk sizes, a padding byte, then
// the stream that every connection of the client reads from, one after the
// other. When the padding byte's top bit is set, its low bits times 2 KiB of
// the stream's last byte are added to the stream, so that small inputs reach
// the end of the body buffer too.
//
// Flags: bits 0-1 the largest chunk (1, 16, 1500 bytes or any), bits 2-3
// how the body is drained (when full, after every step, never, above 32768
// bytes), bit 4 binary mode, bit 5 through a proxy, bit 6 with a cookie jar,
// bit 7 whether an exhausted stream ends in a time-out or in a close; a
// close ends in a read error instead when the seed byte is odd.
#include "FuzzSupport.h"
#include "core/net/Connection.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <memory>

namespace {

enum class Drain { WhenFull, EveryStep, Never, Above32k };

struct Feed
{
    QByteArray stream;
    qsizetype position = 0;
    quint32 random = 0;
    qsizetype maxChunk = 0;
    qsizetype chunkLeft = 0;
    bool endsInClose = false;
    bool endsInError = false;

    bool exhausted() const { return position == stream.size(); }

    qsizetype nextChunk()
    {
        if (chunkLeft == 0) {
            // xorshift: the seed byte picks one way of cutting the stream.
            random ^= random << 13;
            random ^= random >> 17;
            random ^= random << 5;
            chunkLeft = 1 + qsizetype(random % quint32(maxChunk));
        }
        return qMin(chunkLeft, stream.size() - position);
    }
};

// A request must be "GET", header lines and an empty line, every line
// ended by CR LF: a value taken from a response must not add lines.
void checkRequest(QByteArrayView request)
{
    FUZZ_CHECK(request.startsWith("GET ") && request.endsWith("\r\n\r\n"));
    FUZZ_CHECK(request.indexOf("\r\n\r\n") == request.size() - 4);
    for (qsizetype i = 0; i < request.size(); ++i) {
        const char c = request[i];
        FUZZ_CHECK(c != '\0');
        if (c == '\r')
            FUZZ_CHECK(i + 1 < request.size() && request[i + 1] == '\n');
        if (c == '\n')
            FUZZ_CHECK(i > 0 && request[i - 1] == '\r');
    }
}

class FakeConnection : public Connection
{
public:
    explicit FakeConnection(Feed &feed) : m_feed(feed) {}

    bool open(const QByteArray &host, int port, QDeadlineTimer) override
    {
        FUZZ_CHECK(!host.isEmpty() && port >= 0 && port <= 65535);
        FUZZ_CHECK(!host.contains('\r') && !host.contains('\n'));
        return true;
    }
    bool writeAll(const char *data, qint64 size, QDeadlineTimer) override
    {
        checkRequest(QByteArrayView(data, size));
        return true;
    }
    bool waitReadable(QDeadlineTimer) override { return !m_feed.exhausted() || m_feed.endsInClose; }
    qint64 read(char *buffer, qint64 maxSize) override
    {
        FUZZ_CHECK(maxSize > 0);
        if (m_feed.exhausted())
            return m_feed.endsInError ? -1 : 0;
        const qsizetype count = qMin<qsizetype>(m_feed.nextChunk(), maxSize);
        memcpy(buffer, m_feed.stream.constData() + m_feed.position, size_t(count));
        m_feed.position += count;
        m_feed.chunkLeft -= count;
        return count;
    }

private:
    Feed &m_feed;
};

class FeedClient : public HttpClient
{
public:
    explicit FeedClient(Feed &feed) : m_feed(feed) {}

protected:
    std::unique_ptr<Connection> createConnection() override
    {
        return std::make_unique<FakeConnection>(m_feed);
    }

private:
    Feed &m_feed;
};

void checkState(const HttpClient &client)
{
    FUZZ_CHECK(client.bufferedBytes() >= 0 && client.bufferedBytes() <= HttpClient::Capacity);
    FUZZ_CHECK(client.data()[client.bufferedBytes()] == '\0');
    FUZZ_CHECK(client.receivedBytes() >= client.bufferedBytes());
    FUZZ_CHECK(client.contentLength() >= -1);
    FUZZ_CHECK(client.statusCode() >= 0 && client.statusCode() <= 999);
}

bool isGetFailure(int result)
{
    switch (result) {
    case ResultCode::MalformedUrl:
    case ResultCode::ConnectFailed:
    case ResultCode::SendFailed:
    case ResultCode::NoHeader:
    case ResultCode::TooManyRedirects:
    case ResultCode::HeaderTooLarge:
    case ResultCode::TlsFailed:
        return true;
    default:
        return false;
    }
}

// Body bytes that arrived in a step are the last bytes the connection read.
void checkArrivedBytes(const Feed &feed, QByteArrayView arrived)
{
    FUZZ_CHECK(arrived.size() <= feed.position);
    FUZZ_CHECK(QByteArrayView(feed.stream).sliced(feed.position - arrived.size(), arrived.size()) ==
               arrived);
}

// get() and the receive loop for one response; false when get() failed.
bool fetch(FeedClient &client, const Feed &feed, Drain drain)
{
    const int got = client.get(QByteArrayLiteral("http://fuzz.test/start?page=1"));
    checkState(client);
    if (got < 0) {
        FUZZ_CHECK(isGetFailure(got));
        FUZZ_CHECK(client.bufferedBytes() == 0);
        return false;
    }
    FUZZ_CHECK(got == client.bufferedBytes() && got == client.receivedBytes());

    // The body start came with the header; from then on every byte read is
    // delivered, in order.
    checkArrivedBytes(feed, client.view());
    qint64 delivered = client.bufferedBytes();
    // Every step that returns 0 has read at least one byte.
    const qsizetype stepLimit = 2 * feed.stream.size() + 16;
    for (qsizetype step = 0;; ++step) {
        FUZZ_CHECK(step < stepLimit);
        const qsizetype before = client.bufferedBytes();
        const qsizetype position = feed.position;
        const int result = client.receive();
        checkState(client);
        FUZZ_CHECK(client.bufferedBytes() >= before);
        const QByteArrayView arrived = client.view().sliced(before);
        FUZZ_CHECK(arrived.size() == feed.position - position);
        checkArrivedBytes(feed, arrived);
        delivered += arrived.size();
        FUZZ_CHECK(client.receivedBytes() == delivered);

        if (result == ResultCode::ReceiveAgain) {
            FUZZ_CHECK(client.bufferedBytes() > before);
        } else if (result == ResultCode::BufferFull) {
            FUZZ_CHECK(client.bufferedBytes() == HttpClient::Capacity);
            if (drain == Drain::Never)
                break;
            client.clearBuffer();
            continue;
        } else if (result == ResultCode::BodyComplete) {
            FUZZ_CHECK(client.contentLength() >= 0 &&
                       client.receivedBytes() >= client.contentLength());
            // The end repeats.
            const int again = client.receive();
            FUZZ_CHECK(again == ResultCode::BodyComplete || again == ResultCode::BufferFull);
            break;
        } else {
            FUZZ_CHECK(result == ResultCode::BodyStopped);
            break;
        }
        if (drain == Drain::EveryStep ||
            (drain == Drain::Above32k && client.bufferedBytes() > 32768))
            client.clearBuffer();
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int flags = data[0];
    Feed feed;
    feed.stream = QByteArray(reinterpret_cast<const char *>(data) + 3, qsizetype(size) - 3);
    if (!feed.stream.isEmpty() && (data[2] & 0x80) != 0)
        feed.stream.append(QByteArray((data[2] & 0x7f) * 2048, feed.stream.back()));
    // No request may leave the process: a redirect to https would open a real
    // connection, so the stream never names that scheme.
    for (qsizetype at = 0; (at = feed.stream.indexOf(':', at)) >= 0; ++at) {
        if (at >= 5 && qstrnicmp(feed.stream.constData() + at - 5, "https", 5) == 0)
            feed.stream[at - 1] = 'x';
    }
    static const qsizetype MaxChunks[] = {1, 16, 1500, HttpClient::Capacity + 4};
    feed.maxChunk = MaxChunks[flags & 3];
    feed.random = 0x9e3779b9u ^ (quint32(data[1]) * 0x01000193u);
    feed.endsInClose = (flags & 0x80) != 0;
    feed.endsInError = feed.endsInClose && (data[1] & 1) != 0;
    const Drain drain = Drain((flags >> 2) & 3);

    FeedClient client(feed);
    client.setTimeout(1);
    client.setBinaryMode((flags & 0x10) != 0);
    // A CA file that cannot be read fails every TLS set-up before it connects.
    client.setCaFile(QByteArrayLiteral("/nonexistent/zindle-fuzz-ca.pem"));
    if (flags & 0x20)
        client.setProxy(QByteArrayLiteral("127.0.0.1"), 8080);
    CookieJar jar;
    if (flags & 0x40)
        client.setCookieJar(&jar);

    FUZZ_CHECK(client.receive() == ResultCode::NoConnection);
    // Later requests read on where the earlier ones stopped.
    for (int request = 0; request < 3; ++request) {
        if (!fetch(client, feed, drain)) {
            // Misuse after a failure must stay safe too.
            const int result = client.receive();
            checkState(client);
            FUZZ_CHECK(result >= ResultCode::ReceiveAgain || result == ResultCode::NoConnection ||
                       result == ResultCode::BodyStopped);
            FUZZ_CHECK(result <= ResultCode::BodyComplete);
        }
        if (feed.exhausted())
            break;
    }
    return 0;
}
