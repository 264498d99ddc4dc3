#include "CliRun.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/extract/ResultScan.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>
#include <climits>

namespace {

// The key names by index, written out independently of the parser's table.
QList<QByteArray> expectedKeyNames()
{
    QList<QByteArray> names = {
        "engine_title::", "engine_id::",          "search_name::",   "search_name_option::",
        "search_user::",  "search_user_option::", "search_direct::", "search_direct_option::",
        "search_start::", "search_step::"};
    const char *const markers[] = {"http", "top",   "top_",  "id",     "id_",  "title", "title_",
                                   "user", "user_", "image", "image_", "time", "time_"};
    for (int mode = 0; mode < 3; ++mode) {
        for (const char *marker : markers)
            names.append("find" + QByteArray::number(mode) + "_" + marker + "::");
    }
    names << "download_http::"
          << "dowuload_redirect::"
          << "dowuload_retry::"
          << "download_target::"
          << "download_ext::";
    return names;
}

} // namespace

class tst_Engine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void keyTable();
    void searchKeys_data();
    void searchKeys();
    void parseText_data();
    void parseText();
    void number_data();
    void number();
    void stages_data();
    void stages();
    void parseFailure();
    void fileLimits_data();
    void fileLimits();
    void parseTextRefused_data();
    void parseTextRefused();
    void retryCount_data();
    void retryCount();
    void loadTable_data();
    void loadTable();
    void findEngine_data();
    void findEngine();
    void cliEngines();
    void cliUsage_data();
    void cliUsage();
    void cliCommandHelp_data();
    void cliCommandHelp();

private:
    // Parses the bytes as one engine file.
    bool parse(Engine &engine, const QByteArray &bytes);
    QString engineDir() const { return dir->filePath(QStringLiteral(".zindles/")); }

    std::unique_ptr<QTemporaryDir> dir;
};

void tst_Engine::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_Engine::cleanup()
{
    dir.reset();
}

// Every file parsed here is also read from memory: parseText() must keep the
// same keys and stages, and print nothing.
bool tst_Engine::parse(Engine &engine, const QByteArray &bytes)
{
    const QString name = QStringLiteral("e.zin");
    if (!TestFiles::write(engineDir() + name, bytes))
        return false;
    Engine fromText;
    {
        StderrCapture quiet;
        if (fromText.parseText(bytes) != Engine::Parsed || !quiet.text().isEmpty())
            return false;
    }
    if (engine.parse(engineDir(), name) != 0)
        return false;
    for (int key = 0; key < Engine::KeyCount; ++key) {
        if (fromText.text(key) != engine.text(key))
            return false;
    }
    if (fromText.stagesRefused() != engine.stagesRefused() ||
        fromText.parsedStageCount() != engine.parsedStageCount())
        return false;
    for (int stage = 0; stage < engine.parsedStageCount(); ++stage) {
        for (int kind = Engine::StageUrl; kind <= Engine::StageEnd; ++kind) {
            if (fromText.stageText(kind, stage) != engine.stageText(kind, stage))
                return false;
        }
    }
    return true;
}

void tst_Engine::keyTable()
{
    const QList<QByteArray> names = expectedKeyNames();
    QCOMPARE(names.size(), 54);
    // Every key on its own line, in reverse order, each with its index as value.
    QByteArray file;
    for (qsizetype key = names.size() - 1; key >= 0; --key)
        file += names[key] + "v" + QByteArray::number(key) + "\n";
    Engine engine;
    QVERIFY(parse(engine, file));
    for (int key = 0; key < names.size(); ++key) {
        QCOMPARE(QByteArray(Engine::keyName(key)), names[key]);
        QCOMPARE(engine.text(key), "v" + QByteArray::number(key));
    }
    for (int key = Engine::StageUrl; key <= Engine::StageEnd; ++key)
        QCOMPARE(engine.text(key), QByteArray(""));
}

