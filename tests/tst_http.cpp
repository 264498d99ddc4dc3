#include "CliRun.h"
#include "LocalPorts.h"
#include "ScriptedServer.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QtTest>

using Step = ScriptedServer::Step;
using Script = ScriptedServer::Script;
using Site = QMap<QByteArray, QByteArray>;

Q_DECLARE_METATYPE(ScriptedServer::Step)

namespace {

// Rows that wait for a time-out use the short one; every other request gets
// one that a loaded sanitizer build cannot reach.
constexpr int TimeoutMs = 300;
constexpr int SuccessTimeoutMs = 20000;

// Each host of a site is this server; "@PORT@" in a script stands for its port.
QByteArray withPort(QByteArray text, quint16 port)
{
    return text.replace("@PORT@", QByteArray::number(port));
}

Script withPort(Script script, quint16 port)
{
    for (Step &step : script)
        step.bytes = withPort(step.bytes, port);
    return script;
}

QByteArray redirect(const QByteArray &location)
{
    return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
}

std::unique_ptr<HttpClient> makeClient(int timeoutMs = SuccessTimeoutMs)
{
    auto client = std::make_unique<HttpClient>();
    client->setTimeout(timeoutMs);
    return client;
}

} // namespace

class tst_Http : public QObject
{
    Q_OBJECT

private slots:
    void splitUrl_data();
    void splitUrl();
    void requestBytes_data();
    void requestBytes();
    void response_data();
    void response();
    void bodyLargerThanBuffer();
    void redirects_data();
    void redirects();
    void refused_data();
    void refused();
    void receiveBeforeRequest();
    void cliGet_data();
    void cliGet();
};

void tst_Http::splitUrl_data()
{
    QTest::addColumn<QByteArray>("previousHost");
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("new host") << QByteArray("a.example") << QByteArray("http://b.example/x?q=1")
                              << 0 << QByteArray("b.example") << QByteArray("/x?q=1");
    QTest::newRow("same host") << QByteArray("a.example") << QByteArray("http://a.example/y") << 1
                               << QByteArray("a.example") << QByteArray("/y");
    QTest::newRow("host case differs") << QByteArray("a.example") << QByteArray("http://A.example/")
                                       << 0 << QByteArray("A.example") << QByteArray("/");
    QTest::newRow("lone slash") << QByteArray() << QByteArray("http://a.example/") << 0
                                << QByteArray("a.example") << QByteArray("/");
    QTest::newRow("port stays in host") << QByteArray() << QByteArray("http://a.example:8080/v/1")
                                        << 0 << QByteArray("a.example:8080") << QByteArray("/v/1");
    QTest::newRow("no double slash") << QByteArray("a.example") << QByteArray("a.example/x") << -1
                                     << QByteArray("a.example") << QByteArray("unset");
    QTest::newRow("ends after host") << QByteArray("a.example") << QByteArray("http://b.example")
                                     << -1 << QByteArray("a.example") << QByteArray("unset");
}

void tst_Http::splitUrl()
{
    QFETCH(QByteArray, previousHost);
    QFETCH(QByteArray, url);
    QFETCH(int, result);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, path);

    RequestHeaders headers;
    headers.setValue(RequestHeaders::Host, previousHost);
    QByteArray splitPath = "unset";
    QCOMPARE(headers.splitUrl(url, &splitPath), result);
    QCOMPARE(headers.value(RequestHeaders::Host), host);
    QCOMPARE(splitPath, path);
}

