#include "CurrentDir.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "core/config/Settings.h"
#include "gui/QTextProgressBar.h"
#include "gui/QZindleDlg.h"
#include "gui/config/QSettingDlg.h"

#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void buttonsWaitForFirstTick();
    void firstTickReadsStartDirectory_data();
    void firstTickReadsStartDirectory();
    void tabShortcuts_data();
    void tabShortcuts();
    void setStatus_data();
    void setStatus();
    void closeIsAccepted();
    void firstTickLintsEngines();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_MainWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_MainWindow::buttonsWaitForFirstTick()
{
    QZindleDlg window;
    window.setStartDirectory(dir->path());
    window.show();
    auto *settingButton = window.findChild<QPushButton *>(QStringLiteral("settingButton"));
    QVERIFY(settingButton);
    QVERIFY(!window.settingsRecord());

    settingButton->click();
    QVERIFY(!window.findChild<QSettingDlg *>());

    QTRY_VERIFY(window.settingsRecord());
    settingButton->click();
    auto *dialog = window.findChild<QSettingDlg *>();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    dialog->hide();

    // The dialog is made once and shown again.
    settingButton->click();
    QCOMPARE(window.findChildren<QSettingDlg *>().size(), 1);
    QCOMPARE(window.findChild<QSettingDlg *>(), dialog);
}

void tst_MainWindow::firstTickReadsStartDirectory_data()
{
    QTest::addColumn<bool>("told");

    QTest::newRow("the directory it was told") << true;
    QTest::newRow("else the current directory") << false;
}

void tst_MainWindow::firstTickReadsStartDirectory()
{
    QFETCH(bool, told);
    QVERIFY(TestFiles::write(dir->filePath(QStringLiteral("z_user.ini")),
                             "[settings]\r\npath=/tmp/zindle-work/\r\ntimeout=3\r\n"));
    std::unique_ptr<CurrentDir> current;
    QZindleDlg window;
    if (told)
        window.setStartDirectory(dir->path());
    else
        current = std::make_unique<CurrentDir>(dir->path());
    QTRY_VERIFY(window.settingsRecord());
    QCOMPARE(window.settingsRecord()->workDir(), QByteArray("/tmp/zindle-work/"));
    QCOMPARE(window.settingsRecord()->timeout(1), 60000);
    QCOMPARE(window.settingsRecord()->appDir(), QFile::encodeName(dir->path()));
}

void tst_MainWindow::tabShortcuts_data()
{
    QTest::addColumn<int>("startTab");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("expectedTab");

    QTest::newRow("left from download") << 1 << int(Qt::Key_Left) << 0;
    QTest::newRow("left on search") << 0 << int(Qt::Key_Left) << 0;
    QTest::newRow("right from search") << 0 << int(Qt::Key_Right) << 1;
    QTest::newRow("right on download") << 1 << int(Qt::Key_Right) << 1;
}

void tst_MainWindow::tabShortcuts()
{
    QFETCH(int, startTab);
    QFETCH(int, key);
    QFETCH(int, expectedTab);

    QZindleDlg window;
    window.setStartDirectory(dir->path());
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Search"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Download"));

    tabs->setCurrentIndex(startTab);
    QTest::keyClick(&window, Qt::Key(key), Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), expectedTab);
}

void tst_MainWindow::setStatus_data()
{
    QTest::addColumn<int>("startValue");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("expectedValue");
    QTest::addColumn<QString>("expectedText");

    // A negative progress goes through 1, so its text shows even at 0.
    QTest::newRow("negative from 0") << 0 << -1 << 0 << QStringLiteral("new");
    QTest::newRow("negative from 50") << 50 << -3 << 0 << QStringLiteral("new");
    QTest::newRow("negative from 1") << 1 << -3 << 0 << QStringLiteral("new");
    QTest::newRow("changed value") << 0 << 40 << 40 << QStringLiteral("new");
    // The same value again: the bar does not repaint, the text waits.
    QTest::newRow("same value") << 0 << 0 << 0 << QStringLiteral("old");
}

void tst_MainWindow::setStatus()
{
    QFETCH(int, startValue);
    QFETCH(int, progress);
    QFETCH(int, expectedValue);
    QFETCH(QString, expectedText);

    QZindleDlg window;
    window.setStartDirectory(dir->path());
    auto *bar = window.statusBarWidget();
    window.setStatus(startValue == 0 ? 5 : 0, QStringLiteral("old"));
    window.setStatus(startValue);
    QCOMPARE(bar->text(), QStringLiteral("old"));

    window.setStatus(progress, QStringLiteral("new"));
    QCOMPARE(bar->value(), expectedValue);
    QCOMPARE(bar->text(), expectedText);

    // No text given: the shown text stays.
    window.setStatus(70);
    QCOMPARE(bar->text(),
             expectedText == QStringLiteral("old") ? QStringLiteral("new") : expectedText);
}

void tst_MainWindow::closeIsAccepted()
{
    QZindleDlg window;
    window.setStartDirectory(dir->path());
    window.show();
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
}

// The first tick loads the engines and says what is wrong with them.
void tst_MainWindow::firstTickLintsEngines()
{
    QVERIFY(TestFiles::write(dir->filePath(QStringLiteral(".zindles/a.zin")),
                             "engine_title::A\nengine_id::a\ndownload_redirect::1\nendof\n"));
    StderrCapture capture;
    QZindleDlg window;
    window.setStartDirectory(dir->path());
    QTRY_VERIFY(window.settingsRecord());
    QCOMPARE(window.settingsRecord()->engineCount(), 1);
    const QByteArray text = capture.text();
    QVERIFY2(text.contains("/.zindles/a.zin:3: error: download_redirect:: is not a key; the stage "
                           "count is dowuload_redirect::\n"),
             text.constData());
    QCOMPARE(text.count("download_redirect::"), 1);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
