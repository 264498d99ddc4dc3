#include "gui/workbench/QEngineWorkbench.h"

#include "core/config/AtomicFile.h"
#include "core/config/BoundedFile.h"
#include "core/config/EngineLint.h"
#include "core/config/Settings.h"
#include "core/download/StageChain.h"
#include "core/extract/ResultScan.h"
#include "core/extract/TextTools.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"
#include "core/search/SearchWorker.h"
#include "gui/RowItems.h"
#include "gui/workbench/PageSpans.h"
#include "gui/workbench/PageText.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QSplitter>
#include <QTextBlock>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>

struct QEngineWorkbench::FetchResult
{
    int code = 0;
    int status = 0;
    QByteArray url;
    QByteArray error;
    QByteArray page;
};

struct QEngineWorkbench::StageRow
{
    QString stage;
    QByteArray url;
    QString status;
    QByteArray cut;
    QByteArray miss; // why the stage's markers cut nothing
};

namespace {

// Background colours of the page view, by PageSpans::Kind; blocks alternate.
QColor spanColour(PageSpans::Kind kind, int hit)
{
    switch (kind) {
    case PageSpans::Block:
        return hit % 2 ? QColor(0xee, 0xf4, 0xff) : QColor(0xf6, 0xf6, 0xe8);
    case PageSpans::TopMarker:
        return QColor(0xff, 0xc0, 0x70);
    case PageSpans::Id:
        return QColor(0xff, 0x9c, 0x9c);
    case PageSpans::Title:
        return QColor(0x9c, 0xe0, 0x9c);
    case PageSpans::User:
        return QColor(0x9c, 0xc8, 0xff);
    case PageSpans::Image:
        return QColor(0xe0, 0xb0, 0xf0);
    case PageSpans::Time:
        return QColor(0xf0, 0xe0, 0x80);
    }
    return Qt::white;
}

QString codeText(int code, int status, const QByteArray &error)
{
    if (code < 0 && code != ResultCode::BodyStopped && status == 0) {
        const QString text = QStringLiteral("network error =%1").arg(code);
        return error.isEmpty() ? text : text + QStringLiteral(": ") + RowItems::shownText(error);
    }
    QString text = QString::number(status);
    if (code < 0)
        text += QStringLiteral(", cut short (%1)").arg(code);
    return text;
}

} // namespace

QEngineWorkbench::QEngineWorkbench(Settings *settings, QWidget *parent)
    : QWidget(parent), m_settings(settings), m_pageText(std::make_unique<PageText>())
{
    buildUi();
    updateTitle();
    refresh();
}

QEngineWorkbench::~QEngineWorkbench()
{
    m_stop.store(1);
    if (m_fetchThread.joinable())
        m_fetchThread.join();
    if (m_resolveThread.joinable())
        m_resolveThread.join();
}

