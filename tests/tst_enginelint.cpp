#include "CliRun.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/config/Engine.h"
#include "core/config/EngineLint.h"
#include "core/config/Settings.h"

#include <QDir>
#include <QtTest>
#include <sys/stat.h>

namespace {

// A small engine without a finding; line 19 is "endof".
const QByteArray Tube = "engine_title::Tube\n"                           // 1
                        "engine_id::tube\n"                              // 2
                        "search_name::http://tube.test/s?q=%s&page=%d\n" // 3
                        "search_name_option::1\n"                        // 4
                        "search_start::1\n"                              // 5
                        "search_step::1\n"                               // 6
                        "find0_top::<li class=\"hit\"\n"                 // 7
                        "find0_top_::>\n"                                // 8
                        "find0_id::<a href=\"/v/\n"                      // 9
                        "find0_id_::\">\n"                               // 10
                        "find0_title::<span>\n"                          // 11
                        "find0_title_::</span>\n"                        // 12
                        "dowuload_redirect::1\n"                         // 13
                        "download_url0::http://tube.test/v/%s\n"         // 14
                        "download_key0::<video src=\"\n"                 // 15
                        "download_key0_::\"\n"                           // 16
                        "download_target::%s\n"                          // 17
                        "download_ext::.mp4\n"                           // 18
                        "endof\n";                                       // 19

// Tube with one whole line replaced (empty `to`: the line removed) and
// `extra` lines put before "endof", so that they start at line 19.
QByteArray tube(const QByteArray &from = {}, const QByteArray &to = {},
                const QByteArray &extra = {})
{
    QByteArray text = Tube;
    if (!from.isEmpty()) {
        const qsizetype at = text.indexOf(from + '\n');
        Q_ASSERT(at >= 0);
        text.replace(at, from.size() + 1, to.isEmpty() ? QByteArray() : to + '\n');
    }
    return text.replace("endof\n", extra + "endof\n");
}

QByteArray guideFile(const char *name)
{
    return TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/guide/") + QLatin1String(name));
}

// "LINE severity message", one per finding.
QByteArrayList described(const EngineLint &lint)
{
    QByteArrayList lines;
    for (const EngineLint::Finding &f : lint.findings()) {
        const QByteArray severity = f.severity == EngineLint::Severity::Error ? "error" : "warning";
        lines << QByteArray::number(f.line) + ' ' + severity + ' ' + f.message.toUtf8();
    }
    return lines;
}

// Each expected entry is "LINE severity FRAGMENT": the finding at that place
// must have that line and severity, and its message must hold the fragment.
void compareFindings(const EngineLint &lint, const QByteArrayList &expected)
{
    const QByteArrayList actual = described(lint);
    const QByteArray all = actual.join('\n');
    QVERIFY2(actual.size() == expected.size(), all.constData());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const qsizetype second = expected[i].indexOf(' ', expected[i].indexOf(' ') + 1);
        const QByteArray prefix = expected[i].left(second + 1);
        const QByteArray fragment = expected[i].mid(second + 1);
        QVERIFY2(actual[i].startsWith(prefix) && actual[i].contains(fragment), all.constData());
    }
}

} // namespace

class tst_EngineLint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void text_data();
    void text();
    void file_data();
    void file();
    void keyLines();
    void nearestKey_data();
    void nearestKey();
    void loadReport();
    void cli_data();
    void cli();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_EngineLint::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_EngineLint::cleanup()
{
    m_dir.reset();
}