void tst_Http::requestBytes_data()
{
    QTest::addColumn<QByteArray>("proxy");
    QTest::addColumn<QByteArray>("userAgent");
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QByteArray>("request");

    const QByteArray tail = "Connection: close\r\n\r\n";
    QTest::newRow("direct, explicit port")
        << QByteArray() << QByteArray("Agent/1.0") << QByteArray("http://127.0.0.1:@PORT@/v/p?q=1")
        << "GET /v/p?q=1 HTTP/1.0\r\nAccept: */*\r\nAccept-Language: ja\r\n"
           "User-Agent: Agent/1.0\r\nHost: 127.0.0.1:@PORT@\r\n" +
               tail;
    QTest::newRow("one-character agent not sent")
        << QByteArray() << QByteArray("A") << QByteArray("http://127.0.0.1:@PORT@/")
        << "GET / HTTP/1.0\r\nAccept: */*\r\nAccept-Language: ja\r\n"
           "Host: 127.0.0.1:@PORT@\r\n" +
               tail;
    QTest::newRow("proxy by address")
        << QByteArray("127.0.0.1") << QByteArray("Agent/1.0")
        << QByteArray("http://videos.example/watch?v=1")
        << "GET http://videos.example/watch?v=1 HTTP/1.0\r\nAccept: */*\r\n"
           "Accept-Language: ja\r\nUser-Agent: Agent/1.0\r\nHost: videos.example\r\n" +
               tail;
    QTest::newRow("proxy by name")
        << QByteArray("localhost") << QByteArray() << QByteArray("http://videos.example:81/a")
        << "GET http://videos.example:81/a HTTP/1.0\r\nAccept: */*\r\nAccept-Language: ja\r\n"
           "Host: videos.example:81\r\n" +
               tail;
    QTest::newRow("proxy passes a URL it cannot split")
        << QByteArray("127.0.0.1") << QByteArray() << QByteArray("videos.example/a")
        << "GET videos.example/a HTTP/1.0\r\nAccept: */*\r\nAccept-Language: ja\r\n" + tail;
}

void tst_Http::requestBytes()
{
    QFETCH(QByteArray, proxy);
    QFETCH(QByteArray, userAgent);
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, request);

    ScriptedServer server;
    server.setFallback(ScriptedServer::reply(200, "ok"));
    QVERIFY(server.start());
    auto client = makeClient();
    client->setUserAgent(userAgent);
    if (!proxy.isEmpty())
        client->setProxy(proxy, server.port());

    QCOMPARE(client->get(withPort(url, server.port())), 2);
    QCOMPARE(server.requests(), QList<QByteArray>{withPort(request, server.port())});
}

