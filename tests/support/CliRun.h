#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>

// Runs zindle-cli (or another program) to its end in a directory and
// collects what it did.
//
//     const CliRun::Result run = CliRun::run(dir, {QStringLiteral("engines")});
//     QVERIFY(run.finished);
//     QCOMPARE(run.exitCode, 0);
namespace CliRun {

constexpr int DefaultTimeoutMs = 60000;

struct Options
{
    // Empty: the test's own environment.
    QProcessEnvironment environment;
    // Runs in the child before the program (resource limits and the like).
    std::function<void()> childModifier;
};

struct Result
{
    // False when the program did not start, or did not end in time and was
    // killed; a line saying so ends err.
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    // -1 unless the program ended normally.
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The installed program of that name: /usr/sbin and /usr/bin first
// (tinyproxy lives in sbin, which is not always on PATH), then PATH.
// Empty when there is none.
QString findProgram(const QString &name);

// Runs ZINDLE_CLI with the arguments in the directory.
Result run(const QString &dir, const QStringList &arguments, int timeoutMs = DefaultTimeoutMs,
           const Options &options = {});
// Runs the program (a path, or a name for findProgram()) the same way.
Result runProgram(const QString &program, const QString &dir, const QStringList &arguments,
                  int timeoutMs = DefaultTimeoutMs, const Options &options = {});

} // namespace CliRun
