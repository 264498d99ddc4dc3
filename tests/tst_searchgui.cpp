#include "ScriptedServer.h"
#include "TestFiles.h"
#include "core/search/SearchWorker.h"
#include "gui/QTextProgressBar.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/search/QResultWidget.h"
#include "gui/search/QSearchDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

using Step = ScriptedServer::Step;

namespace {

QByteArray fixture(const char *name)
{
    return TestFiles::read(QStringLiteral(ZINDLE_TEST_DATA "/search/") + QLatin1String(name));
}

QByteArray header(qint64 length)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

// The rows of a list, top to bottom, each as its seven texts joined by tabs.
QByteArrayList listed(const QTreeWidget *list)
{
    QByteArrayList lines;
    for (const ResultRow &row : RowItems::rows(list))
        lines.append(QByteArrayList(row.columns.begin(), row.columns.end()).join('\t'));
    return lines;
}

// The hits of results-1.html as the list shows them: the last hit on top.
QByteArrayList threeHitsShown()
{
    return {"H\tCat <3 yarn\t0:59\talice\tvid003\tfixture\thttp://img.fixture.test/vid003.jpg",
            "H\tSleepy cat\t12:40\tbob\tvid002\tfixture\thttp://img.fixture.test/vid002.jpg",
            "H\tCats & boxes\t1:05\talice\tvid001\tfixture\thttp://img.fixture.test/vid001.jpg"};
}

// "id/type/user" -> a row with that state mark.
ResultRow rowOf(const QString &key, const char *state)
{
    const QStringList parts = key.split(QLatin1Char('/'));
    ResultRow row;
    row[ResultRow::State] = state;
    row[ResultRow::Title] = "Title " + parts[0].toLatin1();
    row[ResultRow::Time] = "1:00";
    row[ResultRow::User] = parts[2].toLatin1();
    row[ResultRow::Id] = parts[0].toLatin1();
    row[ResultRow::Type] = parts[1].toLatin1();
    row[ResultRow::Image] = "img/" + parts[0].toLatin1();
    return row;
}

// Fills a list so that it shows the keys top to bottom.
void fill(QTreeWidget *list, const QStringList &keys, const char *state)
{
    for (qsizetype i = keys.size() - 1; i >= 0; --i)
        RowItems::insertAtHead(list, rowOf(keys[i], state));
}

// "state/id/type/user" -> the whole row, for each key.
QList<ResultRow> rowsOf(const QStringList &keys)
{
    QList<ResultRow> rows;
    for (const QString &key : keys)
        rows.append(rowOf(key.mid(2), key.left(1).toLatin1().constData()));
    return rows;
}

// The rows as lines of "download.list", in the order given.
QByteArray listLines(const QList<ResultRow> &rows)
{
    QByteArray lines;
    for (const ResultRow &row : rows)
        lines += QByteArrayList(row.columns.begin(), row.columns.end()).join("<\t>") + "<\t>\r\n";
    return lines;
}

// The list file the List up saving cases start from.
QByteArray twoOldRows()
{
    return listLines(
        rowsOf({QStringLiteral("x/old1/fixture/a"), QStringLiteral("H/old2/fixture/b")}));
}

void activate(QWidget *window)
{
    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
}

} // namespace

class tst_SearchGui : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dialogInputs();
    void dialogStepping_data();
    void dialogStepping();
    void searchFromDialog();
    void hitsOnlyInPoll();
    void cancelSearch();
    void listUp_data();
    void listUp();
    void listUpSaves_data();
    void listUpSaves();
    void busyRefusals();
    void beforeFirstTick();

private:
    // A window past its first tick, with the fixture engine loaded.
    std::unique_ptr<QZindleDlg> readyWindow();
    QResultWidget *tab(QZindleDlg &window);
    QSearchDlg *dialog(QZindleDlg &window);
    template<typename T>
    T *child(QObject *parent, const char *name)
    {
        return parent->findChild<T *>(QLatin1String(name));
    }

    ScriptedServer m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_SearchGui::initTestCase()
{
    QVERIFY(m_server.start());
}

void tst_SearchGui::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(TestFiles::write(m_dir->filePath(QStringLiteral(".zindles/fixture.zin")),
                             fixture("fixture.zin").replace("@BASE@", m_server.url(""))));
}

