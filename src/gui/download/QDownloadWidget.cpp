#include "gui/download/QDownloadWidget.h"

#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/DownloadWorker.h"
#include "gui/CtrlButton.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>

QDownloadWidget::QDownloadWidget(QZindleDlg *mainWindow)
    : QWidget(mainWindow), mainWindow(mainWindow)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("listView"));
    RowItems::setupColumns(list);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(list);

    auto *row = new QHBoxLayout;
    row->setContentsMargins(2, 2, 2, 2);
    clearButton = new CtrlButton(tr("Clear(&J)"), Qt::Key_J, QStringLiteral("clearButton"), this);
    deleteButton =
        new CtrlButton(tr("Delete(&K)"), Qt::Key_K, QStringLiteral("deleteButton"), this);
    downloadButton =
        new CtrlButton(tr("Download(&L)"), Qt::Key_L, QStringLiteral("downloadButton"), this);
    row->addWidget(clearButton);
    row->addWidget(deleteButton);
    row->addWidget(downloadButton);
    layout->addLayout(row);

    statusBar = new QStatusBar(this);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setSizeGripEnabled(false);
    layout->addWidget(statusBar);

    connect(list, &QTreeWidget::itemSelectionChanged, this, &QDownloadWidget::showSelectedReason);
    connect(deleteButton, &QPushButton::clicked, this, &QDownloadWidget::onDelete);
    connect(clearButton, &QPushButton::clicked, this, &QDownloadWidget::onDeleteAll);
    connect(downloadButton, &QPushButton::clicked, this, &QDownloadWidget::onDownload);
}

QDownloadWidget::~QDownloadWidget()
{
    stopJob();
}

void QDownloadWidget::loadList(Settings *settings)
{
    this->settings = settings;
    QList<ResultRow> rows;
    const QByteArray workDir = settings->workDir();
    const DownloadListFile::LoadStatus status =
        DownloadListFile::load(workDir, &rows, &unreadListError);
    if ((status == DownloadListFile::LoadStatus::Failed ||
         status == DownloadListFile::LoadStatus::Partial) &&
        workDir.size() >= 2)
        unreadListPath = DownloadListFile::path(workDir);
    // Each row goes to the head, so the file's last row ends on top.
    for (const ResultRow &row : std::as_const(rows))
        RowItems::insertAtHead(list, row);
    syncedRows = rows;
    changed = false;
}

void QDownloadWidget::saveList()
{
    // Before the settings are attached nothing was loaded: an empty list
    // must not replace the saved one.
    if (!settings || !changed)
        return;
    // The rows of a list that could not be read are not in the view: saving
    // would lose them.
    const QByteArray workDir = settings->workDir();
    if (!unreadListPath.isEmpty() && DownloadListFile::path(workDir) == unreadListPath) {
        fprintf(stderr, "the download list %s could not be read (%s); it is left as it is\n",
                unreadListPath.constData(), unreadListError.toLocal8Bit().constData());
        return;
    }
    const QList<ResultRow> mine = RowItems::rows(list);
    QList<ResultRow> merged;
    QString error;
    const bool saved = DownloadListFile::update(
        workDir,
        [&](const QList<ResultRow> &current) {
            merged = DownloadListFile::merge(mine, syncedRows, current);
            return std::optional<QList<ResultRow>>(merged);
        },
        &error);
    if (!saved) {
        fprintf(stderr, "\nthe download list %s was not saved: %s\n",
                DownloadListFile::path(workDir).constData(), error.toLocal8Bit().constData());
        return;
    }
    showMerged(merged);
    // Downloaded rows were not written.
    syncedRows.clear();
    for (const ResultRow &row : std::as_const(merged)) {
        if (!row[ResultRow::State].startsWith('o'))
            syncedRows.append(row);
    }
    changed = false;
}

void QDownloadWidget::listChanged()
{
    changed = true;
    saveList();
}

void QDownloadWidget::showMerged(const QList<ResultRow> &merged)
{
    QList<QTreeWidgetItem *> items;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        items.append(list->topLevelItem(i));
    const QList<ResultRow> mine = RowItems::rows(list);
    // The merge puts the rows added elsewhere on top, then the view's rows
    // in order, less those deleted elsewhere.
    qsizetype added = 0;
    while (added < merged.size() && !DownloadListFile::isListed(mine, merged[added]))
        ++added;
    qsizetype next = added;
    bool removed = false;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (next < merged.size() && DownloadListFile::sameVideo(mine[i], merged[next])) {
            if (merged[next][ResultRow::State] != mine[i][ResultRow::State])
                RowItems::setState(items[i], merged[next][ResultRow::State]);
            ++next;
        } else {
            delete items[i];
            removed = true;
        }
    }
    for (qsizetype i = added - 1; i >= 0; --i)
        RowItems::insertAtHead(list, merged[i]);
    if (removed)
        showSelectedReason();
}

