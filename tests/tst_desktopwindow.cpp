#include "DownloadTabFixture.h"
#include "LocalPorts.h"
#include "ScriptedServer.h"
#include "TestEngines.h"
#include "TestFiles.h"
#include "TestRows.h"
#include "core/config/Settings.h"
#include "gui/DesktopNotifier.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/UrlOpener.h"
#include "gui/WindowPlacement.h"
#include "gui/config/QSettingDlg.h"
#include "gui/download/QDownloadWidget.h"

#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using LocalPorts::freePort;
using TestEngines::watchPage;
using TestRows::listLine;
using TestRows::makeRow;
using Step = ScriptedServer::Step;

namespace {

constexpr int RunMs = 20000;

const QByteArray TubeEngine = TestEngines::oneStage("http://127.0.0.1:PORT/videos/%s", ".flv") +
                              "search_name::http://127.0.0.1:PORT/search/%s\n";

const QStringList MenuActions = {
    QStringLiteral("openFileAction"), QStringLiteral("openFolderAction"),
    QStringLiteral("copyUrlAction"), QStringLiteral("retryAction"), QStringLiteral("deleteAction")};

} // namespace

// The main window as a desktop program: its title, its remembered place,
// Play and the download rows' context menu, the per-row progress and the
// notification at the end of a run in the background.
class tst_DesktopWindow : public QObject, public DownloadTabFixture
{
    Q_OBJECT

public:
    tst_DesktopWindow() : DownloadTabFixture(TubeEngine, Window::Shown) {}

private slots:
    void init();
    void cleanup();
    void placement_data();
    void placement();
    void geometryRemembered();
    void titleAndRowProgress();
    void progressText_data();
    void progressText();
    void play_data();
    void play();
    void rowMenuEnables_data();
    void rowMenuEnables();
    void rowMenuActions();
    void notification_data();
    void notification();

private:
    // Right-clicks the row and returns the menu it opened.
    QMenu *openMenu(QTreeWidgetItem *item);
    void doubleClick(QTreeWidgetItem *item);
    int progressColumn() const;

    QList<QUrl> m_opened;
    QStringList m_notes;
};

void tst_DesktopWindow::init()
{
    makeDir(QStringLiteral("work/tube"));
    m_opened.clear();
    m_notes.clear();
    UrlOpener::setHandler([this](const QUrl &url) {
        m_opened.append(url);
        return true;
    });
    DesktopNotifier::setHandler([this](const QString &title, const QString &text) {
        m_notes.append(title + QLatin1Char('|') + text);
    });
}

void tst_DesktopWindow::cleanup()
{
    UrlOpener::setHandler({});
    DesktopNotifier::setHandler({});
    reset();
}

QMenu *tst_DesktopWindow::openMenu(QTreeWidgetItem *item)
{
    for (QMenu *old : m_tab->findChildren<QMenu *>(QStringLiteral("rowMenu")))
        delete old;
    const QPoint pos = m_list->visualItemRect(item).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, m_list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(m_list->viewport(), &event);
    return m_tab->findChild<QMenu *>(QStringLiteral("rowMenu"));
}

void tst_DesktopWindow::doubleClick(QTreeWidgetItem *item)
{
    // As a mouse does it: a click, then the second press comes as a double-click.
    const QPoint pos = m_list->visualItemRect(item).center();
    QTest::mouseClick(m_list->viewport(), Qt::LeftButton, {}, pos);
    QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, {}, pos);
}

int tst_DesktopWindow::progressColumn() const
{
    for (int column = 0; column < m_list->columnCount(); ++column) {
        if (m_list->headerItem()->text(column) == QLatin1String("Progress"))
            return column;
    }
    return -1;
}