void tst_EngineLint::text_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("clean") << tube() << QByteArrayList{};
    QTest::newRow("clean: the demo site's engine")
        << TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/../../examples/demo-site/demo.zin.in"))
               .replace("@PORT@", "8000")
        << QByteArrayList{};
    QTest::newRow("clean: the guide's Clip Shelf engine")
        << guideFile("clipshelf.zin") << QByteArrayList{};
    QTest::newRow("clean: CR LF line ends") << tube().replace("\n", "\r\n") << QByteArrayList{};

    // Keys.
    QTest::newRow("misspelled stage count")
        << tube("dowuload_redirect::1", "download_redirect::1")
        << QByteArrayList{"13 error download_redirect:: is not a key; the stage count is "
                          "dowuload_redirect::",
                          "14 warning download_url0:: is ignored: dowuload_redirect:: is 0",
                          "15 warning download_key0:: is ignored",
                          "16 warning download_key0_:: is ignored"};
    QTest::newRow("misspelled key")
        << tube("engine_title::Tube", "engine_titel::Tube")
        << QByteArrayList{"1 error engine_titel:: is not a key; did you "
                          "mean engine_title::?",
                          "0 warning no engine_title:: line"};
    QTest::newRow("key in the wrong case")
        << tube("find0_title::<span>", "Find0_Title::<span>")
        << QByteArrayList{"11 error did you mean find0_title::? (key names are case-sensitive)",
                          "12 error find0_title_:: has no begin marker find0_title::"};
    QTest::newRow("remark that looks like a key")
        << tube({}, {}, "note:: the site changed in May\n")
        << QByteArrayList{"19 warning note:: is not a key, so this line sets nothing"};
    QTest::newRow("key after a blank")
        << tube("engine_id::tube", " engine_id::tube")
        << QByteArrayList{"2 warning starts with a blank", "0 error no engine_id:: line"};
    QTest::newRow("key given twice")
        << tube({}, {}, "engine_id::tube2\n")
        << QByteArrayList{"19 warning engine_id:: given again (before on line 2); this one counts"};
    QTest::newRow("stage key with a leading zero")
        << tube({}, {}, "download_url007::x\n")
        << QByteArrayList{"19 error download_url007:: is not a key; did you mean download_url7::?"};
    QTest::newRow("stage URL key with an underscore")
        << tube({}, {}, "download_url0_::x\n")
        << QByteArrayList{"19 error download_url0_:: is not a key; did you mean download_url0::?"};
    QTest::newRow("key after endof")
        << tube() + "engine_title::Late\n"
        << QByteArrayList{"20 warning engine_title:: given again",
                          "20 warning engine_title:: after the endof line on line 19 still counts"};
    QTest::newRow("no endof") << tube("endof", {}) << QByteArrayList{"0 warning no endof line"};

    // Markers.
    QTest::newRow("begin marker without end")
        << tube("find0_title_::</span>", {})
        << QByteArrayList{"11 error find0_title:: has no end marker find0_title_::, so the title "
                          "is never found"};
    QTest::newRow("end marker without begin")
        << tube("find0_id::<a href=\"/v/", {})
        << QByteArrayList{"9 error find0_id_:: has no begin marker find0_id::"};
    QTest::newRow("empty end marker")
        << tube("find0_top_::>", "find0_top_::")
        << QByteArrayList{"8 error find0_top_:: is empty: an empty end marker never matches"};
    QTest::newRow("empty begin marker")
        << tube("find0_title::<span>", "find0_title::")
        << QByteArrayList{"11 warning find0_title:: is empty: an empty begin marker matches where "
                          "the search starts"};
    QTest::newRow("template without top markers")
        << tube({}, {}, "search_user::http://tube.test/u/%s\n")
        << QByteArrayList{
               "19 error search_user:: is set, but there is no find1_top:: / find1_top_:: "
               "pair, so searches by User find nothing",
               "19 warning no find1_id:: / find1_id_:: pair"};
    QTest::newRow("markers without template")
        << tube({}, {}, "find2_top::<tr\nfind2_top_::>\n")
        << QByteArrayList{"19 warning markers for mode 2 (URL) but no search_direct:: template"};
    QTest::newRow("one-byte template")
        << tube({}, {}, "search_direct::x\n")
        << QByteArrayList{"19 warning search_direct:: is shorter than 2 bytes"};

    // Stages.
    QTest::newRow("stage key beyond the count")
        << tube({}, {}, "download_url1::http://tube.test/f/%s\n")
        << QByteArrayList{"19 warning download_url1:: is ignored: dowuload_redirect:: is 1, so the "
                          "stages are 0 to 0"};
    QTest::newRow("stage keys missing")
        << tube("dowuload_redirect::1", "dowuload_redirect::2")
        << QByteArrayList{"13 error stage 1 has no download_url1:: line",
                          "13 error stage 1 has no download_key1:: line",
                          "13 error stage 1 has no download_key1_:: line"};
    QTest::newRow("stage count above the limit")
        << tube("dowuload_redirect::1", "dowuload_redirect::65")
        << QByteArrayList{"13 error dowuload_redirect::65 is above the limit of 64"};
    QTest::newRow("stage count not a number")
        << tube("dowuload_redirect::1", "dowuload_redirect::1x")
        << QByteArrayList{"13 error dowuload_redirect::1x does not read as a whole number, so it "
                          "counts as 0: the download runs no stage",
                          "14 warning download_url0:: is ignored",
                          "15 warning download_key0:: is ignored",
                          "16 warning download_key0_:: is ignored"};
    QTest::newRow("stage end marker empty") << tube("download_key0_::\"", "download_key0_::")
                                            << QByteArrayList{"16 error download_key0_:: is empty"};

    // Templates and numbers.
    QTest::newRow("template without %s")
        << tube("search_name::http://tube.test/s?q=%s&page=%d",
                "search_name::http://tube.test/popular/%d")
        << QByteArrayList{"3 warning search_name:: has no %s: the search word is not put into the "
                          "address"};
    QTest::newRow("%d with step 0")
        << tube("search_step::1", "search_step::0")
        << QByteArrayList{"3 warning search_name:: has %d but search_step:: is 0 or missing"};
    QTest::newRow("no / after the host")
        << tube("download_url0::http://tube.test/v/%s", "download_url0::http://tube.test?v=%s")
        << QByteArrayList{"14 error download_url0:: has no \"/\" after the host"};
    QTest::newRow("not an http address")
        << tube("download_target::%s", "download_target::ftp://tube.test/%s")
        << QByteArrayList{"17 warning download_target:: does not start with http:// or https://"};
    QTest::newRow("option 2") << tube("search_name_option::1", "search_name_option::2")
                              << QByteArrayList{
                                     "4 warning search_name_option::2: only 1 turns it on"};
    QTest::newRow("option not a number")
        << tube("search_name_option::1", "search_name_option::yes")
        << QByteArrayList{"4 error search_name_option::yes does not read as a whole number"};
    QTest::newRow("clean: max_connections and hls_variant")
        << tube({}, {}, "max_connections::4\nhls_variant::720\n") << QByteArrayList{};
    QTest::newRow("max_connections not a number")
        << tube({}, {}, "max_connections::many\n")
        << QByteArrayList{"19 error max_connections::many does not read as a whole number"};
    QTest::newRow("max_connections above 16")
        << tube({}, {}, "max_connections::40\n")
        << QByteArrayList{"19 warning max_connections::40 is outside 1 to 16, so 16 is used"};
    QTest::newRow("max_connections 0")
        << tube({}, {}, "max_connections::0\n")
        << QByteArrayList{"19 warning max_connections::0 is outside 1 to 16, so 1 is used"};
    QTest::newRow("hls_variant not a choice")
        << tube({}, {}, "hls_variant::huge\n")
        << QByteArrayList{"19 error hls_variant::huge is not a variant choice: best, worst or a "
                          "maximum height such as 720; the best is taken"};
    QTest::newRow("unsafe engine_id")
        << tube("engine_id::tube", "engine_id::../tube")
        << QByteArrayList{"2 error engine_id:: names the sub-directory"};
    QTest::newRow("engine_id of a hidden folder")
        << tube("engine_id::tube", "engine_id::.ssh")
        << QByteArrayList{"2 error engine_id:: names the sub-directory"};

    // Bytes and lines.
    QTest::newRow("long line cuts the value")
        << tube("find0_title::<span>", "find0_title::" + QByteArray(1100, 'x'))
        << QByteArrayList{"11 error the line is 1113 bytes long, but only its first 1023 are read"};
    QTest::newRow("key in the rest of a long line")
        << tube({}, {}, QByteArray(1023, '#') + "engine_id::other\n")
        << QByteArrayList{
               "19 warning engine_id:: given again",
               "19 warning the text from byte 1024 of this line is read as a line of its "
               "own, and it sets engine_id::"};
    QTest::newRow("carriage return inside a value")
        << tube("engine_title::Tube", "engine_title::Tu\rbe")
        << QByteArrayList{
               "1 warning a carriage return inside the line: the value of engine_title:: "
               "ends there"};
    QTest::newRow("bytes that are not UTF-8")
        << tube("engine_title::Tube", "engine_title::Caf\xe9")
        << QByteArrayList{"1 warning bytes that are not UTF-8 (1 line(s)"};
    QTest::newRow("NUL byte: one error")
        << tube() + QByteArray("\x7f"
                               "ELF\0\0\x01",
                               7)
        << QByteArrayList{"20 error a NUL byte: this is a binary file"};
}

