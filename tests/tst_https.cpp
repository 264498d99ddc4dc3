#include "CliRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QtTest>

using Step = ScriptedServer::Step;
using Script = ScriptedServer::Script;

Q_DECLARE_METATYPE(ScriptedServer::Step)

namespace {

constexpr int TimeoutMs = 20000;

// The OpenSSL set-up of the test PKI: a CA, the extensions of its leaves,
// and the database that "openssl ca" keeps.
const QByteArray pkiConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[local]
basicConstraints = CA:false
subjectAltName = DNS:localhost, IP:127.0.0.1
[other]
basicConstraints = CA:false
subjectAltName = DNS:other.example
)";

// Drains the body the way the download job does; the last receive code.
int receiveAll(HttpClient &client, QByteArray *body)
{
    *body = client.view().toByteArray();
    client.clearBuffer();
    int code = ResultCode::ReceiveAgain;
    for (int step = 0; step < 100000 && code == ResultCode::ReceiveAgain; ++step) {
        code = client.receive();
        if (code == ResultCode::BufferFull)
            code = ResultCode::ReceiveAgain;
        *body += client.view();
        client.clearBuffer();
    }
    return code;
}

QByteArray localUrl(quint16 port, const QByteArray &path, const QByteArray &scheme = "https")
{
    return scheme + "://localhost:" + QByteArray::number(port) + path;
}

} // namespace

// The client over TLS against the scripted server in TLS mode, with a
// certificate authority and leaves made by the openssl command for the run.
class tst_Https : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void bodyEnd_data();
    void bodyEnd();
    void redirectsBothWays();
    void tunnelThroughTinyproxy();
    void tunnelRefused_data();
    void tunnelRefused();
    void cliGet_data();
    void cliGet();

private:
    bool openssl(const QStringList &arguments);
    bool makeLeaf(const QString &name, const QString &ca, const QString &extensions,
                  const QStringList &dates);
    QByteArray pem(const QString &name) const;
    // Starts the server in TLS mode with the leaf of that name.
    bool startTls(ScriptedServer &server, const QString &leaf) const;

    QTemporaryDir m_dir;
};

bool tst_Https::openssl(const QStringList &arguments)
{
    const CliRun::Result run =
        CliRun::runProgram(QStringLiteral("openssl"), m_dir.path(), arguments, 30000);
    if (run.exitCode != 0) {
        qWarning("openssl %s: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                 (run.out + run.err).constData());
        return false;
    }
    return true;
}

bool tst_Https::makeLeaf(const QString &name, const QString &ca, const QString &extensions,
                         const QStringList &dates)
{
    const QString curve = QStringLiteral("ec_paramgen_curve:prime256v1");
    return openssl({QStringLiteral("req"), QStringLiteral("-config"), QStringLiteral("pki.cnf"),
                    QStringLiteral("-new"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                    QStringLiteral("-pkeyopt"), curve, QStringLiteral("-nodes"),
                    QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                    QStringLiteral("-out"), name + QStringLiteral(".csr"), QStringLiteral("-subj"),
                    QStringLiteral("/CN=") + name}) &&
           openssl(QStringList{QStringLiteral("ca"), QStringLiteral("-batch"),
                               QStringLiteral("-config"), QStringLiteral("pki.cnf"),
                               QStringLiteral("-cert"), ca + QStringLiteral(".pem"),
                               QStringLiteral("-keyfile"), ca + QStringLiteral(".key"),
                               QStringLiteral("-in"), name + QStringLiteral(".csr"),
                               QStringLiteral("-out"), name + QStringLiteral(".pem"),
                               QStringLiteral("-extensions"), extensions,
                               QStringLiteral("-notext")} +
                   dates);
}

QByteArray tst_Https::pem(const QString &name) const
{
    return QFile::encodeName(m_dir.filePath(name + QStringLiteral(".pem")));
}

bool tst_Https::startTls(ScriptedServer &server, const QString &leaf) const
{
    return server.setTls(pem(leaf),
                         QFile::encodeName(m_dir.filePath(leaf + QStringLiteral(".key")))) &&
           server.start();
}

void tst_Https::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(!CliRun::findProgram(QStringLiteral("openssl")).isEmpty(),
             "openssl not installed (scripts/test installs it)");
    QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("pki.cnf")), pkiConfig));
    QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("index.txt")), QByteArray()));
    QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("serial")), "01\n"));
    for (const QString &ca : {QStringLiteral("ca"), QStringLiteral("stranger-ca")}) {
        QVERIFY(openssl(
            {QStringLiteral("req"), QStringLiteral("-config"), QStringLiteral("pki.cnf"),
             QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
             QStringLiteral("-nodes"), QStringLiteral("-keyout"), ca + QStringLiteral(".key"),
             QStringLiteral("-out"), ca + QStringLiteral(".pem"), QStringLiteral("-days"),
             QStringLiteral("30"), QStringLiteral("-subj"), QStringLiteral("/CN=Zindle test ") + ca,
             QStringLiteral("-extensions"), QStringLiteral("ca_ext")}));
    }
    const QStringList month = {QStringLiteral("-days"), QStringLiteral("30")};
    QVERIFY(
        makeLeaf(QStringLiteral("local"), QStringLiteral("ca"), QStringLiteral("local"), month));
    QVERIFY(
        makeLeaf(QStringLiteral("other"), QStringLiteral("ca"), QStringLiteral("other"), month));
    QVERIFY(makeLeaf(QStringLiteral("expired"), QStringLiteral("ca"), QStringLiteral("local"),
                     {QStringLiteral("-startdate"), QStringLiteral("20200101000000Z"),
                      QStringLiteral("-enddate"), QStringLiteral("20200201000000Z")}));
    QVERIFY(makeLeaf(QStringLiteral("stranger"), QStringLiteral("stranger-ca"),
                     QStringLiteral("local"), month));
}

