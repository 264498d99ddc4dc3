#include "cli/Commands.h"
#include "cli/ExplainText.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/StageChain.h"
#include "core/extract/ScanExplain.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"
#include "core/search/SearchWorker.h"

#include <cstdio>

namespace {

constexpr int PollMs = 100;

// How one engine's self-test ended: "ok", "skipped: ..." or "FAIL: ...",
// with the lines that explain a failure.
struct Verdict
{
    enum Kind { Ok, Skipped, Failed, Stopped };
    Kind kind = Ok;
    QByteArray what;
    QList<QByteArray> detail;
};

Verdict fail(QByteArray what, QList<QByteArray> detail = {})
{
    return {Verdict::Failed, std::move(what), std::move(detail)};
}

int modeOf(const QByteArray &text, bool *ok)
{
    const QByteArray name = text.trimmed().toLower();
    *ok = true;
    if (name.isEmpty() || name == "title")
        return SearchWorker::ByTitle;
    if (name == "user")
        return SearchWorker::ByUser;
    if (name == "url")
        return SearchWorker::Direct;
    *ok = false;
    return -1;
}

// Asks for the first byte of the video; a 200 or 206 with a body will do.
Verdict probeVideo(HttpClient &http, const QByteArray &url)
{
    http.headers().setValue(RequestHeaders::Range, "bytes=0-0");
    int code = http.get(url);
    http.headers().setValue(RequestHeaders::Range, QByteArray());
    if (code < 0)
        return fail("video " + url + ": network error " + QByteArray::number(code) + ": " +
                    http.errorString());
    const int status = http.statusCode();
    if (status != 200 && status != 206)
        return fail("video " + url + ": HTTP status " + QByteArray::number(status));
    http.setBinaryMode(true);
    code = ResultCode::ReceiveAgain;
    while (http.receivedBytes() == 0 && http.bufferedBytes() == 0 &&
           (code == ResultCode::ReceiveAgain || code == ResultCode::BufferFull))
        code = http.receive();
    const bool body = http.receivedBytes() > 0 || http.bufferedBytes() > 0;
    http.clearBuffer();
    http.setBinaryMode(false);
    if (code == ResultCode::Stopped)
        return {Verdict::Stopped, {}, {}};
    if (!body)
        return fail("video " + url + ": HTTP status " + QByteArray::number(status) +
                    " with an empty body");
    return {};
}

Verdict selfTest(Settings &settings, int index)
{
    const Engine &engine = *settings.engine(index);
    const QByteArray word = engine.text(Engine::TestWord);
    if (word.isEmpty())
        return {Verdict::Skipped, "no test_word::", {}};
    bool modeOk = false;
    const int mode = modeOf(engine.text(Engine::TestMode), &modeOk);
    if (!modeOk)
        return fail("test_mode::" + engine.text(Engine::TestMode) +
                    " is not a search mode: title, user or url");
    const int minHits = engine.text(Engine::TestMinHits).trimmed().isEmpty()
                            ? 1
                            : engine.number(Engine::TestMinHits);
    const EngineLint lint = ExplainText::lintOf(settings, engine);

    SearchWorker::Options options;
    options.keepPage = true;
    QList<ResultRow> rows;
    SearchWorker::Outcome outcome;
    SearchWorker::Page page;
    {
        SearchWorker job(&settings, word, index, mode, 0, options);
        while (!job.waitFinished(PollMs)) {
            if (InterruptFlag::raised())
                job.requestStop();
        }
        rows = job.rows();
        outcome = job.outcome();
        page = job.fetchedPage();
    }
    if (InterruptFlag::raised())
        return {Verdict::Stopped, {}, {}};
    const QByteArray request = "search \"" + word + "\": ";
    if (outcome.code < 0) {
        QByteArray what = request + outcome.message.toLocal8Bit();
        if (!outcome.reason.isEmpty() && outcome.reason != outcome.message)
            what += " (" + outcome.reason.toLocal8Bit() + ')';
        return fail(what, page.url.isEmpty() ? QList<QByteArray>{}
                                             : QList<QByteArray>{"request " + page.url});
    }
    const auto scanDetail = [&] {
        QList<QByteArray> detail{"request " + page.url,
                                 ExplainText::pageLine(page.status, page.body.size(), page.cut())};
        detail.append(ScanExplain::describe(page.body, engine, mode, &lint));
        return detail;
    };
    if (rows.size() < minHits)
        return fail(request + QByteArray::number(rows.size()) + " hits, fewer than " +
                        QByteArray::number(minHits),
                    scanDetail());
    for (qsizetype hit = 0; hit < rows.size(); ++hit) {
        const char *missing = rows[hit][ResultRow::Id].isEmpty()      ? "ID"
                              : rows[hit][ResultRow::Title].isEmpty() ? "title"
                                                                      : nullptr;
        if (missing)
            return fail(request + "hit " + QByteArray::number(hit + 1) + " has no " + missing,
                        scanDetail());
    }
    if (rows.isEmpty())
        return {};

    HttpClient http;
    settings.configureClient(http);
    CookieJar jar;
    http.setCookieJar(&jar);
    http.setStopFlag(InterruptFlag::flag());
    StageChain chain(http, engine);
    chain.setExplain(true, &lint);
    const QByteArray &id = rows.first()[ResultRow::Id];
    switch (chain.run(id)) {
    case StageChain::Outcome::Resolved:
        break;
    case StageChain::Outcome::Stopped:
        return {Verdict::Stopped, {}, {}};
    case StageChain::Outcome::Failed: {
        QList<QByteArray> detail;
        for (const StageChain::Step &step : chain.steps())
            detail.append(ExplainText::stepLines(step, true));
        return fail("resolve " + id + ": " + chain.reason(), detail);
    }
    }
    Verdict video = probeVideo(http, chain.finalUrl());
    if (video.kind == Verdict::Failed) {
        for (const StageChain::Step &step : chain.steps())
            video.detail.append(ExplainText::stepLines(step, true));
        video.detail.append("final URL " + chain.finalUrl());
    }
    return video;
}

} // namespace

