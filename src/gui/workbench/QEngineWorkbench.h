#pragma once

#include "core/config/Engine.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>
#include <atomic>
#include <memory>
#include <thread>

class EngineLint;
class HttpClient;
class PageText;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class QTreeWidget;
class Settings;

// A window for writing one engine file against a real result page. The
// engine text is edited on the left, with what check-engine finds marked on
// its lines; a result page, fetched or opened from disk, is shown as plain
// text on the right with the blocks and fields the scan cuts highlighted;
// below, the hits as the Search tab would list them. Every edit updates the
// findings, the highlights and the hits after UpdateDelayMs, without
// fetching again. "Resolve" walks the download stages of the selected hit.
//
// Pages and stages are fetched on threads of their own; their results come
// back to the GUI thread through queued calls, so the window never waits on
// the network.
class QEngineWorkbench : public QWidget
{
    Q_OBJECT

public:
    // The pause after the last edit before the hits are cut again.
    static constexpr int UpdateDelayMs = 100;
    // A page opened from disk is read up to this many bytes, as a fetched page is.
    static constexpr qint64 MaxPageBytes = 8 * 1024 * 1024;

    // settings (may be null: the client defaults, ".zindles" of the current
    // directory) sets up every request and names the folder Save offers.
    explicit QEngineWorkbench(Settings *settings = nullptr, QWidget *parent = nullptr);
    ~QEngineWorkbench() override; // stops and joins a running fetch or resolve

    // Loads an engine file into the editor and makes it the file Save writes.
    // A file that does not exist yet gives an empty editor and is created by
    // Save. False (the editor and the path unchanged, the reason in the
    // status line) for a file that cannot be read, is larger than
    // Engine::MaxFileSize or is not text.
    bool openEngine(const QString &path);
    QString filePath() const { return m_filePath; }
    // The file Save writes from now on; an empty path makes Save ask.
    void setFilePath(const QString &path);
    // The editor's text as the bytes Save writes (CR LF line ends again
    // when the file was opened with them).
    QByteArray engineBytes() const;
    void setEngineText(const QByteArray &bytes);

    // Reads up to MaxPageBytes of a saved page and shows it; false (the page
    // unchanged) when the file cannot be read.
    bool openPage(const QString &path);
    void setPage(const QByteArray &page);
    const QByteArray &page() const { return m_page; }

    // The engine as the editor's text reads now, and what the last update found.
    const Engine &engine() const { return m_engine; }
    bool busy() const;

public slots:
    // Writes the editor's text to filePath() atomically, asking for a name in
    // the engine folder first when there is none. False when nothing was written.
    bool save();
    // Fetches the address field's URL.
    void fetch();
    // Walks the download stages of the current hit.
    void resolve();
    // Fills the address field from the engine's template for the word, mode and page.
    void fillAddress();
    // Cuts the hits again now (the edit timer calls it).
    void refresh();

signals:
    // After every refresh: findings, highlights and hits are up to date.
    void refreshed();
    // A fetch or a resolve has ended and its result is shown.
    void fetchFinished();
    void resolveFinished();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct FetchResult;
    struct StageRow;

    void buildUi();
    std::unique_ptr<HttpClient> makeClient() const;
    void showFindings(const EngineLint &lint);
    void showHighlights();
    void showHits();
    void jumpToFinding(QListWidgetItem *item);
    void showHitBlock();
    void fetched(const FetchResult &result);
    void stageDone(const StageRow &row);
    void resolved(const QByteArray &finalUrl, const QByteArray &reason, const QByteArray &miss);
    void openPageDialog();
    void updateTitle();
    void setStatus(const QString &text);
    int mode() const;

    Settings *m_settings = nullptr;
    QString m_filePath;
    bool m_crlf = false;
    Engine m_engine;
    QByteArray m_page;
    std::unique_ptr<PageText> m_pageText;
    // Byte offset of each hit's block in the page, in page order.
    QList<qsizetype> m_blockStarts;
    // Finding messages by line, for the editor's tooltips.
    QList<QPair<int, QString>> m_findings;

    QPlainTextEdit *m_editor = nullptr;
    QListWidget *m_findingsList = nullptr;
    QLineEdit *m_word = nullptr;
    QComboBox *m_mode = nullptr;
    QSpinBox *m_pageNumber = nullptr;
    QLineEdit *m_address = nullptr;
    QPushButton *m_fetchButton = nullptr;
    QPushButton *m_openPageButton = nullptr;
    QPlainTextEdit *m_pageView = nullptr;
    QLabel *m_pageStatus = nullptr;
    QTreeWidget *m_hitList = nullptr;
    QPushButton *m_resolveButton = nullptr;
    QTreeWidget *m_stageList = nullptr;
    QLabel *m_resolveStatus = nullptr;
    QPushButton *m_saveButton = nullptr;
    QLabel *m_status = nullptr;
    QTimer *m_editTimer = nullptr;

    std::atomic<int> m_stop{0};
    std::thread m_fetchThread;
    std::thread m_resolveThread;
    bool m_fetching = false;
    bool m_resolving = false;
};