void tst_Http::response_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<int>("getResult");
    QTest::addColumn<int>("lastCode");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("status");

    const QByteArray ok = "HTTP/1.0 200 OK\r\n";
    const QByteArray page = "<html><body>hits</body></html>";
    auto sendStall = [](const QByteArray &bytes) {
        return Script{Step::send(bytes), Step::stall()};
    };
    auto sendClose = [](const QByteArray &bytes) {
        return Script{Step::send(bytes), Step::close()};
    };
    // The body arrives only after get() has returned.
    auto later = [&](const QByteArray &body, const Step &end) {
        return Script{Step::send(ok + "\r\n"), Step::await(), Step::send(body), end};
    };

    QTest::newRow("body with the header")
        << sendStall(ok + "Content-Length: 5\r\n\r\nhello") << false << 5 << 2
        << QByteArray("hello") << qint64(5) << 200;
    QTest::newRow("header in pieces")
        << Script{Step::send("HTTP/1.0 200 OK\r\nContent-Le"), Step::pause(20),
                  Step::send("ngth: 2\r\n\r\nok"), Step::stall()}
        << false << 2 << 2 << QByteArray("ok") << qint64(2) << 200;
    QTest::newRow("lf-only header") << sendStall("HTTP/1.0 200 OK\nContent-Length: 3\n\nabc")
                                    << false << 3 << 2 << QByteArray("abc") << qint64(3) << 200;
    QTest::newRow("crlf pair inside the body after an lf-only header")
        << sendStall("HTTP/1.0 200 OK\nContent-Length: 8\n\nab\r\n\r\ncd") << false << 8 << 2
        << QByteArray("ab\r\n\r\ncd") << qint64(8) << 200;
    QTest::newRow("empty body") << sendStall(ok + "Content-Length: 0\r\n\r\n") << false << 0 << 2
                                << QByteArray() << qint64(0) << 200;
    QTest::newRow("names in any case, blanks after the colon")
        << sendStall("HTTP/1.1 200 OK\r\nCONTENT-length:  \t4 \r\n\r\nbody") << false << 4 << 2
        << QByteArray("body") << qint64(4) << 200;
    QTest::newRow("content-location is no redirect")
        << sendStall(ok + "Content-Location: http://elsewhere.example/x\r\n"
                          "Content-Length: 2\r\n\r\nok")
        << false << 2 << 2 << QByteArray("ok") << qint64(2) << 200;
    QTest::newRow("length that is no number counts as absent")
        << sendClose(ok + "Content-Length: 12abc\r\n\r\nxyz") << false << 3 << 2
        << QByteArray("xyz") << qint64(3) << 200;
    QTest::newRow("negative length counts as absent")
        << sendClose(ok + "Content-Length: -5\r\n\r\nxyz") << false << 3 << 2 << QByteArray("xyz")
        << qint64(3) << 200;
    QTest::newRow("length beyond 32 bits")
        << sendClose(ok + "Content-Length: 5000000000\r\n\r\nabc") << false << 3 << -25
        << QByteArray("abc") << qint64(5000000000) << 200;
    QTest::newRow("closing tag ends a page")
        << later(page, Step::stall()) << false << 0 << 2 << page << qint64(page.size()) << 200;
    QTest::newRow("closing tag with the header, server stalls: first receive ends the page")
        << sendStall(ok + "\r\n" + page) << false << int(page.size()) << 2 << page
        << qint64(page.size()) << 200;
    QTest::newRow("closing tag in capitals")
        << later("<HTML>x</HTML>", Step::stall()) << false << 0 << 2 << QByteArray("<HTML>x</HTML>")
        << qint64(14) << 200;
    QTest::newRow("closing tag in mixed case is not one")
        << later("<html>x</Html>", Step::stall()) << false << 0 << -25
        << QByteArray("<html>x</Html>") << qint64(-1) << 200;
    QTest::newRow("closing tag in binary mode")
        << later(page, Step::stall()) << true << 0 << -25 << page << qint64(-1) << 200;
    QTest::newRow("close ends a body without length")
        << later("abc", Step::close()) << true << 0 << 2 << QByteArray("abc") << qint64(3) << 200;
    QTest::newRow("stalled body") << later("abcde", Step::stall()) << true << 0 << -25
                                  << QByteArray("abcde") << qint64(-1) << 200;
    QTest::newRow("body cut short of its length")
        << sendClose(ok + "Content-Length: 10\r\n\r\nabcde") << true << 5 << -25
        << QByteArray("abcde") << qint64(10) << 200;
    QTest::newRow("stalled before its length")
        << sendStall(ok + "Content-Length: 10\r\n\r\nabcde") << true << 5 << -25
        << QByteArray("abcde") << qint64(10) << 200;
    QTest::newRow("404 with a body") << ScriptedServer::reply(404, "missing") << false << 7 << 2
                                     << QByteArray("missing") << qint64(7) << 404;
    QTest::newRow("no status line")
        << sendClose("garbage\r\n\r\nxy") << false << 2 << 2 << QByteArray("xy") << qint64(2) << 0;
    QTest::newRow("no answer") << Script{Step::stall()} << false << -4 << -4 << QByteArray()
                               << qint64(0) << 0;
    QTest::newRow("closed before the header end")
        << sendClose(ok + "Content-Length: 3\r\n") << false << -4 << -4 << QByteArray() << qint64(0)
        << 0;
    QTest::newRow("header larger than the buffer")
        << sendStall(ok + "X-Filler: " + QByteArray(200 * 1024, 'f') + "\r\n\r\nbody") << false
        << -7 << -7 << QByteArray() << qint64(0) << 0;
}