void QEngineWorkbench::buildUi()
{
    setObjectName(QStringLiteral("engineWorkbench"));

    m_editor = new QPlainTextEdit;
    m_editor->setObjectName(QStringLiteral("engineEdit"));
    m_editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editor->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_editor->viewport()->installEventFilter(this);
    m_findingsList = new QListWidget;
    m_findingsList->setObjectName(QStringLiteral("findingsList"));
    m_saveButton = new QPushButton(tr("&Save"));
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("statusLine"));
    m_status->setTextFormat(Qt::PlainText);

    auto *left = new QWidget;
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    auto *leftSplit = new QSplitter(Qt::Vertical);
    leftSplit->addWidget(m_editor);
    leftSplit->addWidget(m_findingsList);
    leftSplit->setStretchFactor(0, 4);
    leftSplit->setStretchFactor(1, 1);
    leftLayout->addWidget(leftSplit);
    auto *saveRow = new QHBoxLayout;
    saveRow->addWidget(m_saveButton);
    saveRow->addWidget(m_status, 1);
    leftLayout->addLayout(saveRow);

    m_word = new QLineEdit;
    m_word->setObjectName(QStringLiteral("wordEdit"));
    m_word->setPlaceholderText(tr("search word"));
    m_mode = new QComboBox;
    m_mode->setObjectName(QStringLiteral("modeBox"));
    m_mode->addItems({tr("Title"), tr("User"), tr("URL")});
    m_pageNumber = new QSpinBox;
    m_pageNumber->setObjectName(QStringLiteral("pageBox"));
    m_pageNumber->setRange(0, Engine::PageCount - 1);
    auto *fillButton = new QPushButton(tr("Fill address"));
    fillButton->setObjectName(QStringLiteral("fillButton"));
    m_address = new QLineEdit;
    m_address->setObjectName(QStringLiteral("addressEdit"));
    m_address->setPlaceholderText(tr("address of a result page"));
    m_fetchButton = new QPushButton(tr("&Fetch"));
    m_fetchButton->setObjectName(QStringLiteral("fetchButton"));
    m_openPageButton = new QPushButton(tr("Open page..."));
    m_openPageButton->setObjectName(QStringLiteral("openPageButton"));
    m_pageView = new QPlainTextEdit;
    m_pageView->setObjectName(QStringLiteral("pageView"));
    m_pageView->setReadOnly(true);
    m_pageView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pageView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_pageStatus = new QLabel;
    m_pageStatus->setObjectName(QStringLiteral("pageStatus"));
    m_pageStatus->setTextFormat(Qt::PlainText);

    auto *right = new QWidget;
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(m_word, 1);
    searchRow->addWidget(m_mode);
    searchRow->addWidget(new QLabel(tr("Page")));
    searchRow->addWidget(m_pageNumber);
    searchRow->addWidget(fillButton);
    auto *addressRow = new QHBoxLayout;
    addressRow->addWidget(m_address, 1);
    addressRow->addWidget(m_fetchButton);
    addressRow->addWidget(m_openPageButton);
    rightLayout->addLayout(searchRow);
    rightLayout->addLayout(addressRow);
    rightLayout->addWidget(m_pageView, 1);
    rightLayout->addWidget(m_pageStatus);

    m_hitList = new QTreeWidget;
    m_hitList->setObjectName(QStringLiteral("hitList"));
    RowItems::setupColumns(m_hitList);
    m_resolveButton = new QPushButton(tr("&Resolve"));
    m_resolveButton->setObjectName(QStringLiteral("resolveButton"));
    m_resolveButton->setEnabled(false);
    m_stageList = new QTreeWidget;
    m_stageList->setObjectName(QStringLiteral("stageList"));
    m_stageList->setRootIsDecorated(false);
    m_stageList->setHeaderLabels({tr("Stage"), tr("URL"), tr("Status"), tr("Cut")});
    m_stageList->setColumnWidth(0, 50);
    m_stageList->setColumnWidth(1, 300);
    m_stageList->setColumnWidth(2, 60);
    m_resolveStatus = new QLabel;
    m_resolveStatus->setObjectName(QStringLiteral("resolveStatus"));
    m_resolveStatus->setTextFormat(Qt::PlainText);
    m_resolveStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *bottom = new QWidget;
    auto *bottomLayout = new QHBoxLayout(bottom);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    auto *stagePanel = new QWidget;
    auto *stageLayout = new QVBoxLayout(stagePanel);
    stageLayout->setContentsMargins(0, 0, 0, 0);
    stageLayout->addWidget(m_resolveButton, 0, Qt::AlignLeft);
    stageLayout->addWidget(m_stageList, 1);
    stageLayout->addWidget(m_resolveStatus);
    bottomLayout->addWidget(m_hitList, 3);
    bottomLayout->addWidget(stagePanel, 2);

    auto *topSplit = new QSplitter(Qt::Horizontal);
    topSplit->addWidget(left);
    topSplit->addWidget(right);
    auto *mainSplit = new QSplitter(Qt::Vertical);
    mainSplit->addWidget(topSplit);
    mainSplit->addWidget(bottom);
    mainSplit->setStretchFactor(0, 3);
    mainSplit->setStretchFactor(1, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(mainSplit);

    m_editTimer = new QTimer(this);
    m_editTimer->setSingleShot(true);
    m_editTimer->setInterval(UpdateDelayMs);
    connect(m_editTimer, &QTimer::timeout, this, &QEngineWorkbench::refresh);
    connect(m_editor, &QPlainTextEdit::textChanged, m_editTimer, qOverload<>(&QTimer::start));
    connect(m_editor->document(), &QTextDocument::modificationChanged, this,
            &QEngineWorkbench::updateTitle);
    connect(m_mode, &QComboBox::currentIndexChanged, this, &QEngineWorkbench::refresh);
    connect(m_findingsList, &QListWidget::itemClicked, this, &QEngineWorkbench::jumpToFinding);
    connect(m_findingsList, &QListWidget::itemActivated, this, &QEngineWorkbench::jumpToFinding);
    connect(fillButton, &QPushButton::clicked, this, &QEngineWorkbench::fillAddress);
    connect(m_address, &QLineEdit::returnPressed, this, &QEngineWorkbench::fetch);
    connect(m_fetchButton, &QPushButton::clicked, this, &QEngineWorkbench::fetch);
    connect(m_openPageButton, &QPushButton::clicked, this, &QEngineWorkbench::openPageDialog);
    connect(m_hitList, &QTreeWidget::currentItemChanged, this, &QEngineWorkbench::showHitBlock);
    connect(m_resolveButton, &QPushButton::clicked, this, &QEngineWorkbench::resolve);
    connect(m_saveButton, &QPushButton::clicked, this, &QEngineWorkbench::save);
    auto *saveShortcut = new QShortcut(QKeySequence::Save, this);
    connect(saveShortcut, &QShortcut::activated, this, &QEngineWorkbench::save);
}

