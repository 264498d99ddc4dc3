#include "CliRun.h"
#include "JobRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadWorker.h"
#include "core/download/HlsPlaylist.h"

#include <QElapsedTimer>
#include <QtTest>

using TestRows::makeRow;
using Marks = QList<DownloadWorker::RowMark>;
using namespace std::chrono_literals;

namespace {

constexpr int FinishMs = 30000;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int EndBoundMs = 2000; // instrumented builds stop far slower
#else
constexpr int EndBoundMs = 1000;
#endif

// A media playlist of segments /st/s0.ts, /st/s1.ts ... (or other names).
QByteArray mediaPlaylist(const QByteArrayList &names)
{
    QByteArray text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    for (const QByteArray &name : names)
        text += "#EXTINF:2,\n/st/" + name + ".ts\n";
    return text + "#EXT-X-ENDLIST\n";
}

QByteArray segmentBytes(const QByteArray &name)
{
    return name.repeated(1500 + 7 * name.back());
}

// The segments' bytes one after another: what the saved stream holds.
QByteArray streamBytes(const QByteArrayList &names)
{
    QByteArray whole;
    for (const QByteArray &name : names)
        whole += segmentBytes(name);
    return whole;
}

// Serves /st/index.m3u8 listing `names`, and every segment it lists.
void serveStream(ScriptedServer &server, const QByteArrayList &names)
{
    server.setRoute("/st/index.m3u8", ScriptedServer::reply(200, mediaPlaylist(names)));
    for (const QByteArray &name : names)
        server.setRoute("/st/" + name + ".ts", ScriptedServer::reply(200, segmentBytes(name)));
}

// The segment targets the server was asked for, from request `from` on.
QByteArrayList askedFor(const ScriptedServer &server, qsizetype from = 0)
{
    QByteArrayList targets;
    for (const QByteArray &request : server.requests().mid(from))
        targets.append(ScriptedServer::target(request));
    return targets;
}
const QByteArray Key = QByteArray::fromHex("00112233445566778899aabbccddeeff");

// A media or master playlist in one line per entry: "I " for an init
// segment, then URI, "@offset+length" for a range, " k=KEYURI iv=HEX" and
// " d" for a discontinuity; variants as "URI bandwidth height a" (a: separate audio).
QByteArray summary(const HlsPlaylist &playlist)
{
    QByteArrayList lines;
    for (const HlsPlaylist::Variant &variant : playlist.variants)
        lines.append(variant.uri + ' ' + QByteArray::number(variant.bandwidth) + ' ' +
                     QByteArray::number(variant.height) + (variant.separateAudio ? " a" : ""));
    for (const HlsPlaylist::Segment &segment : playlist.segments) {
        QByteArray line = (segment.init ? "I " : "") + segment.uri;
        if (segment.length >= 0)
            line +=
                '@' + QByteArray::number(segment.offset) + '+' + QByteArray::number(segment.length);
        if (!segment.keyUri.isEmpty())
            line += " k=" + segment.keyUri + " iv=" + segment.iv.toHex();
        if (segment.discontinuity)
            line += " d";
        lines.append(line);
    }
    return lines.join('\n');
}

const QByteArray ThreeVariants = "#EXTM3U\n"
                                 "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\n"
                                 "mid/index.m3u8\n"
                                 "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1920x1080\n"
                                 "hi/index.m3u8\n"
                                 "#EXT-X-STREAM-INF:BANDWIDTH=200000,RESOLUTION=320x180\n"
                                 "lo/index.m3u8\n";

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return "FAILED: " + process.readAllStandardError();
    return process.readAllStandardOutput();
}

QByteArray readFile(const QString &path)
{
    return TestFiles::read(path);
}

} // namespace

class tst_Hls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void chooseVariant_data();
    void chooseVariant();

    void download_data();
    void download();
    void failures_data();
    void failures();
    void resumesAtFirstMissingSegment();
    void progressCountsSegments();
    void segmentsTogether_data();
    void segmentsTogether();
    void stopMidStreamResumes_data();
    void stopMidStreamResumes();
    void changedPlaylistStartsOver();
    void resolveSaysWhatItWouldFetch_data();
    void resolveSaysWhatItWouldFetch();