void tst_Http::response()
{
    QFETCH(Script, script);
    QFETCH(bool, binary);
    QFETCH(int, getResult);
    QFETCH(int, lastCode);
    QFETCH(QByteArray, body);
    QFETCH(qint64, length);
    QFETCH(int, status);

    ScriptedServer server;
    server.addResponse(script);
    QVERIFY(server.start());
    auto client = makeClient(getResult == ResultCode::NoHeader ? TimeoutMs : SuccessTimeoutMs);
    client->setBinaryMode(binary);

    int code = client->get(server.url("/page"));
    QCOMPARE(code, getResult);
    // A body that stalls ends at the short time-out, a sound one never meets it.
    if (lastCode == ResultCode::BodyStopped)
        client->setTimeout(TimeoutMs);
    QCOMPARE(client->data()[client->bufferedBytes()], '\0');
    server.proceed();
    QByteArray received = client->view().toByteArray();
    client->clearBuffer();
    for (int step = 0; code >= 0 && step < 1000; ++step) {
        code = client->receive();
        QCOMPARE(client->data()[client->bufferedBytes()], '\0');
        received += client->view().toByteArray();
        client->clearBuffer();
        if (code != ResultCode::ReceiveAgain)
            break;
    }
    QCOMPARE(code, lastCode);
    QCOMPARE(received, body);
    QCOMPARE(client->contentLength(), length);
    if (getResult >= 0)
        QCOMPARE(client->receivedBytes(), qint64(body.size()));
    QCOMPARE(client->statusCode(), status);
    // A finished body stays finished.
    if (code == ResultCode::BodyComplete)
        QCOMPARE(client->receive(), int(ResultCode::BodyComplete));
}

void tst_Http::bodyLargerThanBuffer()
{
    QByteArray body(300000, '\0');
    for (qsizetype i = 0; i < body.size(); ++i)
        body[i] = char(i * 7 % 251);
    ScriptedServer server;
    server.addResponse(ScriptedServer::reply(200, body));
    QVERIFY(server.start());
    auto client = makeClient();
    client->setBinaryMode(true);

    QVERIFY(client->get(server.url()) >= 0);
    int code = ResultCode::ReceiveAgain;
    for (int step = 0; code == ResultCode::ReceiveAgain && step < 1000; ++step)
        code = client->receive();
    QCOMPARE(code, int(ResultCode::BufferFull));
    QCOMPARE(client->bufferedBytes(), HttpClient::Capacity);
    QCOMPARE(client->data()[HttpClient::Capacity], '\0');
    QCOMPARE(client->receive(), int(ResultCode::BufferFull)); // nothing more until drained

    QByteArray received = client->view().toByteArray();
    client->clearBuffer();
    for (int step = 0; step < 1000; ++step) {
        code = client->receive();
        received += client->view().toByteArray();
        client->clearBuffer();
        if (code != ResultCode::ReceiveAgain)
            break;
    }
    QCOMPARE(code, int(ResultCode::BodyComplete));
    QCOMPARE(client->receivedBytes(), qint64(body.size()));
    QVERIFY(received == body);
}