int QDownloadWidget::pollWorker(int *endCode)
{
    *endCode = 0;
    if (!job)
        return 0;
    applyMarks();
    if (!job->isFinished()) {
        showRunning();
        return job->progress.load();
    }

    mainWindow->setStatus(100, QString());
    *endCode = job->resultCode.load();
    endJob();
    fprintf(stderr, "download thread endcode=%d\n", *endCode);
    saveList();
    return *endCode < 0 ? -1 : 0;
}

void QDownloadWidget::stopJob()
{
    if (!job)
        return;
    // Joined before the last marks are taken, so that none comes after them.
    job->stopAndJoin();
    endJob();
}

void QDownloadWidget::applyMarks()
{
    const QList<DownloadWorker::RowMark> marks = job->takeMarks();
    for (const DownloadWorker::RowMark &settled : marks) {
        if (settled.index < 0 || settled.index >= jobItems.size())
            continue;
        QTreeWidgetItem *item = jobItems[settled.index];
        RowItems::setState(item, settled.mark);
        RowItems::setReason(item, RowItems::shownText(settled.reason));
    }
    if (!marks.isEmpty()) {
        changed = true;
        showSelectedReason();
    }
}

void QDownloadWidget::showRunning()
{
    const QList<DownloadWorker::RowProgress> running =
        job ? job->rowProgress() : QList<DownloadWorker::RowProgress>();
    // Rows that ended show their reason again.
    for (const int index : std::as_const(runningRows)) {
        if (index < jobItems.size())
            RowItems::setReason(jobItems[index], RowItems::reasonOf(jobItems[index]));
    }
    runningRows.clear();
    qint64 speed = 0;
    for (const DownloadWorker::RowProgress &row : running) {
        if (row.index < 0 || row.index >= jobItems.size())
            continue;
        jobItems[row.index]->setToolTip(
            ResultRow::State,
            tr("%1% at %2")
                .arg(row.percent)
                .arg(QString::fromLatin1(DownloadWorker::speedText(row.bytesPerSecond))));
        runningRows.append(row.index);
        speed += row.bytesPerSecond;
    }
    QString text;
    if (running.size() == 1)
        text = tr("1 row running at %1");
    else if (!running.isEmpty())
        text = tr("%1 rows running at %2").arg(running.size());
    if (!text.isEmpty())
        text = text.arg(QString::fromLatin1(DownloadWorker::speedText(speed)));
    if (text != runningText) {
        runningText = text;
        showSelectedReason();
    }
}

void QDownloadWidget::showSelectedReason()
{
    const QList<QTreeWidgetItem *> selected = list->selectedItems();
    const QString reason = selected.size() == 1 ? RowItems::reasonOf(selected.first()) : QString();
    if (!reason.isEmpty())
        statusBar->showMessage(reason);
    else if (!runningText.isEmpty())
        statusBar->showMessage(runningText);
    else
        statusBar->clearMessage();
}

void QDownloadWidget::endJob()
{
    applyMarks();
    job.reset();
    showRunning();
    jobItems.clear();
    downloadButton->setTextKeepingKey(tr("Download(&L)"));
}

void QDownloadWidget::onDelete()
{
    if (mainWindow->busyState() != 0)
        return;
    QTreeWidgetItem *above = nullptr;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = list->topLevelItem(i);
        if (!item->isSelected()) {
            above = item;
            continue;
        }
        QTreeWidgetItem *below = list->topLevelItem(i + 1);
        delete item;
        if (QTreeWidgetItem *next = below ? below : above)
            list->setCurrentItem(next);
        showSelectedReason();
        listChanged();
        return;
    }
}

void QDownloadWidget::onDeleteAll()
{
    if (mainWindow->busyState() != 0)
        return;
    list->clear();
    showSelectedReason();
    listChanged();
}

void QDownloadWidget::onDownload()
{
    if (job) {
        job->requestStop();
        return;
    }
    // Before the first tick there are no settings; an empty work directory
    // would put the files in the current directory.
    if (!settings || settings->workDir().isEmpty())
        return;
    mainWindow->setStatus(0, QString());
    downloadButton->setTextKeepingKey(tr("Cancel(&L)"));
    jobItems.clear();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        jobItems.append(list->topLevelItem(i));
    job = std::make_unique<DownloadWorker>(settings, RowItems::rows(list));
}