void tst_SearchGui::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<QZindleDlg> tst_SearchGui::readyWindow()
{
    auto window = std::make_unique<QZindleDlg>();
    window->setStartDirectory(m_dir->path());
    window->resize(640, 480);
    if (!QTest::qWaitFor([&] { return window->settingsRecord() != nullptr; }))
        return nullptr;
    return window;
}

QResultWidget *tst_SearchGui::tab(QZindleDlg &window)
{
    return child<QResultWidget>(&window, "resultTab");
}

QSearchDlg *tst_SearchGui::dialog(QZindleDlg &window)
{
    return child<QSearchDlg>(&window, "searchDlg");
}

void tst_SearchGui::dialogInputs()
{
    QSearchDlg dlg;
    QVERIFY(dlg.isModal());
    auto *engines = child<QComboBox>(&dlg, "engineBox");
    auto *modes = child<QComboBox>(&dlg, "modeBox");
    auto *pages = child<QComboBox>(&dlg, "pageBox");
    auto *word = child<QLineEdit>(&dlg, "wordEdit");
    auto *button = child<QPushButton>(&dlg, "actionButton");
    QVERIFY(engines && modes && pages && word && button && dlg.statusBar);
    QCOMPARE(dlg.searchButton(), button);

    QCOMPARE(engines->count(), 0);
    QCOMPARE(dlg.engineIndex(), -1);
    QCOMPARE(dlg.addEngine(nullptr), 0);
    QCOMPARE(engines->count(), 0);
    QCOMPARE(dlg.addEngine(""), 1);
    QCOMPARE(dlg.addEngine("Second"), 1);
    QCOMPARE(engines->count(), 2);
    QCOMPARE(engines->itemText(0), QString());
    QCOMPARE(dlg.engineIndex(), 0);

    QCOMPARE(modes->count(), 3);
    QCOMPARE(modes->itemText(0), QStringLiteral("Title"));
    QCOMPARE(modes->itemText(1), QStringLiteral("User"));
    QCOMPARE(modes->itemText(2), QStringLiteral("URL"));
    QCOMPARE(pages->count(), 20);
    QCOMPARE(pages->itemText(0), QStringLiteral("00"));
    QCOMPARE(pages->itemText(19), QStringLiteral("19"));
    QCOMPARE(dlg.modeIndex(), 0);
    QCOMPARE(dlg.pageIndex(), 0);

    QByteArray out = "stale";
    QCOMPARE(dlg.searchWord(out), 0);
    QVERIFY(out.isEmpty());
    word->setText(QStringLiteral("caf\u00e9 \u732b")); // the length counts bytes
    QCOMPARE(dlg.searchWord(out), 9);
    QCOMPARE(out, QStringLiteral("caf\u00e9 \u732b").toLocal8Bit());

    QCOMPARE(button->text(), QStringLiteral("Search(&L)"));
    QCOMPARE(button->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    dlg.setSearchButtonText(QStringLiteral("Cancel(&L)"));
    QCOMPARE(button->text(), QStringLiteral("Cancel(&L)"));
    QCOMPARE(button->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
}

void tst_SearchGui::dialogStepping_data()
{
    QTest::addColumn<int>("engineCount");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("presses");
    QTest::addColumn<int>("expected");

    const QString engine = QStringLiteral("engineBox");
    const QString mode = QStringLiteral("modeBox");
    const QString page = QStringLiteral("pageBox");
    QTest::newRow("engine: CTRL+J steps forward") << 3 << engine << 0 << int(Qt::Key_J) << 1 << 1;
    QTest::newRow("engine: CTRL+J stays on the last")
        << 3 << engine << 2 << int(Qt::Key_J) << 1 << 2;
    QTest::newRow("engine: CTRL+K steps back") << 3 << engine << 2 << int(Qt::Key_K) << 1 << 1;
    QTest::newRow("engine: CTRL+K stays on the first")
        << 3 << engine << 0 << int(Qt::Key_K) << 1 << 0;
    QTest::newRow("engine: none loaded, CTRL+J") << 0 << engine << -1 << int(Qt::Key_J) << 1 << -1;
    QTest::newRow("engine: none loaded, CTRL+K") << 0 << engine << -1 << int(Qt::Key_K) << 1 << -1;
    QTest::newRow("mode: CTRL+Left steps forward") << 3 << mode << 0 << int(Qt::Key_Left) << 1 << 1;
    QTest::newRow("mode: CTRL+Left stays on URL") << 3 << mode << 2 << int(Qt::Key_Left) << 1 << 2;
    QTest::newRow("mode: CTRL+Right steps back") << 3 << mode << 2 << int(Qt::Key_Right) << 1 << 1;
    QTest::newRow("mode: CTRL+Right stays on Title")
        << 3 << mode << 0 << int(Qt::Key_Right) << 1 << 0;
    QTest::newRow("page: CTRL+Up 25 times ends at 19")
        << 3 << page << 0 << int(Qt::Key_Up) << 25 << 19;
    QTest::newRow("page: CTRL+Down steps back") << 3 << page << 19 << int(Qt::Key_Down) << 1 << 18;
    QTest::newRow("page: CTRL+Down stays on 00") << 3 << page << 0 << int(Qt::Key_Down) << 1 << 0;
}

void tst_SearchGui::dialogStepping()
{
    QFETCH(int, engineCount);
    QFETCH(QString, selector);
    QFETCH(int, start);
    QFETCH(int, key);
    QFETCH(int, presses);
    QFETCH(int, expected);

    QSearchDlg dlg;
    for (int i = 0; i < engineCount; ++i)
        dlg.addEngine(QByteArray("Engine " + QByteArray::number(i)).constData());
    activate(&dlg);
    // The keys arrive where the user types: in the word entry.
    auto *word = child<QLineEdit>(&dlg, "wordEdit");
    word->setFocus();
    QTRY_VERIFY(word->hasFocus());
    auto *box = dlg.findChild<QComboBox *>(selector);
    QVERIFY(box);
    box->setCurrentIndex(start);

    for (int i = 0; i < presses; ++i)
        QTest::keyClick(word, Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(box->currentIndex(), expected);
    // Only the stepped selector moves.
    for (const char *name : {"engineBox", "modeBox", "pageBox"}) {
        if (selector == QLatin1String(name))
            continue;
        const bool empty = engineCount == 0 && !strcmp(name, "engineBox");
        QCOMPARE(child<QComboBox>(&dlg, name)->currentIndex(), empty ? -1 : 0);
    }
}

void tst_SearchGui::searchFromDialog()
{
    const QByteArray page = fixture("results-1.html");
    const qsizetype part = page.indexOf("<li class=\"hit\" data-n=\"2\">");
    m_server.addResponse({Step::send(header(page.size()) + page.left(part)), Step::await(),
                          Step::send(page.mid(part)), Step::close()});
    const int before = m_server.connectionCount();

    auto window = readyWindow();
    QVERIFY(window);
    activate(window.get());
    QSearchDlg *dlg = dialog(*window);
    auto *results = child<QTreeWidget>(window.get(), "resultList");
    auto *button = child<QPushButton>(dlg, "actionButton");

    // A button's shortcut clicks it after a short animation.
    QTest::keyClick(window.get(), Qt::Key_N, Qt::ControlModifier);
    QTRY_VERIFY(dlg->isVisible());
    QCOMPARE(child<QComboBox>(dlg, "engineBox")->currentText(), QStringLiteral("Fixture Tube"));
    activate(dlg);
    QTest::keyClicks(child<QLineEdit>(dlg, "wordEdit"), QStringLiteral("cats"));
    QTest::keyClick(dlg, Qt::Key_L, Qt::ControlModifier);
    QTRY_VERIFY(window->busyState() == 1);
    QCOMPARE(button->text(), QStringLiteral("Cancel(&L)"));
    QTRY_COMPARE(dlg->statusBar->currentMessage(),
                 QStringLiteral("%1/%2").arg(part).arg(page.size()));

    m_server.proceed();
    QTRY_COMPARE(button->text(), QStringLiteral("Search(&L)"));
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("success (3 data found.)"));
    QCOMPARE(listed(results), threeHitsShown());
    QCOMPARE(window->busyState(), 0);
    QVERIFY(dlg->isVisible()); // a search does not close the dialog
    QCOMPARE(m_server.connectionCount(), before + 1);
    QVERIFY(m_server.requests().last().startsWith("GET /results-1.html?q=cats HTTP/1.0\r\n"));
}

void tst_SearchGui::hitsOnlyInPoll()
{
    const QByteArray page = fixture("results-1.html");
    const qsizetype part = page.indexOf("<li class=\"hit\" data-n=\"2\">");
    m_server.addResponse({Step::send(header(page.size()) + page.left(part)), Step::await(),
                          Step::send(page.mid(part)), Step::close()});

    auto window = readyWindow();
    QVERIFY(window);
    // The test polls by hand from here on.
    for (QTimer *timer : window->findChildren<QTimer *>(Qt::FindDirectChildrenOnly))
        timer->stop();
    QResultWidget *resultTab = tab(*window);
    QSearchDlg *dlg = dialog(*window);
    auto *results = child<QTreeWidget>(window.get(), "resultList");
    auto *button = child<QPushButton>(dlg, "actionButton");
    fill(results, {QStringLiteral("old/fixture/x")}, "H");

    child<QLineEdit>(dlg, "wordEdit")->setText(QStringLiteral("cats"));
    button->click();
    QCOMPARE(results->topLevelItemCount(), 0); // the old hits go at once
    QVERIFY(resultTab->hasJob());
    QCOMPARE(button->text(), QStringLiteral("Cancel(&L)"));
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("start searching ..."));

    const QString progress = QStringLiteral("%1/%2").arg(part).arg(page.size());
    const auto poll = [&] {
        resultTab->pollSearch();
        return dlg->statusBar->currentMessage();
    };
    QTRY_COMPARE(poll(), progress);
    QCOMPARE(resultTab->pollSearch(), 1);

    m_server.proceed();
    QTRY_VERIFY(resultTab->job()->isFinished());
    // The thread has ended, but nothing has reached the widgets yet.
    QCOMPARE(results->topLevelItemCount(), 0);
    QCOMPARE(button->text(), QStringLiteral("Cancel(&L)"));
    QCOMPARE(dlg->statusBar->currentMessage(), progress);
    QCOMPARE(window->busyState(), 1);

    QCOMPARE(resultTab->pollSearch(), 0);
    QVERIFY(!resultTab->hasJob());
    QCOMPARE(listed(results), threeHitsShown());
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("success (3 data found.)"));
    QCOMPARE(button->text(), QStringLiteral("Search(&L)"));
    QCOMPARE(window->busyState(), 0);
    QCOMPARE(resultTab->pollSearch(), 0);
}

