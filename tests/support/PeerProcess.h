#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// A peer program of the tests (Python's http.server, tinyproxy, a Python
// script of the test) listening on 127.0.0.1. The object owns the process
// and kills it when it goes, so that no server outlives a failed test.
//
//     PeerProcess site;
//     QVERIFY2(site.startHttpServer(directory), qPrintable(site.failure()));
//     ... client.get(site.baseUrl() + "/page.html") ...
class PeerProcess
{
public:
    static constexpr int StartTimeoutMs = 20000;

    PeerProcess() = default;
    ~PeerProcess(); // stops
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Starts the program (a path, or a name for CliRun::findProgram()) and
    // waits until it accepts connections on the port. False when it is not
    // installed or does not start, ends first, or does not listen within
    // timeoutMs; failure() then says why, and the program is stopped.
    bool start(const QString &program, const QStringList &arguments, quint16 port,
               int timeoutMs = StartTimeoutMs);
    // Starts a program that picks its own port and names it in the first
    // line of its standard output: the prefix, then the number.
    bool startAnnounced(const QString &program, const QStringList &arguments,
                        const QByteArray &prefix, int timeoutMs = StartTimeoutMs);
    // python3 -m http.server on a free port, serving the directory.
    bool startHttpServer(const QString &directory, int timeoutMs = StartTimeoutMs);
    // tinyproxy on a free port, taking clients from 127.0.0.1 only and logging
    // every connection to logPath; its configuration is written to configPath.
    bool startTinyproxy(const QString &configPath, const QString &logPath,
                        int timeoutMs = StartTimeoutMs);
    // Kills the program and waits for its end.
    void stop();

    quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT"
    QByteArray baseUrl() const;
    QString failure() const { return m_failure; }
    // What the program wrote to standard error so far; all of it once stopped.
    QByteArray standardError();

private:
    bool launch(const QString &program, const QStringList &arguments);
    // Records why the start failed, with what the program printed, and stops it.
    bool fail(const QString &why);

    QProcess m_process;
    QString m_program;
    QString m_failure;
    QByteArray m_standardError;
    quint16 m_port = 0;
};