private:
    QString media(const QString &name) const { return m_media.filePath(name); }
    // The stream in that folder as the job must save it: its segments
    // concatenated in playlist order (init segment first), decrypted.
    QByteArray expectedOf(const QString &folder) const;
    // Copies a generated stream folder to a new one.
    void copyStream(const QString &from, const QString &to);
    // The engine's target is on `port` (0: m_site's); "connections" in z_user.ini.
    void writeSetup(const QByteArray &engineLines, quint16 port = 0, int connections = 1);
    Marks runJob(const QByteArray &id);

    QTemporaryDir m_media; // the generated streams, served by m_site
    PeerProcess m_site;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Hls::initTestCase()
{
    if (CliRun::findProgram(QStringLiteral("ffmpeg")).isEmpty())
        QSKIP("ffmpeg is not installed");
    QVERIFY(m_media.isValid());
    const QStringList source = {QStringLiteral("-v"),
                                QStringLiteral("error"),
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("testsrc=duration=6:size=160x120:rate=10"),
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=440:duration=6"),
                                QStringLiteral("-c:v"),
                                QStringLiteral("libx264"),
                                QStringLiteral("-preset"),
                                QStringLiteral("ultrafast"),
                                QStringLiteral("-g"),
                                QStringLiteral("10"),
                                QStringLiteral("-c:a"),
                                QStringLiteral("aac"),
                                QStringLiteral("-f"),
                                QStringLiteral("hls"),
                                QStringLiteral("-hls_time"),
                                QStringLiteral("1"),
                                QStringLiteral("-hls_list_size"),
                                QStringLiteral("0")};
    QVERIFY(TestFiles::write(media(QStringLiteral("key.bin")), Key));
    QVERIFY(TestFiles::write(media(QStringLiteral("keyinfo")),
                             "../aes/key.bin\n" +
                                 QFile::encodeName(media(QStringLiteral("key.bin"))) + '\n'));
    const QList<QStringList> streams = {
        {QStringLiteral("ts")},
        {QStringLiteral("fmp4"), QStringLiteral("-hls_segment_type"), QStringLiteral("fmp4")},
        {QStringLiteral("aes"), QStringLiteral("-hls_key_info_file"),
         media(QStringLiteral("keyinfo"))},
        {QStringLiteral("single"), QStringLiteral("-hls_flags"), QStringLiteral("single_file")},
    };
    for (const QStringList &stream : streams) {
        QVERIFY(QDir(m_media.path()).mkdir(stream[0]));
        QVERIFY(QFile::copy(media(QStringLiteral("key.bin")),
                            media(stream[0] + QStringLiteral("/key.bin"))));
        QStringList arguments = source + stream.mid(1);
        arguments << media(stream[0] + QStringLiteral("/index.m3u8"));
        const QByteArray out = run(QStringLiteral("ffmpeg"), arguments);
        QVERIFY2(!out.startsWith("FAILED"), out.constData());
    }
    // Three variants over the streams above (their labels are made up); the
    // audio of "split" is a separate rendition in every variant.
    QVERIFY(QDir(m_media.path()).mkdir(QStringLiteral("master")));
    QVERIFY(TestFiles::write(media(QStringLiteral("master/index.m3u8")),
                             "#EXTM3U\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=300000,RESOLUTION=640x360\n"
                             "../fmp4/index.m3u8\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=900000,RESOLUTION=1280x720\n"
                             "/aes/index.m3u8?token=1\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=100000,RESOLUTION=160x120\n"
                             "../ts/index.m3u8\n"));
    QVERIFY(QDir(m_media.path()).mkdir(QStringLiteral("split")));
    QVERIFY(TestFiles::write(
        media(QStringLiteral("split/index.m3u8")),
        "#EXTM3U\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"en\",URI=\"../ts/index.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=300000,AUDIO=\"aud\"\n../fmp4/index.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=100000,AUDIO=\"aud\"\n../ts/index.m3u8\n"));
    QVERIFY2(m_site.startHttpServer(m_media.path()), qPrintable(m_site.failure()));
}

