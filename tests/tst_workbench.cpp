#include "LocalPorts.h"
#include "ScriptedServer.h"
#include "TestFiles.h"
#include "core/job/Trace.h"
#include "gui/RowItems.h"
#include "gui/workbench/PageText.h"
#include "gui/workbench/QEngineWorkbench.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTreeWidget>
#include <QtTest>
#include <unistd.h>

using Script = ScriptedServer::Script;
using Step = ScriptedServer::Step;

namespace {

QByteArray fixture(const char *name)
{
    return TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/workbench/") + QLatin1String(name));
}

// The rows of a list, top to bottom, each as its texts joined by tabs.
QStringList listed(const QTreeWidget *list)
{
    QStringList lines;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QStringList texts;
        for (int column = 0; column < list->columnCount(); ++column)
            texts.append(list->topLevelItem(i)->text(column));
        lines.append(texts.join(QLatin1Char('\t')));
    }
    return lines;
}

// The hits of page.html as the Search tab lists them: the last hit on top.
QStringList twoHitsShown()
{
    return {QStringLiteral("H\tDogs\t2:30\tbo\tv2\tbench\t/i/v2.jpg"),
            QStringLiteral("H\tCaf\u00e9 & cats\t1:00\tann\tv1\tbench\t/i/v1.jpg")};
}

struct Range
{
    int start = 0;
    int end = 0;
    QColor colour;
};

QList<Range> highlighted(const QPlainTextEdit *view)
{
    QList<Range> ranges;
    for (const QTextEdit::ExtraSelection &selection : view->extraSelections())
        ranges.append({selection.cursor.selectionStart(), selection.cursor.selectionEnd(),
                       selection.format.background().color()});
    return ranges;
}

// Selects the first occurrence of `text` in the editor, as a user would
// before typing over it.
bool selectInEditor(QPlainTextEdit *editor, const QString &text)
{
    const QTextCursor found = editor->document()->find(text);
    if (found.isNull())
        return false;
    editor->setTextCursor(found);
    return true;
}

int lineOf(const QByteArray &text, const QByteArray &line)
{
    const qsizetype at = text.indexOf(line);
    return at < 0 ? -1 : int(text.left(at).count('\n')) + 1;
}

} // namespace

class tst_Workbench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void hitsFollowEdits_data();
    void hitsFollowEdits();
    void findingsOnTheirLines_data();
    void findingsOnTheirLines();
    void pageText_data();
    void pageText();
    void highlightsCoverCuts();
    void openPage();
    void fetchOffGuiThread();
    void fetchFailure();
    void resolveShowsStages_data();
    void resolveShowsStages();
    void saveWritesAtomically();

private:
    QByteArray engineText() const
    {
        return fixture("chain.zin").replace("@BASE@", m_server.url(""));
    }
    // A shown workbench with the fixture engine and, when asked, the fixture page.
    std::unique_ptr<QEngineWorkbench> bench(bool withPage = true);
    template<typename T>
    T *child(QObject *parent, const char *name)
    {
        T *found = parent->findChild<T *>(QLatin1String(name));
        if (!found)
            qWarning("no child %s", name);
        return found;
    }

    ScriptedServer m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Workbench::initTestCase()
{
    Trace::setEnabled(false); // every refresh cuts the page again
    QVERIFY(m_server.start());
}

void tst_Workbench::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Workbench::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<QEngineWorkbench> tst_Workbench::bench(bool withPage)
{
    auto window = std::make_unique<QEngineWorkbench>();
    window->setEngineText(engineText());
    if (withPage)
        window->setPage(fixture("page.html"));
    window->resize(1000, 700);
    window->show();
    QApplication::setActiveWindow(window.get());
    if (!QTest::qWaitForWindowActive(window.get()))
        return nullptr;
    return window;
}

