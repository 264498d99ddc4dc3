#include "CliRun.h"
#include "JobRun.h"
#include "PeerProcess.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <QElapsedTimer>
#include <QtTest>

using TestFiles::randomBytes;
using TestRows::listLine;
using TestRows::makeRow;
using Script = ScriptedServer::Script;
using Step = ScriptedServer::Step;
using Files = QMap<QByteArray, QByteArray>;
using Marks = QList<DownloadWorker::RowMark>;
using namespace std::chrono_literals;

namespace {

constexpr int FinishMs = 20000;
constexpr auto TestPauseUnit = 20ms;

// The PKI of the https cases: a CA and a leaf for 127.0.0.1 and localhost.
const QByteArray PkiConfig = "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n";

// Answers a two-stage chain over TLS like a site that guards its files: the
// watch page wants to be reached from the embed page and sets the session
// cookie; the file is refused (403) without that cookie and the watch page
// as Referer. Prints its port, then serves until killed.
const QByteArray GuardedSite = R"(import http.server, ssl, sys
cert, key, video = sys.argv[1:4]
data = open(video, 'rb').read()
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        site = 'https://127.0.0.1:%d' % self.server.server_address[1]
        referer = self.headers.get('Referer', '')
        cookie = self.headers.get('Cookie', '')
        if self.path == '/embed/ab12':
            self.answer(200, b'<html><a href="/watch?v=ab12">watch</a></html>')
        elif self.path == '/watch?v=ab12' and referer == site + '/embed/ab12':
            self.answer(200, b"<html>file: 'tok7'</html>",
                        [('Set-Cookie', 'session=s3cr3t; Path=/; Secure; HttpOnly')])
        elif (self.path == '/media/tok7' and cookie == 'session=s3cr3t'
              and referer == site + '/watch?v=ab12'):
            self.answer(200, data)
        else:
            self.answer(403, b'forbidden')
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
)";

const QByteArray NoStageEngine = "engine_id::tube\n"
                                 "download_target::http://127.0.0.1:PORT/v/%s.mp4\n"
                                 "download_ext::.mp4\n";

// The video of the resume cases.
const QByteArray &video()
{
    static const QByteArray bytes = randomBytes(1000, 7);
    return bytes;
}

QByteArray ok(const QByteArray &body, const QByteArray &extraHeaders = {})
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" +
           extraHeaders + "\r\n" + body;
}

// The validator every answer for the video carries, and what the job keeps
// of it beside a ".part" of that video.
const QByteArray Tag = "ETag: \"v1\"\r\n";
const QByteArray Kept1000 = "validator \"v1\"\nlength 1000\n";

// The whole video.
QByteArray whole()
{
    return ok(video(), Tag);
}

// A 200 announcing the whole video whose body stops after `sent` bytes.
QByteArray cut(int sent, const QByteArray &validator = Tag)
{
    return "HTTP/1.0 200 OK\r\n" + validator + "Content-Length: 1000\r\n\r\n" + video().left(sent);
}

// A 206 for bytes first..last of a video of `total` bytes, with `sent` of
// them (all by default).
QByteArray range(int first, int last, int total = 1000, const QByteArray &extraHeaders = Tag,
                 int sent = -1)
{
    const QByteArray bytes = video().mid(first, last - first + 1);
    return "HTTP/1.0 206 Partial Content\r\n" + extraHeaders + "Content-Range: bytes " +
           QByteArray::number(first) + '-' + QByteArray::number(last) + '/' +
           QByteArray::number(total) + "\r\nContent-Length: " + QByteArray::number(bytes.size()) +
           "\r\n\r\n" + (sent < 0 ? bytes : bytes.left(sent));
}

// A 206 for the video from `first` on, with `sent` bytes of it (all by default).
QByteArray partial(int first, int sent = -1)
{
    return range(first, 999, 1000, Tag, sent);
}

QByteArray status(int code, const QByteArray &reason, const QByteArray &extraHeaders = {})
{
    return "HTTP/1.0 " + QByteArray::number(code) + ' ' + reason + "\r\n" + extraHeaders +
           "Content-Length: 2\r\n\r\nno";
}

// The value of a header line of a recorded request, "" when it has none.
QByteArray requestHeader(const QByteArray &request, const QByteArray &name)
{
    const qsizetype at = request.indexOf("\r\n" + name + ": ");
    if (at < 0)
        return QByteArray();
    const qsizetype start = at + 2 + name.size() + 2;
    return request.mid(start, request.indexOf("\r\n", start) - start);
}

QByteArrayList requestHeaders(const QList<QByteArray> &requests, const QByteArray &name)
{
    QByteArrayList values;
    for (const QByteArray &request : requests)
        values.append(requestHeader(request, name));
    return values;
}

// The lines of standard error that start with one of the prefixes.
QByteArrayList linesStarting(const QByteArray &text, const QByteArrayList &prefixes)
{
    QByteArrayList lines;
    for (const QByteArray &line : text.split('\n')) {
        for (const QByteArray &prefix : prefixes) {
            if (line.startsWith(prefix)) {
                lines.append(line);
                break;
            }
        }
    }
    return lines;
}

// The reason a row marked "x" carries: the words of its last line, the
// "download failed: " one.
QByteArray reasonOf(const QByteArray &mark, const QByteArrayList &lines)
{
    static const QByteArray prefix = "download failed: ";
    if (mark != "x" || lines.isEmpty() || !lines.last().startsWith(prefix))
        return {};
    return lines.last().mid(prefix.size());
}