void tst_Hls::init()
{
    DownloadWorker::setRetryPauseUnitForTests(10ms);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_Hls::cleanup()
{
    m_dir.reset();
}

QByteArray tst_Hls::expectedOf(const QString &folder) const
{
    const QByteArray playlist = readFile(media(folder + QStringLiteral("/index.m3u8")));
    if (playlist.contains("#EXT-X-BYTERANGE"))
        return readFile(media(folder + QStringLiteral("/index.ts")));
    QByteArray bytes;
    int sequence = 0;
    for (const QByteArray &line : playlist.split('\n')) {
        if (line.startsWith("#EXT-X-MAP:URI=\"")) {
            bytes += readFile(
                media(folder + QLatin1Char('/') + QString::fromUtf8(line.mid(16).chopped(1))));
        } else if (!line.isEmpty() && !line.startsWith('#')) {
            const QString path = media(folder + QLatin1Char('/') + QString::fromUtf8(line));
            if (playlist.contains("#EXT-X-KEY")) {
                // The IV the key line gives, else the sequence number.
                const qsizetype ivAt = playlist.indexOf(",IV=0x");
                QByteArray iv(16, '\0');
                iv[15] = char(sequence);
                if (ivAt >= 0)
                    iv = QByteArray::fromHex(playlist.mid(ivAt + 6, 32));
                bytes +=
                    run(QStringLiteral("openssl"),
                        {QStringLiteral("aes-128-cbc"), QStringLiteral("-d"), QStringLiteral("-K"),
                         QString::fromLatin1(Key.toHex()), QStringLiteral("-iv"),
                         QString::fromLatin1(iv.toHex()), QStringLiteral("-in"), path});
            } else {
                bytes += readFile(path);
            }
            ++sequence;
        }
    }
    return bytes;
}

void tst_Hls::copyStream(const QString &from, const QString &to)
{
    QVERIFY(QDir(m_media.path()).mkdir(to));
    const QStringList names = QDir(media(from)).entryList(QDir::Files);
    for (const QString &name : names)
        QVERIFY(QFile::copy(media(from + QLatin1Char('/') + name),
                            media(to + QLatin1Char('/') + name)));
}

void tst_Hls::writeSetup(const QByteArray &engineLines, quint16 port, int connections)
{
    QVERIFY(TestFiles::write(
        m_dir->filePath(QStringLiteral("z_user.ini")),
        "[settings]\r\nconnections=" + QByteArray::number(connections) +
            "\r\npath=" + QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) + "\r\n"));
    QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                   "engine_id::tube\n"
                                   "download_target::http://127.0.0.1:PORT/%s/index.m3u8\n"
                                   "download_ext::.ts\n" +
                                       engineLines,
                                   port ? port : m_site.port()));
}

Marks tst_Hls::runJob(const QByteArray &id)
{
    return JobRun::download(m_dir->path(), {makeRow("H", id)}, FinishMs).marks;
}

void tst_Hls::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected"); // summary(), or "error: " and the reason's start

    const QByteArray head = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n";
    QTest::newRow("master: three variants, resolved against the playlist")
        << ThreeVariants
        << QByteArray("http://h/v/mid/index.m3u8 800000 360\n"
                      "http://h/v/hi/index.m3u8 3000000 1080\n"
                      "http://h/v/lo/index.m3u8 200000 180");
    QTest::newRow("master: audio group with a URI is separate, one without is muxed")
        << QByteArray("#EXTM3U\n"
                      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"sep\",NAME=\"x, y\",URI=\"a.m3u8\"\n"
                      "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"in\",NAME=\"main\"\n"
                      "#EXT-X-STREAM-INF:BANDWIDTH=5,AUDIO=\"sep\"\nhttp://o/a\n"
                      "#EXT-X-STREAM-INF:BANDWIDTH=4,AUDIO=\"in\"\nhttp://o/b\n")
        << QByteArray("http://o/a 5 -1 a\nhttp://o/b 4 -1");
    QTest::newRow("media: map, byterange, key, discontinuity, query strings")
        << head + "#EXT-X-MEDIA-SEQUENCE:7\n"
                  "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"100@0\"\n"
                  "#EXTINF:1,\n#EXT-X-BYTERANGE:500@100\nall.mp4\n"
                  "#EXTINF:1,\n#EXT-X-BYTERANGE:300\nall.mp4\n"
                  "#EXT-X-KEY:METHOD=AES-128,URI=\"https://k.example/key?id=1\"\n"
                  "#EXTINF:1,\n/abs/s3.ts?sig=a&b=c\n"
                  "#EXT-X-KEY:METHOD=AES-128,URI=\"k2\",IV=0x000102030405060708090A0B0C0D0E0F\n"
                  "#EXT-X-DISCONTINUITY\n#EXTINF:1,\nhttp://cdn.example/s4.ts\n"
                  "#EXT-X-KEY:METHOD=NONE\n#EXTINF:1,\ns5.ts\n#EXT-X-ENDLIST\n"
        << QByteArray("I http://h/v/init.mp4@0+100\n"
                      "http://h/v/all.mp4@100+500\n"
                      "http://h/v/all.mp4@600+300\n"
                      "http://h/abs/s3.ts?sig=a&b=c k=https://k.example/key?id=1 "
                      "iv=00000000000000000000000000000009\n"
                      "http://cdn.example/s4.ts k=http://h/v/k2 "
                      "iv=000102030405060708090a0b0c0d0e0f d\n"
                      "http://h/v/s5.ts");
    QTest::newRow("media: a new map after a discontinuity")
        << head + "#EXT-X-MAP:URI=\"i1\"\n#EXTINF:1,\na\n#EXTINF:1,\nb\n"
                  "#EXT-X-DISCONTINUITY\n#EXT-X-MAP:URI=\"i2\"\n#EXTINF:1,\nc\n#EXT-X-ENDLIST\n"
        << QByteArray("I http://h/v/i1\nhttp://h/v/a\nhttp://h/v/b\nI http://h/v/i2\n"
                      "http://h/v/c d");

    QTest::newRow("live: no end list") << head + "#EXTINF:1,\na.ts\n"
                                       << QByteArray("error: live playlist");
    QTest::newRow("sample-aes")
        << head + "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\n#EXTINF:1,\na.ts\n#EXT-X-ENDLIST\n"
        << QByteArray("error: encryption SAMPLE-AES is not supported");
    QTest::newRow("another scheme") << head + "#EXTINF:1,\nfile:///etc/passwd\n#EXT-X-ENDLIST\n"
                                    << QByteArray("error: URI of another scheme");
    QTest::newRow("key of another scheme")
        << head + "#EXT-X-KEY:METHOD=AES-128,URI=\"data:text/plain,x\"\n#EXTINF:1,\na\n"
        << QByteArray("error: URI of another scheme");
    QTest::newRow("not utf-8") << head + "#EXTINF:1,caf\xe9\na.ts\n#EXT-X-ENDLIST\n"
                               << QByteArray("error: playlist is not UTF-8");
    QTest::newRow("no header") << QByteArray("<html>") << QByteArray("error: not an HLS");
    QTest::newRow("bad iv")
        << head + "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x12\n#EXTINF:1,\na\n#EXT-X-ENDLIST\n"
        << QByteArray("error: malformed IV");
    QTest::newRow("range without offset after another uri")
        << head + "#EXT-X-BYTERANGE:10\na\n#EXT-X-ENDLIST\n"
        << QByteArray("error: EXT-X-BYTERANGE without an offset");
    QTest::newRow("huge range numbers")
        << head + "#EXT-X-BYTERANGE:99999999999999999999@0\na\n#EXT-X-ENDLIST\n"
        << QByteArray("error: malformed EXT-X-BYTERANGE");
    QTest::newRow("no segments") << head + "#EXT-X-ENDLIST\n"
                                 << QByteArray("error: playlist without segments");
    QByteArray many = head;
    for (int index = 0; index <= HlsPlaylist::MaxSegments; ++index)
        many += "#EXTINF:1,\ns" + QByteArray::number(index) + '\n';
    QTest::newRow("too many segments") << many << QByteArray("error: more than 100000 segments");
}

