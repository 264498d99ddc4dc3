#include "core/download/StageChain.h"

#include "core/config/Engine.h"
#include "core/config/EngineLint.h"
#include "core/extract/MarkerCut.h"
#include "core/extract/MarkerExplain.h"
#include "core/extract/TextTools.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

namespace {

void unescapeStageText(QByteArray &text)
{
    // Upper-case escapes only, and only these four, in this order.
    text.replace("%3A", ":");
    text.replace("%2F", "/");
    text.replace("%3F", "?");
    text.replace("%3D", "=");
}

QByteArray stageKey(int kind, int stage)
{
    return QByteArray(Engine::keyName(kind)).replace("%d", QByteArray::number(stage));
}

} // namespace

StageChain::StageChain(HttpClient &http, const Engine &engine) : m_http(http), m_engine(engine) {}

void StageChain::setExplain(bool on, const EngineLint *lint)
{
    m_explain = on;
    m_lint = lint;
}

void StageChain::setOnFetched(std::function<bool(const Step &)> onFetched)
{
    m_onFetched = std::move(onFetched);
}

QByteArray StageChain::reason() const
{
    return m_steps.isEmpty() ? QByteArray() : m_steps.last().reason;
}

StageChain::Outcome StageChain::fail(Step &step, const QByteArray &reason)
{
    step.reason = reason;
    return Outcome::Failed;
}

StageChain::Outcome StageChain::run(const QByteArray &id)
{
    m_steps.clear();
    m_finalUrl.clear();
    m_text = id;
    const int stageCount = m_engine.number(Engine::StageCount);
    const bool unescape = m_engine.number(Engine::DownloadHttp) == 1;
    for (int stage = 0; stage < stageCount; ++stage) {
        Step &step = m_steps.emplace_back();
        step.stage = stage;
        fillTemplate(step.url, m_engine.stageText(Engine::StageUrl, stage), m_text, 0);
        QByteArray page;
        step.code = m_http.fetchPage(step.url, &page);
        step.answeredUrl = m_http.url();
        step.status = m_http.statusCode();
        step.pageBytes = page.size();
        step.pageCut = step.code == ResultCode::BufferFull;
        if (m_onFetched && !m_onFetched(step))
            return Outcome::Stopped;
        if (step.code == ResultCode::Stopped)
            return Outcome::Stopped;
        const QByteArray stageName = "stage " + QByteArray::number(stage);
        // A page cut short still goes to the marker search.
        if (step.code < 0 && step.code != ResultCode::BodyStopped)
            return fail(step, stageName + ": network error " + QByteArray::number(step.code) +
                                  ": " + m_http.errorString());
        // The next stage, or the video fetch, comes from this page.
        m_http.headers().setValue(RequestHeaders::Referer, m_http.url());

        const QByteArray &begin = m_engine.stageText(Engine::StageBegin, stage);
        const QByteArray &end = m_engine.stageText(Engine::StageEnd, stage);
        // Fetching the target with an empty text could save an error page as the video.
        if (findBetween(m_text, page, begin, end) < 0) {
            if (m_explain) {
                const MarkerExplain::Cut cut = MarkerExplain::cut(page, begin, end);
                const auto line = [&](int kind) {
                    return m_lint ? m_lint->stageKeyLine(kind, stage) : 0;
                };
                step.miss = MarkerExplain::describeMiss(
                    page, begin, end, cut, stageKey(Engine::StageBegin, stage),
                    line(Engine::StageBegin), stageKey(Engine::StageEnd, stage),
                    line(Engine::StageEnd));
            }
            return fail(step, stageName + ": markers not found");
        }
        if (unescape)
            unescapeStageText(m_text);
        step.text = m_text;
        // A page cut short may still hold its markers, but the last one must be whole.
        if (step.code < 0 && stage == stageCount - 1)
            return fail(step,
                        stageName + ": page ended short (" + QByteArray::number(step.code) + ')');
    }
    fillTemplate(m_finalUrl, m_engine.text(Engine::Target), m_text, 0);
    return Outcome::Resolved;
}