void tst_SearchGui::cancelSearch()
{
    const QByteArray page = fixture("results-1.html");
    const qsizetype part = page.indexOf("<li class=\"hit\" data-n=\"3\">");
    m_server.addResponse({Step::send(header(page.size()) + page.left(part)), Step::await(),
                          Step::send(page.mid(part, 10)), Step::stall()});

    auto window = readyWindow();
    QVERIFY(window);
    QResultWidget *resultTab = tab(*window);
    QSearchDlg *dlg = dialog(*window);
    auto *button = child<QPushButton>(dlg, "actionButton");
    child<QLineEdit>(dlg, "wordEdit")->setText(QStringLiteral("cats"));
    button->click();
    QTRY_COMPARE(dlg->statusBar->currentMessage(),
                 QStringLiteral("%1/%2").arg(part).arg(page.size()));

    button->click();
    QVERIFY(resultTab->job()->stopping());
    QCOMPARE(button->text(), QStringLiteral("Cancel(&L)"));
    m_server.proceed();
    QTRY_COMPARE(button->text(), QStringLiteral("Search(&L)"));
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("not data found."));
    QCOMPARE(child<QTreeWidget>(window.get(), "resultList")->topLevelItemCount(), 0);
    QVERIFY(!resultTab->hasJob());
}