void tst_Engine::searchKeys_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("prefix"); // empty: no such mode

    QTest::newRow("title") << 0 << QByteArray("find0_");
    QTest::newRow("user") << 1 << QByteArray("find1_");
    QTest::newRow("direct") << 2 << QByteArray("find2_");
    QTest::newRow("fail: mode -1") << -1 << QByteArray();
    QTest::newRow("fail: mode 3") << 3 << QByteArray();
}

void tst_Engine::searchKeys()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, prefix);

    // Every key holds its own name; each option holds 7 + its mode.
    const QList<QByteArray> names = expectedKeyNames();
    QByteArray file;
    for (const QByteArray &name : names)
        file += name + (name.endsWith("_option::") ? QByteArray() : name) + "\n";
    file.replace("search_name_option::", "search_name_option::7");
    file.replace("search_user_option::", "search_user_option::8");
    file.replace("search_direct_option::", "search_direct_option::9");
    Engine engine;
    QVERIFY(parse(engine, file));

    const QByteArray modeNames[] = {"search_name::", "search_user::", "search_direct::"};
    const bool known = !prefix.isEmpty();
    QCOMPARE(engine.searchTemplate(mode), known ? modeNames[mode] : QByteArray(""));
    QCOMPARE(engine.searchOption(mode), known ? 7 + mode : 0);

    const char *const fields[] = {"http", "top",   "top_",  "id",     "id_",  "title", "title_",
                                  "user", "user_", "image", "image_", "time", "time_"};
    for (int field = Engine::FindHttp; field <= Engine::TimeEnd; ++field) {
        const QByteArray expected = known ? prefix + fields[field] + "::" : QByteArray("");
        QCOMPARE(engine.marker(mode, Engine::MarkerOffset(field)), expected);
    }

    const MarkerSet set = engine.markerSet(mode);
    const QByteArray *pairs[] = {set.top, set.id, set.title, set.user, set.image, set.time};
    const char *const pairNames[] = {"top", "id", "title", "user", "image", "time"};
    for (int i = 0; i < 6; ++i) {
        const QByteArray begin = known ? prefix + pairNames[i] + "::" : QByteArray("");
        const QByteArray end = known ? prefix + pairNames[i] + "_::" : QByteArray("");
        QCOMPARE(pairs[i][0], begin);
        QCOMPARE(pairs[i][1], end);
    }
}

void tst_Engine::parseText_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("blanks kept, CR dropped")
        << QByteArray("engine_title::  T  \r\n") << int(Engine::Title) << QByteArray("  T  ");
    QTest::newRow("value ends at a lone CR")
        << QByteArray("engine_id::a\rb\n") << int(Engine::Id) << QByteArray("a");
    QTest::newRow("no line end at the end of the file")
        << QByteArray("engine_id::x") << int(Engine::Id) << QByteArray("x");
    QTest::newRow("empty value") << QByteArray("engine_id::x\nengine_id::\n") << int(Engine::Id)
                                 << QByteArray("");
    QTest::newRow("last line wins") << QByteArray("engine_id::one\r\nrem\r\nengine_id::two\r\n")
                                    << int(Engine::Id) << QByteArray("two");
    QTest::newRow("remarks and blank lines anywhere")
        << QByteArray("rem\n\nendof\ndownload_target::http://a/%s\nendof\n") << int(Engine::Target)
        << QByteArray("http://a/%s");
    QTest::newRow("value holds another key name")
        << QByteArray("engine_id::engine_title::x\n") << int(Engine::Title) << QByteArray("");
    QTest::newRow("line cut at 1023 bytes")
        << QByteArray("engine_id::" + QByteArray(1100, 'a') + "\n") << int(Engine::Id)
        << QByteArray(1023 - 11, 'a');
    QTest::newRow("rest of a long line is a further line")
        << QByteArray("engine_title::" + QByteArray(1023 - 14, 'x') + "engine_id::z\n")
        << int(Engine::Id) << QByteArray("z");
    QTest::newRow("a 1022-byte line is whole")
        << QByteArray("engine_id::" + QByteArray(1022 - 11, 'b') + "\nengine_title::t\n")
        << int(Engine::Id) << QByteArray(1022 - 11, 'b');
    QTest::newRow("fail: leading blank sets nothing")
        << QByteArray(" engine_id::x\n") << int(Engine::Id) << QByteArray("");
    QTest::newRow("fail: name case matters")
        << QByteArray("Engine_ID::x\n") << int(Engine::Id) << QByteArray("");
    QTest::newRow("fail: missing key")
        << QByteArray("engine_id::x\n") << int(Engine::Ext) << QByteArray("");
}