void tst_Workbench::hitsFollowEdits_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("time marker cuts the user")
        << QStringLiteral("find0_time::<em>") << QStringLiteral("find0_time::<i>")
        << QStringList{
               QStringLiteral("H\tDogs\tbo</i> <em>2:30\tbo\tv2\tbench\t/i/v2.jpg"),
               QStringLiteral("H\tCaf\u00e9 & cats\tann</i> <em>1:00\tann\tv1\tbench\t/i/v1.jpg")};
    QTest::newRow("top end marker that never matches")
        << QStringLiteral("find0_top_::\" data-id") << QStringLiteral("find0_top_::\" data-x")
        << QStringList();
    QTest::newRow("engine id is the type")
        << QStringLiteral("engine_id::bench") << QStringLiteral("engine_id::pets")
        << QStringList{QStringLiteral("H\tDogs\t2:30\tbo\tv2\tpets\t/i/v2.jpg"),
                       QStringLiteral("H\tCaf\u00e9 & cats\t1:00\tann\tv1\tpets\t/i/v1.jpg")};
}

void tst_Workbench::hitsFollowEdits()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QStringList, expected);

    auto window = bench();
    QVERIFY(window);
    auto *editor = child<QPlainTextEdit>(window.get(), "engineEdit");
    auto *hits = child<QTreeWidget>(window.get(), "hitList");
    QVERIFY(editor && hits);
    QCOMPARE(listed(hits), twoHitsShown());
    QCOMPARE(hits->headerItem()->text(1), QStringLiteral("Title"));
    const int connections = m_server.connectionCount();

    QVERIFY(selectInEditor(editor, from));
    QElapsedTimer clock;
    qint64 changedAfter = -1;
    connect(window.get(), &QEngineWorkbench::refreshed, this, [&] {
        if (changedAfter < 0 && listed(hits) != twoHitsShown())
            changedAfter = clock.elapsed();
    });
    QTest::keyClicks(editor, to);
    clock.start(); // the last key press starts the pause
    QTRY_VERIFY_WITH_TIMEOUT(changedAfter >= 0, 1000);
    QVERIFY2(changedAfter <= 200, QByteArray::number(changedAfter));
    QCOMPARE(listed(hits), expected);
    QCOMPARE(m_server.connectionCount(), connections); // nothing fetched again
}

void tst_Workbench::findingsOnTheirLines_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    // The line of the finding is the line `marker` stands on after the edit.
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QString>("message");

    QTest::newRow("misspelled key")
        << QByteArray("engine_title::") << QByteArray("engine_titel::")
        << QByteArray("engine_titel::") << QStringLiteral("engine_title::");
    QTest::newRow("marker without its end")
        << QByteArray("find0_user_::</i>\n") << QByteArray("") << QByteArray("find0_user::")
        << QStringLiteral("find0_user_::");
}

void tst_Workbench::findingsOnTheirLines()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QByteArray, marker);
    QFETCH(QString, message);

    auto window = bench(false);
    QVERIFY(window);
    auto *editor = child<QPlainTextEdit>(window.get(), "engineEdit");
    auto *findings = child<QListWidget>(window.get(), "findingsList");
    QVERIFY(editor && findings);
    QCOMPARE(findings->count(), 0);
    QVERIFY(editor->extraSelections().isEmpty());

    const QByteArray text = engineText().replace(from, to);
    const int line = lineOf(text, marker);
    QVERIFY(line > 1);
    editor->setPlainText(QString::fromUtf8(text));
    QTRY_VERIFY_WITH_TIMEOUT(findings->count() > 0, 1000);

    QListWidgetItem *item = nullptr;
    for (int i = 0; i < findings->count(); ++i) {
        if (findings->item(i)->data(Qt::UserRole).toInt() == line)
            item = findings->item(i);
    }
    QVERIFY2(item, qPrintable(findings->item(0)->text()));
    QVERIFY2(item->text().startsWith(QString::number(line) + QLatin1String(": ")),
             qPrintable(item->text()));
    QVERIFY2(item->text().contains(message), qPrintable(item->text()));

    QList<int> marked;
    for (const QTextEdit::ExtraSelection &selection : editor->extraSelections()) {
        marked.append(selection.cursor.block().blockNumber() + 1);
        QCOMPARE(selection.cursor.selectedText(), selection.cursor.block().text());
    }
    QVERIFY(marked.contains(line));

    editor->moveCursor(QTextCursor::End);
    const QRect rect = findings->visualItemRect(item);
    QTest::mouseClick(findings->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(editor->textCursor().blockNumber() + 1, line);
}