bool QEngineWorkbench::openEngine(const QString &path)
{
    QByteArray bytes;
    QString why;
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) {
        setEngineText({});
        setFilePath(path);
        setStatus(tr("New file %1").arg(path));
        return true;
    }
    if (!BoundedFile::read(path, Engine::MaxFileSize, &bytes, &why)) {
        setStatus(tr("Cannot open %1: %2").arg(path, why));
        return false;
    }
    if (bytes.size() > Engine::MaxFileSize) {
        setStatus(tr("Cannot open %1: it is larger than 1 MiB").arg(path));
        return false;
    }
    if (bytes.contains('\0')) {
        setStatus(tr("Cannot open %1: it holds NUL bytes and is not text").arg(path));
        return false;
    }
    setEngineText(bytes);
    setFilePath(path);
    setStatus(tr("Opened %1").arg(path));
    return true;
}

void QEngineWorkbench::setFilePath(const QString &path)
{
    m_filePath = path;
    updateTitle();
}

QByteArray QEngineWorkbench::engineBytes() const
{
    QByteArray bytes = m_editor->toPlainText().toLocal8Bit();
    if (m_crlf)
        bytes.replace('\n', "\r\n");
    return bytes;
}

void QEngineWorkbench::setEngineText(const QByteArray &bytes)
{
    m_crlf = bytes.contains("\r\n");
    QByteArray text = bytes;
    if (m_crlf)
        text.replace("\r\n", "\n");
    m_editor->setPlainText(QString::fromLocal8Bit(text));
    m_editor->document()->setModified(false);
    m_editTimer->stop();
    refresh();
}

bool QEngineWorkbench::openPage(const QString &path)
{
    QByteArray bytes;
    QString why;
    if (!BoundedFile::read(path, MaxPageBytes, &bytes, &why)) {
        m_pageStatus->setText(tr("Cannot open %1: %2").arg(path, why));
        return false;
    }
    const bool cut = bytes.size() > MaxPageBytes;
    if (cut)
        bytes.truncate(MaxPageBytes);
    setPage(bytes);
    m_pageStatus->setText(cut ? tr("%1: the first %2 bytes").arg(path).arg(bytes.size())
                              : tr("%1: %2 bytes").arg(path).arg(bytes.size()));
    return true;
}

void QEngineWorkbench::setPage(const QByteArray &page)
{
    m_page = page;
    m_pageText = std::make_unique<PageText>(m_page);
    m_pageView->setPlainText(m_pageText->text());
    refresh();
}

bool QEngineWorkbench::busy() const
{
    return m_fetching || m_resolving;
}

int QEngineWorkbench::mode() const
{
    return m_mode->currentIndex();
}