void tst_SearchGui::listUp_data()
{
    QTest::addColumn<QStringList>("hits");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<QStringList>("downloads");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("expectedBarText");

    const QString cleared;
    const QStringList old{QStringLiteral("old/fixture/zed")};
    QTest::newRow("three hits land reversed above the old rows")
        << QStringList{QStringLiteral("v1/fixture/a"), QStringLiteral("v2/fixture/b"),
                       QStringLiteral("v3/fixture/c")}
        << QList<int>{0, 1, 2} << old
        << QStringList{QStringLiteral("H/v3/fixture/c"), QStringLiteral("H/v2/fixture/b"),
                       QStringLiteral("H/v1/fixture/a"), QStringLiteral("o/old/fixture/zed")}
        << cleared;
    QTest::newRow("only the selected hits")
        << QStringList{QStringLiteral("v1/fixture/a"), QStringLiteral("v2/fixture/b"),
                       QStringLiteral("v3/fixture/c")}
        << QList<int>{1} << old
        << QStringList{QStringLiteral("H/v2/fixture/b"), QStringLiteral("o/old/fixture/zed")}
        << cleared;
    QTest::newRow("same ID and Type is already listed")
        << QStringList{QStringLiteral("v1/fixture/a"), QStringLiteral("v2/fixture/b")}
        << QList<int>{0, 1} << QStringList{QStringLiteral("v2/fixture/q")}
        << QStringList{QStringLiteral("H/v1/fixture/a"), QStringLiteral("o/v2/fixture/q")}
        << cleared;
    QTest::newRow("same user, other ID is copied")
        << QStringList{QStringLiteral("v1/fixture/alice"), QStringLiteral("v2/fixture/alice")}
        << QList<int>{0, 1} << QStringList{QStringLiteral("v9/fixture/alice")}
        << QStringList{QStringLiteral("H/v2/fixture/alice"), QStringLiteral("H/v1/fixture/alice"),
                       QStringLiteral("o/v9/fixture/alice")}
        << cleared;
    QTest::newRow("hits without user are copied")
        << QStringList{QStringLiteral("v1/fixture/"), QStringLiteral("v2/fixture/")}
        << QList<int>{0, 1} << QStringList{QStringLiteral("v9/fixture/")}
        << QStringList{QStringLiteral("H/v2/fixture/"), QStringLiteral("H/v1/fixture/"),
                       QStringLiteral("o/v9/fixture/")}
        << cleared;
    QTest::newRow("same ID on another engine is copied")
        << QStringList{QStringLiteral("v1/fixture/a")} << QList<int>{0}
        << QStringList{QStringLiteral("v1/other/a")}
        << QStringList{QStringLiteral("H/v1/fixture/a"), QStringLiteral("o/v1/other/a")} << cleared;
    QTest::newRow("the same video twice: the upper one")
        << QStringList{QStringLiteral("v1/fixture/a"), QStringLiteral("v1/fixture/b")}
        << QList<int>{0, 1} << QStringList{} << QStringList{QStringLiteral("H/v1/fixture/a")}
        << cleared;
    QTest::newRow("nothing selected")
        << QStringList{QStringLiteral("v1/fixture/a")} << QList<int>{} << old
        << QStringList{QStringLiteral("o/old/fixture/zed")} << cleared;
    QTest::newRow("empty result list: the bar is not touched")
        << QStringList{} << QList<int>{} << old << QStringList{QStringLiteral("o/old/fixture/zed")}
        << QStringLiteral("before");
}

