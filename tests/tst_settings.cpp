#include "CurrentDir.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/config/IniFile.h"
#include "core/config/Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>
#include <sys/stat.h>

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultsWithoutIni();
    void defaultDirectoryIsCurrent();
    void unreadableIni_data();
    void unreadableIni();
    void readsIni();
    void choices_data();
    void choices();
    void workDir_data();
    void workDir();
    void setters();
    void saveWhenModified_data();
    void saveWhenModified();
    void saveKeepsOtherLines();
    void failedSave();
    void counts_data();
    void counts();
    void readsWindowGeometry_data();
    void readsWindowGeometry();
    void savesWindowGeometry_data();
    void savesWindowGeometry();

private:
    QString iniPath() const { return dir->filePath(QStringLiteral("z_user.ini")); }

    std::unique_ptr<QTemporaryDir> dir;
};

void tst_Settings::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_Settings::cleanup()
{
    dir.reset();
}

void tst_Settings::defaultsWithoutIni()
{
    {
        Settings settings(dir->path());
        const QByteArray here = QFile::encodeName(dir->path());
        QCOMPARE(settings.appDir(), here);
        QCOMPARE(settings.iniPath(), QFile::decodeName(here) + QStringLiteral("/z_user.ini"));
        QCOMPARE(settings.engineDir(), QFile::decodeName(here) + QStringLiteral("/.zindles/"));

        for (const QByteArray &text : {settings.workDir(), settings.proxy(), settings.userId(),
                                       settings.password(), settings.caFile()}) {
            QCOMPARE(text, QByteArray(""));
            QVERIFY(!text.isNull());
        }
        QCOMPARE(settings.userAgent(),
                 QByteArray("Mozilla/4.08 (PDA; ZAURUS,Qtopia/1.5.4) zindles"));
        QCOMPARE(settings.timeout(0), 0);
        QCOMPARE(settings.timeout(1), 15000);
        QCOMPARE(settings.cache(0), 0);
        QCOMPARE(settings.cache(1), 384);
        QCOMPARE(settings.port(), 0);
        QCOMPARE(settings.htmlView(), 0);
        QCOMPARE(settings.playMode(), 0);
        QCOMPARE(settings.engineCount(), 0);
        QVERIFY(!settings.modified());
    }
    // Nothing was applied, so nothing is written.
    QVERIFY(!QFile::exists(iniPath()));
}

void tst_Settings::defaultDirectoryIsCurrent()
{
    QVERIFY(TestFiles::write(iniPath(), "[settings]\nproxy=10.0.0.9\n"));
    CurrentDir current(dir->path());
    Settings settings;
    const QByteArray here = QFile::encodeName(QFileInfo(dir->path()).canonicalFilePath());
    QCOMPARE(settings.appDir(), here);
    QCOMPARE(settings.iniPath(), QFile::decodeName(here) + QStringLiteral("/z_user.ini"));
    QCOMPARE(settings.proxy(), QByteArray("10.0.0.9"));
}

void tst_Settings::unreadableIni_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reason");

    QTest::newRow("a directory") << QStringLiteral("directory") << QByteArray("not a regular file");
    QTest::newRow("a pipe, which would block")
        << QStringLiteral("fifo") << QByteArray("not a regular file");
    QTest::newRow("larger than the limit")
        << QStringLiteral("too big") << QByteArray("larger than 16777216 bytes");
    // Read fine at exit: what the record holds is still not what the file says.
    QTest::newRow("too big at start, small at exit")
        << QStringLiteral("shrinks") << QByteArray("larger than 16777216 bytes");
    // A regular file whose first read fails, whoever reads it.
    QTest::newRow("a read error") << QStringLiteral("read error") << QByteArray();
    QTest::newRow("a loop of links") << QStringLiteral("loop") << QByteArray();
}