// Each raw response on a connection of its own, in order; an empty one
// closes the connection without an answer.
void queue(ScriptedServer &server, const QByteArrayList &responses)
{
    for (const QByteArray &response : responses)
        server.addResponse(response.isEmpty() ? Script{Step::close()}
                                              : Script{Step::send(response), Step::close()});
}

} // namespace

// The download job as sites that need more than a plain fetch see it: one
// cookie jar and the Referer along the stage chain, a video resumed from its
// ".part" file, retries with their pauses, and a guarded site over https.
class tst_DownloadResume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cookiesAndReferer_data();
    void cookiesAndReferer();
    void resume_data();
    void resume();
    void progressCountsTheWholeVideo();
    void retries_data();
    void retries();
    void retryPause_data();
    void retryPause();
    void stopDuringPause();
    void cutDownloadFinishesOnNextRun();
    void partInUseByAnotherProcess();
    void guardedSiteOverHttps();

private:
    using Result = JobRun::Result;

    // z_user.ini (work directory "work/", the test CA as cafile) and the
    // engine file with "PORT" and "TLSPORT" replaced.
    void writeSetup(const QByteArray &engine, quint16 port, quint16 tlsPort = 0);
    void run(const QList<ResultRow> &rows, Result *result);
    QByteArray caFile() const
    {
        return QFile::encodeName(m_pki.filePath(QStringLiteral("ca.pem")));
    }
    QByteArray read(const char *path) const;
    bool exists(const char *path) const;
    bool openssl(const QStringList &arguments);

    QTemporaryDir m_pki;
    std::unique_ptr<QTemporaryDir> m_dir;
};

bool tst_DownloadResume::openssl(const QStringList &arguments)
{
    const CliRun::Result run =
        CliRun::runProgram(QStringLiteral("openssl"), m_pki.path(), arguments, 30000);
    if (run.exitCode != 0) {
        qWarning("openssl %s: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                 (run.out + run.err).constData());
        return false;
    }
    return true;
}

void tst_DownloadResume::initTestCase()
{
    QVERIFY(m_pki.isValid());
    QVERIFY2(!CliRun::findProgram(QStringLiteral("openssl")).isEmpty(),
             "openssl not installed (scripts/test installs it)");
    QVERIFY(TestFiles::write(m_pki.filePath(QStringLiteral("pki.cnf")), PkiConfig));
    const QStringList key = {
        QStringLiteral("-newkey"),  QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-nodes"),   QStringLiteral("-days"),
        QStringLiteral("30")};
    QVERIFY(openssl(
        QStringList{QStringLiteral("req"), QStringLiteral("-config"), QStringLiteral("pki.cnf"),
                    QStringLiteral("-x509"), QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                    QStringLiteral("-out"), QStringLiteral("ca.pem"), QStringLiteral("-subj"),
                    QStringLiteral("/CN=Zindle resume test CA"), QStringLiteral("-addext"),
                    QStringLiteral("basicConstraints=critical,CA:true"), QStringLiteral("-addext"),
                    QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")} +
        key));
    QVERIFY(openssl(
        QStringList{QStringLiteral("req"), QStringLiteral("-config"), QStringLiteral("pki.cnf"),
                    QStringLiteral("-x509"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                    QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-keyout"),
                    QStringLiteral("site.key"), QStringLiteral("-out"), QStringLiteral("site.pem"),
                    QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                    QStringLiteral("-addext"), QStringLiteral("basicConstraints=CA:false"),
                    QStringLiteral("-addext"),
                    QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")} +
        key));
}

void tst_DownloadResume::init()
{
    DownloadWorker::setRetryPauseUnitForTests(TestPauseUnit);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("work")));
}

void tst_DownloadResume::cleanup()
{
    m_dir.reset();
}

void tst_DownloadResume::writeSetup(const QByteArray &engine, quint16 port, quint16 tlsPort)
{
    QVERIFY(TestFiles::writeSetup(
        m_dir->path(), QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))),
        QByteArray(engine).replace("TLSPORT", QByteArray::number(tlsPort)), port,
        "cafile=" + caFile() + "\r\n"));
}

void tst_DownloadResume::run(const QList<ResultRow> &rows, Result *result)
{
    *result = JobRun::download(m_dir->path(), rows, FinishMs);
    QVERIFY(result->finished);
}

QByteArray tst_DownloadResume::read(const char *path) const
{
    return TestFiles::read(m_dir->filePath(QString::fromLatin1(path)));
}

bool tst_DownloadResume::exists(const char *path) const
{
    return QFile::exists(m_dir->filePath(QString::fromLatin1(path)));
}