void tst_Https::verify_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("caFile");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("diagnostic");

    const QString ca = QStringLiteral("ca");
    QTest::newRow("good chain by name")
        << QStringLiteral("local") << QByteArray("localhost") << ca << 2 << QByteArray();
    QTest::newRow("good chain by address")
        << QStringLiteral("local") << QByteArray("127.0.0.1") << ca << 2 << QByteArray();
    QTest::newRow("unknown CA")
        << QStringLiteral("stranger") << QByteArray("localhost") << ca << -8
        << QByteArray("TLS with localhost failed: unable to get local issuer certificate\n");
    QTest::newRow("wrong host name")
        << QStringLiteral("other") << QByteArray("localhost") << ca << -8
        << QByteArray("TLS with localhost failed: hostname mismatch\n");
    QTest::newRow("wrong address")
        << QStringLiteral("other") << QByteArray("127.0.0.1") << ca << -8
        << QByteArray("TLS with 127.0.0.1 failed: IP address mismatch\n");
    QTest::newRow("expired") << QStringLiteral("expired") << QByteArray("localhost") << ca << -8
                             << QByteArray("TLS with localhost failed: certificate has expired\n");
    QTest::newRow("test CA without the cafile")
        << QStringLiteral("local") << QByteArray("localhost") << QString() << -8
        << QByteArray("TLS with localhost failed: unable to get local issuer certificate\n");
    QTest::newRow("cafile missing")
        << QStringLiteral("local") << QByteArray("localhost") << QStringLiteral("missing") << -8
        << QByteArray("TLS with localhost failed: cannot read the CA file @DIR@/missing.pem\n");
}

void tst_Https::verify()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, host);
    QFETCH(QString, caFile);
    QFETCH(int, result);
    QFETCH(QByteArray, diagnostic);

    const QByteArray file = TestFiles::randomBytes(300000, 20240607);
    ScriptedServer server;
    server.setFallback(ScriptedServer::reply(200, file));
    QVERIFY(startTls(server, leaf));
    HttpClient client;
    client.setTimeout(TimeoutMs);
    client.setUserAgent("Agent/1.0");
    client.setBinaryMode(true);
    if (!caFile.isEmpty())
        client.setCaFile(pem(caFile));
    const QByteArray hostPort = host + ':' + QByteArray::number(server.port());

    StderrCapture capture;
    const int code = client.get("https://" + hostPort + "/v/file.bin?q=1");
    QCOMPARE(capture.text(),
             QByteArray(diagnostic).replace("@DIR@", QFile::encodeName(m_dir.path())));
    if (result < 0) {
        QCOMPARE(code, result);
        QCOMPARE(client.receive(), int(ResultCode::NoConnection));
        // Nothing of the request went out.
        QTRY_COMPARE(server.requests(), caFile == QLatin1String("missing")
                                            ? QList<QByteArray>()
                                            : QList<QByteArray>{QByteArray()});
        return;
    }
    QVERIFY(code >= 0);
    QByteArray body;
    QCOMPARE(receiveAll(client, &body), result);
    QCOMPARE(client.statusCode(), 200);
    QCOMPARE(client.receivedBytes(), qint64(file.size()));
    QVERIFY(body == file);
    QCOMPARE(server.requests(),
             QList<QByteArray>{"GET /v/file.bin?q=1 HTTP/1.0\r\nAccept: */*\r\n"
                               "Accept-Language: ja\r\nUser-Agent: Agent/1.0\r\nHost: " +
                               hostPort + "\r\nConnection: close\r\n\r\n"});
}