void tst_Workbench::pageText_data()
{
    QTest::addColumn<QByteArray>("page");
    QTest::addColumn<QString>("text");
    // The text position of every byte offset, the end included.
    QTest::addColumn<QList<int>>("positions");

    QTest::newRow("CR LF keeps only the LF")
        << QByteArray("a\r\nb") << QStringLiteral("a\nb") << QList<int>{0, 1, 1, 2, 3};
    QTest::newRow("lone CR and other controls shown as pictures")
        << QByteArray("\r\x01\t\x7f") << QStringLiteral("\u240d\u2401\t\u2421")
        << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("UTF-8 sequences are one character each")
        << QByteArray("\xc3\xa9x\xf0\x9f\x98\x80y") << QStringLiteral("\u00e9x\U0001F600y")
        << QList<int>{0, 0, 1, 2, 2, 2, 2, 4, 5};
    QTest::newRow("bytes of no valid sequence are U+FFFD each")
        << QByteArray("\xc3(\xed\xa0\x80\xff") << QStringLiteral("\ufffd(\ufffd\ufffd\ufffd\ufffd")
        << QList<int>{0, 1, 2, 3, 4, 5, 6};
}

void tst_Workbench::pageText()
{
    QFETCH(QByteArray, page);
    QFETCH(QString, text);
    QFETCH(QList<int>, positions);

    const PageText shown(page);
    QCOMPARE(shown.text(), text);
    QList<int> actual;
    for (qsizetype offset = 0; offset <= page.size(); ++offset)
        actual.append(shown.position(offset));
    QCOMPARE(actual, positions);
}

void tst_Workbench::highlightsCoverCuts()
{
    auto window = bench();
    QVERIFY(window);
    auto *view = child<QPlainTextEdit>(window.get(), "pageView");
    QVERIFY(view);
    // The view drops the CR of CR LF and shows each UTF-8 character once, so
    // its positions are not the page's byte offsets.
    const QString shown = QString::fromUtf8(fixture("page.html"))
                              .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QCOMPARE(view->toPlainText(), shown);

    const QList<Range> ranges = highlighted(view);
    const auto colourAt = [&](int start, int end) -> QColor {
        for (const Range &range : ranges) {
            if (range.start == start && range.end == end)
                return range.colour;
        }
        return QColor();
    };
    // Every cut of both hits, by its markers: the text between them is highlighted.
    const QList<QPair<QString, QString>> fields = {
        {QStringLiteral("data-id=\""), QStringLiteral("\"")},
        {QStringLiteral("<h3>"), QStringLiteral("</h3>")},
        {QStringLiteral("<i>"), QStringLiteral("</i>")},
        {QStringLiteral("<img src=\""), QStringLiteral("\"")},
        {QStringLiteral("<em>"), QStringLiteral("</em>")}};
    const QString top = QStringLiteral("<div class=\"");
    const int first = int(shown.indexOf(top));
    const int second = int(shown.indexOf(top, first + 1));
    QVERIFY(first > 0 && second > first);
    QSet<QRgb> fieldColours;
    for (const int block : {first, second}) {
        const QColor marker = colourAt(block, block + int(top.size()));
        QVERIFY(marker.isValid());
        for (const auto &[begin, end] : fields) {
            const int cutStart = int(shown.indexOf(begin, block)) + int(begin.size());
            const int cutEnd = int(shown.indexOf(end, cutStart));
            const QColor colour = colourAt(cutStart, cutEnd);
            QVERIFY2(colour.isValid(), qPrintable(shown.mid(cutStart, cutEnd - cutStart)));
            QVERIFY(colour != marker);
            fieldColours.insert(colour.rgb());
        }
    }
    QCOMPARE(fieldColours.size(), fields.size()); // one colour per field, the same in each hit
    // The first block runs up to the second, the second to the end of its last cut.
    QVERIFY(colourAt(first, second).isValid());
    QVERIFY(colourAt(second, int(shown.indexOf(QStringLiteral("</em>"), second))).isValid());
    QVERIFY(colourAt(first, second) !=
            colourAt(second, int(shown.indexOf(QStringLiteral("</em>"), second))));
}

