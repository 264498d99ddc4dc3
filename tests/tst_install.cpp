#include "CliRun.h"
#include "TestFiles.h"

#include <QIcon>
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString AppId = QStringLiteral(ZINDLE_APP_ID);

QString validator(const QString &kind)
{
    return kind == QLatin1String("desktop") ? QStringLiteral("desktop-file-validate")
                                            : QStringLiteral("appstreamcli");
}

QStringList validatorArguments(const QString &kind, const QString &file)
{
    if (kind == QLatin1String("desktop"))
        return {file};
    // --strict: a warning fails as an error does.
    return {QStringLiteral("validate"), QStringLiteral("--no-net"), QStringLiteral("--strict"),
            file};
}

} // namespace

// "cmake --install" of this build tree into a scratch prefix: the programs,
// the desktop entry, the icons, the metainfo and the man pages land where a
// desktop looks for them, and the desktop tools accept what they read.
class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installedFiles_data();
    void installedFiles();
    void validators_data();
    void validators();
    void desktopEntryNamesInstalledFiles();
    void screenshotsExist();
    void windowIconRenders();

private:
    QString installed(const QString &relative) const { return m_prefix.filePath(relative); }

    QTemporaryDir m_prefix;
    QTemporaryDir m_scratch;
};

void tst_Install::initTestCase()
{
    QVERIFY(m_prefix.isValid());
    QVERIFY(m_scratch.isValid());
    const CliRun::Result run =
        CliRun::runProgram(QStringLiteral(ZINDLE_CMAKE), m_scratch.path(),
                           {QStringLiteral("--install"), QStringLiteral(ZINDLE_BUILD_DIR),
                            QStringLiteral("--prefix"), m_prefix.path()},
                           120000);
    QVERIFY2(run.finished && run.exitCode == 0, run.err.constData());
}

void tst_Install::installedFiles_data()
{
    QTest::addColumn<QString>("path");
    // For a PNG, its width and height; 0 otherwise.
    QTest::addColumn<int>("size");

    QTest::newRow("zindle") << QStringLiteral("bin/zindle") << 0;
    QTest::newRow("zindle-cli") << QStringLiteral("bin/zindle-cli") << 0;
    QTest::newRow("desktop entry")
        << QStringLiteral("share/applications/%1.desktop").arg(AppId) << 0;
    QTest::newRow("metainfo") << QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId) << 0;
    QTest::newRow("svg icon")
        << QStringLiteral("share/icons/hicolor/scalable/apps/%1.svg").arg(AppId) << 0;
    QTest::newRow("48 px icon")
        << QStringLiteral("share/icons/hicolor/48x48/apps/%1.png").arg(AppId) << 48;
    QTest::newRow("256 px icon")
        << QStringLiteral("share/icons/hicolor/256x256/apps/%1.png").arg(AppId) << 256;
    QTest::newRow("zindle.1") << QStringLiteral("share/man/man1/zindle.1.gz") << 0;
    QTest::newRow("zindle-cli.1") << QStringLiteral("share/man/man1/zindle-cli.1.gz") << 0;
    QTest::newRow("copyright") << QStringLiteral("share/doc/zindle/copyright") << 0;
}

void tst_Install::installedFiles()
{
    QFETCH(QString, path);
    QFETCH(int, size);

    const QFileInfo info(installed(path));
    QVERIFY2(info.isFile(), qPrintable(path));
    QVERIFY(info.size() > 0);
    if (path.startsWith(QLatin1String("bin/")))
        QVERIFY(info.isExecutable());
    if (size > 0) {
        const QImage image(info.filePath());
        QCOMPARE(image.size(), QSize(size, size));
        // Drawn, not blank: the tile's middle is opaque, a corner transparent.
        QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    }
}

void tst_Install::validators_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<bool>("valid");

    QTest::newRow("desktop entry")
        << QStringLiteral("desktop") << QByteArray() << QByteArray() << true;
    QTest::newRow("metainfo") << QStringLiteral("metainfo") << QByteArray() << QByteArray() << true;
    // The checks have teeth: a broken copy of each file fails them.
    QTest::newRow("desktop entry, unknown category")
        << QStringLiteral("desktop") << QByteArray("Categories=Network;FileTransfer;Qt;")
        << QByteArray("Categories=Downloads;") << false;
    QTest::newRow("metainfo, no summary") << QStringLiteral("metainfo") << QByteArray("<summary>")
                                          << QByteArray("<!--summary>") << false;
}

