#include "ScriptedServer.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"

#include <QtTest>

using Step = ScriptedServer::Step;
// Each entry: the URL a response came from, and its "Set-Cookie" value.
using Responses = QList<QPair<QByteArray, QByteArray>>;

namespace {

constexpr int TimeoutMs = 20000;

// The "Cookie:" line of a recorded request, empty when it has none.
QByteArray cookieLine(const QByteArray &request)
{
    for (const QByteArray &line : request.split('\n')) {
        if (line.startsWith("Cookie: "))
            return line.mid(8).trimmed();
    }
    return {};
}

} // namespace

class tst_CookieJar : public QObject
{
    Q_OBJECT

private slots:
    void jar_data();
    void jar();
    void cap();
    void handOff();
    void throughClient();
    void secureNeverOverHttp();
};

void tst_CookieJar::jar_data()
{
    QTest::addColumn<Responses>("responses");
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QByteArray>("header");

    const QByteArray site = "http://a.example/";
    const QByteArray past = "Thu, 01 Jan 1970 00:00:00 GMT";
    const QByteArray future = "Fri, 01-Jan-2100 00:00:00 GMT";

    // Host-only and Domain.
    QTest::newRow("host-only to its host")
        << Responses{{site, "id=1"}} << QByteArray("http://a.example/x") << QByteArray("id=1");
    QTest::newRow("host-only, any port")
        << Responses{{"http://127.0.0.1:8080/", "id=1"}} << QByteArray("http://127.0.0.1:9090/")
        << QByteArray("id=1");
    QTest::newRow("host-only not to a subdomain")
        << Responses{{site, "id=1"}} << QByteArray("http://www.a.example/") << QByteArray();
    QTest::newRow("host-only not to the parent") << Responses{{"http://www.a.example/", "id=1"}}
                                                 << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("domain of the host reaches subdomains")
        << Responses{{site, "id=1; Domain=a.example"}} << QByteArray("http://cdn.a.example/")
        << QByteArray("id=1");
    QTest::newRow("parent domain, leading dot, any case")
        << Responses{{"http://WWW.a.example/", "id=1; domain=.A.Example"}}
        << QByteArray("http://cdn.a.example/") << QByteArray("id=1");
    QTest::newRow("foreign domain refused") << Responses{{site, "id=1; Domain=b.example"}}
                                            << QByteArray("http://b.example/") << QByteArray();
    QTest::newRow("suffix not at a label refused")
        << Responses{{"http://bad-a.example/", "id=1; Domain=a.example"}}
        << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("subdomain of the host refused")
        << Responses{{site, "id=1; Domain=www.a.example"}} << QByteArray("http://www.a.example/")
        << QByteArray();
    QTest::newRow("single label refused") << Responses{{site, "id=1; Domain=example"}}
                                          << QByteArray("http://b.example/") << QByteArray();
    // Public suffixes: anyone may register a name below them.
    QTest::newRow("public suffix of two labels refused")
        << Responses{{"http://shop.example.co.uk/", "id=1; Domain=co.uk"}}
        << QByteArray("http://other.co.uk/") << QByteArray();
    QTest::newRow("hosting suffix refused")
        << Responses{{"http://me.github.io/", "id=1; Domain=github.io"}}
        << QByteArray("http://you.github.io/") << QByteArray();
    QTest::newRow("hosting suffix refused for its own hosts too")
        << Responses{{"http://me.github.io/", "id=1; Domain=github.io"}}
        << QByteArray("http://me.github.io/") << QByteArray();
    QTest::newRow("domain below a public suffix kept")
        << Responses{{"http://www.shop.co.uk/", "id=1; Domain=shop.co.uk"}}
        << QByteArray("http://cdn.shop.co.uk/") << QByteArray("id=1");
    QTest::newRow("public suffix that is the host: host-only")
        << Responses{{"http://github.io/", "id=1; Domain=github.io"}}
        << QByteArray("http://github.io/") << QByteArray("id=1");
    QTest::newRow("public suffix that is the host: not below it")
        << Responses{{"http://github.io/", "id=1; Domain=github.io"}}
        << QByteArray("http://me.github.io/") << QByteArray();
    QTest::newRow("address not widened") << Responses{{"http://10.0.0.1/", "id=1; Domain=0.0.1"}}
                                         << QByteArray("http://10.0.0.1/") << QByteArray();

    // Path.
    QTest::newRow("default path is the directory")
        << Responses{{"http://a.example/docs/page?x=/y", "a=1"}}
        << QByteArray("http://a.example/docs/other") << QByteArray("a=1");
    QTest::newRow("default path not outside it")
        << Responses{{"http://a.example/docs/page", "a=1"}} << QByteArray("http://a.example/other")
        << QByteArray();
    QTest::newRow("default path of a top-level page")
        << Responses{{"http://a.example/page", "a=1"}} << QByteArray("http://a.example/x/y")
        << QByteArray("a=1");
    QTest::newRow("path itself") << Responses{{site, "a=1; Path=/docs"}}
                                 << QByteArray("http://a.example/docs") << QByteArray("a=1");
    QTest::newRow("path below") << Responses{{site, "a=1; Path=/docs"}}
                                << QByteArray("http://a.example/docs/x?q") << QByteArray("a=1");
    QTest::newRow("path prefix not at a segment")
        << Responses{{site, "a=1; Path=/docs"}} << QByteArray("http://a.example/docsx")
        << QByteArray();
    QTest::newRow("path not starting with a slash is the default")
        << Responses{{"http://a.example/d/p", "a=1; Path=x"}} << QByteArray("http://a.example/e")
        << QByteArray();

    // Secure.
    QTest::newRow("secure over https") << Responses{{"https://a.example/", "s=1; Secure"}}
                                       << QByteArray("https://a.example/") << QByteArray("s=1");
    QTest::newRow("secure not over http")
        << Responses{{"https://a.example/", "s=1; Secure"}, {"https://a.example/", "p=2"}}
        << QByteArray("http://a.example/") << QByteArray("p=2");
    QTest::newRow("secure from http ignored")
        << Responses{{site, "s=1; Secure"}} << QByteArray("https://a.example/") << QByteArray();
    QTest::newRow("plain cookie of https over http")
        << Responses{{"https://a.example/", "p=1"}} << QByteArray("http://a.example/")
        << QByteArray("p=1");

    // Lifetime and replacement.
    QTest::newRow("max-age 0 deletes") << Responses{{site, "a=1"}, {site, "a=2; Max-Age=0"}}
                                       << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("negative max-age deletes") << Responses{{site, "a=1"}, {site, "a=2; Max-Age=-1"}}
                                              << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("expires in the past deletes")
        << Responses{{site, "a=1"}, {site, "a=; Expires=" + past}}
        << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("expires in the future kept")
        << Responses{{site, "a=1; Expires=" + future}} << QByteArray("http://a.example/")
        << QByteArray("a=1");
    QTest::newRow("asctime date in the past")
        << Responses{{site, "a=1"}, {site, "a=1; expires=Thu Jan  1 00:00:00 1970"}}
        << QByteArray("http://a.example/") << QByteArray();
    // Two-digit years: from 70 on the 1900s, below 70 the 2000s. A date
    // that is no real time is unreadable and leaves a session cookie.
    QTest::newRow("two-digit year 70 is 1970")
        << Responses{{site, "a=1"}, {site, "a=1; Expires=Thursday, 01-Jan-70 00:00:00 GMT"}}
        << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("two-digit year 69 is 2069")
        << Responses{{site, "a=1; Expires=Tuesday, 01-Jan-69 00:00:00 GMT"}}
        << QByteArray("http://a.example/") << QByteArray("a=1");
    QTest::newRow("30 February is unreadable")
        << Responses{{site, "a=1; Expires=Thu, 30 Feb 1970 00:00:00 GMT"}}
        << QByteArray("http://a.example/") << QByteArray("a=1");
    QTest::newRow("hour 24 is unreadable")
        << Responses{{site, "a=1; Expires=Thu, 01 Jan 1970 24:00:00 GMT"}}
        << QByteArray("http://a.example/") << QByteArray("a=1");
    QTest::newRow("max-age wins over expires")
        << Responses{{site, "a=1; Expires=" + past + "; Max-Age=100"}}
        << QByteArray("http://a.example/") << QByteArray("a=1");
    QTest::newRow("unreadable expires is a session cookie")
        << Responses{{site, "a=1; Expires=soon"}} << QByteArray("http://a.example/")
        << QByteArray("a=1");
    QTest::newRow("deleting needs the same path")
        << Responses{{site, "a=1; Path=/"}, {site, "a=1; Path=/x; Max-Age=0"}}
        << QByteArray("http://a.example/x") << QByteArray("a=1");
    QTest::newRow("same name, domain and path replaced in place")
        << Responses{{site, "a=1"}, {site, "b=2"}, {site, "a=3"}} << QByteArray("http://a.example/")
        << QByteArray("a=3; b=2");
    QTest::newRow("same name on another path kept, longer path first")
        << Responses{{site, "a=1; Path=/"}, {site, "a=2; Path=/docs"}}
        << QByteArray("http://a.example/docs/x") << QByteArray("a=2; a=1");
    QTest::newRow("domain cookie replaces the host-only one of its domain")
        << Responses{{site, "a=1"}, {"http://www.a.example/", "a=2; Domain=a.example"}}
        << QByteArray("http://a.example/") << QByteArray("a=2");

    // Parsing.
    QTest::newRow("order of setting")
        << Responses{{site, "a=1"}, {site, "b=2"}, {site, "c=3"}} << QByteArray("http://a.example/")
        << QByteArray("a=1; b=2; c=3");
    QTest::newRow("blanks trimmed, attributes in any case")
        << Responses{{site, " a = x y ;  PATH=/ ; HttpOnly"}} << QByteArray("http://a.example/q")
        << QByteArray("a=x y");
    QTest::newRow("equals sign in the value")
        << Responses{{site, "t=x=y; Path=/"}} << QByteArray("http://a.example/")
        << QByteArray("t=x=y");
    QTest::newRow("empty value") << Responses{{site, "e="}} << QByteArray("http://a.example/")
                                 << QByteArray("e=");
    QTest::newRow("no equals sign ignored")
        << Responses{{site, "lonely"}} << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("empty name ignored")
        << Responses{{site, "=v"}} << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("line break ignored")
        << Responses{{site, "a=1\rX-Evil: 1"}} << QByteArray("http://a.example/") << QByteArray();
    QTest::newRow("scheme without cookies")
        << Responses{{"ftp://a.example/", "a=1"}} << QByteArray("ftp://a.example/") << QByteArray();
}