void tst_Http::redirects_data()
{
    QTest::addColumn<Site>("site");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("finalUrl");
    QTest::addColumn<QByteArrayList>("targets");

    const QByteArray done = "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\ndone";
    const QByteArray origin = "http://127.0.0.1:@PORT@";

    QTest::newRow("absolute chain")
        << Site{{"/a", redirect(origin + "/b")},
                {"/b", "HTTP/1.0 301 Moved\r\nLocation: " + origin + "/c\r\n\r\nmoved"},
                {"/c", done}}
        << false << origin + "/a" << 4 << origin + "/c" << QByteArrayList{"/a", "/b", "/c"};
    QTest::newRow("absolute path")
        << Site{{"/d/a", redirect("/e/b?x=1")}, {"/e/b?x=1", done}} << false << origin + "/d/a" << 4
        << origin + "/e/b?x=1" << QByteArrayList{"/d/a", "/e/b?x=1"};
    QTest::newRow("relative path")
        << Site{{"/d/a?q=2", redirect("b")}, {"/d/b", done}} << false << origin + "/d/a?q=2" << 4
        << origin + "/d/b" << QByteArrayList{"/d/a?q=2", "/d/b"};
    QTest::newRow("dot segments") << Site{{"/d/e/a", redirect("../b#top")}, {"/d/b", done}} << false
                                  << origin + "/d/e/a" << 4 << origin + "/d/b"
                                  << QByteArrayList{"/d/e/a", "/d/b"};
    QTest::newRow("network path") << Site{{"/a", redirect("//127.0.0.1:@PORT@/n")}, {"/n", done}}
                                  << false << origin + "/a" << 4 << origin + "/n"
                                  << QByteArrayList{"/a", "/n"};
    QTest::newRow("lower-case header name")
        << Site{{"/a", "HTTP/1.0 302 Found\r\nlocation:/b\r\n\r\n"}, {"/b", done}} << false
        << origin + "/a" << 4 << origin + "/b" << QByteArrayList{"/a", "/b"};
    QTest::newRow("relative through a proxy")
        << Site{{"/d/a", redirect("b")}, {"/d/b", done}} << true
        << QByteArray("http://videos.example/d/a") << 4 << QByteArray("http://videos.example/d/b")
        << QByteArrayList{"http://videos.example/d/a", "http://videos.example/d/b"};
    QTest::newRow("to a scheme not served")
        << Site{{"/a", redirect("ftp://127.0.0.1:@PORT@/s")}} << false << origin + "/a" << -1
        << QByteArray("ftp://127.0.0.1:@PORT@/s") << QByteArrayList{"/a"};

    // Twenty redirects are followed; a twenty-first ends the chain.
    Site chain;
    QByteArrayList hops;
    for (int i = 0; i <= HttpClient::MaxRedirects; ++i) {
        const QByteArray path = "/r" + QByteArray::number(i);
        chain.insert(path, redirect("/r" + QByteArray::number(i + 1)));
        hops << path;
    }
    Site longest = chain;
    longest.insert(hops.last(), done);
    QTest::newRow("longest chain followed")
        << longest << false << origin + "/r0" << 4 << origin + hops.last() << hops;
    QTest::newRow("chain too long")
        << chain << false << origin + "/r0" << -6 << origin + hops.last() << hops;
    QByteArrayList loop;
    for (int i = 0; i <= HttpClient::MaxRedirects; ++i)
        loop << "/loop";
    QTest::newRow("loop") << Site{{"/loop", redirect("/loop")}} << false << origin + "/loop" << -6
                          << origin + "/loop" << loop;
}

void tst_Http::redirects()
{
    QFETCH(Site, site);
    QFETCH(bool, viaProxy);
    QFETCH(QByteArray, url);
    QFETCH(int, result);
    QFETCH(QByteArray, finalUrl);
    QFETCH(QByteArrayList, targets);

    ScriptedServer server;
    QVERIFY(server.start());
    for (auto it = site.cbegin(); it != site.cend(); ++it)
        server.setRoute(it.key(), withPort({Step::send(it.value()), Step::close()}, server.port()));
    auto client = makeClient();
    if (viaProxy)
        client->setProxy("127.0.0.1", server.port());

    QCOMPARE(client->get(withPort(url, server.port())), result);
    QCOMPARE(client->url(), withPort(finalUrl, server.port()));
    QByteArrayList sent;
    for (const QByteArray &request : server.requests())
        sent << ScriptedServer::target(request);
    QCOMPARE(sent, targets);
    if (result >= 0) {
        QCOMPARE(client->view(), "done");
        QCOMPARE(client->statusCode(), 200);
    }
}