void tst_SearchGui::listUp()
{
    QFETCH(QStringList, hits);
    QFETCH(QList<int>, selected);
    QFETCH(QStringList, downloads);
    QFETCH(QStringList, expected);
    QFETCH(QString, expectedBarText);

    QZindleDlg window;
    window.setStartDirectory(m_dir->path());
    auto *results = child<QTreeWidget>(&window, "resultList");
    QTreeWidget *downloadList = window.downloadListView();
    auto *bar = child<QTextProgressBar>(&window, "progressBar");
    QVERIFY(results && downloadList && bar);
    fill(results, hits, "H");
    fill(downloadList, downloads, "o");
    for (int index : selected)
        results->topLevelItem(index)->setSelected(true);
    window.setStatus(5, QStringLiteral("before"));

    child<QPushButton>(&window, "listUpButton")->click();
    // Copied rows keep all seven texts of their hits, "H" included.
    QCOMPARE(RowItems::rows(downloadList), rowsOf(expected));
    QVERIFY(results->selectedItems().isEmpty());
    QCOMPARE(results->topLevelItemCount(), hits.size());
    QCOMPARE(bar->storedText(), expectedBarText);
    QCOMPARE(bar->value(), hits.isEmpty() ? 5 : 0);
}

void tst_SearchGui::listUpSaves_data()
{
    QTest::addColumn<QStringList>("hits"); // all selected
    QTest::addColumn<QByteArray>("expectedList");

    // The file's last row shows on top; the copied hits go above it.
    QTest::newRow("copied hits are saved at once")
        << QStringList{QStringLiteral("v1/fixture/c"), QStringLiteral("v2/fixture/d")}
        << listLines(
               rowsOf({QStringLiteral("H/v2/fixture/d"), QStringLiteral("H/v1/fixture/c"),
                       QStringLiteral("H/old2/fixture/b"), QStringLiteral("x/old1/fixture/a")}));
    // A save would have written the loaded rows in reverse.
    QTest::newRow("nothing copied: the file is not rewritten")
        << QStringList{QStringLiteral("old1/fixture/c")} << twoOldRows();
}

