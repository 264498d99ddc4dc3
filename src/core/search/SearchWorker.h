#pragma once

#include "core/job/ResultRow.h"
#include "core/job/Worker.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>

class HttpClient;
struct ScanRecord;

// One search on its own thread: builds the address from the engine's template
// for the mode, fetches the page and keeps one row per hit. It touches no
// widget; the owner takes rows() and outcome() once it has seen `finished`,
// then deletes the job.
class SearchWorker : public Worker
{
public:
    enum Mode { ByTitle = 0, ByUser = 1, Direct = 2 };

    // How the search ended: the end code (negative: why it failed), the
    // message that says so, and for a failed request the client's reason.
    struct Outcome
    {
        int code = 0;
        QString message;
        QString reason;
    };

    // For a tool that explains a search: keep the page, or scan a page given
    // in place of fetching one.
    struct Options
    {
        // Keep the fetched page and its answer for fetchedPage().
        bool keepPage = false;
        // Scan this page and request nothing (the mode needs no template then).
        std::optional<QByteArray> givenPage;
    };

    // The page a search scanned, kept with Options::keepPage.
    struct Page
    {
        QByteArray url;  // the address built from the template; empty for a given page
        int code = 0;    // the fetch's code (HttpClient::fetchPage); BufferFull: cut
        int status = 0;  // the HTTP status; 0 for a given page or when none came
        QByteArray body; // as scanned; empty when the page was not read
        bool cut() const;
    };

    // word is local 8-bit text; the thread is running when this returns.
    SearchWorker(Settings *settings, const QByteArray &word, int engineIndex, int mode, int page);
    SearchWorker(Settings *settings, const QByteArray &word, int engineIndex, int mode, int page,
                 Options options);
    ~SearchWorker() override; // stops and joins a job still running

    int run() override;

    // A hit of the engine as the result list shows it: "H", then the cut
    // and cleaned texts.
    static ResultRow hitRow(ScanRecord &&record, const QByteArray &engineId);

    // The rows in page order, column "V" holding "H". Valid once finished.
    QList<ResultRow> rows() const { return m_rows; }
    // The message is "HTTP status %d" for a page that is not 2xx, else
    // "network error =%d", "not data found." or "success (%d data found.)";
    // a search without a template says what is missing: 'engine "TITLE" has
    // no template for title|user|URL search' or "there is no engine N".
    // Valid once finished.
    Outcome outcome() const;
    // With Options::keepPage, once finished: the page and how it came.
    const Page &fetchedPage() const { return m_page; }
    // The address the page came from, after redirects; empty for a given
    // page or when none was requested. Valid once finished.
    QByteArray pageUrl() const { return m_pageUrl; }

private:
    std::unique_ptr<HttpClient> m_http;
    QByteArray m_word;
    int m_engineIndex;
    int m_mode;
    int m_pageNumber;
    Options m_options;
    Page m_page;
    QByteArray m_pageUrl;
    QList<ResultRow> m_rows;
    QByteArray m_reason;
};