std::unique_ptr<HttpClient> QEngineWorkbench::makeClient() const
{
    auto client = std::make_unique<HttpClient>();
    if (m_settings)
        m_settings->configureClient(*client);
    client->setStopFlag(&m_stop);
    return client;
}

void QEngineWorkbench::refresh()
{
    m_editTimer->stop();
    const QByteArray bytes = engineBytes();
    // A text the loader refuses leaves the engine as it was; the lint says why.
    m_engine.parseText(bytes);
    showFindings(EngineLint::checkText(bytes));
    showHits();
    showHighlights();
    emit refreshed();
}

void QEngineWorkbench::showFindings(const EngineLint &lint)
{
    m_findingsList->clear();
    m_findings.clear();
    QList<QTextEdit::ExtraSelection> selections;
    for (const EngineLint::Finding &finding : lint.findings()) {
        const bool error = finding.severity == EngineLint::Severity::Error;
        const QString kind = error ? tr("error") : tr("warning");
        const QString text =
            finding.line > 0
                ? QStringLiteral("%1: %2: %3").arg(finding.line).arg(kind, finding.message)
                : QStringLiteral("%1: %2").arg(kind, finding.message);
        auto *item = new QListWidgetItem(text, m_findingsList);
        item->setData(Qt::UserRole, finding.line);
        item->setForeground(error ? QColor(0xb0, 0, 0) : QColor(0x80, 0x60, 0));
        if (finding.line <= 0)
            continue;
        m_findings.append({finding.line, text});
        const QTextBlock block = m_editor->document()->findBlockByNumber(finding.line - 1);
        if (!block.isValid())
            continue;
        QTextEdit::ExtraSelection selection;
        selection.cursor = QTextCursor(block);
        selection.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        selection.format.setBackground(error ? QColor(0xff, 0xd8, 0xd8) : QColor(0xff, 0xf2, 0xc0));
        selection.format.setProperty(QTextFormat::FullWidthSelection, true);
        selection.format.setUnderlineStyle(QTextCharFormat::WaveUnderline);
        selection.format.setUnderlineColor(error ? Qt::red : QColor(0xc0, 0x90, 0));
        selections.append(selection);
    }
    m_editor->setExtraSelections(selections);
}

void QEngineWorkbench::showHits()
{
    const int current = m_hitList->indexOfTopLevelItem(m_hitList->currentItem());
    m_hitList->clear();
    const QByteArray engineId = m_engine.text(Engine::Id);
    // As the Search tab lists them: each hit goes to the head of the list.
    for (ScanRecord &record : scanResults(m_page, m_engine.markerSet(mode())))
        RowItems::insertAtHead(m_hitList, SearchWorker::hitRow(std::move(record), engineId));
    if (current >= 0 && current < m_hitList->topLevelItemCount())
        m_hitList->setCurrentItem(m_hitList->topLevelItem(current));
    m_resolveButton->setEnabled(m_hitList->currentItem() && !m_resolving);
}

void QEngineWorkbench::showHighlights()
{
    m_blockStarts.clear();
    QList<QTextEdit::ExtraSelection> selections;
    QTextDocument *document = m_pageView->document();
    for (const PageSpans::Span &span : PageSpans::compute(m_page, m_engine.markerSet(mode()))) {
        if (span.kind == PageSpans::Block)
            m_blockStarts.append(span.begin);
        QTextEdit::ExtraSelection selection;
        selection.cursor = QTextCursor(document);
        selection.cursor.setPosition(m_pageText->position(span.begin));
        selection.cursor.setPosition(m_pageText->position(span.end), QTextCursor::KeepAnchor);
        selection.format.setBackground(spanColour(span.kind, span.hit));
        if (span.kind == PageSpans::TopMarker)
            selection.format.setFontWeight(QFont::Bold);
        selections.append(selection);
    }
    m_pageView->setExtraSelections(selections);
}