void tst_Hls::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    HlsPlaylist playlist;
    QByteArray reason;
    const bool parsed = playlist.parse(text, "http://h/v/index.m3u8", &reason);
    if (expected.startsWith("error: ")) {
        QVERIFY(!parsed);
        QVERIFY2(reason.startsWith(expected.mid(7)), reason.constData());
    } else {
        QVERIFY2(parsed, reason.constData());
        QCOMPARE(summary(playlist), expected);
    }
}

void tst_Hls::chooseVariant_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("rule");
    QTest::addColumn<QByteArray>("uri");
    QTest::addColumn<bool>("videoOnly");

    QTest::newRow("default: best") << ThreeVariants << QByteArray() << QByteArray("hi") << false;
    QTest::newRow("best") << ThreeVariants << QByteArray("best") << QByteArray("hi") << false;
    QTest::newRow("worst") << ThreeVariants << QByteArray("worst") << QByteArray("lo") << false;
    QTest::newRow("720") << ThreeVariants << QByteArray("720") << QByteArray("mid") << false;
    QTest::newRow("100: none fits, the lowest")
        << ThreeVariants << QByteArray("100") << QByteArray("lo") << false;
    const QByteArray split = "#EXTM3U\n"
                             "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",URI=\"a.m3u8\"\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=9000000,AUDIO=\"a\"\nhi/index.m3u8\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=500000\nmuxed/index.m3u8\n"
                             "#EXT-X-STREAM-INF:BANDWIDTH=100000,AUDIO=\"a\"\nlo/index.m3u8\n";
    QTest::newRow("muxed audio wins over a higher bandwidth")
        << split << QByteArray("best") << QByteArray("muxed") << false;
    QTest::newRow("only separate audio: video only")
        << QByteArray(split).replace("#EXT-X-STREAM-INF:BANDWIDTH=500000\nmuxed/index.m3u8\n", "")
        << QByteArray("worst") << QByteArray("lo") << true;
}