void tst_Https::bodyEnd_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("lastCode");
    QTest::addColumn<QByteArray>("body");

    const QByteArray ok = "HTTP/1.0 200 OK\r\n";
    QTest::newRow("length announced")
        << Script{Step::send(ok + "Content-Length: 5\r\n\r\nhello"), Step::stall()} << 2
        << QByteArray("hello");
    QTest::newRow("no length, closed")
        << Script{Step::send(ok + "\r\nab"), Step::pause(20), Step::send("cd"), Step::close()} << 2
        << QByteArray("abcd");
    QTest::newRow("closed short of its length")
        << Script{Step::send(ok + "Content-Length: 10\r\n\r\nabcde"), Step::close()} << -25
        << QByteArray("abcde");
    QTest::newRow("stalled") << Script{Step::send(ok + "\r\nabc"), Step::stall()} << -25
                             << QByteArray("abc");
}

void tst_Https::bodyEnd()
{
    QFETCH(Script, script);
    QFETCH(int, lastCode);
    QFETCH(QByteArray, body);

    ScriptedServer server;
    server.addResponse(script);
    QVERIFY(startTls(server, QStringLiteral("local")));
    HttpClient client;
    client.setTimeout(TimeoutMs);
    client.setBinaryMode(true);
    client.setCaFile(pem(QStringLiteral("ca")));

    QVERIFY(client.get(localUrl(server.port(), "/page")) >= 0);
    // Only the stalled body waits for its time-out.
    client.setTimeout(300);
    QByteArray received;
    QCOMPARE(receiveAll(client, &received), lastCode);
    QCOMPARE(received, body);
}

// http -> https -> http -> https, with the cookies of the https hop: the
// Secure one only goes back over https.
void tst_Https::redirectsBothWays()
{
    ScriptedServer plain;
    ScriptedServer secure;
    QVERIFY(plain.start());
    QVERIFY(startTls(secure, QStringLiteral("local")));
    auto redirect = [](const QByteArray &location, const QByteArray &extra = {}) {
        return Script{
            Step::send("HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n" + extra + "\r\n"),
            Step::close()};
    };
    plain.setRoute("/start", redirect(localUrl(secure.port(), "/a")));
    secure.setRoute("/a", redirect(localUrl(plain.port(), "/b", "http"),
                                   "Set-Cookie: s=1; Secure\r\nSet-Cookie: p=2\r\n"));
    plain.setRoute("/b", redirect(localUrl(secure.port(), "/c")));
    secure.setRoute("/c", ScriptedServer::reply(200, "done"));

    CookieJar jar;
    HttpClient client;
    client.setTimeout(TimeoutMs);
    client.setCaFile(pem(QStringLiteral("ca")));
    client.setCookieJar(&jar);
    QCOMPARE(client.get(localUrl(plain.port(), "/start", "http")), 4);
    QCOMPARE(client.url(), localUrl(secure.port(), "/c"));
    QCOMPARE(client.view(), "done");

    auto cookieLines = [](const QList<QByteArray> &requests) {
        QByteArrayList lines;
        for (const QByteArray &request : requests) {
            const qsizetype at = request.indexOf("\r\nCookie: ");
            lines << (at < 0 ? QByteArray("-")
                             : request.mid(at + 10, request.indexOf('\r', at + 2) - at - 10));
        }
        return lines;
    };
    QCOMPARE(cookieLines(plain.requests()), (QByteArrayList{"-", "p=2"}));
    QCOMPARE(cookieLines(secure.requests()), (QByteArrayList{"-", "s=1; p=2"}));
}

void tst_Https::tunnelThroughTinyproxy()
{
    const QByteArray file = TestFiles::randomBytes(2 * 1024 * 1024 + 7, 20240607);
    ScriptedServer server;
    server.setFallback(ScriptedServer::reply(200, file));
    QVERIFY(startTls(server, QStringLiteral("local")));

    const QString log = m_dir.filePath(QStringLiteral("tinyproxy.log"));
    PeerProcess proxy;
    QVERIFY2(proxy.startTinyproxy(m_dir.filePath(QStringLiteral("tinyproxy.conf")), log),
             qPrintable(proxy.failure()));

    HttpClient client;
    client.setTimeout(10000);
    client.setUserAgent("zindle-test");
    client.setProxy("127.0.0.1", proxy.port());
    client.setCaFile(pem(QStringLiteral("ca")));
    client.setBinaryMode(true);
    const QByteArray url = localUrl(server.port(), "/video.bin");
    QVERIFY(client.get(url) >= 0);
    QByteArray body;
    QCOMPARE(receiveAll(client, &body), int(ResultCode::BodyComplete));
    QVERIFY(body == file);
    // The origin got the path, not the whole URL, and the proxy saw a tunnel.
    QVERIFY(server.requests().value(0).startsWith("GET /video.bin HTTP/1.0\r\n"));
    QTRY_VERIFY(TestFiles::read(log).contains(
        "CONNECT localhost:" + QByteArray::number(server.port()) + " HTTP/1.0"));
}