void tst_DownloadResume::cookiesAndReferer_data()
{
    QTest::addColumn<QByteArray>("engine");
    QTest::addColumn<Files>("plainRoutes"); // request target -> raw response
    QTest::addColumn<Files>("tlsRoutes");
    QTest::addColumn<QByteArrayList>("ids");
    // The exact requests, those of the plain server first; @P@ and @S@ stand
    // for the two ports, @UA@ for the User-Agent.
    QTest::addColumn<QByteArrayList>("requests");

    auto request = [](const QByteArray &host, const QByteArray &target,
                      const QByteArray &referer = {}, const QByteArray &cookie = {}) {
        return "GET " + target + " HTTP/1.0\r\nAccept: */*\r\n" +
               (referer.isEmpty() ? QByteArray() : "Referer: " + referer + "\r\n") +
               "Accept-Language: ja\r\nUser-Agent: @UA@\r\nHost: " + host +
               "\r\nConnection: close\r\n" +
               (cookie.isEmpty() ? QByteArray() : "Cookie: " + cookie + "\r\n") + "\r\n";
    };
    auto redirect = [](const QByteArray &location, const QByteArray &extraHeaders = {}) {
        return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n" + extraHeaders + "\r\n";
    };
    const QByteArray plain = "127.0.0.1:@P@";
    const QByteArray local = "localhost:@P@";
    const QByteArray secure = "127.0.0.1:@S@";
    const QByteArray ids = "ab12";
    // Stage 0's page names stage 1's path, stage 1's page the file's name.
    auto twoStages = [](const QByteArray &stage0, const QByteArray &stage1,
                        const QByteArray &target) {
        return "engine_id::tube\ndowuload_redirect::2\ndownload_url0::" + stage0 +
               "/watch?v=%s\ndownload_key0::href=\"\ndownload_key0_::\"\n"
               "download_url1::" +
               stage1 +
               "%s\ndownload_key1::file: '\ndownload_key1_::'\ndownload_target::" + target +
               "\ndownload_ext::.mp4\n";
    };
    const QByteArray stage0Page = "<html><a href=\"/player/ab12\">play</a></html>";
    const QByteArray stage1Page = "<html>file: 'v7'</html>";

    QTest::newRow("one jar and the Referer along two stages")
        << twoStages("http://127.0.0.1:PORT", "http://127.0.0.1:PORT",
                     "http://127.0.0.1:PORT/watch/get/%s")
        << Files{{"/watch?v=ab12", ok(stage0Page, "Set-Cookie: sess=abc\r\n"
                                                  "Set-Cookie: deep=1; Path=/watch\r\n"
                                                  "Set-Cookie: sec=1; Secure\r\n")},
                 {"/player/ab12", ok(stage1Page, "Set-Cookie: p=2; Path=/player\r\n")},
                 {"/watch/get/v7", ok("video")}}
        << Files{} << QByteArrayList{ids}
        << QByteArrayList{
               request(plain, "/watch?v=ab12"),
               request(plain, "/player/ab12", "http://127.0.0.1:@P@/watch?v=ab12", "sess=abc"),
               request(plain, "/watch/get/v7", "http://127.0.0.1:@P@/player/ab12",
                       "deep=1; sess=abc")};
    // Another origin gets only the page's origin as its Referer.
    QTest::newRow("host-only cookies stay with their host")
        << twoStages("http://127.0.0.1:PORT", "http://localhost:PORT",
                     "http://127.0.0.1:PORT/get/%s")
        << Files{{"/watch?v=ab12", ok(stage0Page, "Set-Cookie: h=1\r\n")},
                 {"/player/ab12", ok(stage1Page, "Set-Cookie: l=2\r\n")},
                 {"/get/v7", ok("video")}}
        << Files{} << QByteArrayList{ids}
        << QByteArrayList{request(plain, "/watch?v=ab12"),
                          request(local, "/player/ab12", "http://127.0.0.1:@P@/"),
                          request(plain, "/get/v7", "http://localhost:@P@/", "h=1")};
    QTest::newRow("the Referer is the page's address after its redirects")
        << twoStages("http://127.0.0.1:PORT", "http://127.0.0.1:PORT",
                     "http://127.0.0.1:PORT/get/%s")
        << Files{{"/watch?v=ab12", redirect("/w2?v=ab12", "Set-Cookie: r=1\r\n")},
                 {"/w2?v=ab12", ok(stage0Page)},
                 {"/player/ab12", ok(stage1Page)},
                 {"/get/v7", redirect("http://127.0.0.1:PORT/cdn/v7")},
                 {"/cdn/v7", ok("video")}}
        << Files{} << QByteArrayList{ids}
        << QByteArrayList{request(plain, "/watch?v=ab12"), request(plain, "/w2?v=ab12", {}, "r=1"),
                          request(plain, "/player/ab12", "http://127.0.0.1:@P@/w2?v=ab12", "r=1"),
                          request(plain, "/get/v7", "http://127.0.0.1:@P@/player/ab12", "r=1"),
                          request(plain, "/cdn/v7", "http://127.0.0.1:@P@/player/ab12", "r=1")};
    // And an https page gives none to an http request.
    QTest::newRow("a Secure cookie never goes over http")
        << twoStages("https://127.0.0.1:TLSPORT", "http://127.0.0.1:PORT",
                     "https://127.0.0.1:TLSPORT/get/%s")
        << Files{{"/player/ab12", ok(stage1Page)}}
        << Files{{"/watch?v=ab12", ok(stage0Page, "Set-Cookie: s=1; Secure\r\n"
                                                  "Set-Cookie: p=2\r\n")},
                 {"/get/v7", ok("video")}}
        << QByteArrayList{ids}
        << QByteArrayList{request(plain, "/player/ab12", {}, "p=2"),
                          request(secure, "/watch?v=ab12"),
                          request(secure, "/get/v7", "http://127.0.0.1:@P@/", "s=1; p=2")};
    QTest::newRow("each row starts without Referer, the cookies stay for the job")
        << NoStageEngine
        << Files{{"/v/ab12.mp4", ok("video", "Set-Cookie: k=1\r\n")}, {"/v/cd34.mp4", ok("video")}}
        << Files{} << QByteArrayList{"ab12", "cd34"}
        << QByteArrayList{request(plain, "/v/ab12.mp4"), request(plain, "/v/cd34.mp4", {}, "k=1")};
}