void tst_Settings::unreadableIni()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reason);

    const QByteArray path = QFile::encodeName(iniPath());
    const QByteArray big = "[settings]\nproxy=10.0.0.1\n" + QByteArray(IniFile::MaxFileSize, ' ');
    if (kind == QLatin1String("directory"))
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("z_user.ini")));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(mkfifo(path.constData(), 0644), 0);
    else if (kind == QLatin1String("too big") || kind == QLatin1String("shrinks"))
        QVERIFY(TestFiles::write(iniPath(), big));
    else if (kind == QLatin1String("read error"))
        QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), iniPath()));
    else if (kind == QLatin1String("loop"))
        QVERIFY(QFile::link(iniPath(), iniPath()));
    const QFileInfo before(iniPath());

    QByteArray atStart;
    QByteArray atExit;
    {
        StderrCapture start;
        auto settings = std::make_unique<Settings>(dir->path());
        atStart = start.text();
        // The defaults, and an Apply that would write them at exit.
        QCOMPARE(settings->proxy(), QByteArray(""));
        QCOMPARE(settings->timeout(1), 15000);
        settings->setPort(3128);
        settings->setModified(true);
        if (kind == QLatin1String("shrinks"))
            QVERIFY(TestFiles::write(iniPath(), "[settings]\nproxy=10.0.0.1\n"));
        StderrCapture exit;
        settings.reset();
        atExit = exit.text();
    }

    const QByteArray prefix = "cannot read the settings file " + path + ": ";
    QVERIFY2(atStart.startsWith(prefix) && atStart.endsWith("; the defaults are used\n") &&
                 atStart.count('\n') == 1,
             atStart.constData());
    if (!reason.isEmpty())
        QVERIFY2(atStart.contains(": " + reason + ";"), atStart.constData());
    QCOMPARE(atExit, "cannot save the settings file " + path + ": it could not be read at start\n");
    // Never written over: the same kind of thing, with the same contents.
    const QFileInfo after(iniPath());
    QCOMPARE(after.isSymLink(), before.isSymLink());
    QCOMPARE(after.isDir(), before.isDir());
    if (kind == QLatin1String("too big"))
        QCOMPARE(TestFiles::read(iniPath()), big);
    if (kind == QLatin1String("shrinks"))
        QCOMPARE(TestFiles::read(iniPath()), QByteArray("[settings]\nproxy=10.0.0.1\n"));
    QCOMPARE(QDir(dir->path())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("z_user.ini")});
}

void tst_Settings::readsIni()
{
    QVERIFY(TestFiles::write(iniPath(), "[other]\r\nport=99\r\n[settings]\r\n"
                                        "path=/w/\r\nproxy=10.0.0.1\r\nname=me\r\npass=\"s e\"\r\n"
                                        "port=8080\r\nimage=1\r\ncache=2\r\nplay=2\r\n"
                                        "timeout=3\r\nuseragent=4\r\ncafile=/etc/ca.pem\r\n"));
    Settings settings(dir->path());
    QCOMPARE(settings.workDir(), QByteArray("/w/"));
    QCOMPARE(settings.proxy(), QByteArray("10.0.0.1"));
    QCOMPARE(settings.userId(), QByteArray("me"));
    QCOMPARE(settings.password(), QByteArray("s e"));
    QCOMPARE(settings.caFile(), QByteArray("/etc/ca.pem"));
    QCOMPARE(settings.port(), 8080);
    QCOMPARE(settings.htmlView(), 1);
    QCOMPARE(settings.cache(0), 2);
    QCOMPARE(settings.cache(1), 2048);
    QCOMPARE(settings.playMode(), 2);
    QCOMPARE(settings.timeout(0), 3);
    QCOMPARE(settings.timeout(1), 60000);
    QCOMPARE(settings.userAgentIndex(), 4);
    QCOMPARE(settings.userAgent(),
             QByteArray("Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; SV1)"));
    QVERIFY(!settings.modified());
}

void tst_Settings::choices_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray firefox("Mozilla/5.0 (Windows; U; Windows NT 5.1; ja; rv:1.8.1.3) "
                             "Gecko/20070309 Firefox/2.0.0.3");
    QTest::newRow("useragent 1") << QByteArray("useragent") << QByteArray("1")
                                 << QByteArray("Mozilla/4.08 (PDA; SL-C1000/1.0,Qtopia/1.5.4) "
                                               "NetFront/3.1");
    QTest::newRow("useragent 2") << QByteArray("useragent") << QByteArray("2")
                                 << QByteArray("Opera/9.10 (Nintendo Wii; U; ; 1621; ja)");
    QTest::newRow("useragent 3") << QByteArray("useragent") << QByteArray("3")
                                 << QByteArray("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; "
                                               ".NET CLR 1.1.4322; .NET CLR 2.0.50727)");
    QTest::newRow("useragent 5") << QByteArray("useragent") << QByteArray("5") << firefox;
    QTest::newRow("useragent 7 is the last")
        << QByteArray("useragent") << QByteArray("7") << firefox;
    QTest::newRow("useragent -1 is the last")
        << QByteArray("useragent") << QByteArray("-1") << firefox;
    QTest::newRow("timeout 1") << QByteArray("timeout") << QByteArray("1") << QByteArray("30000");
    QTest::newRow("timeout 2") << QByteArray("timeout") << QByteArray("2") << QByteArray("45000");
    QTest::newRow("timeout 4") << QByteArray("timeout") << QByteArray("4") << QByteArray("120000");
    QTest::newRow("timeout 9 is the last")
        << QByteArray("timeout") << QByteArray("9") << QByteArray("120000");
    QTest::newRow("cache 1") << QByteArray("cache") << QByteArray("1") << QByteArray("1024");
    QTest::newRow("cache 3") << QByteArray("cache") << QByteArray("3") << QByteArray("3072");
    QTest::newRow("cache 8 is the last")
        << QByteArray("cache") << QByteArray("8") << QByteArray("4096");
    QTest::newRow("cache -3 is the last")
        << QByteArray("cache") << QByteArray("-3") << QByteArray("4096");
}

