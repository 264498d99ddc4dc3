#include "cli/Commands.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"

#include <cstdio>

int Cli::engines(const QStringList &args)
{
    if (!args.isEmpty()) {
        printUsage(stderr);
        return 2;
    }
    Settings settings;
    for (int i = 0; i < settings.engineCount(); ++i) {
        const Engine *engine = settings.engine(i);
        printf("%d\t%s\t%s\t%d\n", i, Printable::text(engine->text(Engine::Id)).constData(),
               Printable::text(engine->text(Engine::Title)).constData(),
               engine->parsedStageCount());
    }
    return 0;
}