void tst_DownloadResume::cookiesAndReferer()
{
    QFETCH(QByteArray, engine);
    QFETCH(Files, plainRoutes);
    QFETCH(Files, tlsRoutes);
    QFETCH(QByteArrayList, ids);
    QFETCH(QByteArrayList, requests);

    ScriptedServer plain;
    ScriptedServer secure;
    QVERIFY(plain.start());
    QVERIFY(secure.setTls(QFile::encodeName(m_pki.filePath(QStringLiteral("site.pem"))),
                          QFile::encodeName(m_pki.filePath(QStringLiteral("site.key")))));
    QVERIFY(secure.start());
    const QByteArray port = QByteArray::number(plain.port());
    for (auto it = plainRoutes.cbegin(); it != plainRoutes.cend(); ++it)
        plain.setRoute(it.key(),
                       {Step::send(QByteArray(it.value()).replace("PORT", port)), Step::close()});
    for (auto it = tlsRoutes.cbegin(); it != tlsRoutes.cend(); ++it)
        secure.setRoute(it.key(), {Step::send(it.value()), Step::close()});
    writeSetup(engine, plain.port(), secure.port());

    QList<ResultRow> rows;
    Marks done;
    for (const QByteArray &id : std::as_const(ids)) {
        done.append({int(rows.size()), "o", {}});
        rows.append(makeRow("H", id));
    }
    Result result;
    run(rows, &result);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(result.marks == done, result.errors.constData());

    const QByteArray userAgent = Settings().userAgent();
    for (QByteArray &request : requests)
        request.replace("@P@", port)
            .replace("@S@", QByteArray::number(secure.port()))
            .replace("@UA@", userAgent);
    QCOMPARE(plain.requests() + secure.requests(), requests);
}

