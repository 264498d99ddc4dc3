#include "TestFiles.h"
#include "app/ResultCode.h"
#include "net/HttpClient.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int FileSize = 4 * 1024 * 1024 + 123;
constexpr int StartTimeoutMs = 20000;

// A port on 127.0.0.1 that nobody listens on right now.
quint16 freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool accepts(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

QString findProgram(const QString &name)
{
    const QString system = QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    return system.isEmpty() ? QStandardPaths::findExecutable(name) : system;
}

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
    void startServer(QProcess &process, const QString &program, const QStringList &arguments,
                     quint16 port);

    QTemporaryDir m_dir;
    QByteArray m_file;
    QProcess m_httpServer;
    QProcess m_proxy;
    quint16 m_httpPort = 0;
    quint16 m_proxyPort = 0;
};

void tst_HttpE2e::startServer(QProcess &process, const QString &program,
                              const QStringList &arguments, quint16 port)
{
    QVERIFY2(!program.isEmpty(), "peer program not installed (scripts/test installs it)");
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(program));
    QTRY_VERIFY_WITH_TIMEOUT(accepts(port) || process.state() == QProcess::NotRunning,
                             StartTimeoutMs);
    QVERIFY2(process.state() == QProcess::Running,
             qPrintable(program + QStringLiteral(" ended: ") +
                        QString::fromLocal8Bit(process.readAll())));
}

void tst_HttpE2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_file.resize(FileSize);
    QRandomGenerator generator(20240601);
    for (char &byte : m_file)
        byte = char(generator.bounded(256));
    QVERIFY(TestFiles::write(m_dir.filePath(QStringLiteral("www/video.bin")), m_file));

    m_httpPort = freePort();
    startServer(m_httpServer, findProgram(QStringLiteral("python3")),
                {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"),
                 QStringLiteral("127.0.0.1"), QStringLiteral("--directory"),
                 m_dir.filePath(QStringLiteral("www")), QString::number(m_httpPort)},
                m_httpPort);

    m_proxyPort = freePort();
    const QString config = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
    QVERIFY(TestFiles::write(
        config, "Port " + QByteArray::number(m_proxyPort) +
                    "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\n"
                    "MaxClients 10\nLogLevel Connect\nLogFile \"" +
                    QFile::encodeName(m_dir.filePath(QStringLiteral("tinyproxy.log"))) + "\"\n"));
    startServer(m_proxy, findProgram(QStringLiteral("tinyproxy")),
                {QStringLiteral("-d"), QStringLiteral("-c"), config}, m_proxyPort);
}

void tst_HttpE2e::cleanupTestCase()
{
    for (QProcess *process : {&m_proxy, &m_httpServer}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
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
        client.setProxy(proxy, m_proxyPort);
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(m_httpPort) + "/video.bin";

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
    QVERIFY(TestFiles::write(
        work + QStringLiteral("/z_user.ini"),
        "[settings]\nproxy=127.0.0.1\nport=" + QByteArray::number(m_proxyPort) + "\ntimeout=0\n"));
    const QString output = work + QStringLiteral("/video.bin");
    const QString url = QStringLiteral("http://127.0.0.1:%1/video.bin?via=cli").arg(m_httpPort);

    QProcess cli;
    cli.setWorkingDirectory(work);
    cli.start(QStringLiteral(ZINDLE_CLI),
              {QStringLiteral("get"), url, QStringLiteral("-o"), output});
    QVERIFY(cli.waitForFinished(60000));
    const QByteArray diagnostics = cli.readAllStandardError();
    QCOMPARE(cli.exitCode(), 0);
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
