#include "cli/Commands.h"
#include "cli/ExplainText.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/HlsDownload.h"
#include "core/download/HlsPlaylist.h"
#include "core/download/StageChain.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"
#include "core/net/ResultCode.h"

#include <algorithm>
#include <cstdio>

namespace {

// The playlist text at the client's current answer, or null when the answer
// is no playlist (only its first bytes are read then).
QByteArray playlistAt(HttpClient &http, const QByteArray &url)
{
    if (http.get(url) < 0 || http.statusCode() < 200 || http.statusCode() > 299)
        return {};
    int peeked = 0;
    if (!HlsDownload::answersPlaylist(http, &peeked))
        return {};
    QByteArray text;
    return http.readPage(&text) == ResultCode::BodyComplete ? text : QByteArray();
}

// "HLS: N variants, chose URI (B bit/s, Hp), M segments" when the final URL
// answers with a playlist, as the download job would read it; null otherwise.
QByteArray streamSummary(HttpClient &http, const Engine &engine, const QByteArray &finalUrl)
{
    QByteArray url = finalUrl;
    QByteArray text = playlistAt(http, url);
    if (text.isNull())
        return {};
    HlsPlaylist playlist;
    QByteArray reason;
    if (!playlist.parse(text, http.url(), &reason))
        return "HLS: " + reason;
    QByteArray summary = "HLS: ";
    if (playlist.kind == HlsPlaylist::Kind::Master) {
        bool videoOnly = false;
        const int chosen = playlist.chooseVariant(engine.text(Engine::HlsVariant), &videoOnly);
        if (chosen < 0)
            return "HLS: no variant to choose";
        const HlsPlaylist::Variant &variant = playlist.variants[chosen];
        summary += QByteArray::number(playlist.variants.size()) + " variants, chose " +
                   variant.uri + " (" + QByteArray::number(variant.bandwidth) + " bit/s";
        if (variant.height >= 0)
            summary += ", " + QByteArray::number(variant.height) + 'p';
        summary += videoOnly ? "; video only), " : "), ";
        text = playlistAt(http, variant.uri);
        if (text.isNull() || !playlist.parse(text, http.url(), &reason))
            return summary +
                   (reason.isEmpty() ? QByteArray("variant playlist unreadable") : reason);
    }
    const auto segments =
        std::count_if(playlist.segments.cbegin(), playlist.segments.cend(),
                      [](const HlsPlaylist::Segment &segment) { return !segment.init; });
    return summary + QByteArray::number(segments) + " segments";
}

} // namespace

int Cli::resolve(const QStringList &args)
{
    bool explaining = false;
    QStringList names;
    for (const QString &arg : args) {
        if (arg == QLatin1String("--explain")) {
            explaining = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            fprintf(stderr, "zindle-cli resolve: unknown option \"%s\"\n",
                    Printable::local(arg).constData());
            return 2;
        } else {
            names.append(arg);
        }
    }
    if (names.size() != 2 || names[1].isEmpty()) {
        printUsage(stderr);
        return 2;
    }

    Settings settings;
    const Engine *engine = settings.findEngine(names[0].toLocal8Bit());
    if (!engine) {
        fprintf(stderr, "zindle-cli resolve: unknown engine \"%s\"\n",
                Printable::local(names[0]).constData());
        return 2;
    }
    if (engine->stagesRefused()) {
        fprintf(stderr, "engine %s: its download stages were refused when it was loaded\n",
                Printable::text(engine->text(Engine::Id)).constData());
        return 1;
    }

    // Set up as the download job sets up its client: a jar for the whole chain.
    HttpClient http;
    settings.configureClient(http);
    CookieJar jar;
    http.setCookieJar(&jar);
    http.setStopFlag(InterruptFlag::flag());
    const EngineLint lint = ExplainText::lintOf(settings, *engine);
    StageChain chain(http, *engine);
    chain.setExplain(explaining, &lint);
    const StageChain::Outcome outcome = chain.run(names[1].toLocal8Bit());
    for (const StageChain::Step &step : chain.steps())
        ExplainText::print(stdout, ExplainText::stepLines(step, explaining));
    fflush(stdout);
    switch (outcome) {
    case StageChain::Outcome::Resolved: {
        ExplainText::print(stdout, "final URL " + chain.finalUrl());
        fflush(stdout);
        const QByteArray summary = streamSummary(http, *engine, chain.finalUrl());
        if (!summary.isNull())
            ExplainText::print(stdout, summary);
        return 0;
    }
    case StageChain::Outcome::Failed:
        fprintf(stderr, "%s\n", Printable::text(chain.reason()).constData());
        return 1;
    case StageChain::Outcome::Stopped:
        break;
    }
    return InterruptFlag::raised() ? InterruptFlag::ExitCode : 1;
}