void tst_DownloadResume::resume_data()
{
    QTest::addColumn<QByteArray>("part");          // the ".part" before the run; null: none
    QTest::addColumn<QByteArray>("kept");          // its ".part.meta"; null: none
    QTest::addColumn<QByteArrayList>("responses"); // one connection each
    QTest::addColumn<int>("retries");
    QTest::addColumn<QByteArrayList>("ranges"); // "Range:" of each request, "" for none
    QTest::addColumn<QByteArray>("validator");  // the "If-Range:" of each ranged request
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<QByteArray>("partAfter"); // null: none left
    QTest::addColumn<QByteArrayList>("lines"); // the resume, retry and failure lines

    const QByteArray &v = video();
    const QByteArray none;
    const QByteArray tag = "\"v1\"";
    const QByteArray date = "Tue, 01 Oct 2024 10:00:00 GMT";
    auto restart = [](int offset, int status) {
        return "cannot resume at " + QByteArray::number(offset) + " (HTTP status " +
               QByteArray::number(status) + "): starting over";
    };
    auto unchecked = [](int offset) {
        return "cannot resume at " + QByteArray::number(offset) +
               " (no validator kept): starting over";
    };
    const QByteArray shortBody = "retry 1/1: body ended short (-25)";

    QTest::newRow("206 is appended")
        << v.left(600) << Kept1000 << QByteArrayList{partial(600)} << 0
        << QByteArrayList{"bytes=600-"} << tag << QByteArray("o") << none << QByteArrayList{};
    // The server's copy changed between the runs: If-Range makes it answer
    // with the whole new video, never its tail after the old head.
    QTest::newRow("200 to If-Range starts over")
        << QByteArray(600, 'z') << Kept1000 << QByteArrayList{whole()} << 0
        << QByteArrayList{"bytes=600-"} << tag << QByteArray("o") << none << QByteArrayList{};
    QTest::newRow("416 with the part's size completes it")
        << v << Kept1000
        << QByteArrayList{status(416, "Range Not Satisfiable", "Content-Range: bytes */1000\r\n")}
        << 0 << QByteArrayList{"bytes=1000-"} << tag << QByteArray("o") << none << QByteArrayList{};
    QTest::newRow("empty part: no range asked")
        << QByteArray("") << QByteArray() << QByteArrayList{whole()} << 0 << QByteArrayList{""}
        << tag << QByteArray("o") << none << QByteArrayList{};

    // Nothing to check the server's copy against: the part is not trusted.
    QTest::newRow("no validator kept: starts over")
        << v.left(600) << QByteArray() << QByteArrayList{whole()} << 0 << QByteArrayList{""} << tag
        << QByteArray("o") << none << QByteArrayList{unchecked(600)};
    QTest::newRow("a kept file without validator: starts over")
        << v.left(600) << QByteArray("length 1000\n") << QByteArrayList{whole()} << 0
        << QByteArrayList{""} << tag << QByteArray("o") << none << QByteArrayList{unchecked(600)};
    QTest::newRow("a validator with a line break is not kept")
        << v.left(600) << QByteArray("validator \"v1\r\nlength 1000\n") << QByteArrayList{whole()}
        << 0 << QByteArrayList{""} << tag << QByteArray("o") << none
        << QByteArrayList{unchecked(600)};
    QTest::newRow("a part longer than the kept length starts over")
        << QByteArray(v + "extra") << Kept1000 << QByteArrayList{whole()} << 0 << QByteArrayList{""}
        << tag << QByteArray("o") << none
        << QByteArrayList{"cannot resume at 1005 (it is longer than the video): starting over"};
    QTest::newRow("a weak ETag is not kept")
        << none << QByteArray() << QByteArrayList{cut(600, "ETag: W/\"w1\"\r\n"), whole()} << 1
        << QByteArrayList{"", ""} << tag << QByteArray("o") << none
        << QByteArrayList{shortBody, unchecked(600)};
    QTest::newRow("Last-Modified is kept when there is no ETag")
        << none << QByteArray()
        << QByteArrayList{cut(600, "Last-Modified: " + date + "\r\n"),
                          range(600, 999, 1000, "Last-Modified: " + date + "\r\n")}
        << 1 << QByteArrayList{"", "bytes=600-"} << date << QByteArray("o") << none
        << QByteArrayList{shortBody};

    // A part that the server's answer does not continue is dropped.
    QTest::newRow("416 of another size starts over")
        << v.left(600) << Kept1000
        << QByteArrayList{status(416, "Range Not Satisfiable", "Content-Range: bytes */1000\r\n"),
                          whole()}
        << 0 << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 416)};
    QTest::newRow("206 from another start starts over")
        << v.left(600) << Kept1000 << QByteArrayList{partial(0), whole()} << 0
        << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("206 without Content-Range starts over")
        << v.left(600) << Kept1000
        << QByteArrayList{"HTTP/1.0 206 Partial Content\r\nContent-Length: 400\r\n\r\n" +
                              v.mid(600),
                          whole()}
        << 0 << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("206 of another total starts over")
        << v.left(600) << Kept1000 << QByteArrayList{range(600, 999, 2000), whole()} << 0
        << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("206 naming another ETag starts over")
        << v.left(600) << Kept1000
        << QByteArrayList{range(600, 999, 1000, "ETag: \"v2\"\r\n"), whole()} << 0
        << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("206 past the total starts over")
        << v.left(600) << Kept1000
        << QByteArrayList{"HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 600-1099/1000\r\n"
                          "Content-Length: 500\r\n\r\n" +
                              v.mid(600) + QByteArray(100, 'j'),
                          whole()}
        << 0 << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("206 whose length is not its range's starts over")
        << v.left(600) << Kept1000
        << QByteArrayList{"HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 600-999/1000\r\n"
                          "Content-Length: 500\r\n\r\n" +
                              v.mid(600) + QByteArray(100, 'j'),
                          whole()}
        << 0 << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("o") << none
        << QByteArrayList{restart(600, 206)};
    QTest::newRow("fail: refused, then 404: the part stays")
        << v.left(600) << Kept1000
        << QByteArrayList{status(404, "Not Found"), status(404, "Not Found")} << 3
        << QByteArrayList{"bytes=600-", ""} << tag << QByteArray("x") << v.left(600)
        << QByteArrayList{restart(600, 404), "download failed: HTTP status 404"};

    // A range shorter than asked for is continued, never taken as the end.
    QTest::newRow("a short range is asked again from where it ended")
        << v.left(100) << Kept1000 << QByteArrayList{range(100, 199), range(200, 999)} << 0
        << QByteArrayList{"bytes=100-", "bytes=200-"} << tag << QByteArray("o") << none
        << QByteArrayList{"range ended at 200 of 1000: asking for the rest"};
    QTest::newRow("a range without length is cut at its end")
        << v.left(600) << Kept1000
        << QByteArrayList{"HTTP/1.0 206 Partial Content\r\n" + Tag +
                              "Content-Range: bytes 600-799/1000\r\n\r\n" + v.mid(600, 200) +
                              QByteArray(200, 'j'),
                          partial(800)}
        << 0 << QByteArrayList{"bytes=600-", "bytes=800-"} << tag << QByteArray("o") << none
        << QByteArrayList{"range ended at 800 of 1000: asking for the rest"};
    QTest::newRow("fail: a 206 cut short keeps what came")
        << v.left(600) << Kept1000 << QByteArrayList{partial(600, 100)} << 0
        << QByteArrayList{"bytes=600-"} << tag << QByteArray("x") << v.left(700)
        << QByteArrayList{"download failed: body ended short (-25)"};
    QTest::newRow("a retry resumes a body cut short")
        << none << QByteArray() << QByteArrayList{cut(600), partial(600)} << 1
        << QByteArrayList{"", "bytes=600-"} << tag << QByteArray("o") << none
        << QByteArrayList{shortBody};
    QTest::newRow("a retry resumes a resumed body cut short")
        << v.left(300) << Kept1000 << QByteArrayList{partial(300, 200), partial(500)} << 1
        << QByteArrayList{"bytes=300-", "bytes=500-"} << tag << QByteArray("o") << none
        << QByteArrayList{shortBody};
    QTest::newRow("a retry where the server ignores the range")
        << none << QByteArray() << QByteArrayList{cut(600), whole()} << 1
        << QByteArrayList{"", "bytes=600-"} << tag << QByteArray("o") << none
        << QByteArrayList{shortBody};
}

