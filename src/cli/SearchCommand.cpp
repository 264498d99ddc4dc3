#include "cli/Commands.h"
#include "config/Engine.h"
#include "config/Settings.h"
#include "search/SearchWorker.h"

#include <cstdio>

namespace {

constexpr int PageCount = 20;

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
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        QString *option = nullptr;
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
        if (!isNumber || page < 0 || page >= PageCount)
            return usage("page outside 0 to 19", pageName);
    }

    Settings settings;
    // Without --engine the first engine is taken, as the dialog does; with no
    // engines loaded the search then ends as one without a template.
    int engine = 0;
    if (!engineName.isNull() && (engine = engineOf(settings, engineName)) < 0)
        return usage("unknown engine", engineName);

    QList<ResultRow> rows;
    QString message;
    int code;
    {
        SearchWorker job(&settings, words.first().toLocal8Bit(), engine, mode, page);
        while (!job.waitFinished(SearchWorker::JoinTimeoutMs)) {
        }
        rows = job.rows();
        message = job.finalMessage();
        code = job.resultCode;
    }
    for (const ResultRow &row : std::as_const(rows))
        fputs(lineOf(row).constData(), stdout);
    fflush(stdout);
    fprintf(stderr, "%s\n", qPrintable(message));
    return code < 0 ? 1 : 0;
}