void QEngineWorkbench::showHitBlock()
{
    QTreeWidgetItem *item = m_hitList->currentItem();
    m_resolveButton->setEnabled(item && !m_resolving);
    if (!item)
        return;
    // The list shows the last hit on top.
    const qsizetype hit = m_hitList->topLevelItemCount() - 1 - m_hitList->indexOfTopLevelItem(item);
    if (hit < 0 || hit >= m_blockStarts.size())
        return;
    QTextCursor cursor(m_pageView->document());
    cursor.setPosition(m_pageText->position(m_blockStarts[hit]));
    m_pageView->setTextCursor(cursor);
    m_pageView->centerCursor();
}

void QEngineWorkbench::jumpToFinding(QListWidgetItem *item)
{
    const int line = item ? item->data(Qt::UserRole).toInt() : 0;
    const QTextBlock block = m_editor->document()->findBlockByNumber(line - 1);
    if (line <= 0 || !block.isValid())
        return;
    m_editor->setTextCursor(QTextCursor(block));
    m_editor->centerCursor();
    m_editor->setFocus();
}

bool QEngineWorkbench::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_editor->viewport() && event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const int line = m_editor->cursorForPosition(help->pos()).blockNumber() + 1;
        QStringList messages;
        for (const auto &[findingLine, text] : std::as_const(m_findings)) {
            if (findingLine == line)
                messages.append(text);
        }
        if (messages.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), messages.join(QLatin1Char('\n')), m_editor);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void QEngineWorkbench::fillAddress()
{
    const int searchMode = mode();
    const QByteArray &templ = m_engine.searchTemplate(searchMode);
    if (templ.size() < 2) {
        m_pageStatus->setText(tr("The engine has no template for this mode"));
        return;
    }
    QByteArray word = m_word->text().toLocal8Bit();
    if (m_engine.searchOption(searchMode) == 1)
        encodeSearchWord(word);
    const qint64 number = qint64(m_engine.number(Engine::SearchStart)) +
                          qint64(m_engine.number(Engine::SearchStep)) * m_pageNumber->value();
    QByteArray url;
    fillTemplate(url, templ, word, int(number));
    m_address->setText(QString::fromLocal8Bit(url));
}

void QEngineWorkbench::fetch()
{
    const QByteArray url = m_address->text().trimmed().toLocal8Bit();
    if (m_fetching || url.isEmpty())
        return;
    if (m_fetchThread.joinable())
        m_fetchThread.join(); // the last one has handed its result over already
    m_fetching = true;
    m_fetchButton->setEnabled(false);
    m_pageStatus->setText(tr("Fetching %1 ...").arg(QString::fromLocal8Bit(url)));
    m_fetchThread = std::thread([this, client = makeClient(), url] {
        FetchResult result;
        result.code = client->fetchPage(url, &result.page);
        result.status = client->statusCode();
        result.url = client->url();
        result.error = client->errorString();
        QMetaObject::invokeMethod(
            this, [this, result] { fetched(result); }, Qt::QueuedConnection);
    });
}

void QEngineWorkbench::fetched(const FetchResult &result)
{
    m_fetching = false;
    m_fetchButton->setEnabled(true);
    const QString url = RowItems::shownText(result.url);
    if (result.code < 0 && result.code != ResultCode::BodyStopped) {
        m_pageStatus->setText(tr("%1: %2").arg(url, codeText(result.code, 0, result.error)));
    } else {
        setPage(result.page);
        QString text =
            tr("%1: status %2, %3 bytes").arg(url).arg(result.status).arg(result.page.size());
        if (result.code == ResultCode::BodyStopped)
            text += tr(" (cut short)");
        else if (result.code == ResultCode::BufferFull)
            text += tr(" (cut at 8 MiB)");
        m_pageStatus->setText(text);
    }
    emit fetchFinished();
}