void tst_DownloadResume::resume()
{
    QFETCH(QByteArray, part);
    QFETCH(QByteArray, kept);
    QFETCH(QByteArrayList, responses);
    QFETCH(int, retries);
    QFETCH(QByteArrayList, ranges);
    QFETCH(QByteArray, validator);
    QFETCH(QByteArray, mark);
    QFETCH(QByteArray, partAfter);
    QFETCH(QByteArrayList, lines);

    ScriptedServer server;
    queue(server, responses);
    QVERIFY(server.start());
    writeSetup(NoStageEngine + "dowuload_retry::" + QByteArray::number(retries) + '\n',
               server.port());
    if (!part.isNull())
        QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part")), part));
    if (!kept.isNull())
        QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part.meta")),
                                 kept));

    Result result;
    run({makeRow("x", "ab12")}, &result);
    if (QTest::currentTestFailed())
        return;
    const QByteArray url = mark == "x" ? server.url("/v/ab12.mp4") : QByteArray();
    QCOMPARE(result.marks, (Marks{{0, mark, reasonOf(mark, lines), url}}));
    QCOMPARE(requestHeaders(server.requests(), "Range"), ranges);
    QByteArrayList ifRanges;
    for (const QByteArray &asked : std::as_const(ranges))
        ifRanges.append(asked.isEmpty() ? QByteArray() : validator);
    QCOMPARE(requestHeaders(server.requests(), "If-Range"), ifRanges);
    QCOMPARE(
        linesStarting(result.errors, {"cannot resume", "range ended", "retry ", "download failed"}),
        lines);
    if (mark == "o") {
        QCOMPARE(result.progress, 100);
        QVERIFY(read("work/tube/ab12.mp4") == video());
        QCOMPARE(read("work/tube/ab12.txt"), QByteArray("t::Title ab12\n"));
        QVERIFY(!exists("work/tube/ab12.mp4.part.meta"));
    } else {
        QVERIFY(!exists("work/tube/ab12.mp4"));
    }
    QCOMPARE(exists("work/tube/ab12.mp4.part"), !partAfter.isNull());
    if (!partAfter.isNull()) {
        QVERIFY(read("work/tube/ab12.mp4.part") == partAfter);
        QCOMPARE(read("work/tube/ab12.mp4.part.meta"), Kept1000);
    }
}

void tst_DownloadResume::progressCountsTheWholeVideo()
{
    // 600 bytes on disk, then 100 + 100 of the remaining 400: 80 %, not 50 %.
    const QByteArray response = partial(600);
    const qsizetype headerSize = response.size() - 400;
    ScriptedServer server;
    server.addResponse({Step::send(response.left(headerSize + 100)), Step::pause(200),
                        Step::send(response.mid(headerSize + 100, 100)), Step::await(),
                        Step::send(response.mid(headerSize + 200)), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part")),
                             video().left(600)));
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part.meta")),
                             Kept1000));

    Settings settings(m_dir->path());
    StderrCapture capture;
    DownloadWorker job(&settings, {makeRow("H", "ab12")});
    QTRY_COMPARE(job.progress.load(), 80);
    server.proceed();
    QVERIFY(job.waitFinished(FinishMs));
    QCOMPARE(job.takeMarks(), (Marks{{0, "o", {}}}));
    QVERIFY(read("work/tube/ab12.mp4") == video());
}

void tst_DownloadResume::retries_data()
{
    QTest::addColumn<QByteArray>("retryLine"); // null: no "dowuload_retry::" line
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArrayList>("responses");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<int>("pauseUnits"); // the least time the run took, in pause units

    const QByteArray target = "http://127.0.0.1:PORT/v/%s.mp4";
    const QByteArray shortBody = "body ended short (-25)";

    QTest::newRow("no key: one try")
        << QByteArray() << target << QByteArrayList{cut(600)} << 1 << QByteArray("x")
        << QByteArrayList{"download failed: " + shortBody} << 0;
    QTest::newRow("the second try completes")
        << QByteArray("2") << target << QByteArrayList{cut(600), partial(600)} << 2
        << QByteArray("o") << QByteArrayList{"retry 1/2: " + shortBody} << 1;
    QTest::newRow("fail: tries used up")
        << QByteArray("2") << target
        << QByteArrayList{cut(600), partial(600, 100), partial(700, 100)} << 3 << QByteArray("x")
        << QByteArrayList{"retry 1/2: " + shortBody, "retry 2/2: " + shortBody,
                          "download failed: " + shortBody}
        << 1 + 2;
    QTest::newRow("each retry resumes where the last try stopped")
        << QByteArray("7") << target
        << QByteArrayList{cut(100),          partial(100, 100), partial(200, 100),
                          partial(300, 100), partial(400, 100), partial(500, 100),
                          partial(600, 100), partial(700)}
        << 8 << QByteArray("o")
        << QByteArrayList{"retry 1/7: " + shortBody, "retry 2/7: " + shortBody,
                          "retry 3/7: " + shortBody, "retry 4/7: " + shortBody,
                          "retry 5/7: " + shortBody, "retry 6/7: " + shortBody,
                          "retry 7/7: " + shortBody}
        << 1 + 2 + 4 + 8 + 16 + 30 + 30;
    // An empty response: the server closes before it answers.
    QTest::newRow("no answer: network error")
        << QByteArray("1") << target << QByteArrayList{QByteArray(), whole()} << 2
        << QByteArray("o") << QByteArrayList{"retry 1/1: network error -4"} << 1;
    QTest::newRow("fail: no answer, tries used up")
        << QByteArray("1") << target << QByteArrayList{QByteArray(), QByteArray()} << 2
        << QByteArray("x")
        << QByteArrayList{"retry 1/1: network error -4", "download failed: network error -4"} << 1;
    QTest::newRow("fail: a status is not retried")
        << QByteArray("3") << target << QByteArrayList{status(404, "Not Found")} << 1
        << QByteArray("x") << QByteArrayList{"download failed: HTTP status 404"} << 0;
    QTest::newRow("fail: a malformed address is not retried")
        << QByteArray("3") << QByteArray("http:/nohost/%s") << QByteArrayList{} << 0
        << QByteArray("x") << QByteArrayList{"download failed: network error -1"} << 0;
    // Ten at most, whatever the engine file says (the engine warns when it is loaded).
    QTest::newRow("fail: more than ten is ten")
        << QByteArray("1000") << target << QByteArrayList(11, QByteArray()) << 11 << QByteArray("x")
        << QByteArrayList{"retry 1/10: network error -4",     "retry 2/10: network error -4",
                          "retry 3/10: network error -4",     "retry 4/10: network error -4",
                          "retry 5/10: network error -4",     "retry 6/10: network error -4",
                          "retry 7/10: network error -4",     "retry 8/10: network error -4",
                          "retry 9/10: network error -4",     "retry 10/10: network error -4",
                          "download failed: network error -4"}
        << 1 + 2 + 4 + 8 + 16 + 30 * 5;
    QTest::newRow("fail: a negative count is none")
        << QByteArray("-2") << target << QByteArrayList{cut(600)} << 1 << QByteArray("x")
        << QByteArrayList{"download failed: " + shortBody} << 0;
}