void tst_Engine::parseText()
{
    QFETCH(QByteArray, file);
    QFETCH(int, key);
    QFETCH(QByteArray, expected);
    Engine engine;
    QVERIFY(parse(engine, file));
    QCOMPARE(engine.text(key), expected);
    QCOMPARE(engine.textLength(key), int(expected.size()));
    QVERIFY(!engine.text(key).isNull());
}

void tst_Engine::number_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("digits") << QByteArray("2") << 2;
    QTest::newRow("blanks around") << QByteArray("  2  ") << 2;
    QTest::newRow("signs") << QByteArray("-7") << -7;
    QTest::newRow("plus") << QByteArray("+3") << 3;
    QTest::newRow("largest") << QByteArray("2147483647") << INT_MAX;
    QTest::newRow("smallest") << QByteArray("-2147483648") << INT_MIN;
    QTest::newRow("fail: trailing letter") << QByteArray("2a") << 0;
    QTest::newRow("fail: empty") << QByteArray("") << 0;
    QTest::newRow("fail: blank between sign and digits") << QByteArray("- 2") << 0;
    QTest::newRow("fail: hexadecimal") << QByteArray("0x10") << 0;
    QTest::newRow("fail: too large") << QByteArray("2147483648") << 0;
    QTest::newRow("fail: too small") << QByteArray("-2147483649") << 0;
}

void tst_Engine::number()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expected);
    Engine engine;
    QVERIFY(parse(engine, "search_start::" + value + "\n"));
    QCOMPARE(engine.number(Engine::SearchStart), expected);
}

void tst_Engine::stages_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("number50");
    // Every entry of the stage list, stage by stage: URL, begin marker, end marker.
    QTest::addColumn<QByteArrayList>("stages");
    QTest::addColumn<bool>("refused");

    QTest::newRow("two stages, only stage 0 given")
        << QByteArray("dowuload_redirect::2\ndownload_url0::http://a/%s\r\n"
                      "download_key0:: <b>\ndownload_key0_::</b> \n")
        << 2 << QByteArrayList{"http://a/%s", " <b>", "</b> ", " ", " ", " "} << false;
    QTest::newRow("2x: two stages, number 0")
        << QByteArray("dowuload_redirect::2x\ndownload_key1_::e1\n") << 0
        << QByteArrayList{" ", " ", " ", " ", " ", "e1"} << false;
    QTest::newRow("stage count after blanks and a sign")
        << QByteArray("dowuload_redirect:: +1\ndownload_url0::u\n") << 1
        << QByteArrayList{"u", " ", " "} << false;
    QTest::newRow("keys beyond the count ignored")
        << QByteArray("download_url1::u1\ndowuload_redirect::1\ndownload_url0::u0\n") << 1
        << QByteArrayList{"u0", " ", " "} << false;
    QTest::newRow("last numbered line wins")
        << QByteArray("dowuload_redirect::1\ndownload_url0::a\ndownload_url0::b\n") << 1
        << QByteArrayList{"b", " ", " "} << false;
    QList<QByteArray> eleven(33, " ");
    eleven[30] = "ten";
    eleven[3] = "one";
    QTest::newRow("two-digit stage numbers")
        << QByteArray("dowuload_redirect::11\ndownload_url10::ten\ndownload_url1::one\n") << 11
        << QByteArrayList(eleven) << false;
    QTest::newRow("64 stages") << QByteArray("dowuload_redirect::64\n") << 64
                               << QByteArrayList(3 * 64, " ") << false;
    QTest::newRow("fail: no count")
        << QByteArray("download_url0::u\n") << 0 << QByteArrayList{} << false;
    QTest::newRow("fail: count not a number")
        << QByteArray("dowuload_redirect::two\ndownload_url0::u\n") << 0 << QByteArrayList{}
        << false;
    QTest::newRow("fail: negative count") << QByteArray("dowuload_redirect::-2\ndownload_url0::u\n")
                                          << -2 << QByteArrayList{} << false;
    QTest::newRow("fail: 65 stages refused")
        << QByteArray("dowuload_redirect::65\ndownload_url0::u\n") << 65 << QByteArrayList{}
        << true;
    QTest::newRow("fail: huge count refused")
        << QByteArray("dowuload_redirect::99999999999\n") << 0 << QByteArrayList{} << true;
}

