#include "PeerProcess.h"

#include "CliRun.h"
#include "LocalPorts.h"
#include "TestFiles.h"

#include <QDeadlineTimer>
#include <QFile>

namespace {

// Between two looks at the port; the wait also notices the program's end.
constexpr int PollMs = 5;

} // namespace

PeerProcess::~PeerProcess()
{
    stop();
}

bool PeerProcess::launch(const QString &program, const QStringList &arguments)
{
    stop();
    m_failure.clear();
    m_standardError.clear();
    m_port = 0;
    m_program = program;
    const QString path = CliRun::findProgram(program);
    if (path.isEmpty()) {
        m_failure = program + QStringLiteral(" not installed (scripts/test installs it)");
        return false;
    }
    m_process.start(path, arguments);
    if (!m_process.waitForStarted())
        return fail(QStringLiteral("did not start: ") + m_process.errorString());
    return true;
}

bool PeerProcess::fail(const QString &why)
{
    const QByteArray output = m_process.readAllStandardOutput();
    m_standardError += m_process.readAllStandardError();
    m_failure = m_program + QLatin1Char(' ') + why;
    if (!output.isEmpty() || !m_standardError.isEmpty())
        m_failure += QStringLiteral(": ") + QString::fromLocal8Bit(output + m_standardError);
    stop();
    return false;
}

bool PeerProcess::start(const QString &program, const QStringList &arguments, quint16 port,
                        int timeoutMs)
{
    if (!launch(program, arguments))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (LocalPorts::accepts(port)) {
            m_port = port;
            return true;
        }
        if (m_process.state() == QProcess::NotRunning)
            return fail(QStringLiteral("ended"));
        if (deadline.hasExpired())
            return fail(
                QStringLiteral("did not listen on port %1 within %2 ms").arg(port).arg(timeoutMs));
        m_process.waitForFinished(PollMs);
    }
}

bool PeerProcess::startAnnounced(const QString &program, const QStringList &arguments,
                                 const QByteArray &prefix, int timeoutMs)
{
    if (!launch(program, arguments))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (m_process.state() == QProcess::NotRunning)
            return fail(QStringLiteral("ended"));
        if (deadline.hasExpired())
            return fail(QStringLiteral("named no port within %1 ms").arg(timeoutMs));
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    const QByteArray line = m_process.readLine();
    bool ok = false;
    const quint16 port =
        line.startsWith(prefix) ? line.mid(prefix.size()).trimmed().toUShort(&ok) : 0;
    if (!ok || port == 0)
        return fail(QStringLiteral("named no port: ") + QString::fromLocal8Bit(line));
    m_port = port;
    return true;
}

bool PeerProcess::startHttpServer(const QString &directory, int timeoutMs)
{
    const quint16 port = LocalPorts::freePort();
    return start(QStringLiteral("python3"),
                 {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"),
                  QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), directory,
                  QString::number(port)},
                 port, timeoutMs);
}

bool PeerProcess::startTinyproxy(const QString &configPath, const QString &logPath, int timeoutMs)
{
    const quint16 port = LocalPorts::freePort();
    if (!TestFiles::write(configPath, "Port " + QByteArray::number(port) +
                                          "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\n"
                                          "MaxClients 10\nLogLevel Connect\nLogFile \"" +
                                          QFile::encodeName(logPath) + "\"\n")) {
        m_failure = QStringLiteral("cannot write ") + configPath;
        return false;
    }
    return start(QStringLiteral("tinyproxy"),
                 {QStringLiteral("-d"), QStringLiteral("-c"), configPath}, port, timeoutMs);
}

void PeerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished();
}

QByteArray PeerProcess::baseUrl() const
{
    return "http://127.0.0.1:" + QByteArray::number(m_port);
}

QByteArray PeerProcess::standardError()
{
    m_standardError += m_process.readAllStandardError();
    return m_standardError;
}