void tst_DownloadResume::retries()
{
    QFETCH(QByteArray, retryLine);
    QFETCH(QByteArray, target);
    QFETCH(QByteArrayList, responses);
    QFETCH(int, requests);
    QFETCH(QByteArray, mark);
    QFETCH(QByteArrayList, lines);
    QFETCH(int, pauseUnits);

    ScriptedServer server;
    queue(server, responses);
    QVERIFY(server.start());
    QByteArray engine = "engine_id::tube\ndownload_target::" + target + "\ndownload_ext::.mp4\n";
    if (!retryLine.isNull())
        engine += "dowuload_retry::" + retryLine + '\n';
    writeSetup(engine, server.port());

    QElapsedTimer timer;
    timer.start();
    Result result;
    run({makeRow("H", "ab12")}, &result);
    const qint64 elapsed = timer.elapsed();
    if (QTest::currentTestFailed())
        return;
    const QByteArray url =
        QByteArray(target).replace("PORT", QByteArray::number(server.port())).replace("%s", "ab12");
    QCOMPARE(result.marks, (Marks{{0, mark, reasonOf(mark, lines), mark == "x" ? url : ""}}));
    QCOMPARE(server.connectionCount(), requests);
    QCOMPARE(linesStarting(result.errors, {"engine ", "retry ", "download failed"}), lines);
    QVERIFY2(elapsed >= pauseUnits * TestPauseUnit.count(), QByteArray::number(elapsed));
    if (mark == "o")
        QVERIFY(read("work/tube/ab12.mp4") == video());
}

void tst_DownloadResume::retryPause_data()
{
    QTest::addColumn<int>("retry");
    QTest::addColumn<int>("seconds");

    QTest::newRow("first") << 1 << 1;
    QTest::newRow("second") << 2 << 2;
    QTest::newRow("third") << 3 << 4;
    QTest::newRow("fifth") << 5 << 16;
    QTest::newRow("sixth: capped") << 6 << 30;
    QTest::newRow("far on: capped") << 1000 << 30;
}

void tst_DownloadResume::retryPause()
{
    QFETCH(int, retry);
    QFETCH(int, seconds);

    DownloadWorker::setRetryPauseUnitForTests(1000ms);
    QCOMPARE(DownloadWorker::retryPause(retry), std::chrono::milliseconds(seconds * 1000));
}

void tst_DownloadResume::stopDuringPause()
{
    DownloadWorker::setRetryPauseUnitForTests(10s);
    ScriptedServer server;
    queue(server, {cut(600)});
    server.setFallback({Step::send(ok("unexpected")), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine + "dowuload_retry::3\n", server.port());

    Settings settings(m_dir->path());
    StderrCapture capture;
    auto job = std::make_unique<DownloadWorker>(
        &settings, QList<ResultRow>{makeRow("H", "ab12"), makeRow("H", "cd34")});
    QTRY_VERIFY(capture.text().contains("retry 1/3: body ended short (-25)\n"));
    QElapsedTimer timer;
    timer.start();
    job->requestStop();
    QVERIFY(job->waitFinished(FinishMs));
    // Far less than the ten seconds of the pause.
    QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));

    // The row fails, keeps its ".part", and the run ends there.
    QCOMPARE(job->takeMarks(), (Marks{{0, "x", "stopped", server.url("/v/ab12.mp4")}}));
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(read("work/tube/ab12.mp4.part") == video().left(600));
}