void tst_Hls::chooseVariant()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, rule);
    QFETCH(QByteArray, uri);
    QFETCH(bool, videoOnly);
    HlsPlaylist playlist;
    QByteArray reason;
    QVERIFY2(playlist.parse(text, "http://h/index.m3u8", &reason), reason.constData());
    bool chosenVideoOnly = false;
    const int chosen = playlist.chooseVariant(rule, &chosenVideoOnly);
    QVERIFY(chosen >= 0);
    QCOMPARE(playlist.variants[chosen].uri, "http://h/" + uri + "/index.m3u8");
    QCOMPARE(chosenVideoOnly, videoOnly);
}

void tst_Hls::download_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("engineLines");
    QTest::addColumn<QString>("expected"); // the stream folder whose bytes are saved
    QTest::addColumn<QByteArray>("reason");
    // Above 1: that many segments at once, from a server that writes its
    // answers in pieces of random length.
    QTest::addColumn<int>("connections");

    QTest::newRow("mpeg-ts segments")
        << QByteArray("ts") << QByteArray() << QStringLiteral("ts") << QByteArray() << 1;
    QTest::newRow("fmp4 with init segment")
        << QByteArray("fmp4") << QByteArray() << QStringLiteral("fmp4") << QByteArray() << 1;
    QTest::newRow("aes-128") << QByteArray("aes") << QByteArray() << QStringLiteral("aes")
                             << QByteArray() << 1;
    QTest::newRow("byte ranges of one file, server ignores Range")
        << QByteArray("single") << QByteArray() << QStringLiteral("single") << QByteArray() << 1;
    QTest::newRow("master: best") << QByteArray("master") << QByteArray() << QStringLiteral("aes")
                                  << QByteArray() << 1;
    QTest::newRow("master: worst") << QByteArray("master") << QByteArray("hls_variant::worst\n")
                                   << QStringLiteral("ts") << QByteArray() << 1;
    QTest::newRow("master: 360") << QByteArray("master") << QByteArray("hls_variant::360\n")
                                 << QStringLiteral("fmp4") << QByteArray() << 1;
    QTest::newRow("master: audio only as a rendition")
        << QByteArray("split") << QByteArray() << QStringLiteral("fmp4")
        << QByteArray("video only: audio is a separate rendition") << 1;
    QTest::newRow("4 connections: mpeg-ts segments")
        << QByteArray("ts") << QByteArray() << QStringLiteral("ts") << QByteArray() << 4;
    QTest::newRow("4 connections: fmp4 with init segment")
        << QByteArray("fmp4") << QByteArray() << QStringLiteral("fmp4") << QByteArray() << 4;
    QTest::newRow("4 connections: aes-128, via the master")
        << QByteArray("master") << QByteArray() << QStringLiteral("aes") << QByteArray() << 4;
    QTest::newRow("4 connections: byte ranges of one file")
        << QByteArray("single") << QByteArray() << QStringLiteral("single") << QByteArray() << 4;
}

void tst_Hls::download()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, engineLines);
    QFETCH(QString, expected);
    QFETCH(QByteArray, reason);
    QFETCH(int, connections);
    PeerProcess cutting;
    if (connections > 1) {
        QVERIFY2(cutting.startAnnounced(
                     QStringLiteral("python3"),
                     {QStringLiteral(ZINDLE_TEST_DATA "/../support/rangeserver.py"),
                      QStringLiteral("--root"), m_media.path(), QStringLiteral("--log"),
                      m_dir->filePath(QStringLiteral("server.log"))},
                     "PORT "),
                 qPrintable(cutting.failure()));
    }
    writeSetup(engineLines, cutting.port(), connections);
    QCOMPARE(runJob(id), (Marks{{0, "o", reason}}));
    const QString saved = m_dir->filePath(QStringLiteral("work/tube/") + QString::fromUtf8(id) +
                                          QStringLiteral(".ts"));
    const QByteArray bytes = readFile(saved);
    QVERIFY(!bytes.isEmpty());
    QVERIFY(bytes == expectedOf(expected));
    QVERIFY(!QFile::exists(saved + QStringLiteral(".part")));
    QVERIFY(!QFile::exists(saved + QStringLiteral(".part.meta")));

    const QByteArray duration =
        run(QStringLiteral("ffprobe"),
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
             QStringLiteral("format=duration"), QStringLiteral("-of"), QStringLiteral("csv=p=0"),
             saved});
    QVERIFY2(qAbs(duration.trimmed().toDouble() - 6.0) < 0.6, duration.constData());
}