void tst_DesktopWindow::placement_data()
{
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<QRect>("placed");

    const QList<QRect> one = {QRect(0, 0, 1920, 1080)};
    // The primary screen first, a second one on its left.
    const QList<QRect> two = {QRect(0, 0, 1920, 1080), QRect(-1280, 0, 1280, 1024)};

    QTest::newRow("nothing stored") << QRect() << one << QRect();
    QTest::newRow("no screen") << QRect(10, 10, 640, 480) << QList<QRect>() << QRect();
    QTest::newRow("inside: kept") << QRect(100, 50, 800, 600) << one << QRect(100, 50, 800, 600);
    QTest::newRow("on the second screen: kept")
        << QRect(-1000, 100, 640, 480) << two << QRect(-1000, 100, 640, 480);
    QTest::newRow("second screen gone: centred on the primary")
        << QRect(-1000, 100, 640, 480) << one << QRect(640, 300, 640, 480);
    QTest::newRow("far off: centred")
        << QRect(1000000, 1000000, 640, 480) << one << QRect(640, 300, 640, 480);
    QTest::newRow("hanging over the edge: moved in")
        << QRect(1800, 1000, 640, 480) << one << QRect(1280, 600, 640, 480);
    QTest::newRow("larger than the screen: shrunk")
        << QRect(-50, -50, 1000000, 5000) << one << QRect(0, 0, 1920, 1080);
    QTest::newRow("tiny: grown") << QRect(10, 10, 3, 2) << one << QRect(10, 10, 200, 150);
    QTest::newRow("mostly on the second screen: fitted there")
        << QRect(-1200, 500, 1400, 700) << two << QRect(-1280, 324, 1280, 700);
}

void tst_DesktopWindow::placement()
{
    QFETCH(QRect, stored);
    QFETCH(QList<QRect>, screens);
    QFETCH(QRect, placed);

    QCOMPARE(WindowPlacement::fitted(stored, screens), placed);
}

// The window opens where the last run left it, and a run that moves nothing
// writes nothing.
void tst_DesktopWindow::geometryRemembered()
{
    writeSetup(freePort());
    const QString ini = path(QStringLiteral("z_user.ini"));
    const QByteArray untouched = TestFiles::read(ini);
    {
        QZindleDlg window;
        startWindow(window);
        QCOMPARE(window.size(), QSize(640, 480)); // nothing remembered yet
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("Zindle"));
    }
    QCOMPARE(TestFiles::read(ini), untouched);

    {
        QZindleDlg window;
        startWindow(window);
        window.move(30, 40);
        window.resize(500, 400);
    }
    const QByteArray moved = TestFiles::read(ini);
    QCOMPARE(moved, untouched + "window_x=30\r\nwindow_y=40\r\nwindow_width=500\r\n"
                                "window_height=400\r\n");

    {
        QZindleDlg window;
        window.setStartDirectory(m_dir->path());
        window.resize(640, 480);
        window.show();
        // Placed before the settings exist, at once.
        QVERIFY(!window.settingsRecord());
        QCOMPARE(window.pos(), QPoint(30, 40));
        QCOMPARE(window.size(), QSize(500, 400));
        QTRY_VERIFY(window.settingsRecord());
    }
    QCOMPARE(TestFiles::read(ini), moved);
}

