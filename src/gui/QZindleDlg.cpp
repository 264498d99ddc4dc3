#include "gui/QZindleDlg.h"

#include "core/config/Settings.h"
#include "gui/CtrlButton.h"
#include "gui/DesktopNotifier.h"
#include "gui/QTextProgressBar.h"
#include "gui/WindowPlacement.h"
#include "gui/config/QSettingDlg.h"
#include "gui/download/QDownloadWidget.h"
#include "gui/search/QResultWidget.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const QString AppName = QStringLiteral("Zindle");

} // namespace

QZindleDlg::QZindleDlg(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(AppName);
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    setCentralWidget(central);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(3);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(3, 3, 3, 3);
    row->setSpacing(3);

    settingButton =
        new CtrlButton(tr("Setting(&G)"), Qt::Key_G, QStringLiteral("settingButton"), central);
    row->addWidget(settingButton);

    progressBar = new QTextProgressBar(central);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    row->addWidget(progressBar);
    layout->addLayout(row);

    playButton = new QPushButton(QStringLiteral("null"), central);
    playButton->setObjectName(QStringLiteral("playButton"));
    playButton->setMinimumWidth(100);
    row->addWidget(playButton);

    tabWidget = new QTabWidget(central);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));
    layout->addWidget(tabWidget);

    resultTab = new QResultWidget(this);
    resultTab->setObjectName(QStringLiteral("resultTab"));
    downloadTab = new QDownloadWidget(this);
    downloadTab->setObjectName(QStringLiteral("downloadTab"));
    tabWidget->addTab(resultTab, tr("Search"));
    tabWidget->addTab(downloadTab, tr("Download"));

    auto *left = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Left), this);
    connect(left, &QShortcut::activated, this, &QZindleDlg::pageL);
    auto *right = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Right), this);
    connect(right, &QShortcut::activated, this, &QZindleDlg::pageR);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &QZindleDlg::timerDone);
    timer->start(TickMs);
}

QZindleDlg::~QZindleDlg()
{
    timer->stop();
    // A running job reads the settings and the engines: stop and join it
    // (applying its marks) before the list is saved and the settings go.
    resultTab->stopJob();
    downloadTab->stopJob();
    if (settings)
        downloadTab->saveList();
    if (settings && !openedGeometry.isNull()) {
        const QRect now = isVisible() || closedGeometry.isNull() ? placement() : closedGeometry;
        // A window left where it opened changes nothing in the file.
        if (now != openedGeometry)
            settings->setWindowGeometry(now);
    }
    settings.reset();
}

int QZindleDlg::busyState() const
{
    if (resultTab->hasJob())
        return 1;
    if (downloadTab->hasJob())
        return 2;
    return 0;
}

void QZindleDlg::setStatus(int progress)
{
    if (progress < 0) {
        progressBar->setValue(1);
        progress = 0;
    }
    progressBar->setValue(progress);
}

void QZindleDlg::setStatus(int progress, const QString &text)
{
    progressBar->setBarText(text);
    setStatus(progress);
}

QTreeWidget *QZindleDlg::downloadListView() const
{
    return downloadTab->listView();
}

void QZindleDlg::downloadListChanged()
{
    downloadTab->listChanged();
}

void QZindleDlg::onSetting()
{
    if (busyState() != 0 || !settings)
        return;
    if (!settingDlg) {
        settingDlg = new QSettingDlg(this);
        settingDlg->setObjectName(QStringLiteral("settingDlg"));
        settingDlg->setSettings(settings.get());
        connect(settingDlg, &QSettingDlg::applied, this, &QZindleDlg::updatePlayButton);
    }
    settingDlg->show();
}

void QZindleDlg::onPlay()
{
    if (settings && settings->playMode() != 0)
        downloadTab->playSelected();
}

void QZindleDlg::updatePlayButton()
{
    const bool play = settings && settings->playMode() != 0;
    playButton->setText(play ? tr("Play") : QStringLiteral("null"));
}

QString QZindleDlg::titleText() const
{
    QStringList doing;
    if (resultTab->hasJob())
        doing.append(tr("searching"));
    const QString download = downloadTab->runStateText();
    if (!download.isEmpty())
        doing.append(download);
    if (doing.isEmpty())
        return AppName;
    return AppName + QStringLiteral(" \u2014 ") + doing.join(QStringLiteral(", "));
}

void QZindleDlg::timerDone()
{
    // The place a window manager gave it is where it opened.
    if (openedGeometry.isNull() && isVisible())
        openedGeometry = placement();
    if (!settings) {
        settings = std::make_unique<Settings>(startDirectory, Settings::EngineReport::Lint);
        resultTab->setSettings(settings.get());
        downloadTab->loadList(settings.get());
        connect(settingButton, &QPushButton::clicked, this, &QZindleDlg::onSetting);
        connect(playButton, &QPushButton::clicked, this, &QZindleDlg::onPlay);
        updatePlayButton();
        return;
    }

    const bool downloading = downloadTab->hasJob();
    int endCode = 0;
    const int progress = downloadTab->pollWorker(&endCode);
    if (endCode < 0)
        setStatus(progress, QStringLiteral("error=%1").arg(endCode));
    else
        setStatus(progress);
    const bool runEnded = downloading && !downloadTab->hasJob();
    // A run that ended may have added to the history the hits on show.
    if (runEnded)
        resultTab->markDownloaded();
    if (runEnded && !isActiveWindow()) {
        const int done = downloadTab->runSucceeded();
        const int failed = downloadTab->runFailed();
        DesktopNotifier::notify(this, tr("Zindle: downloads finished"),
                                tr("%n downloaded", nullptr, done) + QStringLiteral(", ") +
                                    tr("%n failed", nullptr, failed));
    }
    resultTab->pollSearch();
    setWindowTitle(titleText());
}

void QZindleDlg::pageL()
{
    tabWidget->setCurrentWidget(resultTab);
}

void QZindleDlg::pageR()
{
    tabWidget->setCurrentWidget(downloadTab);
}

QRect QZindleDlg::placement() const
{
    if (!isMaximized() && !isFullScreen() && !isMinimized())
        return QRect(pos(), size());
    // normalGeometry() leaves the frame out; the place kept is the frame's,
    // or each run would open one title bar lower.
    QRect normal = normalGeometry();
    normal.translate(pos() - geometry().topLeft());
    return normal;
}

void QZindleDlg::closeEvent(QCloseEvent *event)
{
    closedGeometry = placement();
    event->accept();
}

void QZindleDlg::showEvent(QShowEvent *event)
{
    // Placed before the window is mapped, so it does not jump once shown.
    if (!placed && !event->spontaneous()) {
        placed = true;
        QList<QRect> screens;
        for (const QScreen *screen : QGuiApplication::screens())
            screens.append(screen->availableGeometry());
        const QRect place =
            WindowPlacement::fitted(Settings::storedWindowGeometry(startDirectory), screens);
        if (!place.isNull()) {
            resize(place.size());
            move(place.topLeft());
        }
    }
    QMainWindow::showEvent(event);
}
