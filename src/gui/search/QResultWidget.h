#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

class QPushButton;
class QTreeWidget;
class QSearchDlg;
class QZindleDlg;
class SearchWorker;
class Settings;
class ThumbnailFetcher;

// The "Search" tab: the hits of the last search, the buttons that open the
// search dialog and copy selected hits to the download list. It starts,
// cancels and reaps the search job; the job's rows and final message reach the
// list and the dialog's status line here, on the GUI thread, in the poll that
// finds the job finished.
class QResultWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QResultWidget(QZindleDlg *mainWindow);
    ~QResultWidget() override;

    // Keeps the record and offers its engines in the dialog, in table order.
    void setSettings(Settings *settings);
    // Once per tick: 1 while a job runs (showing "%d/%d"), 0 otherwise; reaps
    // a finished job.
    int pollSearch();
    bool hasJob() const { return searchJob != nullptr; }
    // Asks a running job to stop, waits until it has ended and deletes it;
    // stops the thumbnail fetches too.
    void stopJob();
    // True while no thumbnail fetch is queued or under way.
    bool thumbnailsIdle() const;
    // Greys the rows whose video is in the history, with a check mark and the
    // download date as tooltip. The rows' bytes stay as they came. Called
    // after each search and each download run.
    void markDownloaded();

    QTreeWidget *resultListView() const { return resultList; }
    QSearchDlg *searchDialog() const { return searchDlg; }
    const SearchWorker *job() const { return searchJob.get(); }

protected slots:
    void onSearch();
    void onDownload();
    void onNetwork();

private:
    // With "html view" on, fetches the images of the rows shown, in the
    // background; each lands in its rows' Title column as it arrives. An
    // image address relative to the page it was cut from is taken from there.
    void startThumbnails(const QByteArray &pageUrl);
    void stopThumbnails();
    void showThumbnail(int generation, const QByteArray &url, const QImage &image);

    QTreeWidget *resultList = nullptr;
    QPushButton *searchOpenButton = nullptr;
    QPushButton *listUpButton = nullptr;
    QSearchDlg *searchDlg = nullptr;
    QZindleDlg *mainWindow = nullptr;
    std::unique_ptr<SearchWorker> searchJob;
    Settings *settings = nullptr;
    std::unique_ptr<ThumbnailFetcher> thumbnails;
    // Counts the searches whose thumbnails were fetched: an image of an
    // earlier one is not shown.
    int thumbnailGeneration = 0;
    QByteArray thumbnailBase; // the page the shown rows came from
};
