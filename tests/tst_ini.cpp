#include "TestFiles.h"
#include "core/config/IniFile.h"

#include <QDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

namespace {

// Lowers the file size limit for the life of the object, so that writing a
// larger file fails as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

} // namespace

class tst_Ini : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void intValue_data();
    void intValue();
    void missingFile();
    void setValue_data();
    void setValue();
    void saveCreatesAndReplaces();
    void saveKeepsLinkAndMode();
    void saveFailureKeepsOldFile();
    void saveIntoMissingDirectory();

private:
    QTemporaryDir dir;
    QString iniPath() const { return dir.filePath(QStringLiteral("z_user.ini")); }
};

void tst_Ini::value_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("plain") << QByteArray("[settings]\npath=/w/\n") << QByteArray("/w/");
    QTest::newRow("names ignore case") << QByteArray("[SeTTings]\nPATH=x\n") << QByteArray("x");
    QTest::newRow("blanks trimmed")
        << QByteArray("  [ settings ]  \n \t path \t=  a b \t\n") << QByteArray("a b");
    QTest::newRow("CRLF line ends") << QByteArray("[settings]\r\npath=x\r\n") << QByteArray("x");
    QTest::newRow("no final line end") << QByteArray("[settings]\npath=x") << QByteArray("x");
    QTest::newRow("double quotes removed")
        << QByteArray("[settings]\npath=\" a \"\n") << QByteArray(" a ");
    QTest::newRow("single quotes removed")
        << QByteArray("[settings]\npath='x'\n") << QByteArray("x");
    QTest::newRow("unmatched quotes kept")
        << QByteArray("[settings]\npath=\"x'\n") << QByteArray("\"x'");
    QTest::newRow("lone quote kept") << QByteArray("[settings]\npath=\"\n") << QByteArray("\"");
    QTest::newRow("empty value") << QByteArray("[settings]\npath=\nproxy=p\n") << QByteArray("");
    QTest::newRow("equals sign in value")
        << QByteArray("[settings]\npath=a=b\n") << QByteArray("a=b");
    QTest::newRow("first of two lines")
        << QByteArray("[settings]\npath=1\npath=2\n") << QByteArray("1");
    QTest::newRow("cut to 255 bytes")
        << QByteArray("[settings]\npath=" + QByteArray(300, 'a') + "\n") << QByteArray(255, 'a');
    QTest::newRow("cut after quotes are removed")
        << QByteArray("[settings]\npath=\"" + QByteArray(255, 'b') + "\"\n")
        << QByteArray(255, 'b');
    QTest::newRow("fail: other section") << QByteArray("[other]\npath=x\n") << QByteArray("dflt");
    QTest::newRow("fail: section ends at next header")
        << QByteArray("[settings]\n[next]\npath=x\n") << QByteArray("dflt");
    QTest::newRow("fail: before any section")
        << QByteArray("path=x\n[settings]\n") << QByteArray("dflt");
    QTest::newRow("fail: commented out")
        << QByteArray("[settings]\n;path=x\n") << QByteArray("dflt");
    QTest::newRow("fail: no equals sign") << QByteArray("[settings]\npath\n") << QByteArray("dflt");
    QTest::newRow("fail: longer key name")
        << QByteArray("[settings]\npaths=x\n") << QByteArray("dflt");
}

void tst_Ini::value()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);
    QVERIFY(TestFiles::write(iniPath(), file));
    IniFile ini(iniPath());
    QVERIFY(ini.load());
    const QByteArray value = ini.value("settings", "path", "dflt");
    QCOMPARE(value, expected);
    QVERIFY(!value.isNull());
}

void tst_Ini::intValue_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected");

    QTest::newRow("digits") << QByteArray("port=8080") << 8080;
    QTest::newRow("leading blanks, sign, trailing text") << QByteArray("port=  -12abc") << -12;
    QTest::newRow("plus sign") << QByteArray("port=+5") << 5;
    QTest::newRow("quoted") << QByteArray("port=\"15\"") << 15;
    QTest::newRow("zero") << QByteArray("port=0") << 0;
    QTest::newRow("saturates") << QByteArray("port=99999999999") << 2147483647;
    QTest::newRow("fail: letters give default") << QByteArray("port=abc") << 7;
    QTest::newRow("fail: sign only gives default") << QByteArray("port=-") << 7;
    QTest::newRow("fail: empty gives default") << QByteArray("port=") << 7;
    QTest::newRow("fail: missing key gives default") << QByteArray("other=1") << 7;
}

