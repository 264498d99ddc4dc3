#include "gui/download/QDownloadWidget.h"

#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/extract/TextTools.h"
#include "gui/CtrlButton.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/UrlOpener.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMimeDatabase>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>

namespace {

// After the row's own columns; shown next to "V".
constexpr int ProgressColumn = ResultRow::ColumnCount;
// On column 0: the last URL a download requested for the row.
constexpr int UrlRole = Qt::UserRole + 16;

QString durationText(qint64 seconds)
{
    const qint64 hours = seconds / 3600;
    const QString minutesAndSeconds = QStringLiteral("%1:%2")
                                          .arg(hours > 0 ? (seconds / 60) % 60 : seconds / 60,
                                               hours > 0 ? 2 : 1, 10, QLatin1Char('0'))
                                          .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return hours > 0 ? QStringLiteral("%1:%2").arg(hours).arg(minutesAndSeconds)
                     : minutesAndSeconds;
}

bool isMedia(const QMimeType &type)
{
    return type.name().startsWith(QLatin1String("video/")) ||
           type.name().startsWith(QLatin1String("audio/"));
}

// Only a video or a sound goes to the desktop's player: the file's name comes
// from the site and the engine, and a launcher or a script named like a hit
// would be run, not played. A name of no known type is judged by the bytes.
bool isPlayable(const QString &file)
{
    const QMimeDatabase types;
    const QList<QMimeType> byName = types.mimeTypesForFileName(file);
    if (!byName.isEmpty())
        return std::any_of(byName.begin(), byName.end(), isMedia);
    return isMedia(types.mimeTypeForFile(file, QMimeDatabase::MatchContent));
}

} // namespace

QDownloadWidget::QDownloadWidget(QZindleDlg *mainWindow)
    : QWidget(mainWindow), mainWindow(mainWindow)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("listView"));
    RowItems::setupColumns(list);
    list->setColumnCount(ProgressColumn + 1);
    list->headerItem()->setText(ProgressColumn, tr("Progress"));
    // Beside the title, where the eye is; the rest of the columns follow.
    list->header()->moveSection(ProgressColumn, ResultRow::Title + 1);
    list->setColumnWidth(ProgressColumn, 190);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
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
    connect(list, &QTreeWidget::customContextMenuRequested, this, &QDownloadWidget::onRowMenu);
    connect(list, &QTreeWidget::itemDoubleClicked, this, &QDownloadWidget::onDoubleClick);
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
        item->setData(ResultRow::State, UrlRole, settled.url);
        ++settledRows;
        if (settled.mark == "o")
            ++succeeded;
        else if (settled.mark == "x")
            ++failed;
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
        if (index < jobItems.size()) {
            RowItems::setReason(jobItems[index], RowItems::reasonOf(jobItems[index]));
            jobItems[index]->setText(ProgressColumn, QString());
        }
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
        jobItems[row.index]->setText(ProgressColumn, progressText(row));
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
    runRows = settledRows = succeeded = failed = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = list->topLevelItem(i);
        jobItems.append(item);
        if (RowItems::rowOf(item)[ResultRow::State] != "o")
            ++runRows;
    }
    job = std::make_unique<DownloadWorker>(settings, RowItems::rows(list));
}

QString QDownloadWidget::runStateText() const
{
    if (!job)
        return {};
    return tr("downloading %1 of %2, %3%")
        .arg(qMin(settledRows + 1, runRows))
        .arg(runRows)
        .arg(qBound(0, job->progress.load(), 100));
}

QString QDownloadWidget::progressText(const DownloadWorker::RowProgress &row)
{
    QString text = QStringLiteral("%1%").arg(row.percent);
    if (row.bytesPerSecond <= 0)
        return text;
    text += QStringLiteral(" \u00b7 ") +
            QString::fromLatin1(DownloadWorker::speedText(row.bytesPerSecond));
    if (row.length > 0 && row.percent < 100) {
        const qint64 left = row.length * (100 - row.percent) / 100;
        text +=
            QStringLiteral(" \u00b7 ") +
            tr("%1 left").arg(durationText((left + row.bytesPerSecond - 1) / row.bytesPerSecond));
    }
    return text;
}