void tst_Hls::failures_data()
{
    QTest::addColumn<QString>("file"); // of a copy of the "aes" stream, replaced
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("reason"); // "URL" stands for the last one requested
    QTest::addColumn<QByteArray>("last");   // its name in the folder

    QTest::newRow("key not 16 bytes")
        << QStringLiteral("key.bin") << Key.left(15) << QByteArray("key URL is 15 bytes, not 16")
        << QByteArray("key.bin");
    QTest::newRow("wrong key")
        << QStringLiteral("key.bin") << QByteArray(16, 'k')
        << QByteArray("segment 1 of 6: decryption failed (wrong key or cut segment)")
        << QByteArray("index0.ts");
    QTest::newRow("live playlist")
        << QStringLiteral("index.m3u8") << QByteArray("#EXTM3U\n#EXTINF:1,\nindex0.ts\n")
        << QByteArray("HLS: live playlist (no EXT-X-ENDLIST): not supported")
        << QByteArray("index.m3u8");
    QTest::newRow("playlist past the page limit")
        << QStringLiteral("index.m3u8") << "#EXTM3U\n" + QByteArray(9 * 1024 * 1024, '#')
        << QByteArray("playlist longer than 8388608 bytes") << QByteArray("index.m3u8");
}

void tst_Hls::failures()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, last);
    const QString folder =
        QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    copyStream(QStringLiteral("aes"), folder);
    QFile::remove(media(folder + QLatin1Char('/') + file));
    QVERIFY(TestFiles::write(media(folder + QLatin1Char('/') + file), bytes));
    // The key URI names the "aes" folder: serve the replaced key there too.
    QByteArray playlist = readFile(media(folder + QStringLiteral("/index.m3u8")));
    QVERIFY(TestFiles::write(media(folder + QStringLiteral("/index.m3u8")),
                             playlist.replace("../aes/key.bin", "key.bin")));
    writeSetup(QByteArray());
    const QByteArray id = folder.toUtf8();
    const QByteArray url = m_site.baseUrl() + '/' + id + '/' + last;
    QCOMPARE(runJob(id), (Marks{{0, "x", QByteArray(reason).replace("URL", url), url}}));
}

void tst_Hls::resumesAtFirstMissingSegment()
{
    copyStream(QStringLiteral("ts"), QStringLiteral("resume"));
    const QString third = media(QStringLiteral("resume/index2.ts"));
    QVERIFY(QFile::rename(third, third + QStringLiteral(".away")));
    writeSetup("dowuload_retry::3\n");
    const QByteArray url = m_site.baseUrl() + "/resume/index2.ts";
    QCOMPARE(runJob("resume"), (Marks{{0, "x", "segment 3 of 6: HTTP status 404", url}}));
    const QString saved = m_dir->filePath(QStringLiteral("work/tube/resume.ts"));
    QCOMPARE(readFile(saved + QStringLiteral(".part")),
             readFile(media(QStringLiteral("resume/index0.ts"))) +
                 readFile(media(QStringLiteral("resume/index1.ts"))));
    QVERIFY(readFile(saved + QStringLiteral(".part.meta")).contains("\nsegments 2\n"));

    QVERIFY(QFile::rename(third + QStringLiteral(".away"), third));
    QTRY_VERIFY(m_site.standardError().contains("GET /resume/index2.ts"));
    const qsizetype logged = m_site.standardError().size();
    QCOMPARE(runJob("resume"), (Marks{{0, "o", {}}}));
    QVERIFY(readFile(saved) == expectedOf(QStringLiteral("resume")));
    // The server's log lines reach the test through its event loop.
    QTRY_VERIFY(m_site.standardError().mid(logged).contains("GET /resume/index5.ts"));
    const QByteArray log = m_site.standardError().mid(logged);
    QVERIFY2(!log.contains("GET /resume/index1.ts") && log.contains("GET /resume/index2.ts"),
             log.constData());
}

// The run's progress moves with the segments: half of a two-segment stream
// is on disk while the second segment is held back.
void tst_Hls::progressCountsSegments()
{
    using Step = ScriptedServer::Step;
    const QByteArray playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n/st/a.ts\n"
                                "#EXTINF:2,\n/st/b.ts\n#EXT-X-ENDLIST\n";
    ScriptedServer server;
    server.setRoute("/st/index.m3u8", ScriptedServer::reply(200, playlist));
    server.setRoute("/st/a.ts", ScriptedServer::reply(200, QByteArray(1000, 'a')));
    const QByteArray second = QByteArray(1000, 'b');
    server.setRoute("/st/b.ts", {Step::send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n"),
                                 Step::await(), Step::send(second), Step::close()});
    QVERIFY(server.start());
    QVERIFY(TestFiles::write(
        m_dir->filePath(QStringLiteral("z_user.ini")),
        "[settings]\r\npath=" + QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) +
            "\r\n"));
    QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                   "engine_id::tube\n"
                                   "download_target::http://127.0.0.1:PORT/%s/index.m3u8\n"
                                   "download_ext::.ts\n",
                                   server.port()));

    Settings settings(m_dir->path());
    StderrCapture capture;
    DownloadWorker job(&settings, {makeRow("H", "st")});
    QTRY_VERIFY2_WITH_TIMEOUT(job.progress.load() >= 50 && job.progress.load() < 100,
                              QByteArray::number(job.progress.load()).constData(), FinishMs);
    server.proceed();
    QVERIFY(job.waitFinished(FinishMs));
    QCOMPARE(job.takeMarks(), (Marks{{0, "o", ""}}));
    QCOMPARE(job.progress.load(), 100);
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("work/tube/st.ts"))),
             QByteArray(1000, 'a') + second);
}