void tst_Ini::intValue()
{
    QFETCH(QByteArray, line);
    QFETCH(int, expected);
    QVERIFY(TestFiles::write(iniPath(), "[Settings]\n" + line + "\n"));
    IniFile ini(iniPath());
    QVERIFY(ini.load());
    QCOMPARE(ini.intValue("settings", "port", 7), expected);
}

void tst_Ini::missingFile()
{
    IniFile ini(dir.filePath(QStringLiteral("none.ini")));
    QVERIFY(ini.load());
    QCOMPARE(ini.value("settings", "path", "d"), QByteArray("d"));
    QCOMPARE(ini.intValue("settings", "port", 3), 3);

    // A directory in the file's place cannot be read.
    IniFile unreadable(dir.path());
    QVERIFY(!unreadable.load());
    QCOMPARE(unreadable.value("settings", "path", "d"), QByteArray("d"));
}

void tst_Ini::setValue_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("replace keeps every other line")
        << QByteArray("; my settings\r\n[other]\r\npath=keep\r\n\r\n[Settings]\r\nname = old "
                      "\r\n  Path = old\r\nport=1\r\n; end\r\n")
        << QByteArray("path") << QByteArray("/new/")
        << QByteArray("; my settings\r\n[other]\r\npath=keep\r\n\r\n[Settings]\r\nname = old "
                      "\r\n  Path =/new/\r\nport=1\r\n; end\r\n");
    QTest::newRow("replace the first of two lines")
        << QByteArray("[settings]\npath=1\npath=2\n") << QByteArray("path") << QByteArray("3")
        << QByteArray("[settings]\npath=3\npath=2\n");
    QTest::newRow("replace on a last line without line end")
        << QByteArray("[settings]\npath=1") << QByteArray("path") << QByteArray("2")
        << QByteArray("[settings]\npath=2");
    QTest::newRow("empty value keeps the key")
        << QByteArray("[settings]\npath=1\n") << QByteArray("path") << QByteArray("")
        << QByteArray("[settings]\npath=\n");
    QTest::newRow("new key after the section's last line")
        << QByteArray("[settings]\npath=a\n\n[other]\nx=1\n") << QByteArray("port")
        << QByteArray("5") << QByteArray("[settings]\npath=a\nport=5\n\n[other]\nx=1\n");
    QTest::newRow("new key after a last line without line end")
        << QByteArray("[settings]\r\npath=a") << QByteArray("port") << QByteArray("5")
        << QByteArray("[settings]\r\npath=a\r\nport=5\r\n");
    QTest::newRow("new section at the end")
        << QByteArray("[other]\r\nx=1\r\n") << QByteArray("port") << QByteArray("5")
        << QByteArray("[other]\r\nx=1\r\n[settings]\r\nport=5\r\n");
    QTest::newRow("new section after a last line without line end")
        << QByteArray("[other]\nx=1") << QByteArray("port") << QByteArray("5")
        << QByteArray("[other]\nx=1\n[settings]\nport=5\n");
    QTest::newRow("new file") << QByteArray() << QByteArray("port") << QByteArray("-5")
                              << QByteArray("[settings]\nport=-5\n");
    QTest::newRow("blanks at the ends are quoted")
        << QByteArray("[settings]\n") << QByteArray("pass") << QByteArray(" pw ")
        << QByteArray("[settings]\npass=\" pw \"\n");
    QTest::newRow("other white space at the ends is quoted")
        << QByteArray("[settings]\n") << QByteArray("pass") << QByteArray("\fpw\v")
        << QByteArray("[settings]\npass=\"\fpw\v\"\n");
    QTest::newRow("a quoted value is quoted again")
        << QByteArray("[settings]\n") << QByteArray("pass") << QByteArray("'pw'")
        << QByteArray("[settings]\npass=\"'pw'\"\n");
    QTest::newRow("a line end does not start a new line")
        << QByteArray("[settings]\n") << QByteArray("pass") << QByteArray("pw\r\nport=1")
        << QByteArray("[settings]\npass=pw\n");
}

