#include "CliRun.h"
#include "PeerProcess.h"
#include "TestFiles.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <QtTest>

namespace {

constexpr int FileSize = 4 * 1024 * 1024 + 123;

} // namespace

// The client against real peers: Python's http.server, directly and through
// tinyproxy, and zindle-cli get through the same proxy.
class tst_HttpE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void fetch_data();
    void fetch();
    void cliGet();

private:
    QTemporaryDir m_dir;
    QByteArray m_file;
    PeerProcess m_httpServer;
    PeerProcess m_proxy;
};

void tst_HttpE2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_file = TestFiles::randomBytes(FileSize, 20240601);
    QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("www/video.bin")), m_file));

    QVERIFY2(m_httpServer.startHttpServer(m_dir.filePath(QStringLiteral("www"))),
             qPrintable(m_httpServer.failure()));
    QVERIFY2(m_proxy.startTinyproxy(m_dir.filePath(QStringLiteral("tinyproxy.conf")),
                                    m_dir.filePath(QStringLiteral("tinyproxy.log"))),
             qPrintable(m_proxy.failure()));
}

void tst_HttpE2e::cleanupTestCase()
{
    m_proxy.stop();
    m_httpServer.stop();
}

void tst_HttpE2e::fetch_data()
{
    QTest::addColumn<QByteArray>("proxy");

    QTest::newRow("direct, explicit port") << QByteArray();
    QTest::newRow("through tinyproxy by name") << QByteArray("localhost");
}

void tst_HttpE2e::fetch()
{
    QFETCH(QByteArray, proxy);

    HttpClient client;
    client.setTimeout(10000);
    client.setUserAgent("zindle-test");
    if (!proxy.isEmpty())
        client.setProxy(proxy, m_proxy.port());
    const QByteArray url = m_httpServer.baseUrl() + "/video.bin";

    int code = client.get(url);
    QVERIFY2(code >= 0, qPrintable(QString::number(code)));
    client.setBinaryMode(true);
    QByteArray body;
    while ((code = client.receive()) == ResultCode::ReceiveAgain) {
        if (client.bufferedBytes() > 32768) {
            body += client.view();
            client.clearBuffer();
        }
    }
    body += client.view();
    QCOMPARE(code, int(ResultCode::BodyComplete));
    QCOMPARE(client.statusCode(), 200);
    QCOMPARE(client.contentLength(), qint64(FileSize));
    QCOMPARE(client.receivedBytes(), qint64(FileSize));
    QVERIFY(body == m_file);
}

void tst_HttpE2e::cliGet()
{
    const QString work = m_dir.filePath(QStringLiteral("cli"));
    QVERIFY(TestFiles::write(work + QStringLiteral("/z_user.ini"),
                             "[settings]\nproxy=127.0.0.1\nport=" +
                                 QByteArray::number(m_proxy.port()) + "\ntimeout=0\n"));
    const QString output = work + QStringLiteral("/video.bin");
    const QString url = QString::fromLatin1(m_httpServer.baseUrl() + "/video.bin?via=cli");

    const CliRun::Result cli =
        CliRun::run(work, {QStringLiteral("get"), url, QStringLiteral("-o"), output});
    QVERIFY(cli.finished);
    const QByteArray &diagnostics = cli.err;
    QCOMPARE(cli.exitCode, 0);
    const QByteArray line = "status=200 length=" + QByteArray::number(FileSize) +
                            " received=" + QByteArray::number(FileSize) + " code=2\n";
    QVERIFY2(diagnostics.endsWith(line), diagnostics.constData());
    QVERIFY(TestFiles::read(output) == m_file);
    // The request went through the proxy named in z_user.ini.
    QTRY_VERIFY(TestFiles::read(m_dir.filePath(QStringLiteral("tinyproxy.log")))
                    .contains("/video.bin?via=cli"));
}

QTEST_GUILESS_MAIN(tst_HttpE2e)
#include "tst_http_e2e.moc"