void tst_CookieJar::jar()
{
    QFETCH(Responses, responses);
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, header);

    CookieJar jar;
    for (const auto &[from, setCookie] : responses)
        jar.store(from, setCookie);
    QCOMPARE(jar.cookieHeader(url), header);
}

void tst_CookieJar::cap()
{
    CookieJar jar;
    for (int i = 0; i <= CookieJar::MaxCookies; ++i)
        jar.store("http://a.example/", 'c' + QByteArray::number(i) + "=v");
    QCOMPARE(jar.count(), CookieJar::MaxCookies);
    const QByteArray header = jar.cookieHeader("http://a.example/");
    QVERIFY(header.startsWith("c1=v; c2=v"));
    QVERIFY(header.endsWith("; c" + QByteArray::number(CookieJar::MaxCookies) + "=v"));
}

// A connection's own jar starts as the row's; what its answers set reaches
// the row's jar in order, next to what another connection set meanwhile, once.
void tst_CookieJar::handOff()
{
    const QByteArray url = "http://a.example/";
    CookieJar row;
    row.store(url, "a=1");
    CookieJar own;
    own.startFrom(row);
    QCOMPARE(own.cookieHeader(url), QByteArray("a=1"));
    own.store(url, "b=2");
    own.store(url, "a=1; Max-Age=0");
    row.store(url, "c=3");
    own.passStoredTo(row);
    QCOMPARE(row.cookieHeader(url), QByteArray("c=3; b=2"));

    CookieJar later;
    own.passStoredTo(later);
    QCOMPARE(later.count(), 0);
    own.startFrom(later);
    own.store(url, "d=4");
    own.passStoredTo(row);
    QCOMPARE(row.cookieHeader(url), QByteArray("c=3; b=2; d=4"));
}