void tst_Ini::setValue()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, after);

    QFile::remove(iniPath());
    if (!before.isNull())
        QVERIFY(TestFiles::write(iniPath(), before));
    IniFile ini(iniPath());
    QVERIFY(ini.load());
    ini.setValue("settings", key, value);
    QCOMPARE(ini.contents(), after);

    // What was written reads back, up to a line end.
    const qsizetype lineEnd = value.indexOf('\r');
    const QByteArray expected = lineEnd < 0 ? value : value.left(lineEnd);
    QCOMPARE(ini.value("settings", key), expected);
}

void tst_Ini::saveCreatesAndReplaces()
{
    QTemporaryDir saveDir;
    const QString path = saveDir.filePath(QStringLiteral("z_user.ini"));
    IniFile ini(path);
    QVERIFY(ini.load());
    ini.setValue("settings", "path", "/a/");
    QVERIFY2(ini.save(), qPrintable(ini.errorString()));
    QCOMPARE(TestFiles::read(path), QByteArray("[settings]\npath=/a/\n"));

    IniFile again(path);
    QVERIFY(again.load());
    again.setValue("settings", "path", "/b/");
    QVERIFY(again.save());
    QCOMPARE(TestFiles::read(path), QByteArray("[settings]\npath=/b/\n"));
    // Nothing is left beside the file.
    QCOMPARE(QDir(saveDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("z_user.ini")});
}

void tst_Ini::saveKeepsLinkAndMode()
{
    QTemporaryDir saveDir;
    const QString real = saveDir.filePath(QStringLiteral("real.ini"));
    const QString link = saveDir.filePath(QStringLiteral("z_user.ini"));
    QVERIFY(TestFiles::write(real, "[settings]\nport=1\n"));
    const auto mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    QVERIFY(QFile::setPermissions(real, mode));
    QVERIFY(QFile::link(real, link));

    IniFile ini(link);
    QVERIFY(ini.load());
    ini.setValue("settings", "port", "2");
    QVERIFY2(ini.save(), qPrintable(ini.errorString()));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(TestFiles::read(real), QByteArray("[settings]\nport=2\n"));
    QCOMPARE(QFile::permissions(real) & 0x7077, mode); // owner, group, others
}

void tst_Ini::saveFailureKeepsOldFile()
{
    QTemporaryDir saveDir;
    const QString path = saveDir.filePath(QStringLiteral("z_user.ini"));
    const QByteArray old("[settings]\npath=/old/\n");
    QVERIFY(TestFiles::write(path, old));

    IniFile ini(path);
    QVERIFY(ini.load());
    ini.setValue("settings", "path", QByteArray(4000, 'x'));
    bool saved = true;
    {
        FileSizeLimit limit(1024);
        saved = ini.save();
    }
    QVERIFY(!saved);
    QVERIFY(!ini.errorString().isEmpty());
    QCOMPARE(TestFiles::read(path), old);
    QCOMPARE(QDir(saveDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("z_user.ini")});
}

void tst_Ini::saveIntoMissingDirectory()
{
    // The parent is a file, so the directory cannot exist.
    const QString parent = dir.filePath(QStringLiteral("plain-file"));
    QVERIFY(TestFiles::write(parent, "x"));
    IniFile ini(parent + QStringLiteral("/z_user.ini"));
    QVERIFY(ini.load());
    ini.setValue("settings", "port", "1");
    QVERIFY(!ini.save());
    QVERIFY(!ini.errorString().isEmpty());
    QCOMPARE(TestFiles::read(parent), QByteArray("x"));
}

QTEST_GUILESS_MAIN(tst_Ini)
#include "tst_ini.moc"
