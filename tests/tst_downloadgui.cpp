#include "DownloadTabFixture.h"
#include "LocalPorts.h"
#include "ScriptedServer.h"
#include "StderrCapture.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "gui/QTextProgressBar.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/config/QSettingDlg.h"
#include "gui/download/QDownloadWidget.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTreeWidget>
#include <QtTest>

using LocalPorts::freePort;
using TestEngines::watchPage;
using TestRows::listLine;
using TestRows::makeRow;
using Step = ScriptedServer::Step;

namespace {

constexpr int RunMs = 20000;

const QByteArray OneStageEngine = TestEngines::oneStage("http://127.0.0.1:PORT/videos/%s", ".flv");

QByteArray bytesFor(const QByteArray &id, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + id.at(i % id.size())) & 0xff);
    return bytes;
}

QStringList column(const QTreeWidget *list, int column)
{
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts.append(list->topLevelItem(i)->text(column));
    return texts;
}

} // namespace

// The Download tab in the main window, and the settings dialog.
class tst_DownloadGui : public QObject, public DownloadTabFixture
{
    Q_OBJECT

public:
    tst_DownloadGui() : DownloadTabFixture(OneStageEngine, Window::Hidden) {}

private slots:
    void init();
    void cleanup();
    void deleteSelection_data();
    void deleteSelection();
    void runRefusesDeleteAndClear();
    void failedRunShowsError();
    void failedRowShowsReason();
    void nothingBeforeFirstTick();
    void unreadableListIsKept();
    void unchangedListIsNotWritten();
    void editsMergeWithAnotherProcess();
    void rowBytesSurvive();
    void reasonShowsAsPlainText();
    void emptyWorkDirRefusesDownload();
    void closeWhileDownloading();
    void downloadsTwoRows();
    void settingsApply_data();
    void settingsApply();
    void settingsApplyThenUndo();
    void settingsReopenKeepsEdits();
};

void tst_DownloadGui::init()
{
    makeDir(QStringLiteral("work"));
}

void tst_DownloadGui::cleanup()
{
    reset();
}

void tst_DownloadGui::deleteSelection_data()
{
    QTest::addColumn<int>("selected"); // -1: none
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<QString>("nowSelected");

    const QString none;
    QTest::newRow("bottom row: the row above is selected")
        << 2 << QStringList{QStringLiteral("r0"), QStringLiteral("r1")} << QStringLiteral("r1");
    QTest::newRow("middle row: the row below is selected")
        << 1 << QStringList{QStringLiteral("r0"), QStringLiteral("r2")} << QStringLiteral("r2");
    QTest::newRow("top row: the row below is selected")
        << 0 << QStringList{QStringLiteral("r1"), QStringLiteral("r2")} << QStringLiteral("r1");
    QTest::newRow("nothing selected: nothing deleted")
        << -1 << QStringList{QStringLiteral("r0"), QStringLiteral("r1"), QStringLiteral("r2")}
        << none;
}

void tst_DownloadGui::deleteSelection()
{
    QFETCH(int, selected);
    QFETCH(QStringList, remaining);
    QFETCH(QString, nowSelected);

    writeSetup(freePort());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("x", "r1"), makeRow("H", "r2")});
    if (selected >= 0)
        m_list->setCurrentItem(m_list->topLevelItem(selected));

    m_tab->findChild<QPushButton *>(QStringLiteral("deleteButton"))->click();
    QCOMPARE(column(m_list, ResultRow::Id), remaining);
    const QList<QTreeWidgetItem *> selection = m_list->selectedItems();
    QCOMPARE(selection.isEmpty() ? QString() : selection.first()->text(ResultRow::Id), nowSelected);

    // Each deletion is saved at once.
    const QString listPath = path(QStringLiteral("work/download.list"));
    if (selected < 0) {
        QVERIFY(!QFile::exists(listPath));
    } else {
        QByteArray expected;
        for (const QString &id : std::as_const(remaining))
            expected += listLine(makeRow(id == QLatin1String("r1") ? "x" : "H", id.toLatin1()));
        QCOMPARE(TestFiles::read(listPath), expected);
    }
}

