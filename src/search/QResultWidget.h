#pragma once

#include <QWidget>

class QTreeWidget;
class QZindleDlg;
class Settings;

// The "Search" tab: the hits of the last search.
class QResultWidget : public QWidget
{
    Q_OBJECT

public:
    explicit QResultWidget(QZindleDlg *mainWindow);
    ~QResultWidget() override;

    void setSettings(Settings *settings);
    // 1 while a job runs, 0 otherwise; reaps a finished job.
    int pollSearch();
    bool hasJob() const { return false; }
    // Asks a running job to stop and joins it.
    void stopJob() {}

    QTreeWidget *resultListView() const { return resultList; }

private:
    QTreeWidget *resultList = nullptr;
    QZindleDlg *mainWindow = nullptr;
    Settings *settings = nullptr;
};