QString QDownloadWidget::downloadedFile(const QTreeWidgetItem *item) const
{
    if (!settings || !item)
        return {};
    const ResultRow row = RowItems::rowOf(item);
    if (row[ResultRow::State] != "o")
        return {};
    const QByteArray path = DownloadWorker::videoPath(*settings, row);
    if (path.isEmpty())
        return {};
    const QString file = QFile::decodeName(path);
    return QFileInfo(file).isFile() && isPlayable(file) ? file : QString();
}

bool QDownloadWidget::openFile(const QTreeWidgetItem *item)
{
    const QString file = downloadedFile(item);
    return !file.isEmpty() && UrlOpener::open(QUrl::fromLocalFile(file));
}

bool QDownloadWidget::playSelected()
{
    const QList<QTreeWidgetItem *> selected = list->selectedItems();
    return selected.size() == 1 && openFile(selected.first());
}

void QDownloadWidget::onDoubleClick(QTreeWidgetItem *item)
{
    if (settings && settings->playMode() != 0)
        openFile(item);
}

QString QDownloadWidget::videoUrl(const QTreeWidgetItem *item) const
{
    if (!item)
        return {};
    const ResultRow row = RowItems::rowOf(item);
    const Engine *engine = settings ? settings->findEngine(row[ResultRow::Type]) : nullptr;
    if (engine && row[ResultRow::Id].size() >= 2) {
        const QByteArray &pattern = engine->parsedStageCount() > 0
                                        ? engine->stageText(Engine::StageUrl, 0)
                                        : engine->text(Engine::Target);
        QByteArray url;
        fillTemplate(url, pattern, row[ResultRow::Id], 0);
        const QUrl parsed = QUrl(QString::fromLocal8Bit(url), QUrl::StrictMode);
        if (parsed.isValid() &&
            (parsed.scheme() == QLatin1String("http") || parsed.scheme() == QLatin1String("https")))
            return parsed.toString();
    }
    return QString::fromLocal8Bit(item->data(ResultRow::State, UrlRole).toByteArray());
}

void QDownloadWidget::retry(QTreeWidgetItem *item)
{
    if (mainWindow->busyState() != 0 || RowItems::rowOf(item)[ResultRow::State] != "x")
        return;
    RowItems::setState(item, "H");
    RowItems::setReason(item, QString());
    item->setData(ResultRow::State, UrlRole, QVariant());
    showSelectedReason();
    listChanged();
}

void QDownloadWidget::onRowMenu(const QPoint &pos)
{
    QTreeWidgetItem *item = list->itemAt(pos);
    if (!item)
        return;
    list->setCurrentItem(item);
    // The row may go while the menu is open (a merge with another process).
    const QPersistentModelIndex index(list->indexFromItem(item));
    auto rowAt = [this, index] { return index.isValid() ? list->itemFromIndex(index) : nullptr; };
    const ResultRow row = RowItems::rowOf(item);
    const bool idle = mainWindow->busyState() == 0;
    const QString file = downloadedFile(item);
    const QString url = videoUrl(item);
    const QString folder =
        settings && Engine::isSafeId(row[ResultRow::Type]) && settings->workDir().size() >= 2
            ? QFile::decodeName(settings->workDir() + row[ResultRow::Type])
            : QString();

    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto add = [menu](const QString &text, const char *name, bool enabled, auto slot) {
        QAction *action = menu->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, menu, slot);
    };
    add(tr("Open file"), "openFileAction", !file.isEmpty(),
        [file] { UrlOpener::open(QUrl::fromLocalFile(file)); });
    add(tr("Open folder"), "openFolderAction", !folder.isEmpty() && QFileInfo(folder).isDir(),
        [folder] { UrlOpener::open(QUrl::fromLocalFile(folder)); });
    add(tr("Copy video URL"), "copyUrlAction", !url.isEmpty(),
        [url] { QGuiApplication::clipboard()->setText(url); });
    menu->addSeparator();
    add(tr("Retry"), "retryAction", idle && row[ResultRow::State] == "x", [this, rowAt] {
        if (QTreeWidgetItem *at = rowAt())
            retry(at);
    });
    add(tr("Delete"), "deleteAction", idle, [this, rowAt] {
        if (QTreeWidgetItem *at = rowAt()) {
            list->setCurrentItem(at);
            onDelete();
        }
    });
    menu->popup(list->viewport()->mapToGlobal(pos));
}