void tst_EngineLint::text()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, expected);
    compareFindings(EngineLint::checkText(text), expected);
}

void tst_EngineLint::file_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("clean file") << QByteArray("clean") << QByteArrayList{};
    QTest::newRow("fail: larger than the cap")
        << QByteArray("huge") << QByteArrayList{"0 error larger than 1048576 bytes"};
    QTest::newRow("fail: binary") << QByteArray("binary") << QByteArrayList{"1 error a NUL byte"};
    QTest::newRow("fail: directory")
        << QByteArray("directory") << QByteArrayList{"0 error not a regular file"};
    QTest::newRow("fail: pipe, never opened")
        << QByteArray("pipe") << QByteArrayList{"0 error not a regular file"};
    QTest::newRow("fail: missing")
        << QByteArray("missing") << QByteArrayList{"0 error no such file"};
}

void tst_EngineLint::file()
{
    QFETCH(QByteArray, kind);
    QFETCH(QByteArrayList, expected);
    const QString path = m_dir->filePath(QStringLiteral("e.zin"));
    if (kind == "clean") {
        QVERIFY(TestFiles::write(path, tube()));
    } else if (kind == "huge") {
        // Text all through, with keys: only the size may decide.
        QByteArray text = tube();
        text.append(QByteArray("engine_title::x\n").repeated(EngineLint::MaxFileBytes / 16 + 1));
        QVERIFY(TestFiles::write(path, text));
    } else if (kind == "binary") {
        QVERIFY(TestFiles::write(path, TestFiles::randomBytes(4096, 7).replace('\0', '\1') +
                                           QByteArray(1, '\0')));
        // The random bytes may hold line feeds: the NUL is on the last line.
        const QByteArray bytes = TestFiles::read(path);
        expected = {QByteArray::number(bytes.count('\n') + 1) + " error a NUL byte"};
    } else if (kind == "directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    compareFindings(EngineLint::checkFile(path), expected);
}

void tst_EngineLint::keyLines()
{
    const EngineLint lint =
        EngineLint::checkText(tube({}, {}, "engine_id::second\ndownload_key0::<source src=\"\n"));
    QCOMPARE(lint.keyLine(Engine::Id), 19);
    QCOMPARE(lint.value(Engine::Id), QByteArray("second"));
    QCOMPARE(lint.keyLine(Engine::markerKey(0, Engine::TitleEnd)), 12);
    QCOMPARE(lint.keyLine(Engine::markerKey(1, Engine::TitleEnd)), 0);
    QCOMPARE(lint.stageKeyLine(Engine::StageUrl, 0), 14);
    QCOMPARE(lint.stageKeyLine(Engine::StageBegin, 0), 20);
    QCOMPARE(lint.stageKeyLine(Engine::StageEnd, 1), 0);
    QVERIFY(!lint.hasErrors());
    QCOMPARE(EngineLint::format(QStringLiteral("a.zin"), lint.findings().first()),
             QStringLiteral("a.zin:19: warning: engine_id:: given again (before on line 2); "
                            "this one counts"));
    QCOMPARE(EngineLint::format(QStringLiteral("a.zin"),
                                {0, EngineLint::Severity::Error, QStringLiteral("m")}),
             QStringLiteral("a.zin: error: m"));
}

void tst_EngineLint::nearestKey_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("nearest");

    QTest::newRow("one letter off")
        << QByteArray("download_redirect::") << QByteArray("dowuload_redirect::");
    QTest::newRow("letters swapped")
        << QByteArray("engine_titel::") << QByteArray("engine_title::");
    QTest::newRow("stage number kept")
        << QByteArray("download_ur12::") << QByteArray("download_url12::");
    QTest::newRow("fail: too far from every key") << QByteArray("note::") << QByteArray();
}

