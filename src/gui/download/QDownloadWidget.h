#pragma once

#include "core/download/DownloadWorker.h"
#include "core/job/ResultRow.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>
#include <memory>

class CtrlButton;
class QPoint;
class QPushButton;
class QStatusBar;
class QTreeWidget;
class QTreeWidgetItem;
class QZindleDlg;
class Settings;

// The "Download" tab: the download list, "Clear(&J)", "Delete(&K)" and
// "Download(&L)" / "Cancel(&L)". It owns the download job while one exists.
// The job works on a copy of the rows; the tab keeps the items it handed over
// (Delete, Clear and "List up" are refused while the job exists) and applies
// the job's marks to them on every poll. A row that failed carries the
// reason as its tooltip, and the tab's status line shows it while the row is
// selected; a row that is done again loses it. While the job runs, each
// running row's "V" cell has the tooltip "PERCENT% at SPEED", and the status
// line, when no failure reason is shown there, says how many rows run and
// their speed together. The "Progress" column (shown next to "V") reads
// "45% · 1.2 MB/s · 0:42 left" for each running row, and is empty otherwise.
//
// A downloaded ("o") row's video is opened with the desktop's player by
// playSelected() and, with a play mode set, by a double-click. The rows'
// context menu ("rowMenu") offers Open file, Open folder, Copy video URL,
// Retry (an "x" row back to "H") and Delete; what does not apply to the row
// is disabled, and what changes the list follows the busy rule.
//
// Every change (List up, Delete, Clear, a download's marks) is merged into
// "download.list" as another process may have left it
// (DownloadListFile::merge) and the tab then shows the merged list: rows
// added elsewhere appear on top, rows deleted or downloaded elsewhere go. A
// tab that changed nothing writes nothing, at exit neither.
class QDownloadWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QDownloadWidget(QZindleDlg *mainWindow);
    ~QDownloadWidget() override;

    // Attaches the settings and reads "download.list" into the list.
    void loadList(Settings *settings);
    // Merges the list's changes into "download.list" and shows the result;
    // does nothing when nothing changed since the last load or save, before
    // loadList(), or over a list file that was there but could not be read
    // (a failed save is tried again at the next one).
    void saveList();
    // The list view was edited from outside (List up): saves it.
    void listChanged();
    // Sets *endCode to 0, or to the end code of a job that just finished;
    // returns the progress (0 to 100), or -1 for a negative end code.
    int pollWorker(int *endCode);
    QTreeWidget *listView() const { return list; }
    QStatusBar *statusLine() const { return statusBar; }
    bool hasJob() const { return job != nullptr; }
    // Asks a running job to stop, joins it and applies its marks.
    void stopJob();

    // "downloading 2 of 7, 45%" while a job runs: the row being worked on
    // among those the job downloads, and the whole run's progress.
    QString runStateText() const;
    // The rows the last (or the running) job marked "o" and "x".
    int runSucceeded() const { return succeeded; }
    int runFailed() const { return failed; }
    // Opens the selected row's video when the row is downloaded; false otherwise.
    bool playSelected();

    // A running row's progress as the "Progress" column shows it.
    static QString progressText(const DownloadWorker::RowProgress &row);
    // The address Copy video URL gives for the row: its first stage's page
    // filled with its ID, else (an engine without stages) its video's
    // address, else the last URL a download requested for it; empty when
    // there is none.
    QString videoUrl(const QTreeWidgetItem *item) const;

protected slots:
    void onDelete();
    void onDeleteAll();
    void onDownload();
    void onRowMenu(const QPoint &pos);
    void onDoubleClick(QTreeWidgetItem *item);

private:
    // The row's video file when it was downloaded, is there, and is a video
    // or a sound by its name (or, for a name of no known type, its bytes);
    // empty otherwise.
    QString downloadedFile(const QTreeWidgetItem *item) const;
    bool openFile(const QTreeWidgetItem *item);
    // Puts an "x" row back to "H" and saves the list.
    void retry(QTreeWidgetItem *item);

    void applyMarks();
    // Shows the running rows' percent and speed.
    void showRunning();
    // Shows the selected row's failure reason in the status line, or nothing.
    void showSelectedReason();
    // Applies the last marks, deletes the job and resets the button.
    void endJob();
    // Makes the view show `merged`, the view's rows after a merge.
    void showMerged(const QList<ResultRow> &merged);

    QTreeWidget *list = nullptr;
    CtrlButton *clearButton = nullptr;
    CtrlButton *deleteButton = nullptr;
    CtrlButton *downloadButton = nullptr;
    QStatusBar *statusBar = nullptr;
    QZindleDlg *mainWindow = nullptr;
    std::unique_ptr<DownloadWorker> job;
    QList<QTreeWidgetItem *> jobItems; // the job's rows, top to bottom
    QList<int> runningRows;            // the rows showing their progress, into jobItems
    QString runningText;               // the status line's summary while the job runs
    Settings *settings = nullptr;
    QByteArray unreadListPath; // a list loadList() found but could not read
    QString unreadListError;
    QList<ResultRow> syncedRows; // the file as last read or written
    bool changed = false;        // the view holds changes the file lacks
    int runRows = 0;             // rows the job was to download
    int settledRows = 0;         // of them, rows the job has settled
    int succeeded = 0;
    int failed = 0;
};