// The title and the "Progress" column follow the jobs.
void tst_DesktopWindow::titleAndRowProgress()
{
    const QByteArray video = TestFiles::randomBytes(100000, 1);
    const QByteArray response = ScriptedServer::okAnswer(video);
    const qsizetype half = response.size() - video.size() / 2;
    ScriptedServer server;
    server.setRoute("/search/cats",
                    {Step::send("HTTP/1.0 200 OK\r\n\r\n<html>"), Step::await(), Step::close()});
    server.setRoute("/watch/r0",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r0"))), Step::close()});
    server.setRoute("/videos/r0.bin", {Step::send(response.left(half)), Step::await(),
                                       Step::send(response.mid(half)), Step::close()});
    server.setRoute("/watch/r1",
                    {Step::send(ScriptedServer::okAnswer("<html>gone</html>")), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("x", "r1")});
    QTRY_COMPARE(window.windowTitle(), QStringLiteral("Zindle"));
    const int progress = progressColumn();
    QVERIFY(progress >= ResultRow::ColumnCount);
    QCOMPARE(m_list->header()->visualIndex(progress), ResultRow::Title + 1);

    window.findChild<QPushButton *>(QStringLiteral("searchOpenButton"))->click();
    auto *dialog = window.findChild<QWidget *>(QStringLiteral("searchDlg"));
    QVERIFY(dialog);
    dialog->findChild<QLineEdit *>(QStringLiteral("wordEdit"))->setText(QStringLiteral("cats"));
    dialog->findChild<QPushButton *>(QStringLiteral("actionButton"))->click();
    QTRY_COMPARE(window.windowTitle(), QStringLiteral("Zindle \u2014 searching"));
    server.proceed();
    QTRY_COMPARE(window.windowTitle(), QStringLiteral("Zindle"));
    dialog->hide();

    m_download->click();
    QTreeWidgetItem *r0 = m_list->topLevelItem(0);
    QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(),
                              QStringLiteral("Zindle \u2014 downloading 1 of 2, 50%"), RunMs);
    QVERIFY2(r0->text(progress).startsWith(QStringLiteral("50%")), qPrintable(r0->text(progress)));
    QCOMPARE(m_list->topLevelItem(1)->text(progress), QString());

    // While the job runs, the menu offers nothing that changes the list.
    QMenu *menu = openMenu(m_list->topLevelItem(1));
    QVERIFY(menu);
    QVERIFY(!menu->findChild<QAction *>(QStringLiteral("retryAction"))->isEnabled());
    QVERIFY(!menu->findChild<QAction *>(QStringLiteral("deleteAction"))->isEnabled());
    menu->close();

    server.proceed();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);
    QCOMPARE(window.windowTitle(), QStringLiteral("Zindle"));
    QCOMPARE(r0->text(ResultRow::State), QStringLiteral("o"));
    QCOMPARE(r0->text(progress), QString());
    // The failed row keeps its reason, over the progress cell too.
    QTreeWidgetItem *r1 = m_list->topLevelItem(1);
    QCOMPARE(r1->text(ResultRow::State), QStringLiteral("x"));
    QCOMPARE(r1->toolTip(progress), QStringLiteral("stage 0: markers not found"));
}

void tst_DesktopWindow::progressText_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<qint64>("speed");
    QTest::addColumn<qint64>("length");
    QTest::addColumn<QString>("text");

    QTest::newRow("resolving") << 1 << qint64(0) << qint64(-1) << QStringLiteral("1%");
    QTest::newRow("length unknown")
        << 40 << qint64(1500) << qint64(-1) << QStringLiteral("40% \u00b7 1.5 kB/s");
    QTest::newRow("seconds left") << 45 << qint64(1200000) << qint64(100000000)
                                  << QStringLiteral("45% \u00b7 1.2 MB/s \u00b7 0:46 left");
    QTest::newRow("hours left") << 10 << qint64(1000) << qint64(10000000)
                                << QStringLiteral("10% \u00b7 1.0 kB/s \u00b7 2:30:00 left");
    QTest::newRow("body ended") << 100 << qint64(2000000) << qint64(5000000)
                                << QStringLiteral("100% \u00b7 2.0 MB/s");
}

void tst_DesktopWindow::progressText()
{
    QFETCH(int, percent);
    QFETCH(qint64, speed);
    QFETCH(qint64, length);
    QFETCH(QString, text);

    DownloadWorker::RowProgress row;
    row.index = 0;
    row.percent = percent;
    row.bytesPerSecond = speed;
    row.length = length;
    QCOMPARE(QDownloadWidget::progressText(row), text);
}

// Play and a double-click open a downloaded row's video, with any play mode
// but "not use"; the button's label follows the mode as applied.
void tst_DesktopWindow::play_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("label");

    QTest::newRow("not use") << 0 << QStringLiteral("null");
    QTest::newRow("hardware") << 1 << QStringLiteral("Play");
    QTest::newRow("software") << 2 << QStringLiteral("Play");
}

