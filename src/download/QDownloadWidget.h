#pragma once

#include <QWidget>

class QTreeWidget;
class QZindleDlg;
class Settings;

// The "Download" tab: the download list.
class QDownloadWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QDownloadWidget(QZindleDlg *mainWindow);
    ~QDownloadWidget() override;

    void loadList(Settings *settings);
    void saveList();
    // Sets *endCode to 0, or to the end code of a job that just finished;
    // returns the progress (0 to 100), or -1 for a negative end code.
    int pollWorker(int *endCode);
    QTreeWidget *listView() const { return list; }
    bool hasJob() const { return false; }
    // Asks a running job to stop, joins it and applies its marks.
    void stopJob() {}

private:
    QTreeWidget *list = nullptr;
    QZindleDlg *mainWindow = nullptr;
    Settings *settings = nullptr;
};