// Up to `connections` segments are asked for at once, and none further
// ahead than that of the one whose turn it is: with the first segment held
// back, the others wait in memory and no more are fetched.
void tst_Hls::segmentsTogether_data()
{
    QTest::addColumn<int>("connections");
    QTest::addColumn<QByteArrayList>("together");
    QTest::newRow("one connection") << 1 << QByteArrayList{"/st/s0.ts"};
    QTest::newRow("three connections")
        << 3 << QByteArrayList{"/st/s0.ts", "/st/s1.ts", "/st/s2.ts"};
}

void tst_Hls::segmentsTogether()
{
    QFETCH(int, connections);
    QFETCH(QByteArrayList, together);
    const QByteArrayList names = {"s0", "s1", "s2", "s3", "s4"};
    ScriptedServer server;
    serveStream(server, names);
    server.setRoute("/st/s0.ts", ScriptedServer::Script{ScriptedServer::Step::await()} +
                                     ScriptedServer::reply(200, segmentBytes("s0")));
    QVERIFY(server.start());
    writeSetup(QByteArray(), server.port(), connections);
    Settings settings(m_dir->path());
    StderrCapture capture;
    DownloadWorker job(&settings, {makeRow("H", "st")});
    const auto segments = [&] { return askedFor(server).mid(1); };
    QTRY_COMPARE_WITH_TIMEOUT(segments().size(), together.size(), FinishMs);
    // Nothing more comes while the first segment is held back.
    QTest::qWait(300);
    QByteArrayList asked = segments();
    std::sort(asked.begin(), asked.end());
    QCOMPARE(asked, together);
    server.proceed();
    QVERIFY(job.waitFinished(FinishMs));
    QCOMPARE(job.takeMarks(), (Marks{{0, "o", {}}}));
    QVERIFY(readFile(m_dir->filePath(QStringLiteral("work/tube/st.ts"))) == streamBytes(names));
}

// A stop mid-stream keeps the segments appended so far in the ".part" and
// the sidecar counting them; the next run asks only for the rest and ends
// byte-exact. With several connections, segments fetched ahead of the held
// one are not kept.
void tst_Hls::stopMidStreamResumes_data()
{
    QTest::addColumn<int>("connections");
    QTest::newRow("one connection") << 1;
    QTest::newRow("three connections") << 3;
}

void tst_Hls::stopMidStreamResumes()
{
    using Step = ScriptedServer::Step;
    QFETCH(int, connections);
    const QByteArrayList names = {"s0", "s1", "s2", "s3", "s4"};
    ScriptedServer server;
    serveStream(server, names);
    const QByteArray held = segmentBytes("s2");
    server.setRoute("/st/s2.ts",
                    {Step::send("HTTP/1.0 200 OK\r\nContent-Length: " +
                                QByteArray::number(held.size()) + "\r\n\r\n" + held.left(100)),
                     Step::stall()});
    QVERIFY(server.start());
    writeSetup(QByteArray(), server.port(), connections);
    const QString saved = m_dir->filePath(QStringLiteral("work/tube/st.ts"));
    const QByteArray firstTwo = streamBytes({"s0", "s1"});
    {
        Settings settings(m_dir->path());
        StderrCapture capture;
        DownloadWorker job(&settings, {makeRow("H", "st")});
        // One connection appends the held segment's first bytes as they come.
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(saved + QStringLiteral(".part")).startsWith(firstTwo) &&
                askedFor(server).contains(connections > 1 ? "/st/s4.ts" : "/st/s2.ts"),
            FinishMs);
        QElapsedTimer sinceStop;
        sinceStop.start();
        job.requestStop();
        QVERIFY(job.waitFinished(FinishMs));
        QVERIFY2(sinceStop.elapsed() <= EndBoundMs,
                 qPrintable(QStringLiteral("%1 ms").arg(sinceStop.elapsed())));
        const Marks marks = job.takeMarks();
        QCOMPARE(marks.size(), 1);
        QCOMPARE(marks.first().mark, QByteArray("x"));
        QCOMPARE(marks.first().reason, QByteArray("stopped"));
    }
    QCOMPARE(readFile(saved + QStringLiteral(".part")), firstTwo);
    QVERIFY2(readFile(saved + QStringLiteral(".part.meta")).contains("\nsegments 2\n"),
             readFile(saved + QStringLiteral(".part.meta")).constData());

    server.setRoute("/st/s2.ts", ScriptedServer::reply(200, held));
    const qsizetype before = server.requests().size();
    QCOMPARE(runJob("st"), (Marks{{0, "o", {}}}));
    QVERIFY(readFile(saved) == streamBytes(names));
    const QByteArrayList asked = askedFor(server, before);
    QVERIFY2(!asked.contains("/st/s0.ts") && !asked.contains("/st/s1.ts") &&
                 asked.contains("/st/s2.ts") && asked.contains("/st/s4.ts"),
             asked.join(' ').constData());
}

