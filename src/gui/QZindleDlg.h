#pragma once

#include <QMainWindow>
#include <QRect>
#include <QString>
#include <memory>

class QPushButton;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTextProgressBar;
class QResultWidget;
class QDownloadWidget;
class QSettingDlg;
class Settings;

// The main window: a button row with the progress bar over the "Search" and
// "Download" tabs. A 500 ms timer drives everything: its first tick creates
// the settings and hands them to the tabs, every later tick polls the jobs.
//
// The title is "Zindle", followed by what the running jobs do. The window
// opens where it was last left ("z_user.ini", fitted to the screens there
// are now) and remembers a new place at exit. With a play mode set, the
// "null" button reads "Play" and opens the selected downloaded row's video.
// A download run that ends while the window is in the background is told to
// the desktop (DesktopNotifier).
class QZindleDlg : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int TickMs = 500;

    explicit QZindleDlg(QWidget *parent = nullptr);
    ~QZindleDlg() override;

    // 1 while the search tab holds a job, else 2 while the download tab does, else 0.
    int busyState() const;
    // Sets the bar's value; a negative progress shows at 0, through 1 so
    // that a new text appears even when the bar already stood at 0.
    void setStatus(int progress);
    void setStatus(int progress, const QString &text);
    QTreeWidget *downloadListView() const;
    // Saves the download list at once; called after rows were added to it.
    void downloadListChanged();

    Settings *settingsRecord() const { return settings.get(); }
    // The directory whose "z_user.ini" and ".zindles" the first tick reads;
    // empty (the default) for the directory current at that tick. Takes
    // effect only before the first tick.
    void setStartDirectory(const QString &dir) { startDirectory = dir; }
    QTextProgressBar *statusBarWidget() const { return progressBar; }

    // "Zindle", or "Zindle — " and what the jobs do ("searching",
    // "downloading 2 of 7, 45%").
    QString titleText() const;

protected slots:
    void onSetting();
    void onPlay();
    void timerDone();
    void pageL();
    void pageR();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // "Play" while a play mode is set, else "null".
    void updatePlayButton();
    // The frame's place and size, or the normal geometry of a maximized window.
    QRect placement() const;

    QPushButton *settingButton = nullptr;
    QPushButton *playButton = nullptr;
    QTextProgressBar *progressBar = nullptr;
    QTabWidget *tabWidget = nullptr;
    QDownloadWidget *downloadTab = nullptr;
    QResultWidget *resultTab = nullptr;
    QSettingDlg *settingDlg = nullptr;
    QTimer *timer = nullptr;
    std::unique_ptr<Settings> settings;
    QString startDirectory;
    bool placed = false;  // the remembered geometry was looked at, on the first show
    QRect openedGeometry; // as it was at the first tick that saw the window shown
    QRect closedGeometry; // as it was when the window was closed
};