void tst_Http::refused_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<int>("result");

    QTest::newRow("no double slash") << QByteArray("127.0.0.1:@PORT@/x") << false << -1;
    QTest::newRow("nothing after the host") << QByteArray("http://127.0.0.1:@PORT@") << false << -1;
    QTest::newRow("scheme not served") << QByteArray("ftp://127.0.0.1:@PORT@/x") << false << -1;
    QTest::newRow("port out of range") << QByteArray("http://127.0.0.1:99999/x") << false << -1;
    QTest::newRow("port not a number") << QByteArray("http://127.0.0.1:8o/x") << false << -1;
    QTest::newRow("empty host") << QByteArray("http:///x") << false << -1;
    QTest::newRow("line break") << QByteArray("http://127.0.0.1:@PORT@/a\r\nX-Evil: 1") << false
                                << -1;
    QTest::newRow("line break through a proxy")
        << QByteArray("http://videos.example/a\nX-Evil: 1") << true << -1;
    QTest::newRow("tab") << QByteArray("http://127.0.0.1:@PORT@/a\tb") << false << -1;
    QTest::newRow("delete byte") << QByteArray("http://127.0.0.1:@PORT@/a\x7f") << false << -1;
    QTest::newRow("nobody listening") << QByteArray("http://127.0.0.1:@CLOSED@/x") << false << -2;
    QTest::newRow("proxy not listening") << QByteArray("http://videos.example/x") << true << -2;
}

void tst_Http::refused()
{
    QFETCH(QByteArray, url);
    QFETCH(bool, viaProxy);
    QFETCH(int, result);

    ScriptedServer server;
    server.setFallback(ScriptedServer::reply(200, "ok"));
    QVERIFY(server.start());
    const QByteArray closed = QByteArray::number(LocalPorts::freePort()); // nobody listens there
    auto client = makeClient();
    if (viaProxy)
        client->setProxy("127.0.0.1", result == -2 ? closed.toInt() : server.port());

    QCOMPARE(client->get(withPort(url, server.port()).replace("@CLOSED@", closed)), result);
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(client->receive(), int(ResultCode::NoConnection));

    // The client stays usable.
    client->setProxy(QByteArray(), 0);
    QCOMPARE(client->get(server.url("/next")), 2);
    QCOMPARE(client->view(), "ok");
}

void tst_Http::receiveBeforeRequest()
{
    HttpClient client;
    QCOMPARE(client.receive(), int(ResultCode::NoConnection));
    QCOMPARE(client.bufferedBytes(), 0);
    QCOMPARE(client.data()[0], '\0');
}

void tst_Http::cliGet_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("statusLine");

    QTest::newRow("complete") << ScriptedServer::reply(200, "<html>video</html>") << 0
                              << QByteArray("<html>video</html>")
                              << QByteArray("status=200 length=18 received=18 code=2\n");
    QTest::newRow("error page") << ScriptedServer::reply(404, "missing") << 1
                                << QByteArray("missing")
                                << QByteArray("status=404 length=7 received=7 code=2\n");
    QTest::newRow("cut short")
        << Script{Step::send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabcde"), Step::close()}
        << 1 << QByteArray("abcde") << QByteArray("status=200 length=10 received=5 code=-25\n");
}

void tst_Http::cliGet()
{
    QFETCH(Script, script);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, statusLine);

    ScriptedServer server;
    server.addResponse(script);
    QVERIFY(server.start());
    QTemporaryDir work;
    const CliRun::Result cli = CliRun::run(
        work.path(), {QStringLiteral("get"), QString::fromLatin1(server.url("/v.bin"))}, 30000);
    QVERIFY(cli.finished);
    QCOMPARE(cli.err, statusLine);
    QCOMPARE(cli.out, body);
    QCOMPARE(cli.exitCode, exitCode);
}

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
