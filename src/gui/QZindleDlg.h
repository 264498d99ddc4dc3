#pragma once

#include <QMainWindow>
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

protected slots:
    void onSetting();
    void onPlay();
    void timerDone();
    void pageL();
    void pageR();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
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
};