void tst_Settings::choices()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, expected);
    QVERIFY(TestFiles::write(iniPath(), "[settings]\n" + key + "=" + stored + "\n"));
    Settings settings(dir->path());
    if (key == "useragent") {
        QCOMPARE(settings.userAgentIndex(), stored.toInt());
        QCOMPARE(settings.userAgent(), expected);
    } else if (key == "timeout") {
        QCOMPARE(settings.timeout(0), stored.toInt());
        QCOMPARE(QByteArray::number(settings.timeout(1)), expected);
    } else {
        QCOMPARE(settings.cache(0), stored.toInt());
        QCOMPARE(QByteArray::number(settings.cache(1)), expected);
    }
}

void tst_Settings::workDir_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("final slash added") << QByteArray("/tmp/w") << QByteArray("/tmp/w/");
    QTest::newRow("final slash kept") << QByteArray("/tmp/w/") << QByteArray("/tmp/w/");
    QTest::newRow("empty stays empty") << QByteArray("") << QByteArray("");
    QTest::newRow("cut to 255 bytes, then closed")
        << QByteArray("/" + QByteArray(299, 'a')) << QByteArray("/" + QByteArray(254, 'a') + "/");
}

void tst_Settings::workDir()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, expected);
    QVERIFY(TestFiles::write(iniPath(), "[settings]\npath=" + stored + "\n"));
    Settings settings(dir->path());
    QCOMPARE(settings.workDir(), expected);
}

void tst_Settings::setters()
{
    Settings settings(dir->path());
    settings.setWorkDir(QByteArray());
    QCOMPARE(settings.workDir(), QByteArray("/home/zaurus/Documents/Movie_Files/"));
    settings.setWorkDir("/x");
    QCOMPARE(settings.workDir(), QByteArray("/x"));

    settings.setProxy("p");
    settings.setProxy(QByteArray());
    QCOMPARE(settings.proxy(), QByteArray(""));
    QVERIFY(!settings.proxy().isNull());

    const QByteArray appDir = settings.appDir();
    settings.setAppDir(QByteArray());
    QCOMPARE(settings.appDir(), appDir);
}

void tst_Settings::saveWhenModified_data()
{
    QTest::addColumn<bool>("apply");
    QTest::addColumn<bool>("undo");
    QTest::addColumn<bool>("written");

    QTest::newRow("untouched") << false << false << false;
    QTest::newRow("applied") << true << false << true;
    QTest::newRow("applied, then undone") << true << true << false;
}

void tst_Settings::saveWhenModified()
{
    QFETCH(bool, apply);
    QFETCH(bool, undo);
    QFETCH(bool, written);
    {
        Settings settings(dir->path());
        settings.setProxy("10.1.1.1");
        settings.setPort(3128);
        if (apply)
            settings.setModified(true);
        if (undo)
            settings.setModified(false);
        // Applied values stay in force either way.
        QCOMPARE(settings.proxy(), QByteArray("10.1.1.1"));
    }
    QCOMPARE(QFile::exists(iniPath()), written);
    if (!written)
        return;
    QCOMPARE(TestFiles::read(iniPath()),
             QByteArray("[settings]\npath=\nproxy=10.1.1.1\nname=\npass=\nport=3128\nimage=0\n"
                        "cache=0\nplay=0\ntimeout=0\nuseragent=0\n"));
}

