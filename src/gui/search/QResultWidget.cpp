#include "gui/search/QResultWidget.h"

#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/download/HistoryFile.h"
#include "core/search/SearchWorker.h"
#include "core/search/ThumbnailCache.h"
#include "core/search/ThumbnailFetcher.h"
#include "gui/CtrlButton.h"
#include "gui/QZindleDlg.h"
#include "gui/RowItems.h"
#include "gui/search/QSearchDlg.h"
#include "gui/search/ThumbnailImage.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QIcon>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QThread>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// Where a row's image is: its "Image" text, resolved against the page it was
// cut from when it is relative ("/thumbs/a.jpg", "a.jpg", "//host/a.jpg").
QByteArray imageAddress(const QByteArray &pageUrl, const QByteArray &image)
{
    if (image.isEmpty() || pageUrl.isEmpty() || image.startsWith("http://") ||
        image.startsWith("https://"))
        return image;
    const QUrl resolved =
        QUrl::fromEncoded(pageUrl).resolved(QUrl::fromEncoded(image, QUrl::TolerantMode));
    return resolved.isValid() ? resolved.toEncoded(QUrl::RemoveFragment) : image;
}

} // namespace

QResultWidget::QResultWidget(QZindleDlg *mainWindow) : QWidget(mainWindow), mainWindow(mainWindow)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(2, 2, 2, 2);
    row->setSpacing(2);

    resultList = new QTreeWidget(this);
    resultList->setObjectName(QStringLiteral("resultList"));
    RowItems::setupColumns(resultList);
    resultList->setSelectionMode(QAbstractItemView::MultiSelection);
    resultList->setIconSize(ThumbnailImage::size());
    ThumbnailImage::limitAllocations();

    listUpButton =
        new CtrlButton(tr("List up(&M)"), Qt::Key_M, QStringLiteral("listUpButton"), this);
    searchOpenButton =
        new CtrlButton(tr("Search(&N)"), Qt::Key_N, QStringLiteral("searchOpenButton"), this);

    row->addWidget(searchOpenButton);
    row->addWidget(listUpButton);
    layout->addWidget(resultList);
    layout->addLayout(row);

    searchDlg = new QSearchDlg(mainWindow);
    searchDlg->setObjectName(QStringLiteral("searchDlg"));

    connect(searchOpenButton, &QPushButton::clicked, this, &QResultWidget::onSearch);
    connect(listUpButton, &QPushButton::clicked, this, &QResultWidget::onDownload);
    connect(searchDlg->searchButton(), &QPushButton::clicked, this, &QResultWidget::onNetwork);
}

// The window stops and deletes the job (stopJob) before it releases the settings.
// The fetch threads post to this tab: they end before it does.
QResultWidget::~QResultWidget()
{
    stopThumbnails();
}

void QResultWidget::setSettings(Settings *settings)
{
    this->settings = settings;
    for (int i = 0; i < settings->engineCount(); ++i)
        searchDlg->addEngine(settings->engine(i)->text(Engine::Title).constData());
}

int QResultWidget::pollSearch()
{
    if (!searchJob)
        return 0;
    if (!searchJob->isFinished()) {
        searchDlg->statusBar->showMessage(
            QString::asprintf("%d/%d", searchJob->progress.load(std::memory_order_relaxed),
                              searchJob->progressTotal.load(std::memory_order_relaxed)));
        return 1;
    }
    const QList<ResultRow> rows = searchJob->rows();
    const QByteArray pageUrl = searchJob->pageUrl();
    const QString message = searchJob->outcome().message;
    searchJob.reset();
    // Each row goes on top, so the last hit of the page ends up first.
    for (const ResultRow &row : rows)
        RowItems::insertAtHead(resultList, row);
    markDownloaded();
    startThumbnails(pageUrl);
    searchDlg->statusBar->showMessage(message);
    searchDlg->setSearchButtonText(tr("Search(&L)"));
    return 0;
}

void QResultWidget::stopJob()
{
    stopThumbnails();
    if (!searchJob)
        return;
    // The job's client sees the stop within a fraction of a second.
    searchJob->stopAndJoin();
    searchJob.reset();
}

void QResultWidget::onSearch()
{
    if (!settings || mainWindow->busyState() != 0)
        return;
    searchDlg->show();
}