void tst_SearchGui::listUpSaves()
{
    QFETCH(QStringList, hits);
    QFETCH(QByteArray, expectedList);

    const QString listPath = m_dir->filePath(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(
        m_dir->filePath(QStringLiteral("z_user.ini")),
        "[settings]\r\npath=" + QFile::encodeName(m_dir->filePath(QStringLiteral("work/"))) +
            "\r\n"));
    QVERIFY(TestFiles::write(listPath, twoOldRows()));
    auto window = readyWindow();
    QVERIFY(window);
    QCOMPARE(window->downloadListView()->topLevelItemCount(), 2);
    auto *results = child<QTreeWidget>(window.get(), "resultList");
    fill(results, hits, "H");
    results->selectAll();

    child<QPushButton>(window.get(), "listUpButton")->click();
    QCOMPARE(TestFiles::read(listPath), expectedList);
}

void tst_SearchGui::busyRefusals()
{
    m_server.addResponse({Step::send(header(100) + "<html>"), Step::await(), Step::close()});
    auto window = readyWindow();
    QVERIFY(window);
    QResultWidget *resultTab = tab(*window);
    QSearchDlg *dlg = dialog(*window);
    auto *results = child<QTreeWidget>(window.get(), "resultList");
    auto *openButton = child<QPushButton>(window.get(), "searchOpenButton");
    auto *listUpButton = child<QPushButton>(window.get(), "listUpButton");
    auto *bar = child<QTextProgressBar>(window.get(), "progressBar");

    child<QLineEdit>(dlg, "wordEdit")->setText(QStringLiteral("cats"));
    child<QPushButton>(dlg, "actionButton")->click();
    QVERIFY(resultTab->hasJob());
    QCOMPARE(window->busyState(), 1);

    openButton->click();
    QVERIFY(!dlg->isVisible());
    fill(results, {QStringLiteral("v1/fixture/a")}, "H");
    results->topLevelItem(0)->setSelected(true);
    window->setStatus(5, QStringLiteral("before"));
    listUpButton->click();
    QCOMPARE(window->downloadListView()->topLevelItemCount(), 0);
    QCOMPARE(bar->storedText(), QStringLiteral("before"));
    QVERIFY(!results->selectedItems().isEmpty());

    // Once the job is reaped, both work again.
    m_server.proceed();
    QTRY_VERIFY(!resultTab->hasJob());
    QCOMPARE(dlg->statusBar->currentMessage(), QStringLiteral("network error =-25"));
    listUpButton->click();
    QCOMPARE(RowItems::rows(window->downloadListView()),
             rowsOf({QStringLiteral("H/v1/fixture/a")}));
    openButton->click();
    QVERIFY(dlg->isVisible());
}

void tst_SearchGui::beforeFirstTick()
{
    const int before = m_server.connectionCount();
    QZindleDlg window;
    window.setStartDirectory(m_dir->path());
    QVERIFY(!window.settingsRecord());
    QSearchDlg *dlg = dialog(window);
    auto *button = child<QPushButton>(dlg, "actionButton");

    child<QPushButton>(&window, "searchOpenButton")->click();
    QVERIFY(!dlg->isVisible());
    child<QLineEdit>(dlg, "wordEdit")->setText(QStringLiteral("cats"));
    button->click();
    QVERIFY(!tab(window)->hasJob());
    QCOMPARE(button->text(), QStringLiteral("Search(&L)"));
    QCOMPARE(dlg->statusBar->currentMessage(), QString());

    QTRY_VERIFY(window.settingsRecord());
    QCOMPARE(child<QComboBox>(dlg, "engineBox")->count(), 1);
    QCOMPARE(m_server.connectionCount(), before);
    child<QPushButton>(&window, "searchOpenButton")->click();
    QVERIFY(dlg->isVisible());
}

QTEST_MAIN(tst_SearchGui)
#include "tst_searchgui.moc"