void tst_Https::tunnelRefused_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QByteArray>("authority");
    QTest::addColumn<QByteArray>("diagnostic");
    QTest::addColumn<int>("status");

    QTest::newRow("forbidden") << ScriptedServer::reply(403, "no")
                               << QByteArray("https://videos.example/watch?v=1")
                               << QByteArray("videos.example:443")
                               << QByteArray("HTTP/1.0 403 Status") << 403;
    QTest::newRow("address with a port")
        << Script{Step::send("HTTP/1.1 502 Bad Gateway\n\n"), Step::close()}
        << QByteArray("https://[::1]:8443/x") << QByteArray("[::1]:8443")
        << QByteArray("HTTP/1.1 502 Bad Gateway") << 502;
    QTest::newRow("silent") << Script{Step::stall()} << QByteArray("https://videos.example/")
                            << QByteArray("videos.example:443")
                            << QByteArray("no answer within the time-out") << 0;
    QTest::newRow("closed") << Script{Step::close()} << QByteArray("https://videos.example/")
                            << QByteArray("videos.example:443")
                            << QByteArray("closed without an answer") << 0;
}

void tst_Https::tunnelRefused()
{
    QFETCH(Script, script);
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, authority);
    QFETCH(QByteArray, diagnostic);
    QFETCH(int, status);

    ScriptedServer proxy;
    proxy.addResponse(script);
    QVERIFY(proxy.start());
    HttpClient client;
    // Only the silent proxy is waited for until the time-out.
    client.setTimeout(diagnostic.contains("time-out") ? 300 : TimeoutMs);
    client.setUserAgent("Agent/1.0");
    client.setProxy("127.0.0.1", proxy.port());

    StderrCapture capture;
    QCOMPARE(client.get(url), int(ResultCode::ConnectFailed));
    QCOMPARE(capture.text(), "proxy refused CONNECT " + authority + ": " + diagnostic + '\n');
    QCOMPARE(client.statusCode(), status);
    QCOMPARE(client.receive(), int(ResultCode::NoConnection));
    QCOMPARE(proxy.requests(), QList<QByteArray>{"CONNECT " + authority + " HTTP/1.0\r\nHost: " +
                                                 authority + "\r\nUser-Agent: Agent/1.0\r\n\r\n"});
}

void tst_Https::cliGet_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("diagnostics");

    const QByteArray done = "status=200 length=5 received=5 code=2\n";
    QTest::newRow("--cafile") << QByteArray()
                              << QStringList{QStringLiteral("--cafile"), QStringLiteral("@CA@")}
                              << 0 << done;
    QTest::newRow("cafile setting")
        << QByteArray("[settings]\ncafile=@CA@\n") << QStringList() << 0 << done;
    QTest::newRow("--cafile in place of the setting")
        << QByteArray("[settings]\ncafile=/nonexistent.pem\n")
        << QStringList{QStringLiteral("--cafile"), QStringLiteral("@CA@")} << 0 << done;
    // The reason is in the trace, which -v turns on.
    QTest::newRow("no cafile") << QByteArray() << QStringList{QStringLiteral("-v")} << 1
                               << QByteArray("TLS with localhost failed: unable to get local "
                                             "issuer certificate\n"
                                             "status=0 length=0 received=0 code=-8\n"
                                             "zindle-cli: TLS with localhost failed: unable to "
                                             "get local issuer certificate\n");
    // Without -v the trace is off, but the reason still ends the output.
    QTest::newRow("no cafile, quiet")
        << QByteArray() << QStringList() << 1
        << QByteArray("status=0 length=0 received=0 code=-8\n"
                      "zindle-cli: TLS with localhost failed: unable to get local issuer "
                      "certificate\n");
}

void tst_Https::cliGet()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, diagnostics);

    ScriptedServer server;
    server.addResponse(ScriptedServer::reply(200, "video"));
    QVERIFY(startTls(server, QStringLiteral("local")));
    QTemporaryDir work;
    QVERIFY(TestFiles::write(work.filePath(QStringLiteral("z_user.ini")),
                             QByteArray(ini).replace("@CA@", pem(QStringLiteral("ca")))));
    options.replaceInStrings(QStringLiteral("@CA@"), QFile::decodeName(pem(QStringLiteral("ca"))));

    const CliRun::Result cli = CliRun::run(
        work.path(),
        QStringList{QStringLiteral("get"), QString::fromLatin1(localUrl(server.port(), "/v.bin"))} +
            options,
        30000);
    QVERIFY(cli.finished);
    QCOMPARE(cli.err, diagnostics);
    QCOMPARE(cli.out, exitCode == 0 ? QByteArray("video") : QByteArray());
    QCOMPARE(cli.exitCode, exitCode);
}

QTEST_GUILESS_MAIN(tst_Https)
#include "tst_https.moc"
