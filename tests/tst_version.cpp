#include "CliRun.h"

#include <QtTest>

// Both programs print their name and the project's version, from the one
// version CMake's project() line gives.
class tst_Version : public QObject
{
    Q_OBJECT

private slots:
    void printsVersion_data();
    void printsVersion();
};

void tst_Version::printsVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<QByteArray>("expected");

    const QString cli = QStringLiteral(ZINDLE_CLI);
    const QString gui = QStringLiteral(ZINDLE_APP);
    const QByteArray version = ZINDLE_PROJECT_VERSION "\n";
    const QStringList flag{QStringLiteral("--version")};
    QTest::newRow("cli") << cli << flag << QString() << "zindle-cli " + version;
    QTest::newRow("cli, with -v") << cli << QStringList{QStringLiteral("-v"), flag[0]} << QString()
                                  << "zindle-cli " + version;
    QTest::newRow("gui, offscreen")
        << gui << flag << QStringLiteral("offscreen") << "zindle " + version;
    // A package build or a script over ssh has no display: the answer
    // must not need one.
    QTest::newRow("gui, no display") << gui << flag << QStringLiteral("xcb") << "zindle " + version;
    QTest::newRow("gui, after --workbench")
        << gui << QStringList{QStringLiteral("--workbench"), flag[0]} << QStringLiteral("xcb")
        << "zindle " + version;
}

void tst_Version::printsVersion()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CliRun::Options options;
    options.environment = QProcessEnvironment::systemEnvironment();
    if (!platform.isEmpty()) {
        options.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        options.environment.remove(QStringLiteral("DISPLAY"));
        options.environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    }
    const CliRun::Result run = CliRun::runProgram(program, dir.path(), arguments, 20000, options);
    QVERIFY2(run.finished, run.err.constData());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, expected);
    QCOMPARE(run.err, QByteArray());
    // Nothing written into the directory it ran in (no settings saved).
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

QTEST_GUILESS_MAIN(tst_Version)
#include "tst_version.moc"