void tst_DownloadGui::runRefusesDeleteAndClear()
{
    ScriptedServer server;
    server.setRoute("/watch/r0", {Step::send("HTTP/1.0 200 OK\r\n\r\n<html>"), Step::await(),
                                  Step::send(watchPage("r0")), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("H", "r1")});
    auto *clear = m_tab->findChild<QPushButton *>(QStringLiteral("clearButton"));
    auto *remove = m_tab->findChild<QPushButton *>(QStringLiteral("deleteButton"));
    QCOMPARE(clear->text(), QStringLiteral("Clear(&J)"));
    QCOMPARE(clear->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_J));
    QCOMPARE(remove->text(), QStringLiteral("Delete(&K)"));
    QCOMPARE(remove->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_K));
    QCOMPARE(m_download->text(), QStringLiteral("Download(&L)"));
    QCOMPARE(m_download->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));

    m_download->click();
    QVERIFY(m_tab->hasJob());
    QCOMPARE(window.busyState(), 2);
    QCOMPARE(m_download->text(), QStringLiteral("Cancel(&L)"));
    QCOMPARE(m_download->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    QTRY_COMPARE(server.requests().size(), 1);

    m_list->setCurrentItem(m_list->topLevelItem(1));
    remove->click();
    clear->click();
    QCOMPARE(column(m_list, ResultRow::Id),
             (QStringList{QStringLiteral("r0"), QStringLiteral("r1")}));

    // Cancel asks the job to stop; the button changes once a poll saw it end.
    m_download->click();
    QCOMPARE(m_download->text(), QStringLiteral("Cancel(&L)"));
    server.proceed();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);
    QCOMPARE(m_download->text(), QStringLiteral("Download(&L)"));
    QCOMPARE(m_download->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    // A stop inside the stage chain leaves the row as it was.
    QCOMPARE(column(m_list, ResultRow::State),
             (QStringList{QStringLiteral("H"), QStringLiteral("H")}));
    QCOMPARE(server.requests().size(), 1);

    clear->click();
    QCOMPARE(m_list->topLevelItemCount(), 0);
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))), QByteArray());
}

void tst_DownloadGui::failedRunShowsError()
{
    // Nobody listens on the engine's port: the page request fails with -2.
    writeSetup(freePort());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0")});
    StderrCapture capture;
    m_download->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);

    QCOMPARE(window.statusBarWidget()->text(), QStringLiteral("error=-2"));
    QCOMPARE(window.statusBarWidget()->value(), 0);
    QVERIFY(capture.text().contains("download thread endcode=-2\n"));
    QCOMPARE(column(m_list, ResultRow::State), QStringList{QStringLiteral("x")});
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))),
             listLine(makeRow("x", "r0")));
}

// A failed row says why in its tooltip and, while it is selected, in the
// tab's status line; a retry that succeeds takes the reason away.
void tst_DownloadGui::failedRowShowsReason()
{
    const QByteArray video = bytesFor("r0", 5000);
    ScriptedServer server;
    server.setRoute("/watch/r0",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r0"))), Step::close()});
    server.setRoute("/videos/r0.bin",
                    {Step::send("HTTP/1.0 404 Not Found\r\n\r\n"), Step::close()});
    server.setRoute("/watch/r1",
                    {Step::send(ScriptedServer::okAnswer("<html>gone</html>")), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("H", "r1")});
    auto *status = m_tab->findChild<QStatusBar *>(QStringLiteral("statusBar"));
    QVERIFY(status);
    QTreeWidgetItem *r0 = m_list->topLevelItem(0);
    QTreeWidgetItem *r1 = m_list->topLevelItem(1);
    auto tooltips = [](const QTreeWidgetItem *item) {
        QStringList texts;
        for (int column = 0; column < ResultRow::ColumnCount; ++column)
            texts.append(item->toolTip(column));
        return texts;
    };
    const QString notFound = QStringLiteral("HTTP status 404");
    const QString noMarkers = QStringLiteral("stage 0: markers not found");

    // The reason of the selected row shows as soon as the row settles.
    m_list->setCurrentItem(r0);
    QCOMPARE(status->currentMessage(), QString());
    m_download->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);
    QCOMPARE(column(m_list, ResultRow::State),
             (QStringList{QStringLiteral("x"), QStringLiteral("x")}));
    QCOMPARE(tooltips(r0), QStringList(ResultRow::ColumnCount, notFound));
    QCOMPARE(tooltips(r1), QStringList(ResultRow::ColumnCount, noMarkers));
    QCOMPARE(status->currentMessage(), notFound);
    QCOMPARE(window.statusBarWidget()->text(), QString());

    m_list->setCurrentItem(r1);
    QCOMPARE(status->currentMessage(), noMarkers);
    m_list->setCurrentItem(r0);
    QCOMPARE(status->currentMessage(), notFound);

    server.setRoute("/videos/r0.bin", {Step::send(ScriptedServer::okAnswer(video)), Step::close()});
    m_download->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);
    QCOMPARE(column(m_list, ResultRow::State),
             (QStringList{QStringLiteral("o"), QStringLiteral("x")}));
    QCOMPARE(tooltips(r0), QStringList(ResultRow::ColumnCount, QString()));
    QCOMPARE(tooltips(r1), QStringList(ResultRow::ColumnCount, noMarkers));
    QCOMPARE(status->currentMessage(), QString());
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r0.flv"))), video);

    // Deleting the failed row leaves the done one selected, which has nothing to say.
    m_list->setCurrentItem(r1);
    QCOMPARE(status->currentMessage(), noMarkers);
    m_tab->findChild<QPushButton *>(QStringLiteral("deleteButton"))->click();
    QCOMPARE(column(m_list, ResultRow::Id), QStringList{QStringLiteral("r0")});
    QCOMPARE(status->currentMessage(), QString());
}