void QResultWidget::onDownload()
{
    if (mainWindow->busyState() != 0)
        return;
    if (resultList->topLevelItemCount() == 0)
        return;
    QTreeWidget *downloads = mainWindow->downloadListView();
    mainWindow->setStatus(0, tr("send to list"));

    // The rows of the download list, kept in step with it so that a hit is
    // also checked against the hits copied before it in this walk.
    QList<ResultRow> listedRows = RowItems::rows(downloads);
    int copied = 0;
    for (int i = 0; i < resultList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *hit = resultList->topLevelItem(i);
        if (!hit->isSelected())
            continue;
        const ResultRow row = RowItems::rowOf(hit);
        if (DownloadListFile::isListed(listedRows, row))
            continue;
        RowItems::insertAtHead(downloads, row);
        listedRows.prepend(row);
        ++copied;
    }
    if (copied > 0) {
        // Saved before the animation: a crash must not lose the copied hits.
        mainWindow->downloadListChanged();
        for (int value = 0; value <= 100; value += 10) {
            mainWindow->setStatus(value);
            QThread::msleep(10);
        }
    }
    mainWindow->setStatus(0, QString());
    resultList->clearSelection();
}

void QResultWidget::onNetwork()
{
    if (searchJob) {
        searchJob->requestStop();
        return;
    }
    if (!settings)
        return;
    QByteArray word;
    if (searchDlg->searchWord(word) == 0)
        return;
    searchDlg->setSearchButtonText(tr("Cancel(&L)"));
    stopThumbnails();
    resultList->clear();
    searchDlg->statusBar->showMessage(tr("start searching ..."));
    searchJob = std::make_unique<SearchWorker>(settings, word, searchDlg->engineIndex(),
                                               searchDlg->modeIndex(), searchDlg->pageIndex());
}

bool QResultWidget::thumbnailsIdle() const
{
    return !thumbnails || thumbnails->isIdle();
}

void QResultWidget::startThumbnails(const QByteArray &pageUrl)
{
    stopThumbnails();
    thumbnailBase = pageUrl;
    if (!settings || settings->htmlView() != 1)
        return;
    QList<QByteArray> urls;
    for (int i = 0; i < resultList->topLevelItemCount(); ++i)
        urls.append(imageAddress(thumbnailBase,
                                 RowItems::rowOf(resultList->topLevelItem(i))[ResultRow::Image]));
    if (urls.isEmpty())
        return;
    const QByteArray workDir = settings->workDir();
    const QByteArray cacheFolder =
        workDir.size() < 2 ? QByteArray() : ThumbnailCache::folderPath(workDir);
    const int generation = ++thumbnailGeneration;
    // Runs on a fetch thread: decodes there and hands the image to the GUI thread.
    auto sink = [this, generation](const QByteArray &url, const QByteArray &bytes) {
        QString why;
        const QImage image = ThumbnailImage::decode(bytes, &why);
        if (image.isNull())
            return false;
        QMetaObject::invokeMethod(
            this, [this, generation, url, image] { showThumbnail(generation, url, image); },
            Qt::QueuedConnection);
        return true;
    };
    thumbnails = std::make_unique<ThumbnailFetcher>(*settings, cacheFolder, sink);
    thumbnails->start(urls);
}

void QResultWidget::stopThumbnails()
{
    // Joins the fetch threads; an image they posted before is dropped by its generation.
    thumbnails.reset();
    ++thumbnailGeneration;
}

void QResultWidget::showThumbnail(int generation, const QByteArray &url, const QImage &image)
{
    if (generation != thumbnailGeneration)
        return;
    const QIcon icon(QPixmap::fromImage(image));
    for (int i = 0; i < resultList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = resultList->topLevelItem(i);
        if (imageAddress(thumbnailBase, RowItems::rowOf(item)[ResultRow::Image]) == url)
            item->setIcon(ResultRow::Title, icon);
    }
}

void QResultWidget::markDownloaded()
{
    if (!settings || resultList->topLevelItemCount() == 0)
        return;
    const QHash<QByteArray, QByteArray> dates = HistoryFile::downloadedDates(settings->workDir());
    if (dates.isEmpty())
        return;
    const QBrush grey = palette().brush(QPalette::Disabled, QPalette::Text);
    for (int i = 0; i < resultList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = resultList->topLevelItem(i);
        const ResultRow row = RowItems::rowOf(item);
        const auto found =
            dates.constFind(HistoryFile::keyOf(row[ResultRow::Type], row[ResultRow::Id]));
        if (found == dates.constEnd())
            continue;
        const QDateTime when = QDateTime::fromString(QString::fromLatin1(*found), Qt::ISODate);
        const QString tip =
            tr("downloaded %1")
                .arg(when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm")));
        item->setText(ResultRow::Title,
                      QStringLiteral("\u2713 ") + RowItems::shownText(row[ResultRow::Title]));
        for (int column = 0; column < ResultRow::ColumnCount; ++column) {
            item->setForeground(column, grey);
            item->setToolTip(column, tip);
        }
    }
}
