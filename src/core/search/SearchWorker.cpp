#include "core/search/SearchWorker.h"

#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/extract/ResultScan.h"
#include "core/extract/TextTools.h"
#include "core/job/Trace.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <cstdio>
#include <utility>

bool SearchWorker::Page::cut() const
{
    return code == ResultCode::BufferFull;
}

SearchWorker::SearchWorker(Settings *settings, const QByteArray &word, int engineIndex, int mode,
                           int page)
    : SearchWorker(settings, word, engineIndex, mode, page, Options())
{}

SearchWorker::SearchWorker(Settings *settings, const QByteArray &word, int engineIndex, int mode,
                           int page, Options options)
    : Worker(settings), m_http(std::make_unique<HttpClient>()), m_word(word),
      m_engineIndex(engineIndex), m_mode(mode), m_pageNumber(page), m_options(std::move(options))
{
    configureClient(*m_http);
    printStartLines(*settings);
    start();
}

SearchWorker::~SearchWorker()
{
    // The thread uses the client until run() has returned.
    stopAndJoin();
    m_http.reset();
    Trace::write("--------end search thread--------\n");
}

int SearchWorker::run()
{
    // No engine in that slot (an empty table included) or no such mode: the
    // same as an engine without a template, so nothing is requested.
    const Engine *engine = settings->engine(m_engineIndex);
    if (!engine || m_mode < ByTitle || m_mode > Direct) {
        resultCode = ResultCode::NoTemplate;
        return resultCode;
    }
    const QByteArray &templ = engine->searchTemplate(m_mode);
    const bool given = m_options.givenPage.has_value();
    if (templ.size() < 2 && !given) {
        resultCode = ResultCode::NoTemplate;
        return resultCode;
    }
    Trace::print("engine = %s\n", engine->text(Engine::Title).constData());
    Trace::print("mode = %d\n", m_mode);

    QByteArray word = m_word;
    if (engine->searchOption(m_mode) == 1) {
        encodeSearchWord(word);
        Trace::write("option = 1\n");
    } else {
        Trace::write("option = 0\n");
    }

    // Wide arithmetic: odd engine numbers wrap instead of overflowing.
    const qint64 pageNumber = qint64(engine->number(Engine::SearchStart)) +
                              qint64(engine->number(Engine::SearchStep)) * m_pageNumber;
    QByteArray url;
    fillTemplate(url, templ, word, int(pageNumber));
    if (!given)
        Trace::print("search url = %s\n", url.constData());

    // A page that is not 2xx is an error page, not "no hits".
    // The total is the length the header announced.
    QByteArray page;
    bool headerIn = false;
    const int code =
        given ? int(ResultCode::BodyComplete)
              : m_http->fetchPage(url, &page, HttpClient::RequireSuccess, [&] {
                    if (!std::exchange(headerIn, true))
                        progressTotal =
                            int(qMin<qint64>(m_http->contentLength(), HttpClient::MaxPageBytes));
                    progress = int(qMin<qint64>(m_http->receivedBytes(), HttpClient::MaxPageBytes));
                });
    if (given)
        page = *m_options.givenPage;
    else
        m_pageUrl = m_http->url();
    if (m_options.keepPage)
        m_page = {given ? QByteArray() : url, code, given ? 0 : m_http->statusCode(), page};
    // A cancel once the page is coming is no failure: nothing is scanned.
    if (code == ResultCode::Stopped && headerIn) {
        resultCode = ResultCode::ReceiveAgain;
        return ResultCode::ReceiveAgain;
    }
    resultCode = code;
    if (code < 0) {
        m_reason = m_http->errorString();
        return code;
    }

    const QByteArray engineId = engine->text(Engine::Id);
    scanResults(page, engine->markerSet(m_mode), &stopRequested,
                [&](ScanRecord &&record) { m_rows.append(hitRow(std::move(record), engineId)); });
    return code;
}

ResultRow SearchWorker::hitRow(ScanRecord &&record, const QByteArray &engineId)
{
    ResultRow row;
    row[ResultRow::State] = QByteArrayLiteral("H");
    row[ResultRow::Title] = std::move(record.title);
    row[ResultRow::Time] = std::move(record.time);
    row[ResultRow::User] = std::move(record.user);
    row[ResultRow::Id] = std::move(record.id);
    row[ResultRow::Type] = engineId;
    row[ResultRow::Image] = std::move(record.image);
    return row;
}

SearchWorker::Outcome SearchWorker::outcome() const
{
    const int code = resultCode.load(std::memory_order_relaxed);
    if (code == ResultCode::NoTemplate) {
        // Names what is missing, so the user knows which engine file to mend.
        static const char *const modeNames[] = {"title", "user", "URL"};
        const Engine *engine = settings->engine(m_engineIndex);
        if (!engine)
            return {code, QStringLiteral("there is no engine %1").arg(m_engineIndex), {}};
        if (m_mode < ByTitle || m_mode > Direct)
            return {code, QStringLiteral("there is no search mode %1").arg(m_mode), {}};
        return {code,
                QStringLiteral("engine \"%1\" has no template for %2 search")
                    .arg(QString::fromLocal8Bit(engine->text(Engine::Title)),
                         QLatin1String(modeNames[m_mode])),
                {}};
    }
    const QString reason = QString::fromLocal8Bit(m_reason);
    if (code == ResultCode::HttpStatus)
        return {code, reason, reason};
    if (code < 0)
        return {code, QStringLiteral("network error =%1").arg(code), reason};
    if (m_rows.isEmpty())
        return {code, QStringLiteral("not data found."), {}};
    return {code, QStringLiteral("success (%1 data found.)").arg(m_rows.size()), {}};
}