// A cookie set on a redirect hop and one set by the page both go with the
// following requests; the first request of a fresh jar has no Cookie line.
void tst_CookieJar::throughClient()
{
    ScriptedServer server;
    QVERIFY(server.start());
    const QByteArray origin = server.url(QByteArray());
    server.setRoute("/watch", {Step::send("HTTP/1.0 302 Found\r\nLocation: " + origin +
                                          "/page\r\nSet-Cookie: sid=abc; Path=/\r\n"
                                          "set-cookie: hop=1; Path=/page\r\n\r\n"),
                               Step::close()});
    server.setRoute("/page", ScriptedServer::reply(200, "page", "Set-Cookie: late=2\r\n"));
    server.setRoute("/file", ScriptedServer::reply(200, "file"));
    server.setRoute("/other/x", ScriptedServer::reply(200, "x"));

    CookieJar jar;
    HttpClient client;
    client.setTimeout(TimeoutMs);
    client.setCookieJar(&jar);
    QCOMPARE(client.get(origin + "/watch"), 4);
    QCOMPARE(client.get(origin + "/file"), 4);
    // A caller's value in the slot is replaced by the jar's, also by nothing.
    client.headers().setValue(RequestHeaders::Cookie, "stale=1");
    QCOMPARE(jar.cookieHeader(origin + "/other/x"), QByteArray("sid=abc; late=2"));
    jar.clear();
    QCOMPARE(client.get(origin + "/other/x"), 1);

    const QList<QByteArray> requests = server.requests();
    QCOMPARE(requests.size(), 4);
    QCOMPARE(requests[0], "GET /watch HTTP/1.0\r\nAccept: */*\r\nAccept-Language: ja\r\nHost: " +
                              origin.mid(7) + "\r\nConnection: close\r\n\r\n");
    QCOMPARE(cookieLine(requests[1]), QByteArray("hop=1; sid=abc"));
    QCOMPARE(cookieLine(requests[2]), QByteArray("sid=abc; late=2"));
    QCOMPARE(cookieLine(requests[3]), QByteArray());
}

void tst_CookieJar::secureNeverOverHttp()
{
    ScriptedServer server;
    server.setRoute("/set", ScriptedServer::reply(200, "ok",
                                                  "Set-Cookie: s=1; Secure\r\n"
                                                  "Set-Cookie: p=2\r\n"));
    server.setFallback(ScriptedServer::reply(200, "ok"));
    QVERIFY(server.start());

    CookieJar jar;
    // Even one the jar holds from an https response.
    jar.store("https://127.0.0.1/", "t=3; Secure");
    HttpClient client;
    client.setTimeout(TimeoutMs);
    client.setCookieJar(&jar);
    QCOMPARE(client.get(server.url("/set")), 2);
    QCOMPARE(client.get(server.url("/next")), 2);
    QCOMPARE(cookieLine(server.requests().last()), QByteArray("p=2"));
    QCOMPARE(jar.cookieHeader("https://127.0.0.1/"), QByteArray("t=3; p=2"));
}

QTEST_GUILESS_MAIN(tst_CookieJar)
#include "tst_cookiejar.moc"