void tst_Engine::stages()
{
    QFETCH(QByteArray, file);
    QFETCH(int, number50);
    QFETCH(QByteArrayList, stages);
    QFETCH(bool, refused);

    Engine engine;
    StderrCapture capture;
    QVERIFY(parse(engine, file));
    QCOMPARE(engine.number(Engine::StageCount), number50);
    QCOMPARE(engine.parsedStageCount(), int(stages.size() / 3));
    QCOMPARE(engine.stagesRefused(), refused);
    for (int j = 0; j < stages.size(); ++j)
        QCOMPARE(engine.stageText(Engine::StageUrl + j % 3, j / 3), stages[j]);
    // Outside the list every entry reads as a blank.
    const int count = engine.parsedStageCount();
    QCOMPARE(engine.stageText(Engine::StageUrl, count), QByteArray(" "));
    QCOMPARE(engine.stageText(Engine::StageEnd, -1), QByteArray(" "));
    QCOMPARE(engine.stageText(Engine::Id, 0), QByteArray(" "));

    const QByteArray path = QFile::encodeName(engineDir()) + "e.zin";
    const QByteArray countText = engine.text(Engine::StageCount);
    const QByteArray expectedError = refused ? "too many download stages in " + path +
                                                   " (dowuload_redirect::" + countText +
                                                   ", at most 64)\n"
                                             : QByteArray();
    QCOMPARE(capture.text(), expectedError);
}

void tst_Engine::parseFailure()
{
    Engine engine;
    QCOMPARE(engine.parse(engineDir(), QStringLiteral("none.zin")), -1);
    QVERIFY(QDir().mkpath(engineDir() + QStringLiteral("d.zin")));
    QCOMPARE(engine.parse(engineDir(), QStringLiteral("d.zin")), -1);
    QCOMPARE(engine.text(Engine::Id), QByteArray(""));
    QCOMPARE(engine.parsedStageCount(), 0);
}

void tst_Engine::fileLimits_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("grownTo"); // 0, or the size the file is stretched to
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("error"); // %1 stands for the file's path

    constexpr qint64 MiB = 1024 * 1024;
    const QByteArray lastLine = "engine_id::a\n";
    const QByteArray tooLarge = "engine file %1 is larger than 1 MiB; it is not loaded\n";
    const QByteArray notText = "engine file %1 holds NUL bytes and is not text; it is not loaded\n";
    QTest::newRow("1 MiB read to its last line")
        << QByteArray(MiB - lastLine.size(), '\n') + lastLine << qint64(0) << int(Engine::Parsed)
        << QByteArray("a") << QByteArray();
    QTest::newRow("fail: one byte more refused")
        << QByteArray(MiB - lastLine.size() + 1, '\n') + lastLine << qint64(0)
        << int(Engine::Refused) << QByteArray("old") << tooLarge;
    QTest::newRow("fail: 50 MiB refused")
        << lastLine << 50 * MiB << int(Engine::Refused) << QByteArray("old") << tooLarge;
    QTest::newRow("fail: a NUL byte refuses the file")
        << QByteArray("engine_id::a\n\0\n", 15) << qint64(0) << int(Engine::Refused)
        << QByteArray("old") << notText;
    QTest::newRow("fail: UTF-16 text refused")
        << QByteArray("\xff\xfe") +
               QByteArray(reinterpret_cast<const char *>(u"engine_id::a\n"), 2 * lastLine.size())
        << qint64(0) << int(Engine::Refused) << QByteArray("old") << notText;
}

