#include "CliRun.h"

#include <QStandardPaths>

QString CliRun::findProgram(const QString &name)
{
    const QString system = QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    return system.isEmpty() ? QStandardPaths::findExecutable(name) : system;
}

CliRun::Result CliRun::run(const QString &dir, const QStringList &arguments, int timeoutMs,
                           const Options &options)
{
    return runProgram(QStringLiteral(ZINDLE_CLI), dir, arguments, timeoutMs, options);
}

CliRun::Result CliRun::runProgram(const QString &program, const QString &dir,
                                  const QStringList &arguments, int timeoutMs,
                                  const Options &options)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(options.environment);
    if (options.childModifier)
        process.setChildProcessModifier(options.childModifier);
    Result result;
    const QString path = findProgram(program);
    if (path.isEmpty()) {
        result.err = program.toLocal8Bit() + " not installed (scripts/test installs it)\n";
        return result;
    }
    process.start(path, arguments);
    if (!process.waitForStarted()) {
        result.err =
            program.toLocal8Bit() + " did not start: " + process.errorString().toLocal8Bit() + '\n';
        return result;
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    if (!result.finished) {
        result.err += program.toLocal8Bit() + " did not end within " +
                      QByteArray::number(timeoutMs) + " ms\n";
        return result;
    }
    result.exitStatus = process.exitStatus();
    if (result.exitStatus == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}