void tst_Settings::saveKeepsOtherLines()
{
    QVERIFY(TestFiles::write(iniPath(), "; hand-written\r\n[other]\r\npath=keep\r\n\r\n"
                                        "[settings]\r\ntimeout = 1\r\ncafile=/etc/ca.pem\r\n"
                                        "path=/old\r\n\r\n[last]\r\nx=1\r\n"));
    Settings settings(dir->path());
    QCOMPARE(settings.workDir(), QByteArray("/old/"));
    settings.setUserId("me");
    settings.setTimeoutIndex(-2);
    settings.setModified(true);
    QVERIFY(settings.save());
    QVERIFY(!settings.modified());
    QCOMPARE(TestFiles::read(iniPath()),
             QByteArray("; hand-written\r\n[other]\r\npath=keep\r\n\r\n"
                        "[settings]\r\ntimeout =-2\r\ncafile=/etc/ca.pem\r\npath=/old/\r\n"
                        "proxy=\r\nname=me\r\npass=\r\nport=0\r\nimage=0\r\ncache=0\r\nplay=0\r\n"
                        "useragent=0\r\n\r\n[last]\r\nx=1\r\n"));

    // Written once: a second save has nothing to do.
    QVERIFY(QFile::remove(iniPath()));
    QVERIFY(settings.save());
    QVERIFY(!QFile::exists(iniPath()));
}

void tst_Settings::failedSave()
{
    Settings settings(dir->path());
    const QByteArray missing = settings.appDir() + "/missing";
    settings.setAppDir(missing);
    settings.setModified(true);
    StderrCapture capture;
    QVERIFY(!settings.save());
    QVERIFY(!settings.modified());
    const QByteArray text = capture.text();
    const QByteArray start = "cannot save the settings file " + missing + "/z_user.ini: ";
    QVERIFY2(text.startsWith(start), text.constData());
    QVERIFY2(text.endsWith('\n') && text.count('\n') == 1, text.constData());
    QVERIFY(text.size() > start.size() + 1);
}

void tst_Settings::readsWindowGeometry_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("all four") << QByteArray("window_x=10\nwindow_y=-20\nwindow_width=700\n"
                                            "window_height=500\n")
                              << QRect(10, -20, 700, 500);
    QTest::newRow("one missing") << QByteArray("window_x=10\nwindow_y=20\nwindow_width=700\n")
                                 << QRect();
    QTest::newRow("no size") << QByteArray(
                                    "window_x=10\nwindow_y=20\nwindow_width=0\nwindow_height=500\n")
                             << QRect();
    QTest::newRow("not numbers") << QByteArray(
                                        "window_x=a\nwindow_y=b\nwindow_width=c\nwindow_height=d\n")
                                 << QRect();
    // Far beyond any screen but without overflow; the window fits it in.
    QTest::newRow("absurd") << QByteArray("window_x=-99999999999\nwindow_y=2147483647\n"
                                          "window_width=99999999\nwindow_height=5\n")
                            << QRect(-1000000, 1000000, 1000000, 5);
}

void tst_Settings::readsWindowGeometry()
{
    QFETCH(QByteArray, keys);
    QFETCH(QRect, geometry);

    QVERIFY(TestFiles::write(iniPath(), "[settings]\n" + keys));
    QCOMPARE(Settings(dir->path()).windowGeometry(), geometry);
    QCOMPARE(Settings::storedWindowGeometry(dir->path()), geometry);
}

// The window keys are written when the window moved, even with nothing else
// changed, and then alone; a window left where it was writes nothing.
void tst_Settings::savesWindowGeometry_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QRect>("window");
    QTest::addColumn<bool>("applied");
    QTest::addColumn<QByteArray>("after");

    const QByteArray stored = "; mine\n[settings]\nproxy=p\nwindow_x=1\nwindow_y=2\n"
                              "window_width=300\nwindow_height=200\n";
    QTest::newRow("nothing remembered, nothing set")
        << QByteArray() << QRect() << false << QByteArray();
    QTest::newRow("left where it was") << stored << QRect(1, 2, 300, 200) << false << stored;
    QTest::newRow("moved") << stored << QRect(5, 6, 700, 500) << false
                           << QByteArray("; mine\n[settings]\nproxy=p\nwindow_x=5\nwindow_y=6\n"
                                         "window_width=700\nwindow_height=500\n");
    QTest::newRow("first remembered")
        << QByteArray() << QRect(0, 0, 640, 480) << false
        << QByteArray("[settings]\nwindow_x=0\nwindow_y=0\nwindow_width=640\nwindow_height=480\n");
    QTest::newRow("moved and applied")
        << QByteArray() << QRect(3, 4, 640, 480) << true
        << QByteArray("[settings]\npath=\nproxy=\nname=\npass=\nport=0\nimage=0\ncache=0\n"
                      "play=0\ntimeout=0\nuseragent=0\nwindow_x=3\nwindow_y=4\n"
                      "window_width=640\nwindow_height=480\n");
    QTest::newRow("moved, over a file that cannot be read")
        << QByteArray("<a directory>") << QRect(5, 6, 700, 500) << false << QByteArray();
}

