#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

class Engine;
class EngineLint;
class HttpClient;

// The download stage chain of an engine: from a video's ID, stage by stage,
// to the address of its file. Each stage fills "download_url%d::" with the
// text so far, fetches that page whole and cuts the next text out of it
// between "download_key%d::" and "download_key%d_::" (un-escaped when
// "download_http::" is 1); "download_target::" filled with the last text is
// the final URL.
//
// It requests through the client it is given, with that client's cookie jar:
// the cookies a stage page sets go with the later stages. Each stage after
// the first carries the address of the page before in "Referer:", and so
// does whatever the caller asks for next (the video). The chain writes no
// lines of its own; the client's and the marker cuts' trace go through Trace.
//
//     StageChain chain(http, engine);
//     chain.setExplain(true, &lint);
//     if (chain.run(id) == StageChain::Outcome::Resolved)
//         http.get(chain.finalUrl());
class StageChain
{
public:
    enum class Outcome { Resolved, Failed, Stopped };

    // One stage as it went.
    struct Step
    {
        int stage = 0;
        QByteArray url;         // the address asked for
        QByteArray answeredUrl; // the address that answered, after redirects
        int code = 0;           // the page fetch's code (HttpClient::fetchPage)
        int status = 0;         // the HTTP status; 0 when no answer came
        qsizetype pageBytes = 0;
        bool pageCut = false; // the page was cut at HttpClient::MaxPageBytes
        QByteArray text;      // the cut, un-escaped as the engine asks; empty on a miss
        // With explaining on, why the markers cut nothing (see
        // MarkerExplain::describeMiss); may hold any byte.
        QByteArray miss;
        // Why the chain ended at this stage ("stage 1: markers not found");
        // empty when it went on.
        QByteArray reason;
    };

    StageChain(HttpClient &http, const Engine &engine);

    // Off by default, as it searches a page once more on a miss. With a lint
    // of the engine's file, the explanation names the lines of the markers.
    void setExplain(bool on, const EngineLint *lint = nullptr);
    // Called once each stage's page is in, before its markers are cut; the
    // chain stops (Outcome::Stopped) when it returns false.
    void setOnFetched(std::function<bool(const Step &)> onFetched);

    // Walks every stage from the ID. Resolved: finalUrl() is set. Failed:
    // reason() says at which stage and why. Stopped: the client was stopped
    // or the callback asked to stop.
    Outcome run(const QByteArray &id);

    const QList<Step> &steps() const { return m_steps; }
    // The text the last stage cut (the ID when there are no stages).
    const QByteArray &text() const { return m_text; }
    // "download_target::" filled with text(); empty unless resolved.
    const QByteArray &finalUrl() const { return m_finalUrl; }
    // The reason of the stage that ended a failed chain; empty otherwise.
    QByteArray reason() const;

private:
    Outcome fail(Step &step, const QByteArray &reason);

    HttpClient &m_http;
    const Engine &m_engine;
    const EngineLint *m_lint = nullptr;
    bool m_explain = false;
    std::function<bool(const Step &)> m_onFetched;
    QList<Step> m_steps;
    QByteArray m_text;
    QByteArray m_finalUrl;
};