void tst_Engine::fileLimits()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, grownTo);
    QFETCH(int, result);
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, error);

    Engine engine;
    QVERIFY(parse(engine, "engine_id::old\n"));
    const QString path = engineDir() + QStringLiteral("limit.zin");
    QVERIFY(TestFiles::write(path, file));
    if (grownTo > 0)
        QVERIFY(QFile(path).resize(grownTo)); // sparse: no disk space taken

    StderrCapture capture;
    QCOMPARE(engine.parse(engineDir(), QStringLiteral("limit.zin")), result);
    QCOMPARE(engine.text(Engine::Id), id);
    QCOMPARE(capture.text(), QByteArray(error).replace("%1", QFile::encodeName(path)));
}

void tst_Engine::parseTextRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("NUL byte") << QByteArray("engine_id::new\n\0", 16);
    QTest::newRow("larger than 1 MiB")
        << QByteArray("engine_id::new\n").append(QByteArray(Engine::MaxFileSize, 'x'));
}

void tst_Engine::parseTextRefused()
{
    QFETCH(QByteArray, text);
    Engine engine;
    QCOMPARE(engine.parseText("engine_id::old\n"), int(Engine::Parsed));
    StderrCapture capture;
    QCOMPARE(engine.parseText(text), int(Engine::Refused));
    QCOMPARE(engine.text(Engine::Id), QByteArray("old"));
    QCOMPARE(capture.text(), QByteArray());
}

void tst_Engine::retryCount_data()
{
    QTest::addColumn<QByteArray>("value"); // null: no "dowuload_retry::" line
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("warned");

    QTest::newRow("absent") << QByteArray() << 0 << false;
    QTest::newRow("three") << QByteArray("3") << 3 << false;
    QTest::newRow("ten, the most") << QByteArray("10") << 10 << false;
    QTest::newRow("fail: eleven gives ten") << QByteArray("11") << 10 << true;
    QTest::newRow("fail: the largest number gives ten") << QByteArray(" 2147483647 ") << 10 << true;
    QTest::newRow("fail: negative gives none") << QByteArray("-4") << 0 << false;
    QTest::newRow("fail: not a number gives none") << QByteArray("20x") << 0 << false;
    QTest::newRow("fail: past 32 bits is not a number") << QByteArray("99999999999") << 0 << false;
}

void tst_Engine::retryCount()
{
    QFETCH(QByteArray, value);
    QFETCH(int, count);
    QFETCH(bool, warned);

    QByteArray file = "engine_id::fx\n";
    if (!value.isNull())
        file += "dowuload_retry::" + value + "\n";
    StderrCapture capture;
    Engine engine;
    QVERIFY(parse(engine, file));
    QCOMPARE(engine.retryCount(), count);
    QCOMPARE(engine.text(Engine::Retry), value.isNull() ? QByteArray("") : value);
    const QByteArray warning =
        "engine fx (" + QFile::encodeName(engineDir()) +
        "e.zin): dowuload_retry:: " + QByteArray::number(engine.number(Engine::Retry)) +
        " is more than 10; 10 is used\n";
    QCOMPARE(capture.text(), warned ? warning : QByteArray());
}

