#include "cli/Commands.h"
#include "cli/ExplainText.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/StageChain.h"
#include "core/net/CookieJar.h"
#include "core/net/HttpClient.h"

#include <cstdio>

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
    case StageChain::Outcome::Resolved:
        ExplainText::print(stdout, "final URL " + chain.finalUrl());
        return 0;
    case StageChain::Outcome::Failed:
        fprintf(stderr, "%s\n", Printable::text(chain.reason()).constData());
        return 1;
    case StageChain::Outcome::Stopped:
        break;
    }
    return InterruptFlag::raised() ? InterruptFlag::ExitCode : 1;
}