void tst_DesktopWindow::play()
{
    QFETCH(int, mode);
    QFETCH(QString, label);

    writeSetup(freePort(), "play=" + QByteArray::number(mode) + "\r\n");
    const QString video = path(QStringLiteral("work/tube/r0.flv"));
    QVERIFY(TestFiles::write(video, "video"));
    QZindleDlg window;
    auto *playButton = window.findChild<QPushButton *>(QStringLiteral("playButton"));
    QCOMPARE(playButton->text(), QStringLiteral("null"));
    startWindow(window, {makeRow("o", "r0"), makeRow("x", "r1")});
    QCOMPARE(playButton->text(), label);
    const QList<QUrl> played = mode == 0 ? QList<QUrl>() : QList<QUrl>{QUrl::fromLocalFile(video)};

    m_list->setCurrentItem(m_list->topLevelItem(0));
    playButton->click();
    QCOMPARE(m_opened, played);

    m_opened.clear();
    QTreeWidgetItem *done = m_list->topLevelItem(0);
    doubleClick(done);
    QCOMPARE(m_opened, played);

    // A row that is not downloaded plays nothing.
    m_opened.clear();
    QTreeWidgetItem *failed = m_list->topLevelItem(1);
    m_list->setCurrentItem(failed);
    playButton->click();
    doubleClick(failed);
    QCOMPARE(m_opened, QList<QUrl>());

    // Apply in the settings dialog turns the label over at once.
    window.findChild<QPushButton *>(QStringLiteral("settingButton"))->click();
    auto *dialog = window.findChild<QSettingDlg *>();
    QVERIFY(dialog);
    dialog->findChild<QComboBox *>(QStringLiteral("playModeBox"))
        ->setCurrentIndex(mode == 0 ? 2 : 0);
    dialog->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
    QCOMPARE(playButton->text(), mode == 0 ? QStringLiteral("Play") : QStringLiteral("null"));
}

void tst_DesktopWindow::rowMenuEnables_data()
{
    QTest::addColumn<ResultRow>("row");
    QTest::addColumn<QString>("file"); // under work/, made before the window starts
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("enabled");

    const QString flv = QStringLiteral("tube/r0.flv");
    const QByteArray flvBytes("FLV\x01\x05\x00\x00\x00\x09", 9);
    const QString openFile = QStringLiteral("openFileAction");
    const QString openFolder = QStringLiteral("openFolderAction");
    const QString copyUrl = QStringLiteral("copyUrlAction");
    const QString retry = QStringLiteral("retryAction");
    const QString remove = QStringLiteral("deleteAction");

    QTest::newRow("downloaded, file there") << makeRow("o", "r0") << flv << flvBytes
                                            << QStringList{openFile, openFolder, copyUrl, remove};
    QTest::newRow("downloaded, file gone") << makeRow("o", "r0") << QString() << QByteArray()
                                           << QStringList{openFolder, copyUrl, remove};
    QTest::newRow("failed") << makeRow("x", "r0") << flv << flvBytes
                            << QStringList{openFolder, copyUrl, retry, remove};
    QTest::newRow("fresh") << makeRow("H", "r0") << flv << flvBytes
                           << QStringList{openFolder, copyUrl, remove};
    QTest::newRow("engine not loaded") << makeRow("o", "r0", "gone") << QStringLiteral("gone/r0")
                                       << flvBytes << QStringList{openFolder, remove};
    QTest::newRow("file name out of the folder")
        << makeRow("o", "../r0") << QStringLiteral("r0.flv") << flvBytes
        << QStringList{openFolder, copyUrl, remove};
    // An engine without an extension: the file is named by the site.
    QTest::newRow("a launcher named by the site")
        << makeRow("o", "clip.desktop", "bare") << QStringLiteral("bare/clip.desktop")
        << QByteArray("[Desktop Entry]\nType=Application\nExec=sh\n")
        << QStringList{openFolder, copyUrl, remove};
    QTest::newRow("a name of no type, video bytes")
        << makeRow("o", "clip", "bare") << QStringLiteral("bare/clip") << flvBytes
        << QStringList{openFile, openFolder, copyUrl, remove};
    QTest::newRow("a name of no type, script bytes")
        << makeRow("o", "clip", "bare") << QStringLiteral("bare/clip")
        << QByteArray("#!/bin/sh\necho hi\n") << QStringList{openFolder, copyUrl, remove};
}

void tst_DesktopWindow::rowMenuEnables()
{
    QFETCH(ResultRow, row);
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, enabled);

    const quint16 port = freePort();
    writeSetup(port);
    QVERIFY(TestFiles::writeEngine(m_dir->path(),
                                   "engine_id::bare\ndownload_target::http://127.0.0.1:PORT/v/%s\n",
                                   port, QStringLiteral("bare")));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("work/bare")));
    if (!file.isEmpty())
        QVERIFY(TestFiles::write(path(QStringLiteral("work/") + file), bytes));
    QZindleDlg window;
    startWindow(window, {row});
    QMenu *menu = openMenu(m_list->topLevelItem(0));
    QVERIFY(menu);
    QStringList shown;
    for (const QString &name : MenuActions) {
        auto *action = menu->findChild<QAction *>(name);
        QVERIFY2(action, qPrintable(name));
        if (action->isEnabled())
            shown.append(name);
    }
    QCOMPARE(shown, enabled);
}