void tst_DownloadGui::nothingBeforeFirstTick()
{
    writeSetup(freePort());
    const QByteArray saved = listLine(makeRow("H", "r0"));
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, saved));
    {
        QZindleDlg window;
        auto *tab = window.findChild<QDownloadWidget *>(QStringLiteral("downloadTab"));
        auto *download = tab->findChild<QPushButton *>(QStringLiteral("downloadButton"));
        download->click();
        QVERIFY(!tab->hasJob());
        QCOMPARE(download->text(), QStringLiteral("Download(&L)"));
        QVERIFY(!window.settingsRecord());
    }
    // Closed before its first tick: the saved list was not replaced.
    QCOMPARE(TestFiles::read(listPath), saved);

    QZindleDlg window;
    startWindow(window);
    QCOMPARE(column(m_list, ResultRow::Id), QStringList{QStringLiteral("r0")});
}

void tst_DownloadGui::unreadableListIsKept()
{
    writeSetup(freePort());
    // A regular file whose first read fails, whoever reads it.
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(QFile::link(QStringLiteral("/proc/self/mem"), listPath));
    StderrCapture capture;
    {
        QZindleDlg window;
        startWindow(window);
        QCOMPARE(m_list->topLevelItemCount(), 0);
        // As after "List up", and then at exit: neither save replaces the list.
        RowItems::insertAtHead(m_list, makeRow("H", "r0"));
        window.downloadListChanged();
    }
    QVERIFY(QFileInfo(listPath).isSymLink());
    QCOMPARE(QFileInfo(listPath).symLinkTarget(), QStringLiteral("/proc/self/mem"));
    QCOMPARE(QDir(path(QStringLiteral("work")))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("download.list")});
    const QByteArray text = capture.text();
    QVERIFY2(text.count("download.list could not be read (") == 2, text.constData());
}

// Opening and closing the window leaves a list it did not edit alone, even
// when another process rewrote it meanwhile.
void tst_DownloadGui::unchangedListIsNotWritten()
{
    writeSetup(freePort());
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(
        TestFiles::write(listPath, listLine(makeRow("H", "r0")) + listLine(makeRow("x", "r1"))));
    const QByteArray elsewhere = listLine(makeRow("H", "r9"));
    {
        QZindleDlg window;
        startWindow(window);
        QCOMPARE(column(m_list, ResultRow::Id),
                 (QStringList{QStringLiteral("r1"), QStringLiteral("r0")}));
        QVERIFY(TestFiles::write(listPath, elsewhere));
    }
    QCOMPARE(TestFiles::read(listPath), elsewhere);
}