// The playlist changed since the ".part" was begun: its segments are not
// mixed with the new list's, the stream starts over.
void tst_Hls::changedPlaylistStartsOver()
{
    ScriptedServer server;
    serveStream(server, {"s0", "s1", "s2", "s3"});
    server.setRoute("/st/t0.ts", ScriptedServer::reply(200, segmentBytes("t0")));
    server.setRoute("/st/s2.ts", ScriptedServer::reply(404, "gone"));
    QVERIFY(server.start());
    writeSetup(QByteArray(), server.port());
    const QString saved = m_dir->filePath(QStringLiteral("work/tube/st.ts"));
    const Marks failed = runJob("st");
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.first().reason, QByteArray("segment 3 of 4: HTTP status 404"));
    QCOMPARE(readFile(saved + QStringLiteral(".part")), streamBytes({"s0", "s1"}));

    // Another first segment now, and the third is back.
    server.setRoute("/st/index.m3u8",
                    ScriptedServer::reply(200, mediaPlaylist({"t0", "s1", "s2", "s3"})));
    server.setRoute("/st/s2.ts", ScriptedServer::reply(200, segmentBytes("s2")));
    const qsizetype before = server.requests().size();
    QCOMPARE(runJob("st"), (Marks{{0, "o", {}}}));
    QVERIFY(readFile(saved) == streamBytes({"t0", "s1", "s2", "s3"}));
    QVERIFY2(askedFor(server, before).contains("/st/s1.ts"),
             askedFor(server, before).join(' ').constData());
}

void tst_Hls::resolveSaysWhatItWouldFetch_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("engineLines");
    QTest::addColumn<QByteArray>("chosen"); // the text between "chose " and the segment count
    QTest::addColumn<QString>("stream");    // the folder whose segments are counted

    QTest::newRow("media playlist")
        << QByteArray("ts") << QByteArray() << QByteArray() << QStringLiteral("ts");
    QTest::newRow("master, worst") << QByteArray("master") << QByteArray("hls_variant::worst\n")
                                   << QByteArray("/ts/index.m3u8") << QStringLiteral("ts");
}

// zindle-cli resolve names the stream the download would fetch, without
// fetching a segment.
void tst_Hls::resolveSaysWhatItWouldFetch()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, engineLines);
    QFETCH(QByteArray, chosen);
    QFETCH(QString, stream);
    writeSetup(engineLines);

    const CliRun::Result cli = CliRun::run(
        m_dir->path(), {QStringLiteral("resolve"), QStringLiteral("tube"), QString::fromUtf8(id)},
        FinishMs);
    QVERIFY(cli.finished);
    QVERIFY2(cli.exitCode == 0, cli.err.constData());
    const QByteArray playlist = readFile(media(stream + QStringLiteral("/index.m3u8")));
    int segments = 0;
    for (const QByteArray &line : playlist.split('\n'))
        segments += !line.isEmpty() && !line.startsWith('#');
    const QByteArrayList lines = cli.out.trimmed().split('\n');
    const QByteArray summary = lines.last();
    QVERIFY2(summary.startsWith("HLS: "), cli.out.constData());
    QVERIFY2(summary.endsWith(", " + QByteArray::number(segments) + " segments") ||
                 summary == "HLS: " + QByteArray::number(segments) + " segments",
             summary.constData());
    if (!chosen.isEmpty()) {
        QVERIFY2(summary.startsWith("HLS: 3 variants, chose "), summary.constData());
        QVERIFY2(summary.contains(chosen), summary.constData());
    }
}

QTEST_GUILESS_MAIN(tst_Hls)
#include "tst_hls.moc"
