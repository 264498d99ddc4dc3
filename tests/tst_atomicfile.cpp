#include "TestFiles.h"
#include "core/config/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lowers one resource limit for the life of the object; a write over the
// file-size limit fails as on a full disk instead of raising SIGXFSZ.
class Limit
{
public:
    Limit(int resource, rlim_t value) : m_resource(resource)
    {
        getrlimit(m_resource, &m_saved);
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = value;
        setrlimit(m_resource, &lowered);
    }
    ~Limit()
    {
        setrlimit(m_resource, &m_saved);
        signal(SIGXFSZ, m_oldHandler);
    }
    Limit(const Limit &) = delete;
    Limit &operator=(const Limit &) = delete;

private:
    int m_resource;
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

// The lowest free descriptor: with the open-file limit there, no file can be opened.
rlim_t lowestFreeDescriptor()
{
    const int fd = ::dup(STDIN_FILENO);
    ::close(fd);
    return rlim_t(fd);
}

mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

// Replacing a file whole: what is written where, with which mode, and what is
// left when a step fails.
class tst_AtomicFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void write_data();
    void write();
    void refusesWhatIsNoPlainFile_data();
    void refusesWhatIsNoPlainFile();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries() const
    {
        return QDir(m_dir->path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_AtomicFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_AtomicFile::write_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("failure"); // AtomicFile::Failure

    const QByteArray fresh("new contents\n");
    const auto none = int(AtomicFile::Failure::None);
    QTest::newRow("new file") << QStringLiteral("none") << fresh << none;
    QTest::newRow("new empty file") << QStringLiteral("none") << QByteArray("") << none;
    QTest::newRow("existing file keeps its mode") << QStringLiteral("old 0640") << fresh << none;
    QTest::newRow("existing file with odd mode bits")
        << QStringLiteral("old 0604") << fresh << none;
    QTest::newRow("link: target written, link kept") << QStringLiteral("link") << fresh << none;
    QTest::newRow("relative link through a link") << QStringLiteral("two links") << fresh << none;
    QTest::newRow("link to no file yet: target created")
        << QStringLiteral("dangling link") << fresh << none;
    // Tests run as root, whom a read-only mode does not stop: a folder under
    // a regular file is one that nobody can write, and an exhausted
    // descriptor table stops the temporary file beside an existing one.
    QTest::newRow("fail: folder under a regular file")
        << QStringLiteral("no folder") << fresh << int(AtomicFile::Failure::Create);
    QTest::newRow("fail: no temporary file can be opened, old file kept")
        << QStringLiteral("no descriptors") << fresh << int(AtomicFile::Failure::Create);
    QTest::newRow("fail: file-size limit, old file kept")
        << QStringLiteral("size limit") << QByteArray(8192, 'x') << int(AtomicFile::Failure::Write);
}

void tst_AtomicFile::write()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, bytes);
    QFETCH(int, failure);

    const QByteArray old("old contents\n");
    QString target = path(QStringLiteral("file"));
    QString written = target; // the path handed to write()
    mode_t expectedMode = 0644 & ~currentUmask();
    QStringList expectedEntries{QStringLiteral("file")};
    if (setup.startsWith(QLatin1String("old ")) || setup == QLatin1String("no descriptors") ||
        setup == QLatin1String("size limit")) {
        QVERIFY(TestFiles::write(target, old));
        expectedMode =
            setup.startsWith(QLatin1String("old ")) ? setup.mid(4).toUInt(nullptr, 8) : 0600;
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), expectedMode), 0);
    } else if (setup == QLatin1String("link") || setup == QLatin1String("dangling link")) {
        if (setup == QLatin1String("link")) {
            QVERIFY(TestFiles::write(target, old));
            expectedMode = 0640;
            QCOMPARE(::chmod(QFile::encodeName(target).constData(), expectedMode), 0);
        }
        written = path(QStringLiteral("link"));
        QVERIFY(QFile::link(target, written));
        expectedEntries = QStringList{QStringLiteral("file"), QStringLiteral("link")};
    } else if (setup == QLatin1String("two links")) {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("sub")));
        target = path(QStringLiteral("sub/file"));
        QVERIFY(TestFiles::write(target, old));
        expectedMode = 0604;
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), expectedMode), 0);
        QCOMPARE(
            ::symlink("sub/file", QFile::encodeName(path(QStringLiteral("inner"))).constData()), 0);
        written = path(QStringLiteral("outer"));
        QVERIFY(QFile::link(path(QStringLiteral("inner")), written));
        expectedEntries =
            QStringList{QStringLiteral("inner"), QStringLiteral("outer"), QStringLiteral("sub")};
    } else if (setup == QLatin1String("no folder")) {
        QVERIFY(TestFiles::write(path(QStringLiteral("plain")), "x"));
        target = written = path(QStringLiteral("plain/file"));
        expectedEntries = QStringList{QStringLiteral("plain")};
    }

    QString error = QStringLiteral("stale");
    auto step = AtomicFile::Failure::Write;
    bool ok = false;
    {
        std::unique_ptr<Limit> limit;
        if (setup == QLatin1String("no descriptors"))
            limit = std::make_unique<Limit>(RLIMIT_NOFILE, lowestFreeDescriptor());
        else if (setup == QLatin1String("size limit"))
            limit = std::make_unique<Limit>(RLIMIT_FSIZE, 4096);
        ok = AtomicFile::write(written, bytes, &error, &step);
    }

    QCOMPARE(int(step), failure);
    QCOMPARE(ok, failure == int(AtomicFile::Failure::None));
    QCOMPARE(error.isEmpty(), ok);
    // Nothing is left beside the file, whatever happened.
    QCOMPARE(entries(), expectedEntries);
    if (setup == QLatin1String("no folder"))
        return;
    if (written != target)
        QVERIFY(QFileInfo(written).isSymLink());
    QCOMPARE(TestFiles::read(target), ok ? bytes : old);
    QCOMPARE(modeOf(target), expectedMode);
}

