#include "cli/Commands.h"
#include "cli/InterruptFlag.h"
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

// One hit per line: a tab, CR or LF inside a text would split it.
QByteArray lineOf(const ResultRow &row)
{
    QByteArray line;
    for (int column = 0; column < ResultRow::ColumnCount; ++column) {
        if (column > 0)
            line.append('\t');
        QByteArray text = row[column];
        for (char &c : text) {
            if (c == '\t' || c == '\r' || c == '\n')
                c = ' ';
        }
        line.append(text);
    }
    return line.append('\n');
}

// The download list of the work directory as the Download tab shows it, top
// to bottom: the file's last row on top. False when the list cannot be read
// (it must then not be replaced by the hits); no file yet is an empty list.
bool loadShown(const QByteArray &workDir, QList<ResultRow> *shown)
{
    QList<ResultRow> fileRows;
    const DownloadListFile::LoadStatus status = DownloadListFile::load(workDir, &fileRows);
    if (status != DownloadListFile::LoadStatus::Read)
        fputc('\n', stderr);
    *shown = QList<ResultRow>(fileRows.crbegin(), fileRows.crend());
    return status != DownloadListFile::LoadStatus::Failed;
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
    fprintf(stderr, "zindle-cli search: %s \"%s\"\n", problem, qPrintable(value));
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
    QList<ResultRow> shown;
    if (add && !loadShown(workDir, &shown))
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
    fprintf(stderr, "%s\n", qPrintable(outcome.message));
    if (!outcome.reason.isEmpty() && outcome.reason != outcome.message)
        fprintf(stderr, "%s\n", qPrintable(outcome.reason));
    // An interrupted search adds nothing: its hits may be incomplete.
    if (InterruptFlag::raised())
        return InterruptFlag::ExitCode;
    if (outcome.code < 0)
        return 1;
    if (!add)
        return 0;

    // Nothing new leaves the file as it is, as "List up" saves only when it copied.
    const int added = addHits(rows, &shown);
    if (added > 0 && !DownloadListFile::save(workDir, shown)) {
        fputc('\n', stderr);
        return 1;
    }
    fprintf(stderr, "added %d to the download list\n", added);
    return 0;
}