void tst_EngineLint::nearestKey()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, nearest);
    QCOMPARE(EngineLint::nearestKey(name), nearest);
}

// The GUI asks the loader for the findings; other front ends keep quiet.
void tst_EngineLint::loadReport()
{
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/a.zin")),
                             tube("dowuload_redirect::1", "download_redirect::1")));
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/b.zin")), tube()));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral(".zindles/c.zin"))));
    // The loader names files by the absolute path of the directory it was given.
    const QString engineDir =
        QDir::cleanPath(QDir(m_dir->path()).absolutePath()) + QStringLiteral("/.zindles/");
    {
        StderrCapture capture;
        Settings settings(m_dir->path(), Settings::EngineReport::Lint);
        QCOMPARE(settings.engineCount(), 2);
        const QByteArray a = QFile::encodeName(engineDir + QStringLiteral("a.zin"));
        const QByteArrayList lines = capture.text().split('\n');
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[0], a + ":13: error: download_redirect:: is not a key; the stage count is "
                               "dowuload_redirect::");
        QVERIFY(lines[1].startsWith(a + ":14: warning: download_url0:: is ignored"));
        QCOMPARE(lines[4], "cannot open the engine file " +
                               QFile::encodeName(engineDir + QStringLiteral("c.zin")));
    }
    StderrCapture capture;
    Settings settings(m_dir->path());
    QCOMPARE(settings.engineCount(), 2);
    QVERIFY2(!capture.text().contains("a.zin"), capture.text().constData());
}