// Two runs of zindle-cli download: the first is cut off in the middle of the
// body, the second asks for the rest and completes the video.
void tst_DownloadResume::cutDownloadFinishesOnNextRun()
{
    ScriptedServer server;
    queue(server, {cut(600), partial(600)});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());
    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "ab12"))));

    auto download = [this](int exitCode, const QByteArray &line) {
        const CliRun::Result cli =
            CliRun::run(m_dir->path(), {QStringLiteral("download")}, FinishMs);
        QVERIFY(cli.finished);
        const QByteArray &errors = cli.err;
        QVERIFY2(cli.exitCode == exitCode, errors.constData());
        QCOMPARE(cli.out, line);
    };

    download(1, "ab12 x body ended short (-25) " + server.url("/v/ab12.mp4") + '\n');
    if (QTest::currentTestFailed())
        return;
    QVERIFY(read("work/tube/ab12.mp4.part") == video().left(600));
    QCOMPARE(TestFiles::read(listPath), listLine(makeRow("x", "ab12")));

    download(0, "ab12 o\n");
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(requestHeaders(server.requests(), "Range"), (QByteArrayList{"", "bytes=600-"}));
    QCOMPARE(requestHeaders(server.requests(), "If-Range"), (QByteArrayList{"", "\"v1\""}));
    QVERIFY(!exists("work/tube/ab12.mp4.part.meta"));
    QVERIFY(read("work/tube/ab12.mp4") == video());
    QVERIFY(!exists("work/tube/ab12.mp4.part"));
    QCOMPARE(read("work/tube/ab12.txt"), QByteArray("t::Title ab12\n"));
    // A done row leaves the saved list.
    QCOMPARE(TestFiles::read(listPath), QByteArray("\r\n"));
}

// Another zindle-cli holds the lock on a ".part": this job passes the row
// over with its mark unchanged, touches neither file, and goes on.
void tst_DownloadResume::partInUseByAnotherProcess()
{
    ScriptedServer server;
    server.setRoute("/v/cd34.mp4", {Step::send(whole()), Step::close()});
    server.setFallback({Step::send(whole()), Step::close()});
    QVERIFY(server.start());
    writeSetup(NoStageEngine, server.port());
    const QString partPath = m_dir->filePath(QStringLiteral("work/tube/ab12.mp4.part"));
    QVERIFY(TestFiles::write(partPath, video().left(600)));
    QVERIFY(TestFiles::write(partPath + QStringLiteral(".meta"), Kept1000));

    // A lock of its own, as the other process holds it: flock() locks
    // conflict between open files, whichever process holds them.
    const QStringList lockArgs = {QStringLiteral("-c"),
                                  QStringLiteral("import fcntl, sys, time\n"
                                                 "f = open(sys.argv[1], 'ab')\n"
                                                 "fcntl.flock(f, fcntl.LOCK_EX)\n"
                                                 "print('locked', flush=True)\n"
                                                 "time.sleep(60)\n"),
                                  partPath};
    QProcess other;
    other.start(QStringLiteral("python3"), lockArgs);
    while (!other.canReadLine() && other.waitForReadyRead(FinishMs)) {
    }
    QCOMPARE(other.readLine(), QByteArray("locked\n"));

    Result result;
    run({makeRow("H", "ab12"), makeRow("x", "cd34")}, &result);
    other.kill();
    other.waitForFinished();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(result.marks, (Marks{{0, "H", "in use by another Zindle"}, {1, "o", {}}}));
    QVERIFY(result.errors.contains("in use by another Zindle\n"));
    QCOMPARE(requestHeaders(server.requests(), "Host").size(), 1);
    QVERIFY(read("work/tube/ab12.mp4.part") == video().left(600));
    QCOMPARE(read("work/tube/ab12.mp4.part.meta"), Kept1000);
    QVERIFY(!exists("work/tube/ab12.mp4"));
    QVERIFY(read("work/tube/cd34.mp4") == video());
}

// A site that refuses its file without the watch page's cookie and Referer,
// over https with the test CA as cafile.
void tst_DownloadResume::guardedSiteOverHttps()
{
    const QByteArray file = randomBytes(300000, 8);
    const QString script = m_dir->filePath(QStringLiteral("site.py"));
    const QString videoFile = m_dir->filePath(QStringLiteral("video.bin"));
    QVERIFY(TestFiles::write(script, GuardedSite));
    QVERIFY(TestFiles::write(videoFile, file));

    PeerProcess site;
    QVERIFY2(site.startAnnounced(QStringLiteral("python3"),
                                 {script, m_pki.filePath(QStringLiteral("site.pem")),
                                  m_pki.filePath(QStringLiteral("site.key")), videoFile},
                                 QByteArray(), FinishMs),
             qPrintable(site.failure()));

    writeSetup("engine_id::tube\n"
               "dowuload_redirect::2\n"
               "download_url0::https://127.0.0.1:PORT/embed/%s\n"
               "download_key0::href=\"\n"
               "download_key0_::\"\n"
               "download_url1::https://127.0.0.1:PORT%s\n"
               "download_key1::file: '\n"
               "download_key1_::'\n"
               "download_target::https://127.0.0.1:PORT/media/%s\n"
               "download_ext::.mp4\n",
               site.port());
    Result result;
    run({makeRow("H", "ab12")}, &result);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(result.marks == (Marks{{0, "o", {}}}), result.errors.constData());
    QVERIFY(read("work/tube/ab12.mp4") == file);
    QCOMPARE(read("work/tube/ab12.txt"), QByteArray("t::Title ab12\n"));
}

QTEST_GUILESS_MAIN(tst_DownloadResume)
#include "tst_downloadresume.moc"
