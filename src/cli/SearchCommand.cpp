#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
#include "cli/Printable.h"
#include "core/config/Engine.h"
#include "core/config/Settings.h"
#include "core/download/DownloadListFile.h"
#include "core/search/SearchWorker.h"

#include <cstdio>

namespace {

constexpr int PollMs = 100;

// An index into the table, else the engine with that "engine_id::"; -1 when neither.
int engineOf(const Settings &settings, const QString &name)
{
    bool isNumber = false;
    const int index = name.toInt(&isNumber);
    if (isNumber && index >= 0 && index < settings.engineCount())
        return index;
    const Engine *found = settings.findEngine(name.toLocal8Bit());
    for (int i = 0; found && i < settings.engineCount(); ++i) {
        if (settings.engine(i) == found)
            return i;
    }
    return -1;
}

int modeOf(const QString &name)
{
    const QString mode = name.toLower();
    if (mode == QLatin1String("title"))
        return SearchWorker::ByTitle;
    if (mode == QLatin1String("user"))
        return SearchWorker::ByUser;
    if (mode == QLatin1String("url"))
        return SearchWorker::Direct;
    return -1;
}

// One hit per line: control bytes in a text (a tab, CR or LF that would split
// it included) are printed as "\xNN".
QByteArray lineOf(const ResultRow &row)
{
    QByteArray line;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        if (column > 0)
            line.append('\t');
        line.append(Printable::text(row[column]));
    }
    return line.append('\n');
}

// Whether the download list of the work directory can take hits: false when
// it cannot be read whole (it must then not be replaced by the hits); no file
// yet is an empty list.
bool listUsable(const QByteArray &workDir)
{
    QList<ResultRow> fileRows;
    QString error;
    const DownloadListFile::LoadStatus status = DownloadListFile::load(workDir, &fileRows, &error);
    switch (status) {
    case DownloadListFile::LoadStatus::Read:
        return true;
    case DownloadListFile::LoadStatus::Missing:
        fputc('\n', stderr);
        return true;
    case DownloadListFile::LoadStatus::Partial:
        fprintf(stderr, "%s: %s\n", DownloadListFile::path(workDir).constData(),
                error.toLocal8Bit().constData());
        return false;
    case DownloadListFile::LoadStatus::Failed:
        fputc('\n', stderr);
        return false;
    }
    return false;
}

// Copies the hits (in page order) into the shown list as "List up" does with
// every hit selected: the result list shows the page's last hit on top, and
// each copied hit goes to the head of the download list. Returns the count.
int addHits(const QList<ResultRow> &hits, QList<ResultRow> *shown)
{
    int added = 0;
    for (auto hit = hits.crbegin(); hit != hits.crend(); ++hit) {
        if (DownloadListFile::isListed(*shown, *hit))
            continue;
        shown->prepend(*hit);
        ++added;
    }
    return added;
}

int usage(const char *problem, const QString &value)
{
    fprintf(stderr, "zindle-cli search: %s \"%s\"\n", problem, Printable::local(value).constData());
    return 2;
}

} // namespace

int Cli::search(const QStringList &args)
{
    QString engineName;
    QString modeName;
    QString pageName;
    QStringList words;
    bool add = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        QString *option = nullptr;
        if (arg == QLatin1String("--add")) {
            add = true;
            continue;
        }
        if (arg == QLatin1String("--engine"))
            option = &engineName;
        else if (arg == QLatin1String("--mode"))
            option = &modeName;
        else if (arg == QLatin1String("--page"))
            option = &pageName;
        if (option) {
            if (i + 1 >= args.size() || !option->isNull()) {
                printUsage(stderr);
                return 2;
            }
            *option = args[++i];
        } else if (arg.startsWith(QLatin1String("--"))) {
            return usage("unknown option", arg);
        } else {
            words.append(arg);
        }
    }
    if (words.size() != 1 || words.first().isEmpty()) {
        printUsage(stderr);
        return 2;
    }

    int mode = SearchWorker::ByTitle;
    if (!modeName.isNull() && (mode = modeOf(modeName)) < 0)
        return usage("unknown mode", modeName);
    int page = 0;
    if (!pageName.isNull()) {
        bool isNumber = false;
        page = pageName.toInt(&isNumber);
        if (!isNumber || page < 0 || page >= Engine::PageCount) {
            const QByteArray problem =
                "page outside 0 to " + QByteArray::number(Engine::PageCount - 1);
            return usage(problem.constData(), pageName);
        }
    }

    Settings settings;
    // Without --engine the first engine is taken, as the dialog does; with no
    // engines loaded the search then ends as one without a template.
    int engine = 0;
    if (!engineName.isNull() && (engine = engineOf(settings, engineName)) < 0)
        return usage("unknown engine", engineName);

    // The list is read first: a work directory that cannot hold it costs no request.
    const QByteArray workDir = settings.workDir();
    if (add && !listUsable(workDir))
        return 1;

    QList<ResultRow> rows;
    SearchWorker::Outcome outcome;
    {
        SearchWorker job(&settings, words.first().toLocal8Bit(), engine, mode, page);
        while (!job.waitFinished(PollMs)) {
            if (InterruptFlag::raised())
                job.requestStop();
        }
        rows = job.rows();
        outcome = job.outcome();
    }
    for (const ResultRow &row : std::as_const(rows))
        fputs(lineOf(row).constData(), stdout);
    fflush(stdout);
    fprintf(stderr, "%s\n", Printable::local(outcome.message).constData());
    if (!outcome.reason.isEmpty() && outcome.reason != outcome.message)
        fprintf(stderr, "%s\n", Printable::local(outcome.reason).constData());
    // An interrupted search adds nothing: its hits may be incomplete.
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    if (outcome.code < 0)
        return 1;
    if (!add)
        return 0;

    // The hits go into the list as it is now, under its lock, so that rows
    // another process wrote since are kept. Nothing new leaves the file as it
    // is, as "List up" saves only when it copied.
    int added = 0;
    QString error;
    const bool saved = DownloadListFile::update(
        workDir,
        [&](const QList<ResultRow> &fileRows) -> std::optional<QList<ResultRow>> {
            // Shown as the tab shows a loaded list: the file's last row on top.
            QList<ResultRow> shown(fileRows.crbegin(), fileRows.crend());
            added = addHits(rows, &shown);
            if (added == 0)
                return std::nullopt;
            return shown;
        },
        &error);
    if (!saved) {
        fprintf(stderr, "\n%s was not saved: %s\n", DownloadListFile::path(workDir).constData(),
                error.toLocal8Bit().constData());
        return 1;
    }
    fprintf(stderr, "added %d to the download list\n", added);
    return 0;
}