void QEngineWorkbench::resolve()
{
    QTreeWidgetItem *item = m_hitList->currentItem();
    if (m_resolving || !item)
        return;
    if (m_resolveThread.joinable())
        m_resolveThread.join();
    const QByteArray id = RowItems::rowOf(item)[ResultRow::Id];
    m_resolving = true;
    m_resolveButton->setEnabled(false);
    m_stageList->clear();
    m_resolveStatus->setText(tr("Resolving %1 ...").arg(RowItems::shownText(id)));
    m_resolveThread = std::thread([this, client = makeClient(), engine = m_engine,
                                   text = engineBytes(), id] {
        // The lint names the lines of the markers when a stage's cut misses.
        const EngineLint lint = EngineLint::checkText(text);
        StageChain chain(*client, engine);
        chain.setExplain(true, &lint);
        const StageChain::Outcome outcome = chain.run(id);
        for (const StageChain::Step &step : chain.steps()) {
            StageRow row{QString::number(step.stage), step.url,
                         codeText(step.code, step.status, {}), step.text, step.miss};
            if (!step.reason.isEmpty())
                row.status += QStringLiteral("; ") + RowItems::shownText(step.reason);
            QMetaObject::invokeMethod(
                this, [this, row] { stageDone(row); }, Qt::QueuedConnection);
        }
        const QByteArray reason =
            outcome == StageChain::Outcome::Stopped ? QByteArrayLiteral("stopped") : chain.reason();
        const QByteArray miss = chain.steps().isEmpty() ? QByteArray() : chain.steps().last().miss;
        QMetaObject::invokeMethod(
            this,
            [this, finalUrl = chain.finalUrl(), reason, miss] { resolved(finalUrl, reason, miss); },
            Qt::QueuedConnection);
    });
}

void QEngineWorkbench::stageDone(const StageRow &row)
{
    auto *item = new QTreeWidgetItem(m_stageList);
    item->setText(0, row.stage);
    item->setText(1, RowItems::shownText(row.url));
    item->setText(2, row.status);
    item->setText(3, RowItems::shownText(row.cut));
    const QString miss = RowItems::shownText(row.miss);
    for (int column = 0; column < 4; ++column)
        item->setToolTip(column, miss.isEmpty() ? item->text(column) : miss);
}

void QEngineWorkbench::resolved(const QByteArray &finalUrl, const QByteArray &reason,
                                const QByteArray &miss)
{
    m_resolving = false;
    m_resolveButton->setEnabled(m_hitList->currentItem() != nullptr);
    if (reason.isEmpty()) {
        stageDone({tr("target"), finalUrl, QString(), QByteArray(), QByteArray()});
        m_resolveStatus->setText(tr("Final URL: %1").arg(RowItems::shownText(finalUrl)));
    } else {
        QString text = tr("Not resolved: %1").arg(RowItems::shownText(reason));
        if (!miss.isEmpty())
            text += QLatin1Char('\n') + RowItems::shownText(miss);
        m_resolveStatus->setText(text);
    }
    emit resolveFinished();
}

void QEngineWorkbench::openPageDialog()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open a saved result page"));
    if (!path.isEmpty())
        openPage(path);
}

bool QEngineWorkbench::save()
{
    QString path = m_filePath;
    if (path.isEmpty()) {
        const QString folder = m_settings ? m_settings->engineDir()
                                          : QDir::current().filePath(QStringLiteral(".zindles"));
        QDir().mkpath(folder);
        path = QFileDialog::getSaveFileName(this, tr("Save engine"), folder,
                                            tr("Engine files (*.zin)"));
        if (path.isEmpty())
            return false;
        if (!path.endsWith(QLatin1String(".zin")))
            path += QLatin1String(".zin");
    }
    QString error;
    if (!AtomicFile::write(path, engineBytes(), &error)) {
        setStatus(tr("Cannot save %1: %2").arg(path, error));
        return false;
    }
    setFilePath(path);
    m_editor->document()->setModified(false);
    setStatus(tr("Saved %1; Zindle loads it at its next start").arg(path));
    return true;
}

void QEngineWorkbench::closeEvent(QCloseEvent *event)
{
    if (m_editor->document()->isModified()) {
        const auto answer =
            QMessageBox::question(this, windowTitle(), tr("Save the changes to the engine?"),
                                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        if (answer == QMessageBox::Cancel || (answer == QMessageBox::Save && !save())) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

void QEngineWorkbench::updateTitle()
{
    const QString name = m_filePath.isEmpty() ? tr("untitled") : QFileInfo(m_filePath).fileName();
    setWindowTitle(tr("%1[*] - Zindle engine workbench").arg(name));
    setWindowModified(m_editor->document()->isModified());
}

void QEngineWorkbench::setStatus(const QString &text)
{
    m_status->setText(text);
}