void tst_Settings::savesWindowGeometry()
{
    QFETCH(QByteArray, before);
    QFETCH(QRect, window);
    QFETCH(bool, applied);
    QFETCH(QByteArray, after);

    const bool unreadable = before == "<a directory>";
    if (unreadable)
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("z_user.ini")));
    else if (!before.isEmpty())
        QVERIFY(TestFiles::write(iniPath(), before));
    {
        StderrCapture quiet;
        Settings settings(dir->path());
        if (!window.isNull())
            settings.setWindowGeometry(window);
        settings.setModified(applied);
    }
    if (unreadable) {
        QVERIFY(QFileInfo(iniPath()).isDir());
        return;
    }
    QCOMPARE(QFile::exists(iniPath()), !after.isEmpty());
    if (!after.isEmpty())
        QCOMPARE(TestFiles::read(iniPath()), after);
}

void tst_Settings::counts_data()
{
    QTest::addColumn<QByteArray>("key"); // "jobs" or "connections"
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("read");
    QTest::addColumn<int>("applied");
    // The line written by a save, or none.
    QTest::addColumn<QByteArray>("saved");

    QTest::newRow("jobs: default, not written")
        << QByteArray("jobs") << QByteArray("[settings]\n") << 3 << 3 << QByteArray();
    QTest::newRow("jobs: default applied")
        << QByteArray("jobs") << QByteArray("[settings]\n") << 3 << 5 << QByteArray("jobs=5");
    QTest::newRow("jobs: kept from the file")
        << QByteArray("jobs") << QByteArray("[settings]\njobs=7\n") << 7 << 3
        << QByteArray("jobs=3");
    QTest::newRow("jobs: too many clamps")
        << QByteArray("jobs") << QByteArray("[settings]\njobs=99\n") << 16 << 16
        << QByteArray("jobs=16");
    QTest::newRow("jobs: zero clamps") << QByteArray("jobs") << QByteArray("[settings]\njobs=0\n")
                                       << 1 << 0 << QByteArray("jobs=1");
    QTest::newRow("jobs: no number") << QByteArray("jobs") << QByteArray("[settings]\njobs=many\n")
                                     << 3 << 3 << QByteArray("jobs=3");

    QTest::newRow("connections: default, not written")
        << QByteArray("connections") << QByteArray("[settings]\n") << 1 << 1 << QByteArray();
    QTest::newRow("connections: default applied")
        << QByteArray("connections") << QByteArray("[settings]\n") << 1 << 8
        << QByteArray("connections=8");
    QTest::newRow("connections: kept from the file")
        << QByteArray("connections") << QByteArray("[settings]\nconnections=4\n") << 4 << 1
        << QByteArray("connections=1");
    QTest::newRow("connections: too many clamps")
        << QByteArray("connections") << QByteArray("[settings]\nconnections=17\n") << 16 << 40
        << QByteArray("connections=16");
    QTest::newRow("connections: negative clamps")
        << QByteArray("connections") << QByteArray("[settings]\nconnections=-3\n") << 1 << -1
        << QByteArray("connections=1");
    QTest::newRow("connections: no number")
        << QByteArray("connections") << QByteArray("[settings]\nconnections=many\n") << 1 << 2
        << QByteArray("connections=2");
}

void tst_Settings::counts()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, ini);
    QFETCH(int, read);
    QFETCH(int, applied);
    QFETCH(QByteArray, saved);

    const bool jobs = key == "jobs";
    QVERIFY(TestFiles::write(iniPath(), ini));
    {
        Settings settings(dir->path());
        QCOMPARE(jobs ? settings.jobs() : settings.connections(), read);
        if (jobs)
            settings.setJobs(applied);
        else
            settings.setConnections(applied);
        settings.setModified(true);
    }
    const QByteArray written = TestFiles::read(iniPath());
    if (saved.isEmpty())
        QVERIFY2(!written.contains(key + '='), written.constData());
    else
        QVERIFY2(written.contains(saved + '\n'), written.constData());
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
