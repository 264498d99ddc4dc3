#include "cli/Commands.h"
#include "cli/Printable.h"
#include "core/config/Settings.h"
#include "core/download/HistoryFile.h"

#include <cstdio>

int Cli::history(const QStringList &args)
{
    if (!args.isEmpty()) {
        printUsage(stderr);
        return 2;
    }
    Settings settings;
    const QByteArray workDir = settings.workDir();
    QList<HistoryFile::Entry> entries;
    QString error;
    switch (HistoryFile::load(workDir, &entries, &error)) {
    case HistoryFile::LoadStatus::Missing:
        return 0;
    case HistoryFile::LoadStatus::Failed:
        fprintf(stderr, "cannot read the history %s: %s\n", HistoryFile::path(workDir).constData(),
                Printable::local(error).constData());
        return 1;
    case HistoryFile::LoadStatus::Read:
        break;
    }
    for (const HistoryFile::Entry &entry : std::as_const(entries)) {
        const QByteArray line = entry.date + '\t' + Printable::text(entry.engineId) + '\t' +
                                Printable::text(entry.id) + '\t' + Printable::text(entry.title) +
                                '\t' + Printable::text(entry.file) + '\n';
        fputs(line.constData(), stdout);
    }
    fflush(stdout);
    return 0;
}