void tst_AtomicFile::refusesWhatIsNoPlainFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("atFolder"); // writeAt() on the open folder, else write(path, Refuse)
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("error"); // a part of the reason given

    for (const bool atFolder : {false, true}) {
        const char *how = atFolder ? "at folder" : "by path";
        QTest::addRow("%s: plain file replaced", how)
            << QStringLiteral("plain") << atFolder << true << QString();
        QTest::addRow("%s: new file", how)
            << QStringLiteral("none") << atFolder << true << QString();
        QTest::addRow("fail %s: symbolic link", how)
            << QStringLiteral("link") << atFolder << false << QStringLiteral("symbolic link");
        QTest::addRow("fail %s: dangling link", how)
            << QStringLiteral("dangling") << atFolder << false << QStringLiteral("symbolic link");
        QTest::addRow("fail %s: second hard link", how)
            << QStringLiteral("hard link") << atFolder << false << QStringLiteral("2 hard links");
        QTest::addRow("fail %s: folder", how)
            << QStringLiteral("folder") << atFolder << false << QStringLiteral("not a regular");
        QTest::addRow("fail %s: named pipe", how)
            << QStringLiteral("fifo") << atFolder << false << QStringLiteral("not a regular");
    }
}

// A folder that others can write to may hold a planted link or a second name
// of someone's file: the refusing mode writes neither through nor over it.
void tst_AtomicFile::refusesWhatIsNoPlainFile()
{
    QFETCH(QString, setup);
    QFETCH(bool, atFolder);
    QFETCH(bool, written);
    QFETCH(QString, error);

    const QByteArray old("old contents\n");
    const QByteArray fresh("new contents\n");
    // Outside the folder: what a link or a hard link would lead the bytes to.
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    QVERIFY(TestFiles::write(victim, old));
    const QString target = path(QStringLiteral("file"));
    const QByteArray targetName = QFile::encodeName(target);
    if (setup == QLatin1String("plain"))
        QVERIFY(TestFiles::write(target, old));
    else if (setup == QLatin1String("link"))
        QVERIFY(QFile::link(victim, target));
    else if (setup == QLatin1String("dangling"))
        QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("new")), target));
    else if (setup == QLatin1String("hard link"))
        QCOMPARE(::link(QFile::encodeName(victim).constData(), targetName.constData()), 0);
    else if (setup == QLatin1String("folder"))
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("file")));
    else if (setup == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(targetName.constData(), 0644), 0);

    QString reason;
    auto step = AtomicFile::Failure::None;
    bool ok = false;
    if (atFolder) {
        const int folder =
            ::open(QFile::encodeName(m_dir->path()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(folder >= 0);
        ok = AtomicFile::writeAt(folder, "file", fresh, &reason, &step);
        ::close(folder);
    } else {
        ok = AtomicFile::write(target, fresh, &reason, &step, AtomicFile::Links::Refuse);
    }

    QCOMPARE(ok, written);
    QCOMPARE(step, written ? AtomicFile::Failure::None : AtomicFile::Failure::Refused);
    QVERIFY2(reason.contains(error), qPrintable(reason));
    QCOMPARE(TestFiles::read(victim), old);
    QVERIFY(!QFile::exists(elsewhere.filePath(QStringLiteral("new"))));
    QCOMPARE(entries(), QStringList{QStringLiteral("file")});
    if (written)
        QCOMPARE(TestFiles::read(target), fresh);
}

QTEST_GUILESS_MAIN(tst_AtomicFile)
#include "tst_atomicfile.moc"