void tst_Workbench::openPage()
{
    auto window = bench(false);
    QVERIFY(window);
    auto *hits = child<QTreeWidget>(window.get(), "hitList");
    auto *status = child<QLabel>(window.get(), "pageStatus");
    QVERIFY(hits && status && child<QPushButton>(window.get(), "openPageButton"));
    QCOMPARE(hits->topLevelItemCount(), 0);

    const QString path = m_dir->filePath(QStringLiteral("saved.html"));
    QVERIFY(TestFiles::write(path, fixture("page.html")));
    QVERIFY(window->openPage(path));
    QCOMPARE(window->page(), fixture("page.html"));
    QCOMPARE(listed(hits), twoHitsShown());

    const QString missing = m_dir->filePath(QStringLiteral("missing.html"));
    QVERIFY(!window->openPage(missing));
    QVERIFY(!window->openPage(m_dir->path()));
    QCOMPARE(window->page(), fixture("page.html"));
    QVERIFY(status->text().contains(m_dir->path()));
}

void tst_Workbench::fetchOffGuiThread()
{
    auto window = bench(false);
    QVERIFY(window);
    auto *word = child<QLineEdit>(window.get(), "wordEdit");
    auto *address = child<QLineEdit>(window.get(), "addressEdit");
    auto *fill = child<QPushButton>(window.get(), "fillButton");
    auto *fetch = child<QPushButton>(window.get(), "fetchButton");
    auto *hits = child<QTreeWidget>(window.get(), "hitList");
    QVERIFY(word && address && fill && fetch && hits);

    word->setText(QStringLiteral("caf\u00e9 au lait"));
    QTest::mouseClick(fill, Qt::LeftButton);
    QCOMPARE(address->text().toUtf8(), m_server.url("/results-1.html?q=caf%C3%A9+au+lait"));

    const QByteArray page = fixture("page.html");
    Script held = {Step::await()};
    held += ScriptedServer::reply(200, page);
    m_server.setRoute("/results-1.html?q=caf%C3%A9+au+lait", held);
    QTest::mouseClick(fetch, Qt::LeftButton);
    // The answer is held back: the window goes on while the request waits.
    QVERIFY(window->busy());
    QVERIFY(!fetch->isEnabled());
    QTRY_COMPARE(m_server.requests().size(), 1);
    QTest::qWait(50);
    QVERIFY(window->page().isEmpty());
    QCOMPARE(hits->topLevelItemCount(), 0);

    QSignalSpy finished(window.get(), &QEngineWorkbench::fetchFinished);
    m_server.proceed();
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(window->page(), page);
    QCOMPARE(listed(hits), twoHitsShown());
    QVERIFY(fetch->isEnabled());
    QVERIFY(
        child<QLabel>(window.get(), "pageStatus")->text().contains(QLatin1String("status 200")));
}

void tst_Workbench::fetchFailure()
{
    auto window = bench();
    QVERIFY(window);
    auto *address = child<QLineEdit>(window.get(), "addressEdit");
    auto *status = child<QLabel>(window.get(), "pageStatus");
    QVERIFY(address && status);
    const quint16 port = LocalPorts::freePort();
    QVERIFY(port != 0);
    address->setText(QStringLiteral("http://127.0.0.1:%1/none.html").arg(port));
    QSignalSpy finished(window.get(), &QEngineWorkbench::fetchFinished);
    QTest::mouseClick(child<QPushButton>(window.get(), "fetchButton"), Qt::LeftButton);
    QTRY_COMPARE(finished.size(), 1);
    QVERIFY2(status->text().contains(QLatin1String("network error")), qPrintable(status->text()));
    QCOMPARE(window->page(), fixture("page.html")); // the page shown stays
}

void tst_Workbench::resolveShowsStages_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("mentions"); // the explanation of a miss names the marker's line

    const QString base = QString::fromUtf8(m_server.url(""));
    QTest::newRow("two stages to the file")
        << 0
        << QStringList{QStringLiteral("0\t%1/watch/v2\t200\tplay?v=v2").arg(base),
                       QStringLiteral("1\t%1/play?v=v2\t200\tfiles/v2").arg(base),
                       QStringLiteral("target\t%1/media/files/v2\t\t").arg(base)}
        << QStringLiteral("Final URL: %1/media/files/v2").arg(base) << QString();
    QTest::newRow("fail: markers missing at stage 1")
        << 1
        << QStringList{QStringLiteral("0\t%1/watch/v1\t200\tplay?v=v1").arg(base),
                       QStringLiteral("1\t%1/play?v=v1\t200").arg(base)}
        << QStringLiteral("Not resolved: stage 1: markers not found\n")
        << QStringLiteral("download_key1::, line %1")
               .arg(lineOf(fixture("chain.zin"), "download_key1::"));
}