void tst_Engine::loadTable_data()
{
    // Entry names; a name ending in "/" is made a directory, one
    // ending in ">" a file stretched to 50 MiB. Each file's ID is
    // its name without ".zin".
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QByteArrayList>("ids");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("sorted with case ignored")
        << QStringList{QStringLiteral("c.zin"), QStringLiteral("A.zin"), QStringLiteral("b.zin")}
        << QByteArrayList{"A", "b", "c"} << QByteArray();
    QTest::newRow("hidden files load, other names do not")
        << QStringList{QStringLiteral("x.zin.bak"), QStringLiteral("y.txt"),
                       QStringLiteral(".h.zin"), QStringLiteral("k.zin")}
        << QByteArrayList{".h", "k"} << QByteArray();
    QTest::newRow("no engine directory") << QStringList{} << QByteArrayList{} << QByteArray();
    QTest::newRow("fail: a file over 1 MiB takes no slot")
        << QStringList{QStringLiteral("A.zin"), QStringLiteral("b.zin>"), QStringLiteral("c.zin")}
        << QByteArrayList{"A", "c"}
        << QByteArray("engine file %1b.zin is larger than 1 MiB; it is not loaded\n");
    QTest::newRow("fail: a directory is skipped without a gap")
        << QStringList{QStringLiteral("A.zin"), QStringLiteral("b.zin/"), QStringLiteral("c.zin")}
        << QByteArrayList{"A", "c"} << QByteArray("cannot open the engine file %1b.zin\n");

    QStringList many;
    QByteArrayList loaded;
    for (int i = 0; i < 34; ++i) {
        const QByteArray id = QByteArray::number(i).rightJustified(2, '0');
        many << QString::fromLatin1("e" + id + ".zin");
        if (i < 32)
            loaded << "e" + id;
    }
    QTest::newRow("fail: entries beyond the 32nd left out")
        << many << loaded
        << QByteArray("more than 32 engine files: %1e32.zin and the files after it are ignored\n");
    many[3] += QLatin1Char('/');
    loaded.removeAt(3);
    loaded << "e32";
    QTest::newRow("fail: a skipped entry leaves room for the 33rd")
        << many << loaded
        << QByteArray("cannot open the engine file %1e03.zin\n"
                      "more than 32 engine files: %1e33.zin and the files after it are ignored\n");
}

void tst_Engine::loadTable()
{
    QFETCH(QStringList, entries);
    QFETCH(QByteArrayList, ids);
    QFETCH(QByteArray, error);

    for (const QString &entry : std::as_const(entries)) {
        if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(engineDir() + entry));
            continue;
        }
        const QByteArray id = entry.left(entry.indexOf(QLatin1Char('.'), 1)).toLatin1();
        if (entry.endsWith(QLatin1Char('>'))) {
            const QString path = engineDir() + entry.chopped(1);
            QVERIFY(TestFiles::write(path, "engine_id::" + id + "\n"));
            QVERIFY(QFile(path).resize(50 * 1024 * 1024));
            continue;
        }
        QVERIFY(TestFiles::write(engineDir() + entry, "engine_id::" + id + "\n"));
    }

    StderrCapture capture;
    Settings settings(dir->path());
    QCOMPARE(settings.engineCount(), int(ids.size()));
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(settings.engine(i)->text(Engine::Id), ids[i]);
    QVERIFY(!settings.engine(int(ids.size())));
    QVERIFY(!settings.engine(-1));
    const QByteArray prefix = QFile::encodeName(settings.engineDir());
    QCOMPARE(capture.text(), QByteArray(error).replace("%1", prefix));
}

void tst_Engine::findEngine_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("title"); // null: no engine

    QTest::newRow("exact") << QByteArray("y") << QByteArray("B");
    QTest::newRow("first of two") << QByteArray("x") << QByteArray("A");
    QTest::newRow("empty ID finds the engine without one") << QByteArray("") << QByteArray("D");
    QTest::newRow("fail: none") << QByteArray("z") << QByteArray();
    QTest::newRow("fail: case differs") << QByteArray("X") << QByteArray();
    QTest::newRow("fail: null ID") << QByteArray() << QByteArray();
}

void tst_Engine::findEngine()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, title);
    QVERIFY(
        TestFiles::write(engineDir() + QStringLiteral("c.zin"), "engine_title::C\nengine_id::x\n"));
    QVERIFY(
        TestFiles::write(engineDir() + QStringLiteral("A.zin"), "engine_title::A\nengine_id::x\n"));
    QVERIFY(
        TestFiles::write(engineDir() + QStringLiteral("b.zin"), "engine_title::B\nengine_id::y\n"));
    QVERIFY(TestFiles::write(engineDir() + QStringLiteral("d.zin"), "engine_title::D\n"));
    Settings settings(dir->path());
    QCOMPARE(settings.engineCount(), 4);
    const Engine *engine = settings.findEngine(id);
    if (title.isNull()) {
        QVERIFY(!engine);
        return;
    }
    QVERIFY(engine);
    QCOMPARE(engine->text(Engine::Title), title);
}