// Delete, Clear and List up go into the list as another process left it:
// rows it added stay (and show), rows it deleted stay deleted.
void tst_DownloadGui::editsMergeWithAnotherProcess()
{
    writeSetup(freePort());
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "r0")) + listLine(makeRow("H", "r1")) +
                                           listLine(makeRow("H", "r2"))));
    QZindleDlg window;
    startWindow(window);
    QCOMPARE(column(m_list, ResultRow::Id),
             (QStringList{QStringLiteral("r2"), QStringLiteral("r1"), QStringLiteral("r0")}));

    // Elsewhere: r1 is downloaded (its line emptied) and r9 is added.
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "r0")) + "\r\n" +
                                           listLine(makeRow("H", "r2")) +
                                           listLine(makeRow("H", "r9"))));
    m_list->setCurrentItem(m_list->topLevelItem(0)); // r2
    m_tab->findChild<QPushButton *>(QStringLiteral("deleteButton"))->click();
    QCOMPARE(column(m_list, ResultRow::Id),
             (QStringList{QStringLiteral("r9"), QStringLiteral("r0")}));
    QCOMPARE(TestFiles::read(listPath),
             listLine(makeRow("H", "r9")) + listLine(makeRow("H", "r0")));

    // Clear takes what the tab showed; a row added since stays.
    QVERIFY(TestFiles::write(listPath, listLine(makeRow("H", "r9")) + listLine(makeRow("H", "r0")) +
                                           listLine(makeRow("x", "r7"))));
    m_tab->findChild<QPushButton *>(QStringLiteral("clearButton"))->click();
    QCOMPARE(column(m_list, ResultRow::Id), QStringList{QStringLiteral("r7")});
    QCOMPARE(column(m_list, ResultRow::State), QStringList{QStringLiteral("x")});
    QCOMPARE(TestFiles::read(listPath), listLine(makeRow("x", "r7")));
}

// Bytes that are not valid text survive the view; control bytes show as \xNN.
void tst_DownloadGui::rowBytesSurvive()
{
    writeSetup(freePort());
    ResultRow odd = makeRow("H", "r0");
    odd[ResultRow::Title] = "caf\xe9 \xff\xfe \x1b[2J";
    odd[ResultRow::User] = "\xc3\x28";
    const QString listPath = path(QStringLiteral("work/download.list"));
    QVERIFY(TestFiles::write(listPath, listLine(odd) + listLine(makeRow("H", "r1"))));
    {
        QZindleDlg window;
        startWindow(window);
        QCOMPARE(column(m_list, ResultRow::Id),
                 (QStringList{QStringLiteral("r1"), QStringLiteral("r0")}));
        QVERIFY(
            m_list->topLevelItem(1)->text(ResultRow::Title).endsWith(QStringLiteral("\\x1b[2J")));
        m_list->setCurrentItem(m_list->topLevelItem(0));
        m_tab->findChild<QPushButton *>(QStringLiteral("deleteButton"))->click();
        QCOMPARE(TestFiles::read(listPath), listLine(odd));
        QCOMPARE(RowItems::rowOf(m_list->topLevelItem(0)), odd);
    }
    QCOMPARE(TestFiles::read(listPath), listLine(odd));
}

// A reason quoting a page shows literally, not as markup.
void tst_DownloadGui::reasonShowsAsPlainText()
{
    QTreeWidget list;
    QTreeWidgetItem *item = RowItems::insertAtHead(&list, makeRow("x", "r0"));
    for (const QString &reason : {QStringLiteral("stage 0: <img src=x> and <b>bold</b>"),
                                  QStringLiteral("HTTP status 404")}) {
        RowItems::setReason(item, reason);
        QCOMPARE(RowItems::reasonOf(item), reason);
        const QString tip = item->toolTip(ResultRow::Title);
        QTextDocument shown;
        if (Qt::mightBeRichText(tip))
            shown.setHtml(tip);
        else
            shown.setPlainText(tip);
        QCOMPARE(shown.toPlainText(), reason);
    }
}

void tst_DownloadGui::emptyWorkDirRefusesDownload()
{
    writeSetup(freePort());
    QVERIFY(TestFiles::write(path(QStringLiteral("z_user.ini")), "[settings]\r\n"));
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0")});
    QCOMPARE(window.settingsRecord()->workDir(), QByteArray(""));
    m_download->click();
    QVERIFY(!m_tab->hasJob());
    QCOMPARE(m_download->text(), QStringLiteral("Download(&L)"));
}