void tst_DesktopWindow::rowMenuActions()
{
    const quint16 port = freePort();
    writeSetup(port);
    const QString video = path(QStringLiteral("work/tube/r0.flv"));
    QVERIFY(TestFiles::write(video, "video"));
    QZindleDlg window;
    startWindow(window, {makeRow("o", "r0"), makeRow("x", "r1"), makeRow("H", "r2")});
    auto trigger = [&](int row, const char *name) {
        QMenu *menu = openMenu(m_list->topLevelItem(row));
        QVERIFY(menu);
        menu->findChild<QAction *>(QLatin1String(name))->trigger();
    };

    trigger(0, "openFileAction");
    trigger(0, "openFolderAction");
    QCOMPARE(m_opened, (QList<QUrl>{QUrl::fromLocalFile(video),
                                    QUrl::fromLocalFile(path(QStringLiteral("work/tube")))}));

    // The video's page, built from its engine.
    trigger(1, "copyUrlAction");
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("http://127.0.0.1:%1/watch/r1").arg(port));

    const QString listPath = path(QStringLiteral("work/download.list"));
    m_list->setCurrentItem(m_list->topLevelItem(1));
    RowItems::setReason(m_list->topLevelItem(1), QStringLiteral("HTTP status 404"));
    trigger(1, "retryAction");
    QCOMPARE(m_list->topLevelItem(1)->text(ResultRow::State), QStringLiteral("H"));
    QCOMPARE(RowItems::reasonOf(m_list->topLevelItem(1)), QString());
    QCOMPARE(m_list->topLevelItem(1)->toolTip(ResultRow::Title), QString());
    QCOMPARE(m_list->topLevelItem(1)->toolTip(ResultRow::ColumnCount), QString()); // Progress
    QCOMPARE(TestFiles::read(listPath),
             "\r\n" + listLine(makeRow("H", "r1")) + listLine(makeRow("H", "r2")));

    // Delete takes the row the menu was opened on.
    m_list->setCurrentItem(m_list->topLevelItem(0));
    trigger(2, "deleteAction");
    QCOMPARE(m_list->topLevelItemCount(), 2);
    QCOMPARE(m_list->topLevelItem(1)->text(ResultRow::Id), QStringLiteral("r1"));
    QCOMPARE(TestFiles::read(listPath), "\r\n" + listLine(makeRow("H", "r1")));
}

void tst_DesktopWindow::notification_data()
{
    QTest::addColumn<bool>("active");

    QTest::newRow("window active: nothing") << true;
    QTest::newRow("window in the background: told") << false;
}

void tst_DesktopWindow::notification()
{
    QFETCH(bool, active);

    ScriptedServer server;
    server.setRoute("/watch/r0",
                    {Step::send(ScriptedServer::okAnswer(watchPage("r0"))), Step::close()});
    server.setRoute("/videos/r0.bin",
                    {Step::send(ScriptedServer::okAnswer("video bytes")), Step::close()});
    server.setRoute("/watch/r1",
                    {Step::send(ScriptedServer::okAnswer("<html>gone</html>")), Step::close()});
    QVERIFY(server.start());
    writeSetup(server.port());
    QZindleDlg window;
    startWindow(window, {makeRow("H", "r0"), makeRow("H", "r1")});
    QWidget other;
    if (active) {
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
    } else {
        other.show();
        QApplication::setActiveWindow(&other);
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QVERIFY(!window.isActiveWindow());
    }

    m_download->click();
    QTRY_VERIFY_WITH_TIMEOUT(!m_tab->hasJob(), RunMs);
    QCOMPARE(m_notes, active ? QStringList()
                             : QStringList{QStringLiteral(
                                   "Zindle: downloads finished|1 downloaded, 1 failed")});
}

QTEST_MAIN(tst_DesktopWindow)
#include "tst_desktopwindow.moc"