void tst_Workbench::resolveShowsStages()
{
    QFETCH(int, row);
    QFETCH(QStringList, expected);
    QFETCH(QString, outcome);
    QFETCH(QString, mentions);

    m_server.setRoute("/watch/v2",
                      ScriptedServer::reply(200, "<a class=\"next\" href=\"play%3Fv%3Dv2\">"));
    m_server.setRoute("/play?v=v2",
                      ScriptedServer::reply(200, "<video><source src=\"files%2Fv2\">"));
    m_server.setRoute("/watch/v1",
                      ScriptedServer::reply(200, "<a class=\"next\" href=\"play%3Fv%3Dv1\">"));
    m_server.setRoute("/play?v=v1", ScriptedServer::reply(200, "<p>gone</p>"));

    auto window = bench();
    QVERIFY(window);
    auto *hits = child<QTreeWidget>(window.get(), "hitList");
    auto *resolve = child<QPushButton>(window.get(), "resolveButton");
    auto *stages = child<QTreeWidget>(window.get(), "stageList");
    auto *status = child<QLabel>(window.get(), "resolveStatus");
    QVERIFY(hits && resolve && stages && status);
    QVERIFY(!resolve->isEnabled());

    hits->setCurrentItem(hits->topLevelItem(row));
    QVERIFY(resolve->isEnabled());
    QSignalSpy finished(window.get(), &QEngineWorkbench::resolveFinished);
    QTest::mouseClick(resolve, Qt::LeftButton);
    QVERIFY(!resolve->isEnabled());
    QTRY_COMPARE(finished.size(), 1);

    const QStringList rows = listed(stages);
    QCOMPARE(rows.size(), expected.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        QVERIFY2(rows[i].startsWith(expected[i]), qPrintable(rows[i]));
    QVERIFY2(status->text().startsWith(outcome), qPrintable(status->text()));
    QVERIFY2(status->text().contains(mentions), qPrintable(status->text()));
    QVERIFY(resolve->isEnabled());
}

void tst_Workbench::saveWritesAtomically()
{
    const QString folder = m_dir->filePath(QStringLiteral(".zindles"));
    const QString path = folder + QStringLiteral("/bench.zin");
    const QByteArray original = engineText().replace("\n", "\r\n");
    QVERIFY(TestFiles::write(path, original));
    const QString link = m_dir->filePath(QStringLiteral("old.zin"));
    QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()), 0);

    auto window = bench(false);
    QVERIFY(window);
    QVERIFY(window->openEngine(path));
    QCOMPARE(window->filePath(), path);
    QVERIFY(!window->isWindowModified());
    auto *editor = child<QPlainTextEdit>(window.get(), "engineEdit");
    QVERIFY(editor);
    editor->moveCursor(QTextCursor::End);
    QTest::keyClicks(editor, QStringLiteral("rem: more"));
    QTest::keyClick(editor, Qt::Key_Return);
    QVERIFY(window->isWindowModified());

    QTest::keySequence(editor, QKeySequence::Save);
    const QByteArray expected = original + "rem: more\r\n";
    QTRY_COMPARE(TestFiles::read(path), expected);
    QVERIFY(!window->isWindowModified());
    // The file was replaced whole: the old one, still linked, is untouched,
    // and no temporary file stays behind.
    QCOMPARE(TestFiles::read(link), original);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("bench.zin")});

    // A new file: exactly the editor's text.
    const QString fresh = folder + QStringLiteral("/fresh.zin");
    window->setEngineText("engine_title::Fresh\nengine_id::fresh\n");
    window->setFilePath(fresh);
    QVERIFY(window->save());
    QCOMPARE(TestFiles::read(fresh), QByteArray("engine_title::Fresh\nengine_id::fresh\n"));
    QVERIFY(child<QLabel>(window.get(), "statusLine")->text().contains(fresh));
}

QTEST_MAIN(tst_Workbench)
#include "tst_workbench.moc"