void tst_DownloadGui::closeWhileDownloading()
{
    const QByteArray video = bytesFor("r0", 100000);
    const QByteArray response = ScriptedServer::okAnswer(video);
    ScriptedServer server;
    server.setRoute("/watch/r0",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r0"))), Step::close()});
    // The rest of the body never comes while the window is open.
    server.setRoute("/videos/r0.bin",
                    {Step::send(response.left(response.size() / 2)), Step::await(),
                     Step::send(response.mid(response.size() / 2)), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    const QString part = path(QStringLiteral("work/tube/r0.flv.part"));
    {
        QZindleDlg window;
        startWindow(window, {makeRow("H", "r0"), makeRow("H", "r1")});
        m_download->click();
        // An empty ".part" is removed when its row stops, so wait for bytes.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(part).size() > 0, RunMs);
    }
    // The job was stopped and joined, its mark applied and the list saved.
    QVERIFY(QFile::exists(part));
    QVERIFY(!QFile::exists(path(QStringLiteral("work/tube/r0.flv"))));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))),
             listLine(makeRow("x", "r0")) + listLine(makeRow("H", "r1")));
}

void tst_DownloadGui::downloadsTwoRows()
{
    const QByteArray first = bytesFor("r0", 150000);
    const QByteArray second = bytesFor("r1", 70001);
    ScriptedServer server;
    server.setRoute("/watch/r0",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r0"))), Step::close()});
    server.setRoute("/watch/r1",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r1"))), Step::close()});
    server.setRoute("/videos/r0.bin", {Step::send(ScriptedServer::okAnswer(first)), Step::close()});
    server.setRoute("/videos/r1.bin",
                    {Step::send(ScriptedServer::okAnswer(second)), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());

    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("x", "r1")});
    m_download->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);

    QCOMPARE(column(m_list, ResultRow::State),
             (QStringList{QStringLiteral("o"), QStringLiteral("o")}));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r0.flv"))), first);
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r1.flv"))), second);
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r0.txt"))),
             QByteArray("t::Title r0\n"));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/tube/r1.txt"))),
             QByteArray("t::Title r1\n"));
    QCOMPARE(TestFiles::read(path(QStringLiteral("work/download.list"))), QByteArray("\r\n\r\n"));
    QCOMPARE(window.statusBarWidget()->text(), QString());
    QCOMPARE(m_download->text(), QStringLiteral("Download(&L)"));
}

void tst_DownloadGui::settingsApply_data()
{
    QTest::addColumn<QString>("workDirText");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QByteArray>("workDir");
    QTest::addColumn<int>("port");

    QTest::newRow("final slash added") << QStringLiteral("/tmp/videos") << QStringLiteral("8080")
                                       << QByteArray("/tmp/videos/") << 8080;
    QTest::newRow("final slash kept") << QStringLiteral("/tmp/videos/") << QStringLiteral(" 3128x")
                                      << QByteArray("/tmp/videos/") << 3128;
    QTest::newRow("empty stays empty")
        << QString() << QStringLiteral("port") << QByteArray("") << 0;
}