void tst_Install::validators()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(bool, valid);

    const QString name = kind == QLatin1String("desktop")
                             ? QStringLiteral("share/applications/%1.desktop").arg(AppId)
                             : QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId);
    QString file = installed(name);
    if (!from.isEmpty()) {
        QByteArray text = TestFiles::read(file);
        QVERIFY(text.contains(from));
        text.replace(from, to);
        if (from == "<summary>")
            text.replace("</summary>", "</summary-->");
        file = m_scratch.filePath(QFileInfo(name).fileName());
        QVERIFY(TestFiles::write(file, text));
    }
    const CliRun::Result run = CliRun::runProgram(validator(kind), m_scratch.path(),
                                                  validatorArguments(kind, file), 60000);
    QVERIFY2(run.finished, run.err.constData());
    if (valid)
        QVERIFY2(run.exitCode == 0, (run.out + run.err).constData());
    else
        QVERIFY2(run.exitCode != 0, (run.out + run.err).constData());
}

void tst_Install::desktopEntryNamesInstalledFiles()
{
    const QByteArray entry =
        TestFiles::read(installed(QStringLiteral("share/applications/%1.desktop").arg(AppId)));
    const QRegularExpression exec(QStringLiteral("^Exec=(\\S+)"),
                                  QRegularExpression::MultilineOption);
    const QRegularExpression icon(QStringLiteral("^Icon=(\\S+)$"),
                                  QRegularExpression::MultilineOption);
    const QString text = QString::fromUtf8(entry);
    const QRegularExpressionMatch execMatch = exec.match(text);
    const QRegularExpressionMatch iconMatch = icon.match(text);
    QVERIFY(execMatch.hasMatch());
    QVERIFY(iconMatch.hasMatch());
    QVERIFY(QFileInfo(installed(QStringLiteral("bin/") + execMatch.captured(1))).isExecutable());
    QCOMPARE(iconMatch.captured(1), AppId);

    // The metainfo launches this very entry.
    const QByteArray metainfo =
        TestFiles::read(installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId)));
    QVERIFY(metainfo.contains("<launchable type=\"desktop-id\">" + AppId.toUtf8() +
                              ".desktop</launchable>"));
}

void tst_Install::screenshotsExist()
{
    // Each screenshot the metainfo names is a file of docs/screenshots, which
    // the address in the metainfo publishes.
    const QString text = QString::fromUtf8(
        TestFiles::read(installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId))));
    const QRegularExpression image(QStringLiteral("<image>([^<]*)</image>"));
    int count = 0;
    for (const QRegularExpressionMatch &match : image.globalMatch(text)) {
        const QString url = match.captured(1);
        QVERIFY2(url.startsWith(QLatin1String(ZINDLE_SCREENSHOTS "/")), qPrintable(url));
        const QString file = QStringLiteral(ZINDLE_SOURCE_DIR "/docs/screenshots/") +
                             url.mid(qsizetype(sizeof(ZINDLE_SCREENSHOTS)));
        const QImage shot(file);
        QVERIFY2(!shot.isNull(), qPrintable(file));
        QVERIFY(shot.width() >= 600 && shot.height() >= 400);
        ++count;
    }
    QVERIFY(count >= 2);
}

void tst_Install::windowIconRenders()
{
    // The icon compiled into the program, drawn through the SVG icon engine
    // (the package depends on it) at a size no PNG has.
    const QIcon icon(QStringLiteral(":/icons/zindle.svg"));
    const QImage image = icon.pixmap(100, 100).toImage();
    QCOMPARE(image.size(), QSize(100, 100));
    QCOMPARE(qAlpha(image.pixel(50, 50)), 255);
    for (const int size : {48, 256}) {
        const QImage png(QStringLiteral(":/icons/zindle-%1.png").arg(size));
        QCOMPARE(png.size(), QSize(size, size));
    }
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