int Cli::testEngine(const QStringList &args)
{
    for (const QString &arg : args) {
        if (arg.startsWith(QLatin1String("-"))) {
            fprintf(stderr, "zindle-cli test-engine: unknown option \"%s\"\n",
                    Printable::local(arg).constData());
            printUsage(stderr);
            return 2;
        }
    }
    Settings settings;
    QList<int> chosen;
    if (args.isEmpty()) {
        for (int index = 0; index < settings.engineCount(); ++index)
            chosen.append(index);
        if (chosen.isEmpty()) {
            fprintf(stderr, "zindle-cli test-engine: no engines loaded\n");
            return 1;
        }
    }
    bool allPassed = true;
    for (const QString &arg : args) {
        const QByteArray id = arg.toLocal8Bit();
        const Engine *engine = settings.findEngine(id);
        int index = -1;
        for (int i = 0; engine && i < settings.engineCount() && index < 0; ++i) {
            if (settings.engine(i) == engine)
                index = i;
        }
        if (index < 0) {
            ExplainText::print(stdout, id + " FAIL: no engine has this engine_id::");
            allPassed = false;
            continue;
        }
        chosen.append(index);
    }
    for (const int index : std::as_const(chosen)) {
        const QByteArray id = settings.engine(index)->text(Engine::Id);
        const Verdict verdict = selfTest(settings, index);
        switch (verdict.kind) {
        case Verdict::Ok:
            ExplainText::print(stdout, id + " ok");
            break;
        case Verdict::Skipped:
            ExplainText::print(stdout, id + " skipped: " + verdict.what);
            break;
        case Verdict::Failed:
            allPassed = false;
            ExplainText::print(stdout, id + " FAIL: " + verdict.what);
            ExplainText::print(stdout, verdict.detail, "  ");
            break;
        case Verdict::Stopped:
            return InterruptFlag::ExitCode;
        }
        fflush(stdout);
    }
    return allPassed ? 0 : 1;
}