void tst_EngineLint::cli_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");

    const QByteArray badLines = ".zindles/b.zin:13: error: download_redirect:: is not a key; the "
                                "stage count is dowuload_redirect::\n"
                                ".zindles/b.zin:14: warning: download_url0:: is ignored: "
                                "dowuload_redirect:: is 0, so there are no stages\n"
                                ".zindles/b.zin:15: warning: download_key0:: is ignored: "
                                "dowuload_redirect:: is 0, so there are no stages\n"
                                ".zindles/b.zin:16: warning: download_key0_:: is ignored: "
                                "dowuload_redirect:: is 0, so there are no stages\n";
    QTest::newRow("every engine")
        << QStringList{} << 1
        << badLines + ".zindles/c.zin:2: warning: engine_id::tube is also the ID of "
                      ".zindles/a.zin, whose engine downloads the hits of both\n"
        << QByteArray("3 file(s) checked: 1 error(s), 4 warning(s)\n");
    QTest::newRow("one clean file")
        << QStringList{QStringLiteral(".zindles/a.zin")} << 0 << QByteArray()
        << QByteArray("1 file(s) checked: 0 error(s), 0 warning(s)\n");
    QTest::newRow("by engine_id") << QStringList{QStringLiteral("bad")} << 1 << badLines
                                  << QByteArray("1 file(s) checked: 1 error(s), 3 warning(s)\n");
    QTest::newRow("fail: no such engine")
        << QStringList{QStringLiteral("nothing")} << 1 << QByteArray()
        << QByteArray("nothing: error: no such file, and no engine in .zindles has that "
                      "engine_id\n0 file(s) checked: 0 error(s), 0 warning(s)\n");
    QTest::newRow("fail: unknown option")
        << QStringList{QStringLiteral("--strict")} << 2 << QByteArray()
        << QByteArray("zindle-cli check-engine: unknown option \"--strict\"\nusage: zindle-cli");
}

void tst_EngineLint::cli()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    const QString engines = m_dir->filePath(QStringLiteral(".zindles/"));
    QVERIFY(TestFiles::write(engines + QStringLiteral("a.zin"), tube()));
    QVERIFY(TestFiles::write(engines + QStringLiteral("b.zin"),
                             tube("dowuload_redirect::1", "download_redirect::1")
                                 .replace("engine_id::tube", "engine_id::bad")));
    QVERIFY(TestFiles::write(engines + QStringLiteral("c.zin"), tube()));

    const CliRun::Result cli =
        CliRun::run(m_dir->path(), QStringList{QStringLiteral("check-engine")} + args);
    QVERIFY2(cli.finished, cli.err.constData());
    QCOMPARE(cli.exitCode, exitCode);
    QCOMPARE(cli.out, out);
    QVERIFY2(cli.err.startsWith(err), cli.err.constData());
}

QTEST_GUILESS_MAIN(tst_EngineLint)
#include "tst_enginelint.moc"