void tst_Engine::cliEngines()
{
    QVERIFY(TestFiles::write(engineDir() + QStringLiteral("A.zin"),
                             "engine_title::First one\r\nengine_id::first\r\n"
                             "dowuload_redirect::2x\r\n"));
    QVERIFY(QDir().mkpath(engineDir() + QStringLiteral("b.zin")));
    QVERIFY(TestFiles::write(engineDir() + QStringLiteral("c.zin"),
                             "engine_id::third\ndowuload_redirect::65\n"));

    const CliRun::Result cli = CliRun::run(dir->path(), {QStringLiteral("engines")}, 30000);
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitStatus, QProcess::NormalExit);
    QCOMPARE(cli.exitCode, 0);
    QCOMPARE(cli.out, QByteArray("0\tfirst\tFirst one\t2\n1\tthird\t\t0\n"));
    const QByteArray prefix = QFile::encodeName(QFileInfo(engineDir()).canonicalFilePath()) + "/";
    QCOMPARE(cli.err, "cannot open the engine file " + prefix + "b.zin\n" +
                          "too many download stages in " + prefix +
                          "c.zin (dowuload_redirect::65, at most 64)\n");
    // Listing the engines writes no settings.
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("z_user.ini"))));
}

void tst_Engine::cliUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("usageOnStdout");

    QTest::newRow("help") << QStringList{QStringLiteral("--help")} << 0 << true;
    QTest::newRow("fail: unknown command") << QStringList{QStringLiteral("bogus")} << 2 << false;
    QTest::newRow("fail: no command") << QStringList{} << 2 << false;
    QTest::newRow("fail: engines takes no argument")
        << QStringList{QStringLiteral("engines"), QStringLiteral("x")} << 2 << false;
}

void tst_Engine::cliUsage()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(bool, usageOnStdout);

    const CliRun::Result cli = CliRun::run(dir->path(), args, 30000);
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, exitCode);
    const QByteArray &out = cli.out;
    const QByteArray &err = cli.err;
    const QByteArray &usage = usageOnStdout ? out : err;
    QVERIFY2(usage.contains("usage: zindle-cli COMMAND"), usage.constData());
    QVERIFY(usage.contains("engines"));
    QVERIFY((usageOnStdout ? err : out).isEmpty());
}

void tst_Engine::cliCommandHelp_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("firstLine");

    QTest::newRow("engines") << QStringList{QStringLiteral("engines"), QStringLiteral("--help")}
                             << QByteArray("usage: zindle-cli engines [-v]\n");
    QTest::newRow("get, help after the URL")
        << QStringList{QStringLiteral("get"), QStringLiteral("http://127.0.0.1:9/"),
                       QStringLiteral("-h")}
        << QByteArray("usage: zindle-cli get [-v] URL [-o FILE] [--cafile FILE]\n");
    QTest::newRow("search")
        << QStringList{QStringLiteral("search"), QStringLiteral("--help")}
        << QByteArray("usage: zindle-cli search [-v] [--engine N|ID] [--mode title|user|url] "
                      "[--page N] [--add] WORD\n");
    QTest::newRow("download") << QStringList{QStringLiteral("download"), QStringLiteral("--help")}
                              << QByteArray("usage: zindle-cli download [-v]\n");
}

// Each command answers --help with its own usage, and does nothing else.
void tst_Engine::cliCommandHelp()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, firstLine);

    const CliRun::Result cli = CliRun::run(dir->path(), args, 30000);
    QVERIFY(cli.finished);
    QCOMPARE(cli.exitCode, 0);
    QVERIFY2(cli.out.startsWith(firstLine), cli.out.constData());
    QCOMPARE(cli.err, QByteArray());
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("z_user.ini"))));
}

QTEST_GUILESS_MAIN(tst_Engine)
#include "tst_engine.moc"