void tst_DownloadGui::settingsApply()
{
    QFETCH(QString, workDirText);
    QFETCH(QString, portText);
    QFETCH(QByteArray, workDir);
    QFETCH(int, port);

    writeSetup(freePort());
    QZindleDlg window;
    startWindow(window);
    window.findChild<QPushButton *>(QStringLiteral("settingButton"))->click();
    auto *dialog = window.findChild<QSettingDlg *>();
    QVERIFY(dialog && dialog->isVisible() && dialog->isModal());
    auto *workDirEdit = dialog->findChild<QLineEdit *>(QStringLiteral("workDirEdit"));
    auto *portEdit = dialog->findChild<QLineEdit *>(QStringLiteral("portEdit"));
    auto *timeoutBox = dialog->findChild<QComboBox *>(QStringLiteral("timeoutBox"));
    auto *jobsBox = dialog->findChild<QComboBox *>(QStringLiteral("jobsBox"));
    auto *connectionsBox = dialog->findChild<QComboBox *>(QStringLiteral("connectionsBox"));
    QVERIFY(jobsBox && connectionsBox);
    // The file says jobs=1; connections is not set, so 1.
    QCOMPARE(jobsBox->currentText(), QStringLiteral("1"));
    QCOMPARE(connectionsBox->currentText(), QStringLiteral("1"));
    QCOMPARE(connectionsBox->count(), 16);
    QCOMPARE(workDirEdit->text(), QString::fromLocal8Bit(this->workDir()));
    QCOMPARE(portEdit->maxLength(), 6);
    QCOMPARE(workDirEdit->maxLength(), 255);

    workDirEdit->setText(workDirText);
    portEdit->setText(portText);
    timeoutBox->setCurrentIndex(2);
    jobsBox->setCurrentText(QStringLiteral("8"));
    connectionsBox->setCurrentText(QStringLiteral("16"));
    QApplication::setActiveWindow(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    // CTRL+A applies even from a text field, which would select all.
    QTest::keyClick(workDirEdit, Qt::Key_A, Qt::ControlModifier);

    Settings *settings = window.settingsRecord();
    QTRY_VERIFY(settings->modified()); // a shortcut clicks its button a moment later
    QCOMPARE(settings->workDir(), workDir);
    QCOMPARE(workDirEdit->text(), QString::fromLocal8Bit(workDir));
    QCOMPARE(settings->port(), port);
    QCOMPARE(settings->timeout(1), 45000);
    QCOMPARE(settings->jobs(), 8);
    QCOMPARE(settings->connections(), 16);
}

void tst_DownloadGui::settingsApplyThenUndo()
{
    writeSetup(freePort(), "timeout=4\r\nuseragent=0\r\nproxy=old.proxy\r\n");
    {
        QZindleDlg window;
        startWindow(window);
        window.findChild<QPushButton *>(QStringLiteral("settingButton"))->click();
        auto *dialog = window.findChild<QSettingDlg *>();
        QVERIFY(dialog);
        QCOMPARE(dialog->findChild<QComboBox *>(QStringLiteral("timeoutBox"))->currentText(),
                 QStringLiteral("120"));
        QCOMPARE(dialog->findChild<QComboBox *>(QStringLiteral("userAgentBox"))->currentText(),
                 QStringLiteral("zindle"));
        // Filling the widgets marks nothing.
        QVERIFY(!window.settingsRecord()->modified());

        auto *proxyEdit = dialog->findChild<QLineEdit *>(QStringLiteral("proxyEdit"));
        QCOMPARE(proxyEdit->text(), QStringLiteral("old.proxy"));
        proxyEdit->setText(QStringLiteral("new.proxy"));
        dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
        proxyEdit->setText(QStringLiteral("unapplied.proxy"));
        dialog->findChild<QPushButton *>(QStringLiteral("undoButton"))->click();

        // Undo shows the values in force, and the applied ones stay in force.
        QCOMPARE(proxyEdit->text(), QStringLiteral("new.proxy"));
        QCOMPARE(window.settingsRecord()->proxy(), QByteArray("new.proxy"));
        QVERIFY(window.settingsRecord()->modified());
    }
    const QByteArray ini = TestFiles::read(path(QStringLiteral("z_user.ini")));
    QVERIFY2(ini.contains("proxy=new.proxy"), ini.constData());
    QVERIFY2(ini.contains("timeout=4"), ini.constData());
}

void tst_DownloadGui::settingsReopenKeepsEdits()
{
    writeSetup(freePort(), "proxy=old.proxy\r\n");
    const QByteArray ini = TestFiles::read(path(QStringLiteral("z_user.ini")));
    {
        QZindleDlg window;
        startWindow(window);
        auto *settingButton = window.findChild<QPushButton *>(QStringLiteral("settingButton"));
        settingButton->click();
        auto *dialog = window.findChild<QSettingDlg *>();
        QVERIFY(dialog);
        dialog->findChild<QLineEdit *>(QStringLiteral("proxyEdit"))
            ->setText(QStringLiteral("typed.proxy"));
        dialog->close();
        QVERIFY(!dialog->isVisible());

        settingButton->click();
        QCOMPARE(window.findChild<QSettingDlg *>(), dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->findChild<QLineEdit *>(QStringLiteral("proxyEdit"))->text(),
                 QStringLiteral("typed.proxy"));
        QCOMPARE(window.settingsRecord()->proxy(), QByteArray("old.proxy"));
    }
    // Nothing applied: the settings file is not written.
    QCOMPARE(TestFiles::read(path(QStringLiteral("z_user.ini"))), ini);
}

QTEST_MAIN(tst_DownloadGui)
#include "tst_downloadgui.moc"
